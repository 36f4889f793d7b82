// The line rules, written once and compiled into every kernel.
//
// A job is a run of input bytes that lie in memory: a stream's buffer, a
// piece read byte by byte, or a host's buffer. The engine cuts it into
// pieces, refuses or converts each in order, and stops before a piece that
// may go on past the bytes given, before one whose output does not fit, or
// at the first refused piece.
//
// Pieces. Encoding: a line up to and including its line feed, or 507 bytes
// of a longer line; a line feed right after 507 bytes joins them. Decoding:
// one record per line of at most 512 bytes with its line end; 512 bytes
// without a line feed, with more to follow, are an overlong line.
//
// Refusals, first reason first: a piece holding a NUL (12); encoding, a
// trimmed text that carries the encoded mark unless forced (9); decoding,
// an overlong line (13), a line that is no record (10 or 13), a body
// holding a space (13).
//
// A kernel supplies a byte mapper (the ByteMapper concept below), made once
// per call so that it can hold its tables in registers.
//
// Batches: the whole lines of a scanned chunk that need nothing but the
// plain conversion (no NUL, no mark, no cut, room and input to spare) go
// through one tight loop per direction, in whole vectors, the header from
// a table; the first line that needs more goes through a checked step, and
// what that leaves (a refusal, a cut, a line past the job) through the
// one-piece path, which decides it exactly as if no batch had run.
//
// Only templates live here: each kernel's instantiation is its own code,
// compiled for its own instruction sets.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <concepts>

#include "kernels/kernel.h"
#include "qelcode.h"
#include "format/record_format.h"

namespace qel {
namespace line_engine {

inline constexpr size_t kScanChunk = 2048;
inline constexpr size_t kFirstChunk = 576;
inline constexpr size_t kScanEnds = kScanChunk + 64;
inline constexpr size_t kNone = ~size_t{0};

// What a kernel gives the engine:
//   B::scan(p, n, ends, &nul)  the offsets of the line feeds in p[0, n),
//       n <= kScanChunk, into ends (which holds kScanEnds entries), and in
//       nul the offset of the first NUL or n; answers the count.
//   encode(in, out, n, readable, writable)
//   decode(in, out, n, s, readable, writable)
//       map n bytes with the build's shift, or with shift s; decode answers
//       whether the body held a space. They may read up to `readable` bytes
//       at in and write up to `writable` at out (both at least n), so that a
//       kernel can work in whole vectors.
// A mapper whose decode does not go from the first byte on also gives
//   B::decode_forward(in, out, n, s), which does (see decode_body).
template <class B>
concept ByteMapper = std::default_initializable<B> &&
    requires(const B b, const unsigned char *in, unsigned char *out, size_t n, uint16_t *ends, size_t *nul,
             int s) {
        { B::scan(in, n, ends, nul) } -> std::same_as<size_t>;
        { b.encode(in, out, n, n, n) } -> std::same_as<void>;
        { b.decode(in, out, n, s, n, n) } -> std::same_as<bool>;
    };

#define QEL_ENGINE_INLINE inline __attribute__((always_inline))
#define QEL_ENGINE_LAMBDA __attribute__((always_inline))

// Finds line feeds and the first NUL a chunk ahead of the pieces, so that
// a short line costs no search of its own.
template <ByteMapper B>
class Scanner {
public:
    // Where the current chunk's line feeds are. The engine keeps it in
    // locals: a byte it writes to the output could otherwise be any
    // object's, and force a reload at every line.
    struct Cursor {
        const uint16_t *ends;
        size_t base;   // where the chunk starts
        size_t next;   // the first line feed not yet taken
        size_t count;
    };

    Scanner(const unsigned char *in, size_t avail) : in_(in), avail_(avail) {}

