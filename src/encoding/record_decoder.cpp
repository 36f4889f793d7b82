// QEL_DecodeRecord: one record in the caller's buffer becomes its text again.
#include <string.h>

#include "qelcode.h"
#include "record_format.h"
#include "status_chain.h"

using namespace qel;

extern "C" QEL_API int32_t QEL_CALL QEL_DecodeRecord(FILE *dest, char *text, int32_t *status) {
    if (!chain_open(status)) return 0;

    unsigned char *t = reinterpret_cast<unsigned char *>(text);
    size_t len = 0;
    // The decoded text is always shorter than the record, so it is built over it.
    const int32_t code = decode_record(t, strlen(text), t, &len);
    if (code != QEL_RTN_SUCCESSFUL) return finish(status, code);
    t[len] = '\0';

    if (dest == nullptr) return finish(status, QEL_RTN_SUCCESSFUL);
    const bool written = fwrite(t, 1, len, dest) == len;
    return finish(status, written ? QEL_RTN_SUCCESSFUL : QEL_RTN_WRITE_ERROR);
}
