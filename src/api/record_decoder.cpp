// QEL_DecodeRecord: one record in the caller's buffer becomes its text again.
#include <string.h>

#include "api/record_call.h"
#include "kernels/kernel.h"
#include "qelcode.h"
#include "format/record_format.h"
#include "status/status_chain.h"

using namespace qel;

extern "C" QEL_API int32_t QEL_CALL QEL_DecodeRecord(FILE *dest, char *text, int32_t *status) {
    if (!chain_open(status)) return 0;

    unsigned char *t = reinterpret_cast<unsigned char *>(text);
    RecordShape shape;
    const int32_t code = parse_record(t, strlen(text), &shape);
    if (code != QEL_RTN_SUCCESSFUL) return finish(status, code);
    // No mapping yields a space; a body that holds one is refused before
    // anything is decoded over it, so the text stays as it is.
    if (record_kernel().decode_body(t + 3, t, shape.body_len, shape.shift))
        return finish(status, QEL_RTN_RECORD_DAMAGED);
    const size_t len = shape.body_len + 1;
    t[len - 1] = '\n';
    t[len] = '\0';
    return write_record_and_finish(dest, t, len, status);
}
