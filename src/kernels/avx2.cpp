// The AVX2 kernel: 32 bytes a step, the 94-entry tables looked up in six
// 16-entry slices with byte shuffles.
#include <immintrin.h>
#include <string.h>

#include "format/alphabet.h"
#include "kernels/kernel.h"
#include "format/record_format.h"
#include "kernels/shift_offsets.h"

#define QEL_KERNEL_TARGET "avx2,bmi,popcnt"
#include "kernels/begin.h"
#include "kernels/generic/line_engine.h"

namespace qel {
namespace avx2 {

namespace {

constexpr int kSlices = 6;  // 6 x 16 entries cover 94

// A table of 96 entries as six 16-entry slices, each slice XORed with the
// one before it, so that the lookups of every slice up to an index's own
// XOR together to that index's entry.
struct ChainedTable {
    unsigned char at[16 * kSlices];
};

constexpr ChainedTable chain(const unsigned char *table) {
    ChainedTable t{};
    for (int i = 0; i < 16 * kSlices; ++i)
        t.at[i] = static_cast<unsigned char>(table[i] ^ (i >= 16 ? table[i - 16] : 0));
    return t;
}

inline constexpr ChainedTable kChainedEncode = chain(kPaddedTables.encode);
inline constexpr ChainedTable kChainedDecode = chain(kPaddedTables.decode);

// The slices each written twice, once for each 128-bit lane, so that a
// lookup takes its slice straight from memory: held in registers, the six
// slices of a table and the constants around them don't fit the sixteen
// registers, and the compiler spills and reloads them at every line.
struct Slices {
    alignas(32) unsigned char at[32 * kSlices];
};

constexpr Slices widen(const ChainedTable &t) {
    Slices w{};
    for (int k = 0; k < kSlices; ++k)
        for (int i = 0; i < 16; ++i) w.at[32 * k + i] = w.at[32 * k + 16 + i] = t.at[16 * k + i];
    return w;
}

inline constexpr Slices kEncodeSlices = widen(kChainedEncode);
inline constexpr Slices kDecodeSlices = widen(kChainedDecode);

// A vector of 32 bytes v, loaded from memory. Written as a set1, the
// constant is built afresh at every line from a general register, with a
// move and a broadcast, both on the port that the lookups' shuffles need;
// a load, or a load folded into the instruction that uses it, takes none.
template <unsigned char V>
struct SplatBytes {
    alignas(32) unsigned char at[32];
};

template <unsigned char V>
constexpr SplatBytes<V> make_splat() {
    SplatBytes<V> b{};
    for (int i = 0; i < 32; ++i) b.at[i] = V;
    return b;
}

template <unsigned char V>
inline constexpr SplatBytes<V> kSplat = make_splat<V>();

template <unsigned char V>
inline __m256i splat() {
    const unsigned char *p = kSplat<V>.at;
    __asm__("" : "+r"(p));  // hides the value, so that the compiler loads it rather than builds it
    return _mm256_load_si256(reinterpret_cast<const __m256i *>(p));
}

inline __m256i slice(const Slices &t, int k) { return _mm256_load_si256(reinterpret_cast<const __m256i *>(t.at + 32 * k)); }

// table[idx] for idx 0..93 (any value for other lanes). A byte shuffle
// gives 0 where the index is negative, so slice k, looked up with idx -
// 16k, adds its chained entry exactly for the indexes from 16k on.
//
// The index steps down by 16 a slice, one register for the step: left to
// itself the compiler folds the steps into five constants, which crowd
// the registers.
inline __m256i lookup94(const Slices &t, __m256i idx) {
    const __m256i sixteen = splat<16>();
    __m256i r = _mm256_shuffle_epi8(slice(t, 0), idx);
    for (int k = 1; k < kSlices; ++k) {
        idx = _mm256_sub_epi8(idx, sixteen);
        __asm__("" : "+x"(idx));
        r = _mm256_xor_si256(r, _mm256_shuffle_epi8(slice(t, k), idx));
    }
    return r;
}

inline __m256i wrap94(__m256i x) { return _mm256_min_epu8(x, _mm256_sub_epi8(x, splat<94>())); }

// Lanes where 0 <= x - lo < count, for count below 128.
template <unsigned char kLo, unsigned char kCount>
inline __m256i in_range(__m256i x) {
    const __m256i k = _mm256_sub_epi8(x, splat<kLo>());
    return _mm256_cmpeq_epi8(_mm256_min_epu8(k, splat<kCount - 1>()), k);
}

inline __m256i load32(const unsigned char *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
inline void store32(unsigned char *p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v); }

// Bits of the lanes equal to value.
inline uint32_t lanes_equal(__m256i v, char value) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(value))));
}

