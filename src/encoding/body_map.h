// Mapping a record body to and from the alphabet.
//
// Plain byte c at body index i: when 32 <= c <= 126 the body byte is
// alphabet entry ((c - 32) + s * (i + 1)) mod 94; every other byte is
// carried unchanged. Every index advances the shift, mapped or not.
#pragma once

#include <stddef.h>

namespace qel {

// Maps n plain bytes at in to body bytes at out with shift increment s.
void encode_body(const unsigned char *in, unsigned char *out, size_t n, int s);

// True when a body holds a space, which no mapping yields.
bool body_has_space(const unsigned char *body, size_t n);

// Maps n body bytes back to plain bytes with shift increment s. out may
// stand at or before in (a record decoded over itself).
void decode_body(const unsigned char *in, unsigned char *out, size_t n, int s);

// The portable kernels, always present; the others are checked against them.
void encode_body_scalar(const unsigned char *in, unsigned char *out, size_t n, int s);
void decode_body_scalar(const unsigned char *in, unsigned char *out, size_t n, int s);

}  // namespace qel
