// QEL_EncodeRecord: one line in the caller's buffer becomes one record.
#include <string.h>

#include "qelcode.h"
#include "record_format.h"
#include "status_chain.h"

using namespace qel;

extern "C" QEL_API int32_t QEL_CALL QEL_EncodeRecord(FILE *dest, char *text, int32_t *status) {
    if (!chain_open(status)) return 0;

    unsigned char *t = reinterpret_cast<unsigned char *>(text);
    const size_t n = trim_line_end(t, strlen(text));
    t[n] = '\0';
    if (carries_mark(t, n)) return finish(status, QEL_RTN_SOURCE_ENCODED);
    if (n > kMaxText) return finish(status, QEL_RTN_LINE_TOO_LONG);

    unsigned char work[kRecordBufferSize];
    const size_t len = encode_record(t, n, work);
    memcpy(t, work, len);
    t[len] = '\0';

    if (dest == nullptr) return finish(status, QEL_RTN_SUCCESSFUL);
    const bool written = fwrite(work, 1, len, dest) == len;
    return finish(status, written ? QEL_RTN_SUCCESSFUL : QEL_RTN_WRITE_ERROR);
}
