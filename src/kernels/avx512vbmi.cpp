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

// Wraps values 0..187 into 0..93.
inline __m512i wrap94(__m512i x) { return _mm512_min_epu8(x, _mm512_sub_epi8(x, _mm512_set1_epi8(94))); }

// A 128-entry table in two registers, for one two-table permute.
struct Table {
    __m512i lo, hi;
};

inline Table load_table(const unsigned char *t) { return Table{_mm512_loadu_si512(t), _mm512_loadu_si512(t + 64)}; }

inline __m512i encode64(const Table &alphabet, __m512i c, __m512i offsets) {
    const __m512i place = _mm512_sub_epi8(c, _mm512_set1_epi8(32));
    const __mmask64 graphic = _mm512_cmplt_epu8_mask(place, _mm512_set1_epi8(95));
    const __m512i e = wrap94(_mm512_add_epi8(place, offsets));
    const __m512i mapped = _mm512_permutex2var_epi8(alphabet.lo, e, alphabet.hi);
    return _mm512_mask_blend_epi8(graphic, c, mapped);
}

inline __m512i decode64(const Table &index, __m512i b, __m512i offsets) {
    const __m512i k = _mm512_sub_epi8(b, _mm512_set1_epi8(33));
    const __mmask64 graphic = _mm512_cmplt_epu8_mask(k, _mm512_set1_epi8(94));
    const __m512i e = _mm512_permutex2var_epi8(index.lo, k, index.hi);
    // place = (e - offset) mod 94, computed as e + 94 - offset wrapped.
    const __m512i up = _mm512_sub_epi8(_mm512_add_epi8(e, _mm512_set1_epi8(94)), offsets);
    const __m512i plain = _mm512_add_epi8(wrap94(up), _mm512_set1_epi8(32));
    return _mm512_mask_blend_epi8(graphic, b, plain);
}

// Maps the vector at in, of which `left` lanes count, with whole vectors
// read and written where `readable` and `writable` allow; answers the
// counted lanes that held a space (decoding).
template <bool kDecoding>
__attribute__((always_inline)) inline __mmask64 map_vector(const Table &table, const unsigned char *in,
                                                           unsigned char *out, size_t left, __m512i shift,
                                                           size_t readable, size_t writable) {
    const __mmask64 m = lanes_left(left);
    const __m512i v = load(in, m, readable);
    _mm512_mask_storeu_epi8(out, writable >= 64 ? kAll : m,
                            kDecoding ? decode64(table, v, shift) : encode64(table, v, shift));
    return kDecoding ? _mm512_mask_cmpeq_epi8_mask(m, v, _mm512_set1_epi8(' ')) : 0;
}

// Maps n bytes; the first vector is done apart, with no loop, since most
// lines fit it. Answers whether the body held a space.
template <bool kDecoding>
__attribute__((always_inline)) inline bool map_body(const Table &table, const unsigned char *in, unsigned char *out,
                                                    size_t n, int s, size_t readable, size_t writable) {
    const unsigned char *offsets = kShiftOffsets.at[s];
    __mmask64 space = map_vector<kDecoding>(table, in, out, n, _mm512_loadu_si512(offsets), readable, writable);
    size_t i = 64, base = 64;  // i mod 94
    if (!kDecoding && readable >= 128 && writable >= 128) {
        // Encoding, the second vector whatever n is, where it may be read
        // and written whole: whether a line is longer than one vector is
        // then no branch to guess. (Decoding gains nothing by it.)
        space |= map_vector<kDecoding>(table, in + 64, out + 64, n > 64 ? n - 64 : 0,
                                       _mm512_loadu_si512(offsets + 64), readable - 64, writable - 64);
        i = 128;
        base = 128 - kCycle;
    }
    for (; i < n; i += 64) {
        space |= map_vector<kDecoding>(table, in + i, out + i, n - i, _mm512_loadu_si512(offsets + base),
                                       readable - i, writable - i);
        base += 64;
        if (base >= kCycle) base -= kCycle;
    }
    return space != 0;
}

struct Mapper {
    Table alphabet, index;

    // Written out, so that it is compiled for this kernel's instruction
    // sets and the tables load in place.
    Mapper() : alphabet(load_table(kPaddedTables.encode)), index(load_table(kPaddedTables.decode)) {}

    // Compress stores put the offsets of a vector's line feeds side by side;
    // each store writes 32 whole entries and keeps as many as it found, so
    // that no branch depends on the text.
    static size_t scan(const unsigned char *p, size_t n, uint16_t *ends, size_t *nul) {
        const __m512i iota = _mm512_set_epi16(31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15,
                                              14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
        size_t count = 0;
        __mmask64 zero = 0;
        size_t zero_at = 0;
        for (size_t i = 0; i < n; i += 64) {
            const __mmask64 m = lanes_left(n - i);
            const __m512i v = load(p + i, m, n - i);
            const uint64_t lf = _mm512_mask_cmpeq_epi8_mask(m, v, _mm512_set1_epi8('\n'));
            if (zero == 0) {
                zero = _mm512_mask_cmpeq_epi8_mask(m, v, _mm512_setzero_si512());
                zero_at = i;
            }
            const __m512i at = _mm512_add_epi16(iota, _mm512_set1_epi16(static_cast<short>(i)));
            const __mmask32 lo = static_cast<__mmask32>(lf), hi = static_cast<__mmask32>(lf >> 32);
            _mm512_storeu_si512(ends + count, _mm512_maskz_compress_epi16(lo, at));
            count += static_cast<size_t>(__builtin_popcount(lo));
            _mm512_storeu_si512(ends + count, _mm512_maskz_compress_epi16(hi, _mm512_add_epi16(at, _mm512_set1_epi16(32))));
            count += static_cast<size_t>(__builtin_popcount(hi));
        }
        *nul = zero != 0 ? zero_at + static_cast<size_t>(__builtin_ctzll(zero)) : n;
        return count;
    }

    void encode(const unsigned char *in, unsigned char *out, size_t n, size_t readable, size_t writable) const {
        map_body<false>(alphabet, in, out, n, kShift, readable, writable);
    }

    bool decode(const unsigned char *in, unsigned char *out, size_t n, int s, size_t readable,
                size_t writable) const {
        return map_body<true>(index, in, out, n, s, readable, writable);
    }
};

}  // namespace

QEL_KERNEL_OPERATIONS(Mapper)

}  // namespace avx512vbmi
}  // namespace qel

#include "kernels/end.h"