    // The first line feed in [pos, limit), or kNone; limit <= avail, and
    // every line feed before pos has been taken.
    QEL_ENGINE_INLINE size_t line_feed(Cursor &c, size_t pos, size_t limit) {
        for (;;) {
            if (c.next < c.count) {
                const size_t at = c.base + c.ends[c.next];
                return at < limit ? at : kNone;
            }
            if (scanned_ >= limit) return kNone;
            c = scan_more(pos);
        }
    }

    // Whether a NUL lies before `end`, which line_feed has already scanned past.
    QEL_ENGINE_INLINE bool nul_before(size_t end) const { return nul_ < end; }

    // The first NUL found so far, or kNone.
    QEL_ENGINE_INLINE size_t first_nul() const { return nul_; }

    // Where the bytes scanned so far end.
    QEL_ENGINE_INLINE size_t scanned() const { return scanned_; }

    // Scans the next chunk; every line feed before pos has been taken.
    __attribute__((noinline)) Cursor scan_more(size_t pos) {
        // The first chunk is short, so that a call for one piece looks at
        // little more than that piece.
        const size_t chunk = scanned_ == 0 ? kFirstChunk : kScanChunk;
        const size_t n = avail_ - scanned_ < chunk ? avail_ - scanned_ : chunk;
        // The chunk after this one, on its way into the cache while this
        // one's lines are converted.
        {
            const size_t from = scanned_ + n, ahead = avail_ - from < kScanChunk ? avail_ - from : kScanChunk;
            for (size_t j = 0; j < ahead; j += 64) __builtin_prefetch(in_ + from + j);
        }
        size_t nul = n;
        Cursor c{ends_, scanned_, 0, B::scan(in_ + scanned_, n, ends_, &nul)};
        // Line feeds before pos belong to pieces already taken.
        while (c.next < c.count && c.base + ends_[c.next] < pos) ++c.next;
        if (nul_ == kNone && nul < n) nul_ = scanned_ + nul;
        scanned_ += n;
        return c;
    }

private:
    const unsigned char *in_;
    size_t avail_;
    size_t scanned_ = 0;  // bytes looked at so far
    size_t nul_ = kNone;  // the first NUL found
    uint16_t ends_[kScanEnds];
};

// The length of the piece at pos, or kNone when it may go on past the job:
// up to a line feed among its first `with_lf` bytes, else `cut` bytes when
// more follow, else the rest of the input at its end. *lf tells whether the
// piece ends with the line feed found.
template <ByteMapper B>
QEL_ENGINE_INLINE size_t next_piece(Scanner<B> &sc, typename Scanner<B>::Cursor &c, size_t avail, bool at_end,
                                    size_t pos, size_t cut, size_t with_lf, bool *lf) {
    const size_t left = avail - pos;
    const size_t at = sc.line_feed(c, pos, pos + (left < with_lf ? left : with_lf));
    *lf = at != kNone;
    if (at != kNone) return at + 1 - pos;
    if (left > cut) return cut;
    if (at_end) return left;
    return kNone;
}

// Mapper past a line that a kernel may read and write when it works in
// whole vectors: two of at most 64 bytes.
inline constexpr size_t kVectorSlack = 128;
// Readable and writable sizes that let a kernel use whole vectors.
inline constexpr size_t kWhole = size_t{1} << 20;

// Where a batch stands: the input taken, the output made, and the next line
// feed of the chunk.
struct BatchAt {
    size_t consumed;
    size_t produced;
    size_t next;
};

// The plain conversion of one line, in each direction, written once for
// every path: an n-byte text p to its record at o (header, body, line
// feed), and an n-byte body p with shift s to its text at o (the text, a
// line feed), answering whether the body held a space. They read up to
// `readable` bytes at p and write up to `writable` at o, at least the
// output's length.
template <ByteMapper B>
QEL_ENGINE_INLINE size_t put_record(const B &bytes, const unsigned char *p, size_t n, unsigned char *o,
                                    size_t readable, size_t writable) {
    memcpy(o, kHeaders.at[n], 4);  // the fourth byte is the body's or the line feed's
    bytes.encode(p, o + 3, n, readable, writable - 3);
    o[3 + n] = '\n';  // over the line end, which is carried unchanged
    return n + 4;
}

template <ByteMapper B>
QEL_ENGINE_INLINE bool put_text(const B &bytes, const unsigned char *p, size_t n, int s, unsigned char *o,
                                size_t readable, size_t writable) {
    if (bytes.decode(p, o, n, s, readable, writable)) return true;
    o[n] = '\n';
    return false;
}

// One whole line of a batch, p[0, m) before its line feed, in each
// direction: the same step for the batch loops and for the checked step
// after them. Each answers the length n of the text (its output takes
// n + 4 bytes encoding, n + 1 decoding), or kNone for a line that it
// leaves to the one-piece path, which then decides it exactly as if no
// batch had run.
//
// Encoding takes a line that is a record's whole text (at most 507 bytes
// before a CR LF or a line feed), that does not carry the mark unless
// forced, and whose record fits.
template <ByteMapper B, bool kForce>
QEL_ENGINE_INLINE size_t encode_line(const B &bytes, const unsigned char *p, size_t m, unsigned char *o,
                                     size_t readable, size_t writable) {
    if (m > kMaxText) return kNone;  // a piece of 507 bytes and the rest
    const size_t n = text_before_line_feed(p, m);
    // The mark test of text_refusal, which reads two bytes whatever n is
    // where two are readable: for n < 2 one of them is a CR or a line
    // feed, and the mark would need the other to be 146 or 149, above 127,
    // so a text that short never shows it.
    if (!kForce && carries_mark(p, readable >= 2 ? 2 : n)) return kNone;
    if (n + 4 > writable) return kNone;
    put_record(bytes, p, n, o, readable, writable);
    return n;
}

// Decoding takes a subset of what parse_record accepts: a record whose
// body stands as it is (the length its header names, so neither a CR
// before its line feed nor a line feed of the text's own, which
// parse_record also takes back), with a step mark that names a shift,
// whose text fits, and with no space in its body. Everything else goes to
// the one-piece path, which decodes it with parse_record or refuses it.
template <ByteMapper B>
QEL_ENGINE_INLINE size_t decode_line(const B &bytes, const unsigned char *p, size_t m, unsigned char *o,
                                     size_t readable, size_t writable) {
    if (m < 3 || m - 3 > kMaxText) return kNone;
    const size_t n = m - 3;
    if (n + 1 > writable) return kNone;
    // Most records carry the header this build writes, which names its
    // shift: one comparison, and the shift a constant.
    if (memcmp(p, kHeaders.at[n], 3) == 0)
        return put_text(bytes, p + 3, n, kShift, o, readable - 3, writable) ? kNone : n;
    // read_header's checks, written out: through that call gcc gives this
    // loop a few per cent more instructions (callgrind).
    if (!carries_mark(p, 2) || p[0] != kHeaders.at[n][0]) return kNone;
    const int s = shift_of_step_mark(p[2]);
    if (s == 0) return kNone;
    if (put_text(bytes, p + 3, n, s, o, readable - 3, writable)) return kNone;
    return n;
}

// The whole-vector loops of the batches, each a function of its own so that
// its few values stay in registers. Every line that ends at base + ends[k]
// (k < last, each before the job's stop) and whose output leaves
// kVectorSlack bytes of room is converted, until one that needs a look of
// its own.
//
// The room is checked once for the run of lines: a line of m bytes before
// its line feed makes at most m + grow bytes, so that where the run's
// output fits as a whole no line needs a look of its own; where it may
// not, every line is checked.
//
// The loops walk pointers (the input, the output, the next line feed's
// entry) rather than offsets from the job's start, so that their few values
// stay in registers.
template <class Step>
QEL_ENGINE_INLINE BatchAt run_whole(const unsigned char *in, unsigned char *out, const uint16_t *ends,
                                    size_t base, BatchAt a, size_t last, size_t room, size_t grow, Step step) {
    const unsigned char *p = in + a.consumed;
    unsigned char *o = out + a.produced;
    const unsigned char *const chunk = in + base;
    const uint16_t *e = ends + a.next;
    const uint16_t *const e_last = ends + last;
    // Every line's bytes with its line feed, less one a line, plus grow a line.
    if (e < e_last && a.produced + (base + e_last[-1] + 1 - a.consumed) - (last - a.next) +
                              grow * (last - a.next) + kVectorSlack <= room) {
        for (; e < e_last; ++e) {
            const unsigned char *const lf = chunk + *e;
            const size_t r = step(p, static_cast<size_t>(lf - p), o);
            if (r == kNone) break;
            p = lf + 1;
            o += r;
        }
    } else {
        for (; e < e_last; ++e) {
            const unsigned char *const lf = chunk + *e;
            const size_t m = static_cast<size_t>(lf - p);
            if (static_cast<size_t>(o - out) + m + grow + kVectorSlack > room) break;
            const size_t r = step(p, m, o);
            if (r == kNone) break;
            p = lf + 1;
            o += r;
        }
    }
    return BatchAt{static_cast<size_t>(p - in), static_cast<size_t>(o - out), static_cast<size_t>(e - ends)};
}

template <ByteMapper B, bool kForce>
__attribute__((noinline)) BatchAt encode_whole(const unsigned char *in, unsigned char *out, const uint16_t *ends,
                                               size_t base, BatchAt a, size_t last, size_t room) {
    const B bytes;
    return run_whole(in, out, ends, base, a, last, room, 4,
                     [&](const unsigned char *p, size_t m, unsigned char *o) QEL_ENGINE_LAMBDA -> size_t {
                         const size_t n = encode_line<B, kForce>(bytes, p, m, o, kWhole, kWhole);
                         return n == kNone ? kNone : n + 4;
                     });
}

template <ByteMapper B>
__attribute__((noinline)) BatchAt decode_whole(const unsigned char *in, unsigned char *out, const uint16_t *ends,
                                               size_t base, BatchAt a, size_t last, size_t room) {
    const B bytes;
    return run_whole(in, out, ends, base, a, last, room, 0,
                     [&](const unsigned char *p, size_t m, unsigned char *o) QEL_ENGINE_LAMBDA -> size_t {
                         const size_t n = decode_line(bytes, p, m, o, kWhole, kWhole);
                         return n == kNone ? kNone : n + 1;
                     });
}

// The loop both directions share: cuts pieces, counts lines, stops at a
// refusal, for want of input or room, or after one piece when asked.
// convert(piece, len, lf, more, readable, out, room, &made) converts one
// piece (lf: it ends with a line feed; more: input follows it; readable:
// the bytes from the piece to the job's end) into out, which has `room`
// bytes, and answers a status code, or kNoRoom.
//
// Batches. Whole lines of a scanned chunk, one after the other, go first
// through whole(in, out, ends, base, at, last, room), given the lines that
// end before the stop (no NUL, and whole vectors readable past them), which
// takes lines while the output leaves kVectorSlack bytes of room, and answers
// where it stopped; a line it stops at goes through line(p, m, out, room,
// readable), where m is the line's length before its line feed, with every
// check of its own. Both answer kNone for a line that they leave to the
// one-piece path, which then converts, cuts or refuses it. Both may write
// past their own output: the next line's output overwrites it.
inline constexpr int32_t kNoRoom = -1;

template <ByteMapper B, class Convert, class Whole, class Line>
QEL_ENGINE_INLINE JobResult run_job(const Job &sp, LineCount *count, size_t cut, size_t with_lf,
                                      Convert convert, Whole whole, Line line) {
    // Everything the loop reads stays in locals: a byte written to the
    // output could otherwise be any object's, and force a reload.
    const unsigned char *const in = sp.in;
    const size_t avail = sp.avail;
    const bool at_end = sp.at_end, one_piece = sp.one_piece;
    unsigned char *const out = sp.out;
    const size_t room = sp.room;
    size_t consumed = 0, produced = 0;
    uint64_t lines = count->lines;
    bool at_line_start = count->at_line_start;
    JobResult r{0, 0, QEL_RTN_SUCCESSFUL, 0, JobStop::kInputUsed};

    Scanner<B> sc(in, avail);
    typename Scanner<B>::Cursor cursor{nullptr, 0, 0, 0};
    while (consumed < avail) {
        if (!one_piece && at_line_start) {
            // Every whole line of the chunks scanned, until one that the
            // batch leaves to the one-piece path.
            for (;;) {
                const uint16_t *const ends = cursor.ends;
                const size_t base = cursor.base, last = cursor.count, nul = sc.first_nul();
                // A whole-vector line ends before any NUL, with a vector and a header readable past it.
                const size_t readable_end = avail > kVectorSlack + 3 ? avail - kVectorSlack - 3 : 0;
                const size_t in_stop = nul < readable_end ? nul : readable_end;
                // The lines of the chunk that end before in_stop, counted
                // from its end: in_stop lies near the job's end, if in the
                // chunk at all.
                size_t whole_last = last;
                while (whole_last > cursor.next && base + ends[whole_last - 1] >= in_stop) --whole_last;
                size_t k = cursor.next;
                while (k < last) {
                    const BatchAt b = whole(in, out, ends, base, BatchAt{consumed, produced, k}, whole_last, room);
                    lines += b.next - k;
                    consumed = b.consumed;
                    produced = b.produced;
                    k = b.next;
                    if (k == last) break;
                    const size_t at = base + ends[k];
                    if (at > nul) break;  // the line holds a NUL (which is never at a line feed)
                    const size_t made = line(in + consumed, at - consumed, out + produced, room - produced,
                                             avail - consumed);
                    if (made == kNone) break;
                    consumed = at + 1;
                    produced += made;
                    ++lines;
                    ++k;
                }
                const size_t end = sc.scanned();
                cursor.next = k;
                if (k < last || end >= avail) break;
                cursor = sc.scan_more(consumed);
            }
            if (consumed >= avail) break;
        }
        const size_t pos = consumed;
        bool lf;
        const size_t len = next_piece(sc, cursor, avail, at_end, pos, cut, with_lf, &lf);
        if (len == kNone) {
            r.stop = JobStop::kNeedInput;
            break;
        }
        const unsigned char *piece = in + pos;
        size_t made = 0;
        const int32_t code = sc.nul_before(pos + len)
                                 ? QEL_RTN_NUL_IN_SOURCE
                                 : convert(piece, len, lf, pos + len < avail, avail - pos, out + produced,
                                           room - produced, &made);
        if (code == kNoRoom) {
            r.stop = JobStop::kNeedRoom;
            break;
        }
        lines += at_line_start ? 1 : 0;
        at_line_start = lf;  // a piece ends with a line feed only where one was found
        if (code != QEL_RTN_SUCCESSFUL) {
            r.code = code;
            r.refused = len;
            break;
        }
        consumed += len;
        produced += made;
        if (lf) ++cursor.next;  // the piece took that line feed
        if (one_piece) {
            r.stop = JobStop::kOnePiece;
            break;
        }
    }
    r.consumed = consumed;
    r.produced = produced;
    count->lines = lines;
    count->at_line_start = at_line_start;
    return r;
}

template <ByteMapper B>
QEL_ENGINE_INLINE JobResult encode_job(const Job &sp, LineCount *count) {
    const B bytes;
    const bool force = sp.force;
    // A piece is a line or 507 bytes of one; a line feed right after them joins them.
    return run_job<B>(sp, count, kMaxText, kMaxText + 1,
                    [&](const unsigned char *piece, size_t len, bool lf, bool, size_t readable, unsigned char *o,
                        size_t room, size_t *made) QEL_ENGINE_LAMBDA -> int32_t {
                        const size_t n = trim_line_end(piece, len, lf);
                        const int32_t refusal = text_refusal(piece, n, force);  // a piece is never too long
                        if (refusal != QEL_RTN_SUCCESSFUL) return refusal;
                        if (n + 4 > room) return kNoRoom;
                        *made = put_record(bytes, piece, n, o, readable, room);
                        return QEL_RTN_SUCCESSFUL;
                    },
                    force ? encode_whole<B, true> : encode_whole<B, false>,
                    [&](const unsigned char *p, size_t m, unsigned char *o, size_t room,
                        size_t readable) QEL_ENGINE_LAMBDA -> size_t {
                        const size_t n = force ? encode_line<B, true>(bytes, p, m, o, readable, room)
                                               : encode_line<B, false>(bytes, p, m, o, readable, room);
                        return n == kNone ? kNone : n + 4;
                    });
}

template <ByteMapper B>
QEL_ENGINE_INLINE JobResult decode_job(const Job &sp, LineCount *count) {
    const B bytes;
    // A record is one line of at most 512 bytes with its line end; 512
    // bytes without one, with more to follow, are longer than any record.
    return run_job<B>(sp, count, kRecordBufferSize, kRecordBufferSize,
                    [&](const unsigned char *line, size_t len, bool lf, bool more, size_t readable,
                        unsigned char *o, size_t room, size_t *made) QEL_ENGINE_LAMBDA -> int32_t {
                        if (!lf && len == kRecordBufferSize && more) return QEL_RTN_RECORD_DAMAGED;
                        RecordShape shape;
                        const int32_t code = parse_record(line, len, &shape);
                        if (code != QEL_RTN_SUCCESSFUL) return code;
                        if (shape.body_len + 1 > room) return kNoRoom;
                        // No mapping yields a space.
                        if (put_text(bytes, line + 3, shape.body_len, shape.shift, o, readable - 3, room))
                            return QEL_RTN_RECORD_DAMAGED;
                        *made = shape.body_len + 1;
                        return QEL_RTN_SUCCESSFUL;
                    },
                    decode_whole<B>,
                    [&](const unsigned char *p, size_t m, unsigned char *o, size_t room,
                        size_t readable) QEL_ENGINE_LAMBDA -> size_t {
                        const size_t n = decode_line(bytes, p, m, o, readable, room);
                        return n == kNone ? kNone : n + 1;
                    });
}

// The record calls' body functions. A record decodes over itself, so the
// body is decoded from the first byte on: by the mapper's decode, which
// loads each vector before it stores it, or, for a mapper whose decode
// goes another way, by its decode_forward. A body with a space is refused
// before anything is written.
template <ByteMapper B>
inline void encode_body(const unsigned char *in, unsigned char *out, size_t n) {
    B().encode(in, out, n, n, n);
}

template <ByteMapper B>
inline bool decode_body(const unsigned char *in, unsigned char *out, size_t n, int s) {
    if (memchr(in, ' ', n) != nullptr) return true;
    if constexpr (requires { B::decode_forward(in, out, n, s); })
        B::decode_forward(in, out, n, s);
    else
        B().decode(in, out, n, s, n, n);
    return false;
}

#undef QEL_ENGINE_LAMBDA
#undef QEL_ENGINE_INLINE

}  // namespace line_engine
}  // namespace qel

// The four operations of the kernel table, for a kernel's byte mapper B.
#define QEL_KERNEL_OPERATIONS(B)                                                                               \
    JobResult encode_job(const Job &job, LineCount *count) { return line_engine::encode_job<B>(job, count); } \
    JobResult decode_job(const Job &job, LineCount *count) { return line_engine::decode_job<B>(job, count); } \
    void encode_body(const unsigned char *in, unsigned char *out, size_t n) { line_engine::encode_body<B>(in, out, n); } \
    bool decode_body(const unsigned char *in, unsigned char *out, size_t n, int s) {                          \
        return line_engine::decode_body<B>(in, out, n, s);                                                   \
    }
