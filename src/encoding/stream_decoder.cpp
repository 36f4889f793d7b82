// QEL_Decode and QEL_DecodeStream: a whole stream of records, one per line.
#include <string.h>

#include "alphabet.h"
#include "body_map.h"
#include "line_batch.h"
#include "qelcode.h"
#include "record_format.h"
#include "stream_driver.h"

using namespace qel;

namespace {

struct DecodeCodec {
    // A record with its header, 507 bytes of body and a CR LF line end.
    static constexpr size_t kLimit = kRecordBufferSize;
    static constexpr FullPiece kFullPiece = FullPiece::kDetectOverlong;
    static constexpr size_t kOutputRoom = kRecordBufferSize;  // the text is always shorter than its record

    // The body of a record of len bytes has been mapped into out, at least
    // shape.body_len bytes of it; the text ends there.
    static Step finish_record(size_t len, const RecordShape &shape, const Mapped &m, unsigned char *out) {
        if (m.seen & kSawNul) return Step{len, 0, QEL_RTN_NUL_IN_SOURCE};
        if (m.seen & kSawSpace) return Step{len, 0, QEL_RTN_RECORD_DAMAGED};  // no mapping yields a space
        out[shape.body_len] = '\n';
        return Step{len, shape.body_len + 1, QEL_RTN_SUCCESSFUL};
    }

    Step convert(const unsigned char *rec, size_t len, unsigned char *out) const {
        RecordShape shape;
        const int32_t code = parse_record(rec, len, &shape);
        if (code != QEL_RTN_SUCCESSFUL) return Step{len, 0, code};
        const Mapped m = decode_body(rec + 3, out, len - 3, shape.shift, false);
        return finish_record(len, shape, m, out);
    }

    LineBatch batch(const unsigned char *in, size_t avail, unsigned char *out, size_t room) const {
        return decode_lines(in, avail, out, room);
    }

    bool step(const unsigned char *in, size_t avail, unsigned char *out, Step *st) const {
        // Lines too short to hold a header, and headers without a step mark,
        // are left to convert.
        if (avail <= 3 || memchr(in, '\n', 3) != nullptr) return false;
        const int s = shift_of_step_mark(in[2]);
        if (s == 0) return false;
        const size_t scan = (avail < kLimit ? avail : kLimit) - 3;
        const Mapped m = decode_body(in + 3, out, scan, s, true);
        if (!m.line_end) {
            if (avail <= kLimit) return false;  // the line may go on past the buffered bytes
            *st = Step{kLimit, 0, QEL_RTN_RECORD_DAMAGED};  // longer than any record
            return true;
        }
        const size_t len = 3 + m.len;
        RecordShape shape;
        const int32_t code = parse_record(in, len, &shape);
        *st = code == QEL_RTN_SUCCESSFUL ? finish_record(len, shape, m, out) : Step{len, 0, code};
        return true;
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
