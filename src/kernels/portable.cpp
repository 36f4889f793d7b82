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
#include "format/record_format.h"

// No instruction sets of its own: plain C++ for every processor.
#include "kernels/begin.h"
#include "kernels/generic/line_engine.h"

namespace qel {
namespace portable {

namespace {

// Rows past the 94th repeat the first ones, so that a step of 8 bytes that
// starts inside a run never needs to wrap.
inline constexpr int kStep = 8;
inline constexpr int kRows = kCycle + kStep;

struct Rows {
    unsigned char row[kRows][256];
};

constexpr Rows make_encode_rows(int s) {
    Rows r{};
    for (int j = 0; j < kRows; ++j)
        for (int c = 0; c < 256; ++c)
            r.row[j][c] = (c >= 32 && c <= 126) ? kEncodeAlphabet[(c - 32 + s * (j + 1)) % kCycle]
                                                : static_cast<unsigned char>(c);
    return r;
}

constexpr Rows make_decode_rows(int s) {
    Rows r{};
    for (int j = 0; j < kRows; ++j)
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

// Eight bytes as one word, the first byte in the lowest bits.
inline uint64_t load_word(const unsigned char *p) {
    uint64_t w;
    memcpy(&w, p, sizeof w);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    return w;
}

inline constexpr uint64_t kLowBits = 0x7f7f7f7f7f7f7f7full;
inline constexpr uint64_t kEach = 0x0101010101010101ull;

// The top bit of each byte of w that is zero, and no other bit.
inline uint64_t zero_bytes(uint64_t w) { return ~(((w & kLowBits) + kLowBits) | w | kLowBits); }

// Maps p[0, n) to o through the rows 8 bytes a step, reading and writing
// up to 7 bytes past n; the bytes past a run of 94 are rewritten by the
// next run. o must not overlap p. For short texts, where the jump into
// map_rows would depend on each text's length. Each step loads its 8 bytes
// as one word and takes the bytes from it, which halves the loads.
//
// With kSpace, answers whether p[0, n) holds a space, found in the same
// words, so that a body is read once; the bytes past n don't count.
template <bool kSpace>
inline bool map_rows_in_steps(const Rows &rows, const unsigned char *p, unsigned char *o, size_t n) {
    uint64_t space = 0;
    for (size_t i = 0; i < n; i += kCycle) {
        const size_t run = n - i < size_t{kCycle} ? n - i : size_t{kCycle};
        const unsigned char *q = p + i;
        unsigned char *w = o + i;
        const unsigned char(*r)[256] = rows.row;
        for (size_t j = 0; j < run; j += kStep, r += kStep, q += kStep, w += kStep) {
            const uint64_t x = load_word(q);
            w[0] = r[0][x & 0xff], w[1] = r[1][(x >> 8) & 0xff], w[2] = r[2][(x >> 16) & 0xff];
            w[3] = r[3][(x >> 24) & 0xff], w[4] = r[4][(x >> 32) & 0xff], w[5] = r[5][(x >> 40) & 0xff];
            w[6] = r[6][(x >> 48) & 0xff], w[7] = r[7][x >> 56];
            if constexpr (kSpace) {
                const size_t left = run - j;
                const uint64_t counted = left >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * left)) - 1;
                space |= zero_bytes(x ^ (kEach * ' ')) & counted;
            }
        }
    }
    return space != 0;
}

// A body longer than this is searched for a space by memchr, whose call
// then costs little next to the body.
inline constexpr size_t kWordSearch = 64;

// Whether p[0, n) holds the byte c.
inline bool holds(const unsigned char *p, size_t n, unsigned char c) {
    if (n > kWordSearch) return memchr(p, c, n) != nullptr;
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        if (zero_bytes(load_word(p + i) ^ (kEach * c)) != 0) return true;
    for (; i < n; ++i)
        if (p[i] == c) return true;
    return false;
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

struct Mapper {
    // Eight bytes a step, the line feeds of a word found by its zero bytes
    // once XORed with line feeds. The first line feed of a word is written
    // whether there is one or not and counted only where there is, so that
    // the loop has no branch that depends on where lines end; a word with
    // a second one, rare but for short lines, takes the inner loop.
    static size_t scan(const unsigned char *p, size_t n, uint16_t *ends, size_t *nul) {
        size_t count = 0, i = 0;
        for (; i + 8 <= n; i += 8) {
            uint64_t lf = zero_bytes(load_word(p + i) ^ (kEach * '\n'));
            // The top bit stands in for a word without one: never counted.
            ends[count] = static_cast<uint16_t>(i + static_cast<size_t>(__builtin_ctzll(lf | (uint64_t{1} << 63))) / 8);
            count += lf != 0 ? 1 : 0;
            for (lf &= lf - 1; lf != 0; lf &= lf - 1)
                ends[count++] = static_cast<uint16_t>(i + static_cast<size_t>(__builtin_ctzll(lf)) / 8);
        }
        for (; i < n; ++i)
            if (p[i] == '\n') ends[count++] = static_cast<uint16_t>(i);
        return finish_scan(p, n, count, nul);
    }

    static size_t finish_scan(const unsigned char *p, size_t n, size_t count, size_t *nul) {
        const void *z = memchr(p, '\0', n);
        *nul = z != nullptr ? static_cast<size_t>(static_cast<const unsigned char *>(z) - p) : n;
        return count;
    }

    static void encode(const unsigned char *in, unsigned char *out, size_t n, size_t readable, size_t writable) {
        if (n < size_t{kCycle} && readable >= n + kStep && writable >= n + kStep)
            map_rows_in_steps<false>(kEncodeRows, in, out, n);
        else
            map_rows(kEncodeRows, in, out, n);
    }

    static bool decode(const unsigned char *in, unsigned char *out, size_t n, int s, size_t readable,
                       size_t writable) {
        if (s == kShift && n < size_t{kCycle} && readable >= n + kStep && writable >= n + kStep)
            return map_rows_in_steps<true>(kDecodeRows, in, out, n);
        if (holds(in, n, ' ')) return true;
        if (s == kShift) {
            map_rows(kDecodeRows, in, out, n);
        } else {
            decode_any_shift(in, out, n, s);
        }
        return false;
    }

    // The rows go from the last byte of a run to the first, so a body that
    // decodes over itself, its text up to three bytes before it, goes one
    // byte after the other from the first.
    static void decode_forward(const unsigned char *in, unsigned char *out, size_t n, int s) {
        decode_any_shift(in, out, n, s);
    }
};

}  // namespace

QEL_KERNEL_OPERATIONS(Mapper)

}  // namespace portable
}  // namespace qel

#include "kernels/end.h"
