// Processor queries for the kernel table. The answers need both the
// instructions and an operating system that saves their registers.
#include "kernels/cpu_features.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace qel {

#if defined(__i386__) || defined(__x86_64__)

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

}  // namespace

bool cpu_runs_avx2() {
    unsigned b, c;
    const unsigned long long ymm = 0x6;  // SSE and AVX state
    return (enabled_state() & ymm) == ymm && leaf7(&b, &c) && (b & bit_AVX2) && (b & bit_BMI);
}

bool cpu_runs_avx512vbmi() {
    unsigned b, c;
    const unsigned long long zmm = 0xe6;  // SSE, AVX, opmask and both ZMM halves
    return (enabled_state() & zmm) == zmm && leaf7(&b, &c) && (b & bit_AVX512F) && (b & bit_AVX512BW) &&
           (b & bit_BMI) && (b & bit_BMI2) && (c & bit_AVX512VBMI) && (c & bit_AVX512VBMI2);
}

#else

bool cpu_runs_avx2() { return false; }
bool cpu_runs_avx512vbmi() { return false; }

#endif

}  // namespace qel
