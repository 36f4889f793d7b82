// QEL_Converter: one conversion over many calls, its state in the caller's
// memory. Pieces are cut, refused and mapped by the same line engine as the
// buffer and stream functions; the converter only holds what a call could
// not finish: the start of a piece that may go on past the bytes given, and
// the output of a piece that did not fit the room.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "format/record_format.h"
#include "kernels/kernel.h"
#include "qelcode.h"
#include "status/status_chain.h"

using namespace qel;

namespace {

// The longest piece, and the bytes the engine must see to know where a
// piece ends: encoding cuts a piece at 507 bytes and needs one byte more
// to tell whether a line feed joins it; decoding takes a line of at most
// 512 bytes and needs one byte more to tell whether it goes on.
constexpr size_t kEncodeCut = kMaxText;
constexpr size_t kDecodeCut = kRecordBufferSize;
constexpr size_t kHoldSize = kDecodeCut + 8;
// The largest output of one piece: a record of 507 text bytes and its line feed.
constexpr size_t kOutSize = kRecordBufferSize;

constexpr uint32_t kMagic = 0x51454c43u;  // "QELC": set by Init, tested by every call
constexpr uint32_t kModeDecode = 1u, kModeForce = 2u;

// Every field is a 32-bit word or bytes, so that the state needs no more
// than the public struct's alignment on any target; 64-bit counts are
// kept as two halves.
struct State {
    uint32_t magic;
    uint32_t mode;
    int32_t code;             // QEL_RTN_SUCCESSFUL, or the refusal every later call repeats
    uint32_t kernel;          // index into kKernels, chosen at Init
    uint32_t offset_lo, offset_hi;  // input bytes of the pieces converted
    uint32_t lines_lo, lines_hi;    // LineCount::lines
    uint32_t at_line_start;         // LineCount::at_line_start
    uint32_t hold_len;        // bytes of hold[]: the start of a piece that may go on
    uint32_t out_pos, out_len;  // out[out_pos, out_len): output not handed over yet
    unsigned char hold[kHoldSize];
    unsigned char out[kOutSize];
};
static_assert(sizeof(State) <= sizeof(QEL_Converter), "the state fits the public struct");
static_assert(alignof(State) <= alignof(QEL_Converter), "the public struct's alignment suffices");
static_assert(sizeof(QEL_Converter) == QEL_CONVERTER_SIZE, "the public size holds on every target");

uint64_t join(uint32_t lo, uint32_t hi) { return (uint64_t{hi} << 32) | lo; }
void split(uint64_t v, uint32_t *lo, uint32_t *hi) {
    *lo = static_cast<uint32_t>(v);
    *hi = static_cast<uint32_t>(v >> 32);
}

// A state that Init made and no call has broken; anything else (a NULL
// pointer, memory never initialised) is refused rather than trusted.
const State *valid(const QEL_Converter *c) {
    if (c == nullptr) return nullptr;
    const State *s = reinterpret_cast<const State *>(c);
    const size_t cut = (s->mode & kModeDecode) != 0 ? kDecodeCut : kEncodeCut;
    if (s->magic != kMagic || s->mode > (kModeDecode | kModeForce) || s->kernel >= kKernelCount ||
        s->hold_len > cut || s->out_len > kOutSize || s->out_pos > s->out_len)
        return nullptr;
    return s;
}

class Conversion {
public:
    Conversion(State *s, char *dest, size_t dest_size, const char *src, size_t src_size, bool last)
        : s_(s),
          dest_(reinterpret_cast<unsigned char *>(dest)),
          room_(dest_size),
          src_(reinterpret_cast<const unsigned char *>(src)),
          avail_(src_size),
          last_(last),
          decoding_((s->mode & kModeDecode) != 0),
          cut_(decoding_ ? kDecodeCut : kEncodeCut),
          job_(decoding_ ? kKernels[s->kernel].ops.decode_job : kKernels[s->kernel].ops.encode_job),
          count_{join(s->lines_lo, s->lines_hi), s->at_line_start != 0},
          offset_(join(s->offset_lo, s->offset_hi)) {}

