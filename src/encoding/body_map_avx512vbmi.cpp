// Body mapping with AVX-512 VBMI: 64 bytes a step, the 94-entry alphabet
// held whole in two registers and looked up with one two-table permute.
// Masked loads and stores keep every access inside the bytes a caller
// allows. The line batches run the same mapping over many lines in one call.
#include <immintrin.h>

#include "alphabet.h"
#include "body_map.h"
#include "line_batch.h"
#include "qelcode.h"
#include "record_format.h"
#include "shift_offsets.h"

#define QEL_TARGET_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt")))

namespace qel {

namespace {

QEL_TARGET_VBMI inline __mmask64 lanes_left(size_t left) {
    return left >= 64 ? ~__mmask64{0} : _bzhi_u64(~0ull, static_cast<unsigned>(left));
}

// A whole load where all lanes are inside; a masked one, which can't fault
// past the end, only where they are not.
QEL_TARGET_VBMI inline __m512i load(__mmask64 m, const unsigned char *p) {
    return m == ~__mmask64{0} ? _mm512_loadu_si512(p) : _mm512_maskz_loadu_epi8(m, p);
}

// Wraps values 0..187 into 0..93.
QEL_TARGET_VBMI inline __m512i wrap94(__m512i x) {
    return _mm512_min_epu8(x, _mm512_sub_epi8(x, _mm512_set1_epi8(94)));
}

// The lanes of m up to and including the first line feed among them, if any.
QEL_TARGET_VBMI inline __mmask64 through_line_end(__m512i v, __mmask64 m, bool *found) {
    const __mmask64 lf = _mm512_mask_cmpeq_epi8_mask(m, v, _mm512_set1_epi8('\n'));
    *found = lf != 0;
    return lf ? _blsmsk_u64(lf) : m;
}

QEL_TARGET_VBMI inline unsigned seen_of(__mmask64 nul, __mmask64 space) {
    return (nul ? kSawNul : 0u) | (space ? kSawSpace : 0u);
}

// A 128-entry table in two registers, for one two-table permute.
struct Table {
    __m512i lo, hi;
};

QEL_TARGET_VBMI inline Table load_table(const unsigned char *t) {
    return Table{_mm512_loadu_si512(t), _mm512_loadu_si512(t + 64)};
}

QEL_TARGET_VBMI inline __m512i encode64(const Table &alphabet, __m512i c, __m512i offsets) {
    const __m512i place = _mm512_sub_epi8(c, _mm512_set1_epi8(32));
    const __mmask64 graphic = _mm512_cmplt_epu8_mask(place, _mm512_set1_epi8(95));
    const __m512i e = wrap94(_mm512_add_epi8(place, offsets));
    const __m512i mapped = _mm512_permutex2var_epi8(alphabet.lo, e, alphabet.hi);
    return _mm512_mask_blend_epi8(graphic, c, mapped);
}

QEL_TARGET_VBMI inline __m512i decode64(const Table &index, __m512i b, __m512i offsets) {
    const __m512i k = _mm512_sub_epi8(b, _mm512_set1_epi8(33));
    const __mmask64 graphic = _mm512_cmplt_epu8_mask(k, _mm512_set1_epi8(94));
    const __m512i e = _mm512_permutex2var_epi8(index.lo, k, index.hi);
    // place = (e - offset) mod 94, computed as e + 94 - offset wrapped.
    const __m512i up = _mm512_sub_epi8(_mm512_add_epi8(e, _mm512_set1_epi8(94)), offsets);
    const __m512i plain = _mm512_add_epi8(wrap94(up), _mm512_set1_epi8(32));
    return _mm512_mask_blend_epi8(graphic, b, plain);
}

// Lanes that held a NUL, or (decoding) a space.
struct OddLanes {
    __mmask64 nul, space;
};

// Maps the vector v, lanes m of the input, and stores the lanes of
// store_mask at out; answers the odd lanes among m.
template <bool kDecoding>
QEL_TARGET_VBMI __attribute__((always_inline)) inline OddLanes map_vector(const Table &table, __m512i v,
                                                                          __mmask64 m, __m512i shift,
                                                                          unsigned char *out,
                                                                          __mmask64 store_mask) {
    const __mmask64 nul = _mm512_mask_cmpeq_epi8_mask(m, v, _mm512_setzero_si512());
    const __mmask64 space = kDecoding ? _mm512_mask_cmpeq_epi8_mask(m, v, _mm512_set1_epi8(' ')) : 0;
    _mm512_mask_storeu_epi8(out, store_mask, kDecoding ? decode64(table, v, shift) : encode64(table, v, shift));
    return OddLanes{nul, space};
}

template <bool kDecoding>
QEL_TARGET_VBMI __attribute__((always_inline)) inline Mapped map_body(const Table &table, const unsigned char *in,
                                                                      unsigned char *out, size_t n, int s,
                                                                      bool to_line_end) {
    const unsigned char *offsets = kShiftOffsets.at[s];
    __mmask64 nul = 0, space = 0;
    bool found = false;
    int base = 0;  // i mod 94
    for (size_t i = 0; i < n; i += 64) {
        __mmask64 m = lanes_left(n - i);
        const __m512i v = load(m, in + i);
        if (to_line_end) m = through_line_end(v, m, &found);
        const OddLanes odd = map_vector<kDecoding>(table, v, m, _mm512_loadu_si512(offsets + base), out + i, m);
        nul |= odd.nul;
        space |= odd.space;
        if (found) return Mapped{i + _tzcnt_u64(~m), seen_of(nul, space), true};
        base += 64 - kCycle;
        if (base < 0) base += kCycle;
    }
    return Mapped{n, seen_of(nul, space), false};
}

}  // namespace

QEL_TARGET_VBMI Mapped encode_body_avx512vbmi(const unsigned char *in, unsigned char *out, size_t n, int s,
                                              bool to_line_end) {
    return map_body<false>(load_table(kPaddedTables.encode), in, out, n, s, to_line_end);
}

QEL_TARGET_VBMI Mapped decode_body_avx512vbmi(const unsigned char *in, unsigned char *out, size_t n, int s,
                                              bool to_line_end) {
    return map_body<true>(load_table(kPaddedTables.decode), in, out, n, s, to_line_end);
}

namespace {

// Line ends are found a chunk ahead of the mapping, so that mapping one line
// never waits on finding where the one before it ended.
constexpr size_t kChunk = 2048;

// Positions of the line feeds in p[0, n), n <= kChunk; answers their count.
// ends holds kChunk + 32 entries: each step stores 32 whole entries and
// keeps as many as it found, so that no branch depends on the text.
QEL_TARGET_VBMI inline size_t find_line_ends(const unsigned char *p, size_t n, uint16_t *ends) {
    const __m512i iota = _mm512_set_epi16(31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14,
                                          13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    size_t count = 0;
    for (size_t i = 0; i < n; i += 64) {
        const __mmask64 m = lanes_left(n - i);
        const uint64_t lf = _mm512_mask_cmpeq_epi8_mask(m, load(m, p + i), _mm512_set1_epi8('\n'));
        const __m512i at = _mm512_add_epi16(iota, _mm512_set1_epi16(static_cast<short>(i)));
        const __mmask32 lo = static_cast<__mmask32>(lf), hi = static_cast<__mmask32>(lf >> 32);
        _mm512_storeu_si512(ends + count, _mm512_maskz_compress_epi16(lo, at));
        count += static_cast<size_t>(_mm_popcnt_u32(lo));
        _mm512_storeu_si512(ends + count,
                            _mm512_maskz_compress_epi16(hi, _mm512_add_epi16(at, _mm512_set1_epi16(32))));
        count += static_cast<size_t>(_mm_popcnt_u32(hi));
    }
    return count;
}

// Maps n bytes whose end is known; answers the lanes that held a NUL or,
// when decoding, a space (none: 0). The first vector is done apart, so that a line of up to 64
// bytes runs straight through; whole vectors are stored where `writable`
// leaves room, since what lands past the line is written over by the next
// record.
template <bool kDecoding>
QEL_TARGET_VBMI __attribute__((always_inline)) inline __mmask64 map_known(const Table &table,
                                                                          const unsigned char *in,
                                                                          unsigned char *out, size_t writable,
                                                                          size_t n, int s) {
    const unsigned char *offsets = kShiftOffsets.at[s];
    const __mmask64 all = ~__mmask64{0};
    __mmask64 m = lanes_left(n);
    OddLanes odd = map_vector<kDecoding>(table, _mm512_maskz_loadu_epi8(m, in), m, _mm512_loadu_si512(offsets),
                                         out, writable >= 64 ? all : m);
    __mmask64 lanes = odd.nul | odd.space;
    int base = 64;  // i mod 94
    for (size_t i = 64; i < n; i += 64) {
        m = lanes_left(n - i);
        odd = map_vector<kDecoding>(table, _mm512_maskz_loadu_epi8(m, in + i), m,
                                    _mm512_loadu_si512(offsets + base), out + i, writable - i >= 64 ? all : m);
        lanes |= odd.nul | odd.space;
        base += 64 - kCycle;
        if (base < 0) base += kCycle;
    }
    return lanes;
}

// Runs take(line, len, out, writable) over the whole lines at the start of
// in[0, avail) while it answers how much output it wrote; it answers 0 to
// refuse a line, which ends the batch before it.
template <class Take>
QEL_TARGET_VBMI inline LineBatch each_line(const unsigned char *in, size_t avail, unsigned char *out, size_t room,
                                           Take take) {
    LineBatch b{};
    uint16_t ends[kChunk + 32];
    for (;;) {
        const size_t chunk = b.consumed;
        const size_t count = find_line_ends(in + chunk, avail - chunk < kChunk ? avail - chunk : kChunk, ends);
        if (count == 0) return b;
        for (size_t k = 0; k < count; ++k) {
            const size_t len = chunk + ends[k] + 1 - b.consumed;
            const size_t produced = take(in + b.consumed, len, out + b.produced, room - b.produced);
            if (produced == 0) return b;
            b.consumed += len;
            b.produced += produced;
            ++b.lines;
        }
    }
}

// One line of a batch each: answers the output written, or 0 to refuse it.
struct EncodeLine {
    Table alphabet;
    bool force;

    QEL_TARGET_VBMI size_t operator()(const unsigned char *line, size_t len, unsigned char *o,
                                      size_t writable) const {
        // A line of more than 507 bytes before its line feed is cut into pieces.
        if (len > kMaxText + 1) return 0;
        const size_t n = trim_line_end(line, len);
        if (n + 4 > writable || (!force && carries_mark(line, n))) return 0;
        if (map_known<false>(alphabet, line, o + 3, writable - 3, n, kShift) != 0) return 0;
        put_header(o, n);
        o[3 + n] = '\n';
        return n + 4;
    }
};

struct DecodeLine {
    Table index;

    QEL_TARGET_VBMI size_t operator()(const unsigned char *line, size_t len, unsigned char *o,
                                      size_t writable) const {
        RecordShape shape;
        if (len > kRecordBufferSize || parse_record(line, len, &shape) != QEL_RTN_SUCCESSFUL) return 0;
        if (shape.body_len + 1 > writable) return 0;
        if (map_known<true>(index, line + 3, o, writable, shape.body_len, shape.shift) != 0) return 0;
        o[shape.body_len] = '\n';
        return shape.body_len + 1;
    }
};

}  // namespace

QEL_TARGET_VBMI LineBatch encode_lines_avx512vbmi(const unsigned char *in, size_t avail, unsigned char *out,
                                                  size_t room, bool force) {
    return each_line(in, avail, out, room, EncodeLine{load_table(kPaddedTables.encode), force});
}

QEL_TARGET_VBMI LineBatch decode_lines_avx512vbmi(const unsigned char *in, size_t avail, unsigned char *out,
                                                  size_t room) {
    return each_line(in, avail, out, room, DecodeLine{load_table(kPaddedTables.decode)});
}

}  // namespace qel
