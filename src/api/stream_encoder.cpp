// QEL_Encode and QEL_EncodeStream: a whole stream, one record per piece.
#include "kernels/kernel.h"
#include "qelcode.h"
#include "format/record_format.h"
#include "stdio/stream_driver.h"

using namespace qel;

extern "C" QEL_API int32_t QEL_CALL QEL_EncodeStream(FILE *dest, FILE *src, uint32_t flags, uint64_t *line,
                                                     int32_t *status) {
    // A piece is a line or 507 bytes of one, so its text always fits a record.
    const StreamRules rules{stream_kernel().encode_span, kMaxText, FullPiece::kJoinLineFeed, (flags & QEL_FORCE) != 0};
    return run_stream(dest, src, line, status, rules);
}

extern "C" QEL_API int32_t QEL_CALL QEL_Encode(FILE *dest, FILE *src, int32_t *status) {
    return QEL_EncodeStream(dest, src, 0, nullptr, status);
}
