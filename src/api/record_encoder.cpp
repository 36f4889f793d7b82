// QEL_EncodeRecord: one line in the caller's buffer becomes one record.
#include <string.h>

#include "api/record_call.h"
#include "format/record_format.h"
#include "kernels/kernel.h"
#include "qelcode.h"
#include "status/status_chain.h"

using namespace qel;

namespace {

// Builds the record of a trimmed text of n <= kMaxText bytes into out, which
// holds at least n + 4 bytes; answers its length, line feed included. No NUL
// is added. text and out must not overlap.
size_t encode_record(const unsigned char *text, size_t n, unsigned char *out) {
    put_header(out, n);
    record_kernel().encode_body(text, out + 3, n);
    size_t len = 3 + n;
    // A text that still ends with a line feed carries it as its last body
    // byte, and that byte ends the record.
    if (n == 0 || text[n - 1] != '\n') out[len++] = '\n';
    return len;
}

}  // namespace

extern "C" QEL_API int32_t QEL_CALL QEL_EncodeRecord(FILE *dest, char *text, int32_t *status) {
    if (!chain_open(status)) return 0;

    unsigned char *t = reinterpret_cast<unsigned char *>(text);
    const size_t n = trim_line_end(t, strlen(text));
    t[n] = '\0';
    const int32_t refusal = text_refusal(t, n, false);
    if (refusal != QEL_RTN_SUCCESSFUL) return finish(status, refusal);

    unsigned char work[kRecordBufferSize];
    const size_t len = encode_record(t, n, work);
    memcpy(t, work, len);
    t[len] = '\0';
    return write_record_and_finish(dest, work, len, status);
}
