// The portable kernel: plain C++, one table lookup a byte.
//
// The shift increment of the build is a constant, so within each run of 94
// body positions every position has a table row of its own that never
// changes: row j maps every byte value at an index i with i mod 94 == j.
// A run is written out with constant rows, and a shorter tail enters the
// same code part-way, so a byte costs what a plain byte-for-byte
// translation costs.
#include <string.h>

#include "format/alphabet.h"
#include "kernels/kernel.h"
#include "kernels/generic/line_engine.h"
#include "format/record_format.h"

namespace qel {
namespace portable {

namespace {

struct Rows {
    unsigned char row[kCycle][256];
};

constexpr Rows make_encode_rows(int s) {
    Rows r{};
    for (int j = 0; j < kCycle; ++j)
        for (int c = 0; c < 256; ++c)
            r.row[j][c] = (c >= 32 && c <= 126) ? kEncodeAlphabet[(c - 32 + s * (j + 1)) % kCycle]
                                                : static_cast<unsigned char>(c);
    return r;
}

constexpr Rows make_decode_rows(int s) {
    Rows r{};
    for (int j = 0; j < kCycle; ++j)
        for (int b = 0; b < 256; ++b) {
            const int e = kAlphabetIndex.entry[b];
            r.row[j][b] = e >= 0 ? static_cast<unsigned char>(32 + ((e - s * (j + 1)) % kCycle + kCycle) % kCycle)
                                 : static_cast<unsigned char>(b);
        }
    return r;
}

constexpr Rows kEncodeRows = make_encode_rows(kShift);
constexpr Rows kDecodeRows = make_decode_rows(kShift);

// Maps p[0, n) to o through the rows, run by run. Within a run the bytes
// are taken from the last to the first, so o must not overlap p.
inline void map_rows(const Rows &rows, const unsigned char *p, unsigned char *o, size_t n) {
    for (size_t i = 0; i < n; i += kCycle) {
        const unsigned char *q = p + i;
        unsigned char *w = o + i;
        switch (n - i < size_t{kCycle} ? n - i : size_t{kCycle}) {
#define QEL_ROW(k) \
    case (k) + 1: w[k] = rows.row[k][q[k]]; [[fallthrough]];
#define QEL_ROWS10(k) QEL_ROW(k + 9) QEL_ROW(k + 8) QEL_ROW(k + 7) QEL_ROW(k + 6) QEL_ROW(k + 5) \
                      QEL_ROW(k + 4) QEL_ROW(k + 3) QEL_ROW(k + 2) QEL_ROW(k + 1) QEL_ROW(k)
            QEL_ROW(93) QEL_ROW(92) QEL_ROW(91) QEL_ROW(90)
            QEL_ROWS10(80) QEL_ROWS10(70) QEL_ROWS10(60) QEL_ROWS10(50) QEL_ROWS10(40)
            QEL_ROWS10(30) QEL_ROWS10(20) QEL_ROWS10(10) QEL_ROWS10(0)
#undef QEL_ROWS10
#undef QEL_ROW
            default:
                break;
        }
    }
}

// Any shift, one byte after the other from the first, so that out may
// stand before in.
inline void decode_any_shift(const unsigned char *in, unsigned char *out, size_t n, int s) {
    int offset = s;  // s * (i + 1) mod 94
    for (size_t i = 0; i < n; ++i) {
        const unsigned char b = in[i];
        const int e = kAlphabetIndex.entry[b];
        if (e >= 0) {
            int place = e - offset;
            if (place < 0) place += kCycle;
            out[i] = static_cast<unsigned char>(32 + place);
        } else {
            out[i] = b;
        }
        offset += s;
        if (offset >= kCycle) offset -= kCycle;
    }
}

struct Bytes {
    static size_t scan(const unsigned char *p, size_t n, uint16_t *ends, size_t *nul) {
        size_t count = 0;
        const unsigned char *end = p + n;
        for (const unsigned char *q = p; q < end; ++q) {
            q = static_cast<const unsigned char *>(memchr(q, '\n', static_cast<size_t>(end - q)));
            if (q == nullptr) break;
            ends[count++] = static_cast<uint16_t>(q - p);
        }
        const void *z = memchr(p, '\0', n);
        *nul = z != nullptr ? static_cast<size_t>(static_cast<const unsigned char *>(z) - p) : n;
        return count;
    }

    static void encode(const unsigned char *in, unsigned char *out, size_t n, size_t, size_t) {
        map_rows(kEncodeRows, in, out, n);
    }

    static bool decode(const unsigned char *in, unsigned char *out, size_t n, int s, size_t, size_t) {
        if (memchr(in, ' ', n) != nullptr) return true;
        if (s == kShift) {
            map_rows(kDecodeRows, in, out, n);
        } else {
            decode_any_shift(in, out, n, s);
        }
        return false;
    }
};

}  // namespace

SpanResult encode_span(const Span &span, LineCount *count) { return line_engine::encode_span<Bytes>(span, count); }
SpanResult decode_span(const Span &span, LineCount *count) { return line_engine::decode_span<Bytes>(span, count); }

void encode_body(const unsigned char *in, unsigned char *out, size_t n) { map_rows(kEncodeRows, in, out, n); }

bool decode_body(const unsigned char *in, unsigned char *out, size_t n, int s) {
    if (memchr(in, ' ', n) != nullptr) return true;
    decode_any_shift(in, out, n, s);
    return false;
}

}  // namespace portable
}  // namespace qel
