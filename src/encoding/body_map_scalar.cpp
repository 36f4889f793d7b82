// Portable body mapping: one byte a step, the shift as a running offset.
#include "alphabet.h"
#include "body_map.h"

namespace qel {

Mapped encode_body_scalar(const unsigned char *in, unsigned char *out, size_t n, int s, bool to_line_end) {
    unsigned seen = 0;
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
            if (c == '\0') seen |= kSawNul;
            if (c == '\n' && to_line_end) return Mapped{i + 1, seen, true};
        }
        offset += s;
        if (offset >= kCycle) offset -= kCycle;
    }
    return Mapped{n, seen, false};
}

Mapped decode_body_scalar(const unsigned char *in, unsigned char *out, size_t n, int s, bool to_line_end) {
    unsigned seen = 0;
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
            if (b == '\0') seen |= kSawNul;
            if (b == ' ') seen |= kSawSpace;
            if (b == '\n' && to_line_end) return Mapped{i + 1, seen, true};
        }
        offset += s;
        if (offset >= kCycle) offset -= kCycle;
    }
    return Mapped{n, seen, false};
}

}  // namespace qel
