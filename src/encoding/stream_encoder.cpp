// QEL_Encode and QEL_EncodeStream: a whole stream, one record per piece.
#include "body_map.h"
#include "qelcode.h"
#include "record_format.h"
#include "stream_driver.h"

using namespace qel;

namespace {

struct EncodeCodec {
    // A piece is a line or 507 bytes of one, so its text always fits a record.
    static constexpr size_t kLimit = kMaxText;
    static constexpr FullPiece kFullPiece = FullPiece::kJoinLineFeed;
    static constexpr size_t kMaxGrowth = 4;  // header and line feed
    bool force;

    int32_t convert(const unsigned char *piece, size_t len, unsigned char *out, size_t *out_len) const {
        const size_t n = trim_line_end(piece, len);
        if (!force && carries_mark(piece, n)) return QEL_RTN_SOURCE_ENCODED;
        const BuiltRecord r = encode_record(piece, n, out);
        if (r.seen & kSawNul) return QEL_RTN_NUL_IN_SOURCE;
        *out_len = r.len;
        return QEL_RTN_SUCCESSFUL;
    }
};

}  // namespace

extern "C" QEL_API int32_t QEL_CALL QEL_EncodeStream(FILE *dest, FILE *src, uint32_t flags,
                                                     uint64_t *line, int32_t *status) {
    return run_stream(dest, src, line, status, EncodeCodec{(flags & QEL_FORCE) != 0});
}

extern "C" QEL_API int32_t QEL_CALL QEL_Encode(FILE *dest, FILE *src, int32_t *status) {
    return QEL_EncodeStream(dest, src, 0, nullptr, status);
}
