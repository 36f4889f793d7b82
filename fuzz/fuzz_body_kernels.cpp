// The body-mapping kernels against the portable scalar ones, byte for byte,
// for every shift increment, in exact-size heap buffers (so a kernel that
// reads or writes past the end is caught), for decoding in place and into a
// buffer that starts before its input, as a record decoded over itself does.
// Also: decoding an encoding gives the bytes back with tildes as spaces.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "body_map.h"
#include "fuzz_support.h"

namespace {

unsigned char *copy_of(const uint8_t *p, size_t n) {
    unsigned char *b = static_cast<unsigned char *>(malloc(n > 0 ? n : 1));
    FUZZ_CHECK(b != nullptr);
    if (n > 0) memcpy(b, p, n);
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const int s = data[0] % 9 + 1;
    const size_t offset = (data[0] / 9) % 4;  // how far before its input a decode writes
    const uint8_t *in = data + 1;
    const size_t n = size - 1;

    // encoding
    unsigned char *src = copy_of(in, n);
    unsigned char *fast = static_cast<unsigned char *>(malloc(n > 0 ? n : 1));
    unsigned char *ref = static_cast<unsigned char *>(malloc(n > 0 ? n : 1));
    FUZZ_CHECK(fast != nullptr && ref != nullptr);
    qel::encode_body(src, fast, n, s);
    qel::encode_body_scalar(src, ref, n, s);
    FUZZ_CHECK(memcmp(fast, ref, n) == 0);

    // decoding the encoding, separate buffers
    unsigned char *plain = static_cast<unsigned char *>(malloc(n > 0 ? n : 1));
    FUZZ_CHECK(plain != nullptr);
    qel::decode_body(ref, plain, n, s);
    for (size_t i = 0; i < n; ++i) {
        const unsigned char want = in[i] == '~' ? ' ' : in[i];
        FUZZ_CHECK(plain[i] == want);
    }

    // decoding arbitrary bytes, separate buffers and over itself
    qel::decode_body(src, fast, n, s);
    qel::decode_body_scalar(src, ref, n, s);
    FUZZ_CHECK(memcmp(fast, ref, n) == 0);

    unsigned char *shared = static_cast<unsigned char *>(malloc(n + offset > 0 ? n + offset : 1));
    FUZZ_CHECK(shared != nullptr);
    if (n > 0) memcpy(shared + offset, in, n);
    qel::decode_body(shared + offset, shared, n, s);
    FUZZ_CHECK(memcmp(shared, ref, n) == 0);

    free(shared);
    free(plain);
    free(ref);
    free(fast);
    free(src);
    return 0;
}
