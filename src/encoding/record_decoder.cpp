// QEL_DecodeRecord: one record in the caller's buffer becomes its text again.
#include <string.h>

#include "body_map.h"
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
    // No mapping yields a space; the text must stay as it is when refused,
    // so the body is checked before it is decoded over itself.
    const unsigned char *body = t + 3;
    if (shape.body_len != 0 && memchr(body, ' ', shape.body_len) != nullptr)
        return finish(status, QEL_RTN_RECORD_DAMAGED);

    decode_body(body, t, shape.body_len, shape.shift, false);
    const size_t len = shape.body_len + 1;
    t[len - 1] = '\n';
    t[len] = '\0';

    if (dest == nullptr) return finish(status, QEL_RTN_SUCCESSFUL);
    const bool written = fwrite(t, 1, len, dest) == len;
    return finish(status, written ? QEL_RTN_SUCCESSFUL : QEL_RTN_WRITE_ERROR);
}
