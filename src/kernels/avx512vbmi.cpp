// The AVX-512 VBMI kernel: 64 bytes a step, the 94-entry alphabet held
// whole in two registers and looked up with one two-table permute. Masked
// loads and stores keep every access inside the bytes a caller allows.
// The bit tricks are written in plain C, so that the kernel builds for
// 32-bit x86 too, where the compiler picks the instructions.
#include <immintrin.h>
#include <string.h>

#include "format/alphabet.h"
#include "kernels/kernel.h"
#include "format/record_format.h"
#include "kernels/shift_offsets.h"

#define QEL_KERNEL_TARGET "avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt"
#include "kernels/begin.h"
#include "kernels/generic/line_engine.h"

namespace qel {
namespace avx512vbmi {

namespace {

constexpr __mmask64 kAll = ~__mmask64{0};

inline __mmask64 lanes_left(size_t left) {
    return left >= 64 ? kAll : static_cast<__mmask64>((uint64_t{1} << left) - 1);
}

// A whole load where `readable` allows; a masked one, which can't fault
// past the end, where it does not.
inline __m512i load(const unsigned char *p, __mmask64 m, size_t readable) {
    return readable >= 64 ? _mm512_loadu_si512(p) : _mm512_maskz_loadu_epi8(m, p);
}

// A 128-entry table in two registers, for one two-table permute.
struct Table {
    __m512i lo, hi;
};

// Decoding subtracts the offset from an entry number; the row holds
// 94 - offset, laid out as kShiftOffsets, so that one addition gives the
// place plus 94, which wraps into 0..93 as encoding's sum does.
struct DecodeOffsets {
    unsigned char at[10][kOffsetRow];
};

constexpr DecodeOffsets make_decode_offsets() {
    DecodeOffsets t{};
    for (int s = 0; s < 10; ++s)
        for (int j = 0; j < kOffsetRow; ++j) t.at[s][j] = static_cast<unsigned char>(kCycle - kShiftOffsets.at[s][j]);
    return t;
}

inline constexpr DecodeOffsets kDecodeOffsets = make_decode_offsets();

// Values kept in registers for a whole call. Each passes through an empty
// asm statement, so that the compiler holds it rather than rebuilding it
// from the constant pool at every line.
inline __m512i held(__m512i v) {
    __asm__("" : "+v"(v));
    return v;
}

// A row of offsets as a mapping adds it, and that less 94.
struct Rows {
    __m512i sum, less94;
};

struct Constants {
    Table alphabet, index;
    __m512i c32, c33, c94, c95;
    // Each mapping adds a row of offsets, and that row less 94, and keeps the
    // smaller sum, which wraps it into 0..93. The rows of the build's shift
    // for the first vectors of a body are held; the others are loaded.
    Rows encode_first[2];  // body bytes 0..127
    Rows decode_first;     // body bytes 0..63

    Constants()
        : alphabet{held(_mm512_loadu_si512(kPaddedTables.encode)), held(_mm512_loadu_si512(kPaddedTables.encode + 64))},
          index{held(_mm512_loadu_si512(kPaddedTables.decode)), held(_mm512_loadu_si512(kPaddedTables.decode + 64))},
          c32(held(_mm512_set1_epi8(32))),
          c33(held(_mm512_set1_epi8(33))),
          c94(held(_mm512_set1_epi8(94))),
          c95(held(_mm512_set1_epi8(95))),
          encode_first{encode_rows(kShiftOffsets.at[kShift], true), encode_rows(kShiftOffsets.at[kShift] + 64, true)},
          decode_first(decode_rows(kDecodeOffsets.at[kShift], true)) {}

    // Encoding adds the offset to a byte's place, its value less 32.
    Rows encode_rows(const unsigned char *offsets, bool hold) const {
        const __m512i r = _mm512_sub_epi8(_mm512_loadu_si512(offsets), c32);
        return Rows{hold ? held(r) : r, hold ? held(_mm512_sub_epi8(r, c94)) : _mm512_sub_epi8(r, c94)};
    }

    // Decoding adds 94 - offset (kDecodeOffsets) to an entry number.
    Rows decode_rows(const unsigned char *offsets, bool hold) const {
        const __m512i r = _mm512_loadu_si512(offsets);
        return Rows{hold ? held(r) : r, hold ? held(_mm512_sub_epi8(r, c94)) : _mm512_sub_epi8(r, c94)};
    }

    __m512i encode64(__m512i c, const Rows &rows) const {
        const __mmask64 graphic = _mm512_cmplt_epu8_mask(_mm512_sub_epi8(c, c32), c95);
        // (place + offset) mod 94: the sum is at most 187.
        const __m512i e = _mm512_min_epu8(_mm512_add_epi8(c, rows.sum), _mm512_add_epi8(c, rows.less94));
        const __m512i mapped = _mm512_permutex2var_epi8(alphabet.lo, e, alphabet.hi);
        return _mm512_mask_blend_epi8(graphic, c, mapped);
    }

    __m512i decode64(__m512i b, const Rows &rows) const {
        const __m512i k = _mm512_sub_epi8(b, c33);
        const __mmask64 graphic = _mm512_cmplt_epu8_mask(k, c94);
        const __m512i e = _mm512_permutex2var_epi8(index.lo, k, index.hi);
        // The place, (e - offset) mod 94, plus 32 in the graphic lanes; the rest stay.
        const __m512i place = _mm512_min_epu8(_mm512_add_epi8(e, rows.sum), _mm512_add_epi8(e, rows.less94));
        return _mm512_mask_add_epi8(b, graphic, place, c32);
    }

