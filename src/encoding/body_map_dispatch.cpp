// Chooses the body-mapping kernel for this processor.
//
// On ELF platforms the choice is made once, by the dynamic linker when it
// loads the library (an indirect function), so that no call pays for the
// processor query and the library keeps no state of its own. Elsewhere the
// portable kernel serves.
#include "body_map.h"
#include "line_batch.h"

#if defined(QEL_HAVE_AVX512VBMI) || defined(QEL_HAVE_AVX2)
#include <cpuid.h>
#endif

namespace qel {

namespace {

#if defined(QEL_HAVE_AVX512VBMI) || defined(QEL_HAVE_AVX2)
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
#endif

}  // namespace

bool cpu_runs_avx2() {
#if defined(QEL_HAVE_AVX2)
    unsigned b, c;
    const unsigned long long ymm = 0x6;  // SSE and AVX state
    return (enabled_state() & ymm) == ymm && leaf7(&b, &c) && (b & bit_AVX2);
#else
    return false;
#endif
}

bool cpu_runs_avx512vbmi() {
#if defined(QEL_HAVE_AVX512VBMI)
    unsigned b, c;
    const unsigned long long zmm = 0xe6;  // SSE, AVX, opmask and both ZMM halves
    return (enabled_state() & zmm) == zmm && leaf7(&b, &c) && (b & bit_AVX512F) && (b & bit_AVX512BW) &&
           (b & bit_BMI2) && (c & bit_AVX512VBMI) && (c & bit_AVX512VBMI2);
#else
    return false;
#endif
}

#if defined(QEL_HAVE_IFUNC)

namespace {

BodyKernel best_encode_kernel() {
#if defined(QEL_HAVE_AVX512VBMI)
    if (cpu_runs_avx512vbmi()) return encode_body_avx512vbmi;
#endif
#if defined(QEL_HAVE_AVX2)
    if (cpu_runs_avx2()) return encode_body_avx2;
#endif
    return encode_body_scalar;
}

BodyKernel best_decode_kernel() {
#if defined(QEL_HAVE_AVX512VBMI)
    if (cpu_runs_avx512vbmi()) return decode_body_avx512vbmi;
#endif
#if defined(QEL_HAVE_AVX2)
    if (cpu_runs_avx2()) return decode_body_avx2;
#endif
    return decode_body_scalar;
}

using EncodeLines = LineBatch (*)(const unsigned char *, size_t, unsigned char *, size_t, bool);
using DecodeLines = LineBatch (*)(const unsigned char *, size_t, unsigned char *, size_t);

LineBatch no_encode_lines(const unsigned char *, size_t, unsigned char *, size_t, bool) { return LineBatch{}; }
LineBatch no_decode_lines(const unsigned char *, size_t, unsigned char *, size_t) { return LineBatch{}; }

EncodeLines best_encode_lines() {
#if defined(QEL_HAVE_AVX512VBMI)
    if (cpu_runs_avx512vbmi()) return encode_lines_avx512vbmi;
#endif
    return no_encode_lines;
}

DecodeLines best_decode_lines() {
#if defined(QEL_HAVE_AVX512VBMI)
    if (cpu_runs_avx512vbmi()) return decode_lines_avx512vbmi;
#endif
    return no_decode_lines;
}

}  // namespace

extern "C" {
static BodyKernel qel_resolve_encode_body() { return best_encode_kernel(); }
static BodyKernel qel_resolve_decode_body() { return best_decode_kernel(); }
static EncodeLines qel_resolve_encode_lines() { return best_encode_lines(); }
static DecodeLines qel_resolve_decode_lines() { return best_decode_lines(); }
}

LineBatch encode_lines(const unsigned char *, size_t, unsigned char *, size_t, bool)
    __attribute__((ifunc("qel_resolve_encode_lines")));
LineBatch decode_lines(const unsigned char *, size_t, unsigned char *, size_t)
    __attribute__((ifunc("qel_resolve_decode_lines")));

Mapped encode_body(const unsigned char *, unsigned char *, size_t, int, bool)
    __attribute__((ifunc("qel_resolve_encode_body")));
Mapped decode_body(const unsigned char *, unsigned char *, size_t, int, bool)
    __attribute__((ifunc("qel_resolve_decode_body")));

#else

// Without indirect functions the vector kernels are not built: asking the
// processor on every call would cost more than it saves on one line.
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
