// The line rules, written once and compiled into every kernel.
//
// A span is a run of input bytes that lie in memory: a stream's buffer, a
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
// A kernel supplies a byte mapper B, made once per call (so that it can
// hold its tables in registers), with three functions:
//   size_t scan(p, n, ends, &nul)  the offsets of the line feeds in p[0, n),
//                                  n <= kScanChunk, into ends (which holds
//                                  kScanEnds entries), and in nul the offset
//                                  of the first NUL or n; answers the count.
//   void encode(in, out, n, readable, writable)
//   bool decode(in, out, n, s, readable, writable)
//                                  map n bytes with the build's shift, or
//                                  with shift s; decode answers whether the
//                                  body held a space. They may read up to
//                                  `readable` bytes at in and write up to
//                                  `writable` at out (both at least n), so
//                                  a kernel can work in whole vectors.
//
// Only templates live here: each kernel's instantiation is its own code,
// compiled for its own instruction sets.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "kernel.h"
#include "qelcode.h"
#include "record_format.h"

namespace qel {
namespace line_engine {

inline constexpr size_t kScanChunk = 2048;
inline constexpr size_t kFirstChunk = 576;
inline constexpr size_t kScanEnds = kScanChunk + 64;
inline constexpr size_t kNone = ~size_t{0};

#define QEL_ENGINE_INLINE inline __attribute__((always_inline))

// Finds line feeds and the first NUL a chunk ahead of the pieces, so that
// a short line costs no search of its own.
template <class B>
class Scanner {
public:
    Scanner(const B &bytes, const unsigned char *in, size_t avail) : bytes_(bytes), in_(in), avail_(avail) {}

    // The first line feed in [pos, limit), or kNone; limit <= avail. pos is
    // where the last piece ended, and taken() tells when a piece took the
    // line feed found.
    QEL_ENGINE_INLINE size_t line_feed(size_t pos, size_t limit) {
        for (;;) {
            if (next_ < count_) {
                const size_t at = base_ + ends_[next_];
                return at < limit ? at : kNone;
            }
            if (scanned_ >= limit) return kNone;
            scan_more(pos);
        }
    }

    // The last line feed found ends the piece just taken.
    QEL_ENGINE_INLINE void taken() { ++next_; }

    // Whether a NUL lies before `end`, which line_feed has already scanned past.
    QEL_ENGINE_INLINE bool nul_before(size_t end) const { return nul_ < end; }

private:
    void scan_more(size_t pos) {
        // The first chunk is short, so that a call for one piece looks at
        // little more than that piece.
        const size_t chunk = scanned_ == 0 ? kFirstChunk : kScanChunk;
        const size_t n = avail_ - scanned_ < chunk ? avail_ - scanned_ : chunk;
        size_t nul = n;
        count_ = bytes_.scan(in_ + scanned_, n, ends_, &nul);
        base_ = scanned_;
        next_ = 0;
        // Line feeds before pos belong to pieces already taken (a cut piece
        // that a later chunk finishes).
        while (next_ < count_ && base_ + ends_[next_] < pos) ++next_;
        if (nul_ == kNone && nul < n) nul_ = scanned_ + nul;
        scanned_ += n;
    }

