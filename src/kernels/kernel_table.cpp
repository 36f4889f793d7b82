// The kernel table and the choice of a kernel.
//
// Where there are kernels to choose from and the platform has GNU indirect
// functions, the dynamic linker makes the choice once, when it loads the
// library, so that no call pays for a processor query and the library keeps
// no state of its own. Elsewhere a stream call asks the processor once, and
// record calls use the portable kernel.
//
// The choice runs while the dynamic linker relocates, before any sanitizer
// runtime is ready, so this file is built without sanitizers.
#include "kernels/cpu_features.h"
#include "kernels/kernel.h"

namespace qel {

#define QEL_DECLARE_KERNEL(name)                                             \
    namespace name {                                                         \
    JobResult encode_job(const Job &job, LineCount *count);             \
    JobResult decode_job(const Job &job, LineCount *count);             \
    void encode_body(const unsigned char *in, unsigned char *out, size_t n); \
    bool decode_body(const unsigned char *in, unsigned char *out, size_t n, int s); \
    }
#define QEL_KERNEL_OPS(name) \
    KernelOps { name::encode_job, name::decode_job, name::encode_body, name::decode_body }

// Every kernel of this build, best first: one list, which makes both the
// table and the load-time choice.
#if defined(QEL_KERNEL_AVX512VBMI)
QEL_DECLARE_KERNEL(avx512vbmi)
#define QEL_IF_AVX512VBMI(X) X(avx512vbmi, cpu_runs_avx512vbmi)
#else
#define QEL_IF_AVX512VBMI(X)
#endif
#if defined(QEL_KERNEL_AVX2)
QEL_DECLARE_KERNEL(avx2)
#define QEL_IF_AVX2(X) X(avx2, cpu_runs_avx2)
#else
#define QEL_IF_AVX2(X)
#endif
QEL_DECLARE_KERNEL(portable)
#define QEL_EACH_KERNEL(X) QEL_IF_AVX512VBMI(X) QEL_IF_AVX2(X) X(portable, always)

namespace {
bool always() { return true; }
}  // namespace

#define QEL_TABLE_ENTRY(name, runs) {#name, runs, QEL_KERNEL_OPS(name)},
const Kernel kKernels[] = {QEL_EACH_KERNEL(QEL_TABLE_ENTRY)};
const size_t kKernelCount = sizeof kKernels / sizeof kKernels[0];

const Kernel &best_kernel() {
    for (const Kernel &k : kKernels)
        if (k.runs()) return k;
    return kKernels[kKernelCount - 1];
}

#if defined(QEL_HAVE_IFUNC)

// The resolvers run while the dynamic linker relocates the library, when the
// table's own pointers may not be relocated yet, so they name the functions
// in code rather than reading them from the table.
#define QEL_RESOLVER(op)                                   \
    decltype(&portable::op) qel_resolve_##op() {           \
        QEL_EACH_KERNEL(QEL_PICK_##op)                     \
        return portable::op;                               \
    }
#define QEL_PICK_encode_job(name, runs) if (runs()) return name::encode_job;
#define QEL_PICK_decode_job(name, runs) if (runs()) return name::decode_job;
#define QEL_PICK_encode_body(name, runs) if (runs()) return name::encode_body;
#define QEL_PICK_decode_body(name, runs) if (runs()) return name::decode_body;

extern "C" {
QEL_RESOLVER(encode_job)
QEL_RESOLVER(decode_job)
QEL_RESOLVER(encode_body)
QEL_RESOLVER(decode_body)
}

JobResult chosen_encode_job(const Job &, LineCount *) __attribute__((ifunc("qel_resolve_encode_job")));
JobResult chosen_decode_job(const Job &, LineCount *) __attribute__((ifunc("qel_resolve_decode_job")));
void chosen_encode_body(const unsigned char *, unsigned char *, size_t) __attribute__((ifunc("qel_resolve_encode_body")));
bool chosen_decode_body(const unsigned char *, unsigned char *, size_t, int)
    __attribute__((ifunc("qel_resolve_decode_body")));

// The operations handed out call the chosen functions rather than being
// them: 32-bit x86 can't take the address of an indirect function from
// position-independent code.
namespace {
JobResult call_encode_job(const Job &job, LineCount *count) { return chosen_encode_job(job, count); }
JobResult call_decode_job(const Job &job, LineCount *count) { return chosen_decode_job(job, count); }
void call_encode_body(const unsigned char *in, unsigned char *out, size_t n) { chosen_encode_body(in, out, n); }
bool call_decode_body(const unsigned char *in, unsigned char *out, size_t n, int s) {
    return chosen_decode_body(in, out, n, s);
}
}  // namespace

KernelOps conversion_kernel() { return KernelOps{call_encode_job, call_decode_job, call_encode_body, call_decode_body}; }
KernelOps record_kernel() { return conversion_kernel(); }

#else

KernelOps conversion_kernel() { return best_kernel().ops; }
KernelOps record_kernel() { return QEL_KERNEL_OPS(portable); }

#endif

}  // namespace qel
