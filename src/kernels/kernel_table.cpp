// The kernel table and the choice of a kernel.
//
// Where the platform has GNU indirect functions, the dynamic linker makes
// the choice once, when it loads the library, so that no call pays for a
// processor query and the library keeps no state of its own. Elsewhere a
// stream call asks the processor once, and record calls use the portable
// kernel.
//
// The choice runs while the dynamic linker relocates, before any sanitizer
// runtime is ready, so this file is built without sanitizers.
#include "cpu_features.h"
#include "kernel.h"

namespace qel {

#define QEL_DECLARE_KERNEL(name)                                             \
    namespace name {                                                         \
    SpanResult encode_span(const Span &span, LineCount *count);             \
    SpanResult decode_span(const Span &span, LineCount *count);             \
    void encode_body(const unsigned char *in, unsigned char *out, size_t n); \
    bool decode_body(const unsigned char *in, unsigned char *out, size_t n, int s); \
    }
#define QEL_KERNEL_OPS(name) \
    KernelOps { name::encode_span, name::decode_span, name::encode_body, name::decode_body }

#if defined(QEL_KERNEL_AVX512VBMI)
QEL_DECLARE_KERNEL(avx512vbmi)
#endif
#if defined(QEL_KERNEL_AVX2)
QEL_DECLARE_KERNEL(avx2)
#endif

namespace {
bool always() { return true; }
}  // namespace

const Kernel kKernels[] = {
#if defined(QEL_KERNEL_AVX512VBMI)
    {"avx512vbmi", cpu_runs_avx512vbmi, QEL_KERNEL_OPS(avx512vbmi)},
#endif
#if defined(QEL_KERNEL_AVX2)
    {"avx2", cpu_runs_avx2, QEL_KERNEL_OPS(avx2)},
#endif
    {"portable", always, QEL_KERNEL_OPS(portable)},
};
const size_t kKernelCount = sizeof kKernels / sizeof kKernels[0];

const Kernel &best_kernel() {
    for (const Kernel &k : kKernels)
        if (k.runs()) return k;
    return kKernels[kKernelCount - 1];
}

#if defined(QEL_HAVE_IFUNC)

extern "C" {
static SpanFn qel_resolve_encode_span() { return best_kernel().ops.encode_span; }
static SpanFn qel_resolve_decode_span() { return best_kernel().ops.decode_span; }
static EncodeBodyFn qel_resolve_encode_body() { return best_kernel().ops.encode_body; }
static DecodeBodyFn qel_resolve_decode_body() { return best_kernel().ops.decode_body; }
}

SpanResult chosen_encode_span(const Span &, LineCount *) __attribute__((ifunc("qel_resolve_encode_span")));
SpanResult chosen_decode_span(const Span &, LineCount *) __attribute__((ifunc("qel_resolve_decode_span")));
void chosen_encode_body(const unsigned char *, unsigned char *, size_t) __attribute__((ifunc("qel_resolve_encode_body")));
bool chosen_decode_body(const unsigned char *, unsigned char *, size_t, int)
    __attribute__((ifunc("qel_resolve_decode_body")));

// The operations handed out call the chosen functions rather than being
// them: 32-bit x86 can't take the address of an indirect function from
// position-independent code.
namespace {
SpanResult call_encode_span(const Span &span, LineCount *count) { return chosen_encode_span(span, count); }
SpanResult call_decode_span(const Span &span, LineCount *count) { return chosen_decode_span(span, count); }
void call_encode_body(const unsigned char *in, unsigned char *out, size_t n) { chosen_encode_body(in, out, n); }
bool call_decode_body(const unsigned char *in, unsigned char *out, size_t n, int s) {
    return chosen_decode_body(in, out, n, s);
}
}  // namespace

KernelOps stream_kernel() { return KernelOps{call_encode_span, call_decode_span, call_encode_body, call_decode_body}; }
KernelOps record_kernel() { return stream_kernel(); }

#else

KernelOps stream_kernel() { return best_kernel().ops; }
KernelOps record_kernel() { return QEL_KERNEL_OPS(portable); }

#endif

}  // namespace qel