// The trailing zero bits of x, 64 for none, with no branch.
inline size_t trailing_zeros(uint64_t x) {
#if defined(__x86_64__)
    return static_cast<size_t>(_tzcnt_u64(x));
#else
    const uint32_t lo = static_cast<uint32_t>(x);
    return lo != 0 ? _tzcnt_u32(lo) : 32 + static_cast<size_t>(_tzcnt_u32(static_cast<uint32_t>(x >> 32)));
#endif
}

// The 32 bytes at p, or the `left` of them that may be read followed by zeros.
inline __m256i load_part(const unsigned char *p, size_t left) {
    if (left >= 32) return load32(p);
    alignas(32) unsigned char copy[32] = {};
    memcpy(copy, p, left);
    return load32(copy);
}

// Stores the first `count` lanes of v at p, all 32 where `room` allows.
inline void store_part(unsigned char *p, __m256i v, size_t count, size_t room) {
    if (room >= 32) {
        store32(p, v);
        return;
    }
    alignas(32) unsigned char copy[32];
    store32(copy, v);
    memcpy(p, copy, count);
}

inline __m256i encode32(const Slices &alpha, __m256i c, __m256i offsets) {
    const __m256i place = _mm256_sub_epi8(c, splat<32>());
    const __m256i mapped = lookup94(alpha, wrap94(_mm256_add_epi8(place, offsets)));
    return _mm256_blendv_epi8(c, mapped, in_range<32, 95>(c));
}

inline __m256i decode32(const Slices &index, __m256i b, __m256i offsets) {
    const __m256i e = lookup94(index, _mm256_sub_epi8(b, splat<33>()));
    const __m256i up = _mm256_sub_epi8(_mm256_add_epi8(e, splat<94>()), offsets);
    const __m256i plain = _mm256_add_epi8(wrap94(up), splat<32>());
    return _mm256_blendv_epi8(b, plain, in_range<33, 94>(b));
}

// 32 bytes of all ones, then 32 of zeros: the 32 bytes from 32 - k on are
// a mask of the first k lanes.
struct LaneMasks {
    alignas(32) unsigned char at[64];
};

constexpr LaneMasks make_lane_masks() {
    LaneMasks m{};
    for (int i = 0; i < 32; ++i) m.at[i] = 0xff;
    return m;
}

inline constexpr LaneMasks kLaneMasks = make_lane_masks();

// Maps the vector at in, of which `left` lanes count; answers the counted
// lanes that held a space, as a vector (decoding), so that the lines' few
// vectors are tested together with one instruction.
template <bool kDecoding>
inline __m256i map_vector(const Slices &table, const unsigned char *in, unsigned char *out, size_t left,
                          __m256i shift, size_t readable, size_t writable) {
    const __m256i v = load_part(in, readable);
    const size_t count = left < 32 ? left : 32;
    store_part(out, kDecoding ? decode32(table, v, shift) : encode32(table, v, shift), count, writable);
    if (!kDecoding) return _mm256_setzero_si256();
    return _mm256_and_si256(_mm256_cmpeq_epi8(v, splat<' '>()), load32(kLaneMasks.at + 32 - count));
}

// Maps n bytes; the first vector is done apart, with no loop, since many
// lines fit it. Answers whether the body held a space.
//
// The second vector is mapped whatever n is where it may be read and
// written whole: in text many lines end near 32 bytes, and whether one
// goes past them is then no branch to guess. Where the lines before have
// all fitted one vector (`fits_one`), as in a run of short lines, the
// branch is easy to guess, and the second vector is mapped only when the
// body goes past the first (kFitsOne).
template <bool kDecoding, bool kFitsOne>
__attribute__((always_inline)) inline bool map_body(const Slices &table, const unsigned char *in, unsigned char *out, size_t n, int s,
                     size_t readable, size_t writable) {
    const unsigned char *offsets = kShiftOffsets.at[s];
    if (n == 0) return false;
    __m256i space = map_vector<kDecoding>(table, in, out, n, load32(offsets), readable, writable);
    size_t i = 32, base = 32;  // i mod 94
    if (readable >= 64 && writable >= 64 && (!kFitsOne || n > 32)) {
        space = _mm256_or_si256(space, map_vector<kDecoding>(table, in + 32, out + 32, n > 32 ? n - 32 : 0,
                                                             load32(offsets + 32), readable - 32, writable - 32));
        i = 64;
        base = 64;
    }
    for (; i < n; i += 32) {
        space = _mm256_or_si256(space, map_vector<kDecoding>(table, in + i, out + i, n - i, load32(offsets + base),
                                                             readable - i, writable - i));
        base += 32;
        if (base >= kCycle) base -= kCycle;
    }
    return kDecoding && !_mm256_testz_si256(space, space);
}

