// Building a record from a trimmed text, and reading a record's header.
#include "record_format.h"

#include "alphabet.h"
#include "body_map.h"
#include "qelcode.h"

namespace qel {

BuiltRecord encode_record(const unsigned char *text, size_t n, unsigned char *out) {
    const unsigned length_mod = static_cast<unsigned>(n % kCycle);
    out[0] = static_cast<unsigned char>(32u + length_mod);
    out[1] = static_cast<unsigned char>(127u - length_mod);
    out[2] = kStepMark;
    const unsigned seen = encode_body(text, out + 3, n, kShift);
    size_t len = 3 + n;
    // A text that still ends with a line feed carries it as its last body
    // byte, and that byte ends the record.
    if (n == 0 || text[n - 1] != '\n') out[len++] = '\n';
    return BuiltRecord{len, seen};
}

int32_t parse_record(const unsigned char *rec, size_t len, RecordShape *shape) {
    if (!carries_mark(rec, len)) return QEL_RTN_SOURCE_NOT_ENCODED;
    if (len < 3) return QEL_RTN_RECORD_DAMAGED;
    const int s = shift_of_step_mark(rec[2]);
    if (s == 0) return QEL_RTN_RECORD_DAMAGED;

    const bool ends_with_lf = rec[len - 1] == '\n';
    const unsigned char *body = rec + 3;
    size_t body_len = len - 3 - (ends_with_lf ? 1 : 0);
    const size_t length_mod = static_cast<size_t>(rec[0] - 32);  // rec[0] >= 32 by the mark

    if (body_len % kCycle == length_mod) {
        // the body stands as it is
    } else if (body_len > 0 && body[body_len - 1] == '\r' && (body_len - 1) % kCycle == length_mod) {
        --body_len;  // the record passed through a CR LF text stream
    } else if (ends_with_lf && (body_len + 1) % kCycle == length_mod) {
        ++body_len;  // the plain text itself ended with a line feed
    } else {
        return QEL_RTN_RECORD_DAMAGED;
    }
    *shape = RecordShape{body_len, s};
    return QEL_RTN_SUCCESSFUL;
}

}  // namespace qel