    // Runs the call; the code it ends with.
    int32_t run() {
        int32_t code = QEL_RTN_SUCCESSFUL;
        for (;;) {
            if (!hand_over()) break;  // the room is full
            if (s_->hold_len != 0) {
                bool decided = false;
                code = finish_held_piece(&decided);
                if (code != QEL_RTN_SUCCESSFUL || !decided) break;
                continue;
            }
            if (taken_ == avail_) break;
            bool more = false;
            code = convert_direct(&more);
            if (code != QEL_RTN_SUCCESSFUL || !more) break;
        }
        save(code);
        return code;
    }

    size_t produced() const { return produced_; }
    size_t consumed() const { return taken_; }

private:
    Job job(const unsigned char *in, size_t n, bool at_end, unsigned char *out, size_t room, bool one_piece) const {
        return Job{.in = in,
                   .avail = n,
                   .at_end = at_end,
                   .out = out,
                   .room = room,
                   .force = (s_->mode & kModeForce) != 0,
                   .one_piece = one_piece};
    }

    // Moves held output to dest; false while some of it is still held.
    bool hand_over() {
        const size_t held = s_->out_len - s_->out_pos;
        if (held == 0) return true;
        const size_t n = held < room_ - produced_ ? held : room_ - produced_;
        if (n != 0) memcpy(dest_ + produced_, s_->out + s_->out_pos, n);
        produced_ += n;
        s_->out_pos += static_cast<uint32_t>(n);
        if (s_->out_pos < s_->out_len) return false;
        s_->out_pos = s_->out_len = 0;
        return true;
    }

    // One piece converted into the state's own output room; the caller
    // hands it over.
    void keep_output(size_t n) {
        s_->out_pos = 0;
        s_->out_len = static_cast<uint32_t>(n);
    }

    void hold_rest(const unsigned char *p, size_t n) {
        if (n == 0) return;
        memcpy(s_->hold + s_->hold_len, p, n);
        s_->hold_len += static_cast<uint32_t>(n);
    }

    // The held bytes start a piece that holds no line feed and is no longer
    // than a cut, so it ends among this call's bytes, if anywhere. Bytes
    // that can't end it are only added; otherwise enough of them are added
    // for the engine to cut the piece, which is converted, and the bytes
    // after it go back to this call's input. *decided tells whether the
    // piece was converted.
    int32_t finish_held_piece(bool *decided) {
        const size_t held = s_->hold_len;
        const size_t left = avail_ - taken_;
        const unsigned char *const next = src_ + taken_;
        // A line feed among the bytes that can still join the piece ends it.
        const size_t reach = cut_ + 1 - held;
        const bool lf = left != 0 && memchr(next, '\n', left < reach ? left : reach) != nullptr;
        if (!lf && held + left <= cut_ && !last_) {
            hold_rest(next, left);
            taken_ = avail_;
            *decided = false;
            return QEL_RTN_SUCCESSFUL;
        }
        const size_t add = left < kHoldSize - held ? left : kHoldSize - held;
        if (add != 0) memcpy(s_->hold + held, next, add);
        const size_t n = held + add;
        const JobResult r = job_(job(s_->hold, n, last_ && add == left, s_->out, kOutSize, true), &count_);
        if (r.code != QEL_RTN_SUCCESSFUL) {
            s_->hold_len = 0;
            return r.code;
        }
        // The held bytes hold no line feed and no more than a cut, so the
        // piece takes them all; only a state written over by its host
        // could say otherwise.
        if (r.consumed < held) return QEL_RTN_NO_SOURCE;
        taken_ += r.consumed - held;
        offset_ += r.consumed;
        s_->hold_len = 0;
        keep_output(r.produced);
        *decided = true;
        return QEL_RTN_SUCCESSFUL;
    }