struct Mapper {

    // 64 bytes a step. The first four line feeds of a step are written
    // whatever the step holds (entries past the count are never read), so
    // that in text, with a line feed or two in 64 bytes, no branch depends
    // on how many there are.
    static size_t scan(const unsigned char *p, size_t n, uint16_t *ends, size_t *nul) {
        size_t count = 0, i = 0;
        *nul = n;
        for (; i + 64 <= n; i += 64) {
            const __m256i a = load32(p + i), b = load32(p + i + 32);
            put_ends(ends, &count, i, lanes_equal(a, '\n') | uint64_t{lanes_equal(b, '\n')} << 32);
            if (*nul == n && !_mm256_testz_si256(_mm256_cmpeq_epi8(_mm256_min_epu8(a, b), _mm256_setzero_si256()),
                                                 _mm256_set1_epi8(-1))) {
                const uint64_t z = lanes_equal(a, '\0') | uint64_t{lanes_equal(b, '\0')} << 32;
                *nul = i + static_cast<size_t>(__builtin_ctzll(z));
            }
        }
        for (; i < n; i += 32) {
            const __m256i v = load_part(p + i, n - i);
            const uint32_t inside = n - i >= 32 ? ~0u : static_cast<uint32_t>((1ull << (n - i)) - 1);
            put_ends(ends, &count, i, lanes_equal(v, '\n') & inside);
            const uint32_t z = lanes_equal(v, '\0') & inside;
            if (z != 0 && *nul == n) *nul = i + static_cast<size_t>(__builtin_ctz(z));
        }
        return count;
    }

    // Adds i + the place of each bit of lf to ends. The first four with
    // tzcnt, which gives 64 for no bit at all, so that the compiler makes
    // no branch of them (with a test for zero it branches on each).
    static void put_ends(uint16_t *ends, size_t *count, size_t i, uint64_t lf) {
        uint16_t *e = ends + *count;
        *count += static_cast<size_t>(__builtin_popcountll(lf));
        for (int k = 0; k < 4; ++k) {
            e[k] = static_cast<uint16_t>(i + trailing_zeros(lf));
            lf &= lf - 1;
        }
        if (__builtin_expect(lf != 0, 0))
            for (e += 4; lf != 0; lf &= lf - 1) *e++ = static_cast<uint16_t>(i + static_cast<size_t>(__builtin_ctzll(lf)));
    }

    // One bit a line, the latest lowest: set where a body went past one
    // vector.
    mutable uint32_t past_one_ = ~0u;

    // Whether the last kRun bodies all fitted one vector; notes this one.
    bool fits_one(size_t n) const {
        constexpr uint32_t kRun = 16;
        const bool fits = (past_one_ & ((1u << kRun) - 1)) == 0;
        // n hidden, so that the compiler joins this test to none of the
        // mapping's and makes no branch of it, which text would miss.
        size_t m = n;
        __asm__("" : "+r"(m));
        past_one_ = past_one_ << 1 | (m > 32 ? 1u : 0u);
        return fits;
    }

    // Inlined, as the line loops need: with two ways of mapping in each,
    // the compiler would otherwise make a call of them.
    __attribute__((always_inline)) void encode(const unsigned char *in, unsigned char *out, size_t n, size_t readable, size_t writable) const {
        if (fits_one(n))
            map_body<false, true>(kEncodeSlices, in, out, n, kShift, readable, writable);
        else
            map_body<false, false>(kEncodeSlices, in, out, n, kShift, readable, writable);
    }

    __attribute__((always_inline)) bool decode(const unsigned char *in, unsigned char *out, size_t n, int s, size_t readable,
                size_t writable) const {
        return fits_one(n) ? map_body<true, true>(kDecodeSlices, in, out, n, s, readable, writable)
                           : map_body<true, false>(kDecodeSlices, in, out, n, s, readable, writable);
    }
};

}  // namespace

QEL_KERNEL_OPERATIONS(Mapper)

}  // namespace avx2
}  // namespace qel

#include "kernels/end.h"
