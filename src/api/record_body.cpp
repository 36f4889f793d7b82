// Building a record from a trimmed text.
#include "record_format.h"

#include "kernel.h"
#include "qelcode.h"

namespace qel {

size_t encode_record(const unsigned char *text, size_t n, unsigned char *out) {
    put_header(out, n);
    record_kernel().encode_body(text, out + 3, n);
    size_t len = 3 + n;
    // A text that still ends with a line feed carries it as its last body
    // byte, and that byte ends the record.
    if (n == 0 || text[n - 1] != '\n') out[len++] = '\n';
    return len;
}

}  // namespace qel
