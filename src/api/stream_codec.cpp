// QEL_Encode, QEL_EncodeStream, QEL_Decode and QEL_DecodeStream: a whole
// stream, one record per piece. The calls' contract is here: the status
// chain, the null streams (the destination named first), an empty source
// and the line count handed back; run_stream only moves the bytes.
#include <stdint.h>
#include <stdio.h>

#include "format/record_format.h"
#include "kernels/kernel.h"
#include "qelcode.h"
#include "status/status_chain.h"
#include "stdio/stream_driver.h"

using namespace qel;

namespace {

int32_t stream_call(FILE *dest, FILE *src, uint64_t *line, int32_t *status, const StreamRules &rules) {
    if (!chain_open(status)) return 0;
    if (dest == nullptr) return finish(status, QEL_RTN_NO_DESTINATION);
    if (src == nullptr) return finish(status, QEL_RTN_NO_SOURCE);
    const StreamOutcome outcome = run_stream(dest, src, rules);
    if (line != nullptr) *line = outcome.lines;
    // A source that ends before its first byte has no line at all.
    const bool empty = outcome.code == QEL_RTN_SUCCESSFUL && outcome.lines == 0;
    return finish(status, empty ? QEL_RTN_EMPTY_SOURCE : outcome.code);
}

}  // namespace

extern "C" QEL_API int32_t QEL_CALL QEL_EncodeStream(FILE *dest, FILE *src, uint32_t flags, uint64_t *line,
                                                     int32_t *status) {
    // A piece is a line or 507 bytes of one, so its text always fits a record.
    const StreamRules rules{conversion_kernel().encode_job, kMaxText, FullPiece::kJoinLineFeed, (flags & QEL_FORCE) != 0};
    return stream_call(dest, src, line, status, rules);
}

extern "C" QEL_API int32_t QEL_CALL QEL_Encode(FILE *dest, FILE *src, int32_t *status) {
    return QEL_EncodeStream(dest, src, 0, nullptr, status);
}

extern "C" QEL_API int32_t QEL_CALL QEL_DecodeStream(FILE *dest, FILE *src, uint32_t /*flags*/, uint64_t *line,
                                                     int32_t *status) {
    // A record with its header, 507 bytes of body and a CR LF line end.
    const StreamRules rules{conversion_kernel().decode_job, kRecordBufferSize, FullPiece::kLookAhead, false};
    return stream_call(dest, src, line, status, rules);
}

extern "C" QEL_API int32_t QEL_CALL QEL_Decode(FILE *dest, FILE *src, int32_t *status) {
    return QEL_DecodeStream(dest, src, 0, nullptr, status);
}
