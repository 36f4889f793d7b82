// QEL_Decode and QEL_DecodeStream: a whole stream of records, one per line.
#include "body_map.h"
#include "qelcode.h"
#include "record_format.h"
#include "stream_driver.h"

using namespace qel;

namespace {

struct DecodeCodec {
    // A record with its header, 507 bytes of body and a CR LF line end.
    static constexpr size_t kLimit = kRecordBufferSize;
    static constexpr FullPiece kFullPiece = FullPiece::kDetectOverlong;
    static constexpr size_t kMaxGrowth = 0;  // the text is always shorter than its record

    int32_t convert(const unsigned char *piece, size_t len, unsigned char *out, size_t *out_len) const {
        RecordShape shape;
        const int32_t code = parse_record(piece, len, &shape);
        if (code != QEL_RTN_SUCCESSFUL) return code;
        const unsigned seen = decode_body(piece + 3, out, shape.body_len, shape.shift);
        if (seen & kSawNul) return QEL_RTN_NUL_IN_SOURCE;
        if (seen & kSawSpace) return QEL_RTN_RECORD_DAMAGED;  // no mapping yields a space
        out[shape.body_len] = '\n';
        *out_len = shape.body_len + 1;
        return QEL_RTN_SUCCESSFUL;
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
