// Mapping a record body to and from the alphabet.
//
// Plain byte c at body index i: when 32 <= c <= 126 the body byte is
// alphabet entry ((c - 32) + s * (i + 1)) mod 94; every other byte is
// carried unchanged. Every index advances the shift, mapped or not.
//
// Each kernel also reports what it saw on the way, so that a caller need
// not scan the bytes again.
#pragma once

#include <stddef.h>

namespace qel {

// Bits of a kernel's answer.
inline constexpr unsigned kSawNul = 1u;    // a NUL byte among the input
inline constexpr unsigned kSawSpace = 2u;  // a space among the input (decoding only)

// Maps n plain bytes at in to body bytes at out with shift increment s
// (1..9). Answers kSawNul or 0.
unsigned encode_body(const unsigned char *in, unsigned char *out, size_t n, int s);

// Maps n body bytes back to plain bytes with shift increment s. out may
// stand at or before in (a record decoded over itself). Answers kSawNul
// and kSawSpace as seen.
unsigned decode_body(const unsigned char *in, unsigned char *out, size_t n, int s);

using BodyKernel = unsigned (*)(const unsigned char *in, unsigned char *out, size_t n, int s);

// The portable kernels, always present; the others are checked against them.
unsigned encode_body_scalar(const unsigned char *in, unsigned char *out, size_t n, int s);
unsigned decode_body_scalar(const unsigned char *in, unsigned char *out, size_t n, int s);

#if defined(QEL_HAVE_AVX512VBMI)
// 64 bytes a step with the whole alphabet held in two registers.
unsigned encode_body_avx512vbmi(const unsigned char *in, unsigned char *out, size_t n, int s);
unsigned decode_body_avx512vbmi(const unsigned char *in, unsigned char *out, size_t n, int s);
#endif
#if defined(QEL_HAVE_AVX2)
// 32 bytes a step, the alphabet looked up in six 16-entry slices.
unsigned encode_body_avx2(const unsigned char *in, unsigned char *out, size_t n, int s);
unsigned decode_body_avx2(const unsigned char *in, unsigned char *out, size_t n, int s);
#endif

// Whether this processor runs the kernels above (false where not built).
bool cpu_runs_avx512vbmi();
bool cpu_runs_avx2();

}  // namespace qel
