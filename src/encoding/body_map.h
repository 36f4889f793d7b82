// Mapping a record body to and from the alphabet.
//
// Plain byte c at body index i: when 32 <= c <= 126 the body byte is
// alphabet entry ((c - 32) + s * (i + 1)) mod 94; every other byte is
// carried unchanged. Every index advances the shift, mapped or not.
//
// A kernel can stop after the first line feed, so that a line is found and
// mapped in one pass, and it reports what else it saw on the way.
#pragma once

#include <stddef.h>

namespace qel {

// What a kernel saw among the bytes it mapped.
inline constexpr unsigned kSawNul = 1u;
inline constexpr unsigned kSawSpace = 2u;  // decoding only: no mapping yields a space

struct Mapped {
    size_t len;      // bytes mapped
    unsigned seen;   // kSawNul, kSawSpace
    bool line_end;   // stopped after a line feed, the last byte mapped
};

// A kernel maps in[0, n) to out with shift increment s (1..9), or only up to
// and including the first line feed when to_line_end is set, and writes
// nothing to out past the bytes it maps. A decoding kernel's out may stand
// at or before its in (a record decoded over itself).
using BodyKernel = Mapped (*)(const unsigned char *in, unsigned char *out, size_t n, int s, bool to_line_end);

// The best kernels for this processor.
Mapped encode_body(const unsigned char *in, unsigned char *out, size_t n, int s, bool to_line_end);
Mapped decode_body(const unsigned char *in, unsigned char *out, size_t n, int s, bool to_line_end);

// The portable kernels, always present; the others are checked against them.
Mapped encode_body_scalar(const unsigned char *in, unsigned char *out, size_t n, int s, bool to_line_end);
Mapped decode_body_scalar(const unsigned char *in, unsigned char *out, size_t n, int s, bool to_line_end);

#if defined(QEL_VECTOR_KERNELS)
// 64 bytes a step with the whole alphabet held in two registers.
Mapped encode_body_avx512vbmi(const unsigned char *in, unsigned char *out, size_t n, int s, bool to_line_end);
Mapped decode_body_avx512vbmi(const unsigned char *in, unsigned char *out, size_t n, int s, bool to_line_end);
// 32 bytes a step, the alphabet looked up in six 16-entry slices.
Mapped encode_body_avx2(const unsigned char *in, unsigned char *out, size_t n, int s, bool to_line_end);
Mapped decode_body_avx2(const unsigned char *in, unsigned char *out, size_t n, int s, bool to_line_end);
#endif

// Whether this processor runs the kernels above (false where not built).
bool cpu_runs_avx512vbmi();
bool cpu_runs_avx2();

}  // namespace qel
