// Portable body mapping: one byte a step, the shift as a running offset.
#include "alphabet.h"
#include "body_map.h"

#include <string.h>

namespace qel {

void encode_body_scalar(const unsigned char *in, unsigned char *out, size_t n, int s) {
    int offset = s;  // s * (i + 1) mod 94 for i = 0
    for (size_t i = 0; i < n; ++i) {
        const unsigned c = in[i];
        const unsigned place = c - 32u;  // 0..94 for a graphic byte
        if (place < 95u) {
            unsigned e = place + static_cast<unsigned>(offset);
            if (e >= 94u) e -= 94u;
            out[i] = kEncodeAlphabet[e];
        } else {
            out[i] = static_cast<unsigned char>(c);
        }
        offset += s;
        if (offset >= kCycle) offset -= kCycle;
    }
}

void decode_body_scalar(const unsigned char *in, unsigned char *out, size_t n, int s) {
    int offset = s;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char b = in[i];
        const int e = kAlphabetIndex.entry[b];
        if (e >= 0) {
            int place = e - offset;
            if (place < 0) place += kCycle;
            out[i] = static_cast<unsigned char>(32 + place);
        } else {
            out[i] = b;
        }
        offset += s;
        if (offset >= kCycle) offset -= kCycle;
    }
}

bool body_has_space(const unsigned char *body, size_t n) {
    return n != 0 && memchr(body, ' ', n) != nullptr;
}

}  // namespace qel
