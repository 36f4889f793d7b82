// QEL_Decode and QEL_DecodeStream: a whole stream of records, one per line.
#include "kernels/kernel.h"
#include "qelcode.h"
#include "format/record_format.h"
#include "stdio/stream_driver.h"

using namespace qel;

extern "C" QEL_API int32_t QEL_CALL QEL_DecodeStream(FILE *dest, FILE *src, uint32_t /*flags*/, uint64_t *line,
                                                     int32_t *status) {
    // A record with its header, 507 bytes of body and a CR LF line end.
    const StreamRules rules{stream_kernel().decode_span, kRecordBufferSize, FullPiece::kLookAhead, false};
    return run_stream(dest, src, line, status, rules);
}

extern "C" QEL_API int32_t QEL_CALL QEL_Decode(FILE *dest, FILE *src, int32_t *status) {
    return QEL_DecodeStream(dest, src, 0, nullptr, status);
}
