// QEL_Encode and QEL_EncodeStream: a whole stream, one record per piece.
#include "alphabet.h"
#include "body_map.h"
#include "line_batch.h"
#include "qelcode.h"
#include "record_format.h"
#include "stream_driver.h"

using namespace qel;

namespace {

struct EncodeCodec {
    // A piece is a line or 507 bytes of one, so its text always fits a record.
    static constexpr size_t kLimit = kMaxText;
    static constexpr FullPiece kFullPiece = FullPiece::kJoinLineFeed;
    static constexpr size_t kOutputRoom = kRecordBufferSize;
    bool force;

    Step convert(const unsigned char *piece, size_t len, unsigned char *out) const {
        const size_t n = trim_line_end(piece, len);
        if (!force && carries_mark(piece, n)) return Step{len, 0, QEL_RTN_SOURCE_ENCODED};
        const BuiltRecord r = encode_record(piece, n, out);
        if (r.seen & kSawNul) return Step{len, 0, QEL_RTN_NUL_IN_SOURCE};
        return Step{len, r.len, QEL_RTN_SUCCESSFUL};
    }

    LineBatch batch(const unsigned char *in, size_t avail, unsigned char *out, size_t room) const {
        return encode_lines(in, avail, out, room, force);
    }

    // Maps the bytes into place behind the header while looking for the line
    // end; the header follows once the text's length is known.
    bool step(const unsigned char *in, size_t avail, unsigned char *out, Step *st) const {
        const Mapped m = encode_body(in, out + 3, avail < kLimit ? avail : kLimit, kShift, true);
        size_t len = m.len;
        if (!m.line_end) {
            if (avail <= kLimit) return false;  // the line may go on past the buffered bytes
            if (in[kLimit] == '\n') ++len;
        }
        const size_t n = trim_line_end(in, len);
        if (!force && carries_mark(in, n)) {
            *st = Step{len, 0, QEL_RTN_SOURCE_ENCODED};
        } else if (m.seen & kSawNul) {
            *st = Step{len, 0, QEL_RTN_NUL_IN_SOURCE};
        } else {
            put_header(out, n);
            out[3 + n] = '\n';  // over the mapped line end, which is carried unchanged
            *st = Step{len, n + 4, QEL_RTN_SUCCESSFUL};
        }
        return true;
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
