// Body mapping with AVX-512 VBMI: 64 bytes a step, the 94-entry alphabet
// held whole in two registers and looked up with one two-table permute.
#include <immintrin.h>

#include "body_map.h"
#include "shift_offsets.h"

#define QEL_TARGET_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi,bmi2")))

namespace qel {

namespace {

QEL_TARGET_VBMI inline __mmask64 lanes_left(size_t left) {
    return left >= 64 ? ~__mmask64{0} : _bzhi_u64(~0ull, static_cast<unsigned>(left));
}

// Wraps values 0..187 into 0..93.
QEL_TARGET_VBMI inline __m512i wrap94(__m512i x) {
    return _mm512_min_epu8(x, _mm512_sub_epi8(x, _mm512_set1_epi8(94)));
}

}  // namespace

QEL_TARGET_VBMI unsigned encode_body_avx512vbmi(const unsigned char *in, unsigned char *out, size_t n, int s) {
    const __m512i alpha_lo = _mm512_loadu_si512(kPaddedTables.encode);
    const __m512i alpha_hi = _mm512_loadu_si512(kPaddedTables.encode + 64);
    const unsigned char *offsets = kShiftOffsets.at[s];
    __mmask64 nul = 0;
    int base = 0;  // i mod 94
    for (size_t i = 0; i < n; i += 64) {
        const __mmask64 m = lanes_left(n - i);
        const __m512i c = _mm512_maskz_loadu_epi8(m, in + i);
        const __m512i place = _mm512_sub_epi8(c, _mm512_set1_epi8(32));
        const __mmask64 graphic = _mm512_cmplt_epu8_mask(place, _mm512_set1_epi8(95));
        const __m512i e = wrap94(_mm512_add_epi8(place, _mm512_loadu_si512(offsets + base)));
        const __m512i mapped = _mm512_permutex2var_epi8(alpha_lo, e, alpha_hi);
        nul |= _mm512_mask_cmpeq_epi8_mask(m, c, _mm512_setzero_si512());
        _mm512_mask_storeu_epi8(out + i, m, _mm512_mask_blend_epi8(graphic, c, mapped));
        base += 64 - kCycle;
        if (base < 0) base += kCycle;
    }
    return nul ? kSawNul : 0u;
}

QEL_TARGET_VBMI unsigned decode_body_avx512vbmi(const unsigned char *in, unsigned char *out, size_t n, int s) {
    const __m512i index_lo = _mm512_loadu_si512(kPaddedTables.decode);
    const __m512i index_hi = _mm512_loadu_si512(kPaddedTables.decode + 64);
    const unsigned char *offsets = kShiftOffsets.at[s];
    __mmask64 nul = 0, space = 0;
    int base = 0;
    for (size_t i = 0; i < n; i += 64) {
        const __mmask64 m = lanes_left(n - i);
        const __m512i b = _mm512_maskz_loadu_epi8(m, in + i);
        const __m512i k = _mm512_sub_epi8(b, _mm512_set1_epi8(33));
        const __mmask64 graphic = _mm512_cmplt_epu8_mask(k, _mm512_set1_epi8(94));
        const __m512i e = _mm512_permutex2var_epi8(index_lo, k, index_hi);
        // place = (e - offset) mod 94, computed as e + 94 - offset wrapped.
        const __m512i up = _mm512_sub_epi8(_mm512_add_epi8(e, _mm512_set1_epi8(94)),
                                           _mm512_loadu_si512(offsets + base));
        const __m512i plain = _mm512_add_epi8(wrap94(up), _mm512_set1_epi8(32));
        nul |= _mm512_mask_cmpeq_epi8_mask(m, b, _mm512_setzero_si512());
        space |= _mm512_mask_cmpeq_epi8_mask(m, b, _mm512_set1_epi8(' '));
        _mm512_mask_storeu_epi8(out + i, m, _mm512_mask_blend_epi8(graphic, b, plain));
        base += 64 - kCycle;
        if (base < 0) base += kCycle;
    }
    return (nul ? kSawNul : 0u) | (space ? kSawSpace : 0u);
}

}  // namespace qel
