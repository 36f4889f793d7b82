// QEL_DecodeRecord: one record in the caller's buffer becomes its text again.
#include <string.h>

#include "kernel.h"
#include "qelcode.h"
#include "record_format.h"
#include "status_chain.h"

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

    if (dest == nullptr) return finish(status, QEL_RTN_SUCCESSFUL);
    const bool written = fwrite(t, 1, len, dest) == len;
    return finish(status, written ? QEL_RTN_SUCCESSFUL : QEL_RTN_WRITE_ERROR);
}
