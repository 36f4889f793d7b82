// Chooses the kernels and line batches for this processor.
//
// Where the build has the vector kernels (x86 with GNU indirect functions),
// the choice is made once, by the dynamic linker when it loads the library,
// so that no call pays for the processor query and the library keeps no
// state of its own. Elsewhere the portable kernel serves, and there are no
// line batches.
#include "body_map.h"
#include "line_batch.h"

#if defined(QEL_VECTOR_KERNELS)
#include <cpuid.h>
#endif

namespace qel {

#if defined(QEL_VECTOR_KERNELS)

namespace {

// The register state the operating system saves on a context switch.
unsigned long long enabled_state() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE)) return 0;
    unsigned lo, hi;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<unsigned long long>(hi) << 32) | lo;
}

bool leaf7(unsigned *b, unsigned *c) {
    unsigned a, d;
    return __get_cpuid_count(7, 0, &a, b, c, &d) != 0;
}

// The first of the given choices this processor runs; a null one is skipped.
template <class Fn>
Fn best(Fn avx512vbmi, Fn avx2, Fn portable) {
    if (avx512vbmi != nullptr && cpu_runs_avx512vbmi()) return avx512vbmi;
    if (avx2 != nullptr && cpu_runs_avx2()) return avx2;
    return portable;
}

using EncodeLines = LineBatch (*)(const unsigned char *, size_t, unsigned char *, size_t, bool);
using DecodeLines = LineBatch (*)(const unsigned char *, size_t, unsigned char *, size_t);

LineBatch no_encode_lines(const unsigned char *, size_t, unsigned char *, size_t, bool) { return LineBatch{}; }
LineBatch no_decode_lines(const unsigned char *, size_t, unsigned char *, size_t) { return LineBatch{}; }

}  // namespace

bool cpu_runs_avx2() {
    unsigned b, c;
    const unsigned long long ymm = 0x6;  // SSE and AVX state
    return (enabled_state() & ymm) == ymm && leaf7(&b, &c) && (b & bit_AVX2);
}

bool cpu_runs_avx512vbmi() {
    unsigned b, c;
    const unsigned long long zmm = 0xe6;  // SSE, AVX, opmask and both ZMM halves
    return (enabled_state() & zmm) == zmm && leaf7(&b, &c) && (b & bit_AVX512F) && (b & bit_AVX512BW) &&
           (b & bit_BMI2) && (c & bit_AVX512VBMI) && (c & bit_AVX512VBMI2);
}

extern "C" {
static BodyKernel qel_resolve_encode_body() {
    return best<BodyKernel>(encode_body_avx512vbmi, encode_body_avx2, encode_body_scalar);
}
static BodyKernel qel_resolve_decode_body() {
    return best<BodyKernel>(decode_body_avx512vbmi, decode_body_avx2, decode_body_scalar);
}
static EncodeLines qel_resolve_encode_lines() {
    return best<EncodeLines>(encode_lines_avx512vbmi, nullptr, no_encode_lines);
}
static DecodeLines qel_resolve_decode_lines() {
    return best<DecodeLines>(decode_lines_avx512vbmi, nullptr, no_decode_lines);
}
}

Mapped encode_body(const unsigned char *, unsigned char *, size_t, int, bool)
    __attribute__((ifunc("qel_resolve_encode_body")));
Mapped decode_body(const unsigned char *, unsigned char *, size_t, int, bool)
    __attribute__((ifunc("qel_resolve_decode_body")));
LineBatch encode_lines(const unsigned char *, size_t, unsigned char *, size_t, bool)
    __attribute__((ifunc("qel_resolve_encode_lines")));
LineBatch decode_lines(const unsigned char *, size_t, unsigned char *, size_t)
    __attribute__((ifunc("qel_resolve_decode_lines")));

#else

bool cpu_runs_avx2() { return false; }
bool cpu_runs_avx512vbmi() { return false; }

Mapped encode_body(const unsigned char *in, unsigned char *out, size_t n, int s, bool to_line_end) {
    return encode_body_scalar(in, out, n, s, to_line_end);
}

Mapped decode_body(const unsigned char *in, unsigned char *out, size_t n, int s, bool to_line_end) {
    return decode_body_scalar(in, out, n, s, to_line_end);
}

LineBatch encode_lines(const unsigned char *, size_t, unsigned char *, size_t, bool) { return LineBatch{}; }
LineBatch decode_lines(const unsigned char *, size_t, unsigned char *, size_t) { return LineBatch{}; }

#endif

}  // namespace qel
