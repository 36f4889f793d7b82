// Body mapping with AVX2: 32 bytes a step, the 94-entry tables looked up in
// six 16-entry slices with byte shuffles.
#include <immintrin.h>
#include <string.h>

#include "body_map.h"
#include "shift_offsets.h"

#define QEL_TARGET_AVX2 __attribute__((target("avx2")))

namespace qel {

namespace {

constexpr int kSlices = 6;  // 6 x 16 entries cover 94

struct Slices {
    __m256i s[kSlices];
};

QEL_TARGET_AVX2 inline Slices load_slices(const unsigned char *table) {
    Slices t;
    for (int k = 0; k < kSlices; ++k)
        t.s[k] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(table + 16 * k)));
    return t;
}

// table[idx] for idx 0..93; lanes with idx of 128 or more give 0.
QEL_TARGET_AVX2 inline __m256i lookup94(const Slices &t, __m256i idx) {
    const __m256i slice = _mm256_and_si256(_mm256_srli_epi16(idx, 4), _mm256_set1_epi8(0x0f));
    __m256i r = _mm256_shuffle_epi8(t.s[0], idx);
    for (int k = 1; k < kSlices; ++k) {
        const __m256i hit = _mm256_cmpeq_epi8(slice, _mm256_set1_epi8(static_cast<char>(k)));
        r = _mm256_blendv_epi8(r, _mm256_shuffle_epi8(t.s[k], idx), hit);
    }
    return r;
}

QEL_TARGET_AVX2 inline __m256i wrap94(__m256i x) {
    return _mm256_min_epu8(x, _mm256_sub_epi8(x, _mm256_set1_epi8(94)));
}

// Lanes where 0 <= x - lo < count, for count below 128.
QEL_TARGET_AVX2 inline __m256i in_range(__m256i x, char lo, char count) {
    const __m256i k = _mm256_sub_epi8(x, _mm256_set1_epi8(lo));
    return _mm256_cmpeq_epi8(_mm256_min_epu8(k, _mm256_set1_epi8(static_cast<char>(count - 1))), k);
}

QEL_TARGET_AVX2 inline __m256i load32(const unsigned char *p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

QEL_TARGET_AVX2 inline void store32(unsigned char *p, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v);
}

QEL_TARGET_AVX2 inline __m256i encode32(const Slices &alpha, __m256i c, __m256i offsets) {
    const __m256i place = _mm256_sub_epi8(c, _mm256_set1_epi8(32));
    const __m256i mapped = lookup94(alpha, wrap94(_mm256_add_epi8(place, offsets)));
    return _mm256_blendv_epi8(c, mapped, in_range(c, 32, 95));
}

QEL_TARGET_AVX2 inline __m256i decode32(const Slices &index, __m256i b, __m256i offsets) {
    const __m256i e = lookup94(index, _mm256_sub_epi8(b, _mm256_set1_epi8(33)));
    const __m256i up = _mm256_sub_epi8(_mm256_add_epi8(e, _mm256_set1_epi8(94)), offsets);
    const __m256i plain = _mm256_add_epi8(wrap94(up), _mm256_set1_epi8(32));
    return _mm256_blendv_epi8(b, plain, in_range(b, 33, 94));
}

// Bits of the lanes equal to value.
QEL_TARGET_AVX2 inline unsigned lanes_equal(__m256i v, char value) {
    return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(value))));
}

// One 32-byte step of either direction. The lanes taken are those inside
// [0, n) and, when stopping at a line end, up to the first line feed; a step
// that takes fewer than 32 runs on a copy so that nothing is read or written
// past them.
template <bool kDecoding>
QEL_TARGET_AVX2 inline Mapped map_body(const unsigned char *in, unsigned char *out, size_t n, int s,
                                       bool to_line_end) {
    const Slices table = load_slices(kDecoding ? kPaddedTables.decode : kPaddedTables.encode);
    const unsigned char *offsets = kShiftOffsets.at[s];
    unsigned nul = 0, space = 0;
    int base = 0;  // i mod 94
    for (size_t i = 0; i < n; i += 32) {
        const size_t left = n - i;
        alignas(32) unsigned char copy[32] = {};
        __m256i v;
        unsigned taken = ~0u;
        if (left < 32) {
            memcpy(copy, in + i, left);
            v = load32(copy);
            taken = (1u << left) - 1u;
        } else {
            v = load32(in + i);
        }
        const unsigned lf = to_line_end ? lanes_equal(v, '\n') & taken : 0u;
        if (lf != 0) taken = lf ^ (lf - 1u);  // up to and including the first line feed
        nul |= lanes_equal(v, '\0') & taken;
        if (kDecoding) space |= lanes_equal(v, ' ') & taken;
        const __m256i shift = load32(offsets + base);
        const __m256i r = kDecoding ? decode32(table, v, shift) : encode32(table, v, shift);
        const size_t count = static_cast<size_t>(__builtin_popcount(taken));
        if (count == 32) {
            store32(out + i, r);
        } else {
            store32(copy, r);
            memcpy(out + i, copy, count);
        }
        if (lf != 0) return Mapped{i + count, (nul ? kSawNul : 0u) | (space ? kSawSpace : 0u), true};
        base += 32;
        if (base >= kCycle) base -= kCycle;
    }
    return Mapped{n, (nul ? kSawNul : 0u) | (space ? kSawSpace : 0u), false};
}

}  // namespace

QEL_TARGET_AVX2 Mapped encode_body_avx2(const unsigned char *in, unsigned char *out, size_t n, int s,
                                        bool to_line_end) {
    return map_body<false>(in, out, n, s, to_line_end);
}

QEL_TARGET_AVX2 Mapped decode_body_avx2(const unsigned char *in, unsigned char *out, size_t n, int s,
                                        bool to_line_end) {
    return map_body<true>(in, out, n, s, to_line_end);
}

}  // namespace qel
