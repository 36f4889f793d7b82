// QEL_Decode and QEL_DecodeStream: a whole stream of records, one per line.
#include "qelcode.h"
#include "record_format.h"
#include "stream_driver.h"

using namespace qel;

namespace {

struct DecodeCodec {
    // A record with its header, 507 bytes of body and a CR LF line end.
    static constexpr size_t kLimit = kRecordBufferSize;
    static constexpr FullPiece kFullPiece = FullPiece::kDetectOverlong;

    int32_t convert(const unsigned char *piece, size_t len, unsigned char *out, size_t *out_len) const {
        return decode_record(piece, len, out, out_len);
    }
};

}  // namespace

extern "C" QEL_API int32_t QEL_CALL QEL_DecodeStream(FILE *dest, FILE *src, uint32_t /*flags*/,
                                                     uint64_t *line, int32_t *status) {
    return run_stream(dest, src, line, status, DecodeCodec{});
}

extern "C" QEL_API int32_t QEL_CALL QEL_Decode(FILE *dest, FILE *src, int32_t *status) {
    return QEL_DecodeStream(dest, src, 0, nullptr, status);
}