    // Whole pieces of the input straight into dest; a piece whose output
    // does not fit goes into the state's room, and the start of a piece
    // that may go on is held. *more tells whether the loop goes on.
    int32_t convert_direct(bool *more) {
        const unsigned char *const in = src_ + taken_;
        const size_t left = avail_ - taken_;
        JobResult r = job_(job(in, left, last_, dest_ + produced_, room_ - produced_, false), &count_);
        taken_ += r.consumed;
        offset_ += r.consumed;
        produced_ += r.produced;
        if (r.code != QEL_RTN_SUCCESSFUL) return r.code;
        if (r.stop == JobStop::kNeedRoom) {
            r = job_(job(in + r.consumed, left - r.consumed, last_, s_->out, kOutSize, true), &count_);
            if (r.code != QEL_RTN_SUCCESSFUL) return r.code;
            taken_ += r.consumed;
            offset_ += r.consumed;
            keep_output(r.produced);
        }
        if (r.stop == JobStop::kNeedInput) {
            hold_rest(src_ + taken_, avail_ - taken_);
            taken_ = avail_;
            return QEL_RTN_SUCCESSFUL;
        }
        *more = r.stop == JobStop::kNeedRoom || r.stop == JobStop::kOnePiece;
        return QEL_RTN_SUCCESSFUL;
    }

    void save(int32_t code) {
        s_->code = code;
        split(offset_, &s_->offset_lo, &s_->offset_hi);
        split(count_.lines, &s_->lines_lo, &s_->lines_hi);
        s_->at_line_start = count_.at_line_start ? 1u : 0u;
    }

    State *const s_;
    unsigned char *const dest_;
    const size_t room_;
    const unsigned char *const src_;
    const size_t avail_;
    const bool last_;
    const bool decoding_;
    const size_t cut_;
    const JobFn job_;
    LineCount count_;
    uint64_t offset_;
    size_t taken_ = 0;
    size_t produced_ = 0;
};

}  // namespace

extern "C" QEL_API int32_t QEL_CALL QEL_ConverterInit(QEL_Converter *c, uint32_t flags) {
    if (c == nullptr) return 0;
    memset(c, 0, sizeof *c);
    State *s = reinterpret_cast<State *>(c);
    s->magic = kMagic;
    s->mode = (flags & QEL_DECODE) != 0 ? kModeDecode : ((flags & QEL_FORCE) != 0 ? kModeForce : 0u);
    s->code = QEL_RTN_SUCCESSFUL;
    s->kernel = static_cast<uint32_t>(&best_kernel() - kKernels);
    s->at_line_start = 1;
    return 1;
}

extern "C" QEL_API int32_t QEL_CALL QEL_ConverterPut(QEL_Converter *c, char *dest, size_t dest_size,
                                                     size_t *produced, const char *src, size_t src_size,
                                                     size_t *consumed, uint32_t flags, int32_t *status) {
    if (!chain_open(status)) return 0;
    if (produced != nullptr) *produced = 0;
    if (consumed != nullptr) *consumed = 0;
    if (valid(c) == nullptr) return finish(status, QEL_RTN_NO_SOURCE);
    if (dest == nullptr && dest_size != 0) return finish(status, QEL_RTN_NO_DESTINATION);
    if (src == nullptr && src_size != 0) return finish(status, QEL_RTN_NO_SOURCE);
    State *s = reinterpret_cast<State *>(c);
    if (s->code != QEL_RTN_SUCCESSFUL) return finish(status, s->code);

    Conversion conversion(s, dest, dest_size, src, src_size, (flags & QEL_LAST) != 0);
    const int32_t code = conversion.run();
    if (produced != nullptr) *produced = conversion.produced();
    if (consumed != nullptr) *consumed = conversion.consumed();
    return finish(status, code);
}

extern "C" QEL_API uint64_t QEL_CALL QEL_ConverterOffset(const QEL_Converter *c) {
    const State *s = valid(c);
    return s == nullptr ? 0 : join(s->offset_lo, s->offset_hi);
}

extern "C" QEL_API uint64_t QEL_CALL QEL_ConverterLine(const QEL_Converter *c) {
    const State *s = valid(c);
    if (s == nullptr) return 0;
    const uint64_t lines = join(s->lines_lo, s->lines_hi);
    // After a refusal the count already names the refused piece's line.
    if (s->code != QEL_RTN_SUCCESSFUL) return lines;
    return s->at_line_start != 0 ? lines + 1 : lines;
}
