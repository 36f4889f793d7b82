// Chooses the body-mapping kernel.
#include "body_map.h"

namespace qel {

void encode_body(const unsigned char *in, unsigned char *out, size_t n, int s) {
    encode_body_scalar(in, out, n, s);
}

void decode_body(const unsigned char *in, unsigned char *out, size_t n, int s) {
    decode_body_scalar(in, out, n, s);
}

}  // namespace qel