    template <bool kDecoding>
    __attribute__((always_inline)) Rows rows(const unsigned char *offsets) const {
        return kDecoding ? decode_rows(offsets, false) : encode_rows(offsets, false);
    }

    // Maps the vector at in, of which `left` lanes count, with whole vectors
    // read and written where `readable` and `writable` allow; answers the
    // counted lanes that held a space (decoding).
    template <bool kDecoding>
    __attribute__((always_inline)) __mmask64 map_vector(const unsigned char *in, unsigned char *out, size_t left,
                                                        const Rows &rows, size_t readable, size_t writable) const {
        const __mmask64 m = lanes_left(left);
        const __m512i v = load(in, m, readable);
        _mm512_mask_storeu_epi8(out, writable >= 64 ? kAll : m, kDecoding ? decode64(v, rows) : encode64(v, rows));
        return kDecoding ? _mm512_mask_cmpeq_epi8_mask(m, v, c32) : 0;
    }

    // Maps n bytes; the first vector is done apart, with no loop, since most
    // lines fit it. Answers whether the body held a space.
    template <bool kDecoding>
    __attribute__((always_inline)) bool map_body(const unsigned char *in, unsigned char *out, size_t n, int s,
                                                 size_t readable, size_t writable) const {
        const unsigned char *offsets = kDecoding ? kDecodeOffsets.at[s] : kShiftOffsets.at[s];
        const Rows first = s != kShift ? rows<kDecoding>(offsets) : kDecoding ? decode_first : encode_first[0];
        __mmask64 space = map_vector<kDecoding>(in, out, n, first, readable, writable);
        size_t i = 64, base = 64;  // i mod 94
        if (!kDecoding && readable >= 128 && writable >= 128) {
            // Encoding, the second vector whatever n is, where it may be read
            // and written whole: whether a line is longer than one vector is
            // then no branch to guess. (Decoding gains nothing by it.)
            space |= map_vector<kDecoding>(in + 64, out + 64, n > 64 ? n - 64 : 0, encode_first[1], readable - 64,
                                           writable - 64);
            i = 128;
            base = 128 - kCycle;
        }
        for (; i < n; i += 64) {
            space |= map_vector<kDecoding>(in + i, out + i, n - i, rows<kDecoding>(offsets + base), readable - i,
                                           writable - i);
            base += 64;
            if (base >= kCycle) base -= kCycle;
        }
        return space != 0;
    }
};

struct Mapper {
    Constants k;

    // A compress puts the places of a vector's line feeds side by side as
    // bytes; a permute widens 32 of them to 16 bits, which are stored whole,
    // and as many kept as were found, so that no branch depends on the text
    // but for a vector with more than 32 line feeds.
    static size_t scan(const unsigned char *p, size_t n, uint16_t *ends, size_t *nul) {
        const __m512i iota = _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46,
                                             45, 44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28,
                                             27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10,
                                             9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
        // Byte 2w of a widened half takes byte w of the half, byte 2w + 1 is zero.
        const __m512i low_half = _mm512_srli_epi16(_mm512_slli_epi16(iota, 8), 9);
        const __m512i high_half = _mm512_add_epi8(low_half, _mm512_set1_epi8(32));
        constexpr __mmask64 kEven = 0x5555555555555555;
        size_t count = 0;
        __mmask64 zero = 0;
        size_t zero_at = 0;
        const auto block = [&](size_t i, __m512i v, __mmask64 m) __attribute__((always_inline)) {
            const __mmask64 lf = _mm512_mask_cmpeq_epi8_mask(m, v, _mm512_set1_epi8('\n'));
            if (zero == 0) {
                zero = _mm512_mask_cmpeq_epi8_mask(m, v, _mm512_setzero_si512());
                zero_at = i;
            }
            const __m512i places = _mm512_maskz_compress_epi8(lf, iota);
            const __m512i at = _mm512_set1_epi16(static_cast<short>(i));
            _mm512_storeu_si512(ends + count, _mm512_add_epi16(_mm512_maskz_permutexvar_epi8(kEven, low_half, places), at));
            const size_t found = static_cast<size_t>(__builtin_popcountll(lf));
            if (__builtin_expect(found > 32, 0))
                _mm512_storeu_si512(ends + count + 32,
                                    _mm512_add_epi16(_mm512_maskz_permutexvar_epi8(kEven, high_half, places), at));
            count += found;
        };
        size_t i = 0;
        for (; i + 64 <= n; i += 64) block(i, _mm512_loadu_si512(p + i), kAll);
        if (i < n) {
            const __mmask64 m = lanes_left(n - i);
            block(i, _mm512_maskz_loadu_epi8(m, p + i), m);
        }
        *nul = zero != 0 ? zero_at + static_cast<size_t>(__builtin_ctzll(zero)) : n;
        return count;
    }

    void encode(const unsigned char *in, unsigned char *out, size_t n, size_t readable, size_t writable) const {
        k.map_body<false>(in, out, n, kShift, readable, writable);
    }

    bool decode(const unsigned char *in, unsigned char *out, size_t n, int s, size_t readable,
                size_t writable) const {
        return k.map_body<true>(in, out, n, s, readable, writable);
    }
};

}  // namespace

QEL_KERNEL_OPERATIONS(Mapper)

}  // namespace avx512vbmi
}  // namespace qel

#include "kernels/end.h"
