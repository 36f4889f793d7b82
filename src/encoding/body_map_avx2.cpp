// Body mapping with AVX2: 32 bytes a step, the 94-entry tables looked up in
// six 16-entry slices with byte shuffles. The last, partial step runs on a
// copy so that nothing is read or written past either end.
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

QEL_TARGET_AVX2 inline bool any(__m256i b, char value) {
    return _mm256_movemask_epi8(_mm256_cmpeq_epi8(b, _mm256_set1_epi8(value))) != 0;
}

}  // namespace

QEL_TARGET_AVX2 unsigned encode_body_avx2(const unsigned char *in, unsigned char *out, size_t n, int s) {
    const Slices alpha = load_slices(kPaddedTables.encode);
    const unsigned char *offsets = kShiftOffsets.at[s];
    __m256i nul = _mm256_setzero_si256();
    int base = 0;  // i mod 94
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i c = load32(in + i);
        nul = _mm256_or_si256(nul, _mm256_cmpeq_epi8(c, _mm256_setzero_si256()));
        store32(out + i, encode32(alpha, c, load32(offsets + base)));
        base += 32;
        if (base >= kCycle) base -= kCycle;
    }
    unsigned seen = _mm256_movemask_epi8(nul) ? kSawNul : 0u;
    if (i < n) {
        alignas(32) unsigned char tail[32];
        memset(tail, ' ', sizeof tail);  // never a NUL in the padding
        memcpy(tail, in + i, n - i);
        const __m256i c = load32(tail);
        if (any(c, '\0')) seen |= kSawNul;
        store32(tail, encode32(alpha, c, load32(offsets + base)));
        memcpy(out + i, tail, n - i);
    }
    return seen;
}

QEL_TARGET_AVX2 unsigned decode_body_avx2(const unsigned char *in, unsigned char *out, size_t n, int s) {
    const Slices index = load_slices(kPaddedTables.decode);
    const unsigned char *offsets = kShiftOffsets.at[s];
    unsigned seen = 0;
    int base = 0;
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i b = load32(in + i);
        if (any(b, '\0')) seen |= kSawNul;
        if (any(b, ' ')) seen |= kSawSpace;
        store32(out + i, decode32(index, b, load32(offsets + base)));
        base += 32;
        if (base >= kCycle) base -= kCycle;
    }
    if (i < n) {
        alignas(32) unsigned char tail[32];
        memset(tail, '!', sizeof tail);  // neither a NUL nor a space in the padding
        memcpy(tail, in + i, n - i);
        const __m256i b = load32(tail);
        if (any(b, '\0')) seen |= kSawNul;
        if (any(b, ' ')) seen |= kSawSpace;
        store32(tail, decode32(index, b, load32(offsets + base)));
        memcpy(out + i, tail, n - i);
    }
    return seen;
}

}  // namespace qel