    const B &bytes_;
    const unsigned char *in_;
    size_t avail_;
    size_t scanned_ = 0;  // bytes looked at so far
    size_t base_ = 0;     // where the chunk of ends_ starts
    size_t count_ = 0, next_ = 0;
    size_t nul_ = kNone;  // the first NUL found
    uint16_t ends_[kScanEnds];
};

// The length of the piece at pos, or kNone when it may go on past the span:
// up to a line feed among its first `with_lf` bytes, else `cut` bytes when
// more follow, else the rest of the input at its end. *lf tells whether the
// piece ends with the line feed found.
template <class B>
QEL_ENGINE_INLINE size_t next_piece(Scanner<B> &sc, const Span &sp, size_t pos, size_t cut, size_t with_lf,
                                    bool *lf) {
    const size_t left = sp.avail - pos;
    const size_t at = sc.line_feed(pos, pos + (left < with_lf ? left : with_lf));
    *lf = at != kNone;
    if (at != kNone) return at + 1 - pos;
    if (left > cut) return cut;
    if (sp.at_end) return left;
    return kNone;
}

template <class B>
QEL_ENGINE_INLINE SpanResult encode_span(const Span &sp, LineCount *count) {
    SpanResult r{0, 0, QEL_RTN_SUCCESSFUL, 0, SpanStop::kInputUsed};
    const B bytes;
    Scanner<B> sc(bytes, sp.in, sp.avail);
    uint64_t lines = count->lines;
    bool at_line_start = count->at_line_start;
    while (r.consumed < sp.avail) {
        const size_t pos = r.consumed;
        // A piece is a line or 507 bytes of one; a line feed right after them joins them.
        bool lf;
        const size_t len = next_piece(sc, sp, pos, kMaxText, kMaxText + 1, &lf);
        if (len == kNone) {
            r.stop = SpanStop::kNeedInput;
            break;
        }
        const unsigned char *piece = sp.in + pos;
        const size_t n = trim_line_end(piece, len);
        int32_t code = QEL_RTN_SUCCESSFUL;
        if (sc.nul_before(pos + len)) {
            code = QEL_RTN_NUL_IN_SOURCE;
        } else if (!sp.force && carries_mark(piece, n)) {
            code = QEL_RTN_SOURCE_ENCODED;
        } else if (n + 4 > sp.room - r.produced) {
            r.stop = SpanStop::kNeedRoom;
            break;
        }
        lines += at_line_start ? 1 : 0;
        at_line_start = piece[len - 1] == '\n';
        if (code != QEL_RTN_SUCCESSFUL) {
            r.code = code;
            r.refused = len;
            break;
        }
        unsigned char *o = sp.out + r.produced;
        bytes.encode(piece, o + 3, n, sp.avail - pos, sp.room - r.produced - 3);
        put_header(o, n);
        o[3 + n] = '\n';  // over the line end, which is carried unchanged
        r.consumed += len;
        r.produced += n + 4;
        if (lf) sc.taken();
        if (sp.one_piece) {
            r.stop = SpanStop::kOnePiece;
            break;
        }
    }
    count->lines = lines;
    count->at_line_start = at_line_start;
    return r;
}

template <class B>
QEL_ENGINE_INLINE SpanResult decode_span(const Span &sp, LineCount *count) {
    SpanResult r{0, 0, QEL_RTN_SUCCESSFUL, 0, SpanStop::kInputUsed};
    const B bytes;
    Scanner<B> sc(bytes, sp.in, sp.avail);
    uint64_t lines = count->lines;
    bool at_line_start = count->at_line_start;
    while (r.consumed < sp.avail) {
        const size_t pos = r.consumed;
        // A record is one line of at most 512 bytes with its line end.
        bool lf;
        const size_t len = next_piece(sc, sp, pos, kRecordBufferSize, kRecordBufferSize, &lf);
        if (len == kNone) {
            r.stop = SpanStop::kNeedInput;
            break;
        }
        const unsigned char *line = sp.in + pos;
        const bool overlong = !lf && len == kRecordBufferSize && pos + len < sp.avail;
        RecordShape shape{0, 0};
        int32_t code = QEL_RTN_SUCCESSFUL;
        if (sc.nul_before(pos + len)) {
            code = QEL_RTN_NUL_IN_SOURCE;
        } else if (overlong) {
            code = QEL_RTN_RECORD_DAMAGED;
        } else {
            code = parse_record(line, len, &shape);
        }
        if (code == QEL_RTN_SUCCESSFUL && shape.body_len + 1 > sp.room - r.produced) {
            r.stop = SpanStop::kNeedRoom;
            break;
        }
        unsigned char *o = sp.out + r.produced;
        if (code == QEL_RTN_SUCCESSFUL &&
            bytes.decode(line + 3, o, shape.body_len, shape.shift, sp.avail - pos - 3, sp.room - r.produced)) {
            code = QEL_RTN_RECORD_DAMAGED;  // no mapping yields a space
        }
        lines += at_line_start ? 1 : 0;
        at_line_start = line[len - 1] == '\n';
        if (code != QEL_RTN_SUCCESSFUL) {
            r.code = code;
            r.refused = len;
            break;
        }
        o[shape.body_len] = '\n';
        r.consumed += len;
        r.produced += shape.body_len + 1;
        if (lf) sc.taken();
        if (sp.one_piece) {
            r.stop = SpanStop::kOnePiece;
            break;
        }
    }
    count->lines = lines;
    count->at_line_start = at_line_start;
    return r;
}

#undef QEL_ENGINE_INLINE

}  // namespace line_engine
}  // namespace qel
