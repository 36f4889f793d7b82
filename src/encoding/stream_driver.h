// The loop shared by the stream encoder and decoder: the status chain, the
// streams' locks, reading pieces, counting lines and stopping at a failure.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "line_batch.h"
#include "piece_reader.h"
#include "qelcode.h"
#include "record_format.h"
#include "status_chain.h"
#include "stdio_unlocked.h"
#include "stream_buffer.h"

namespace qel {

// The outcome of converting one piece.
struct Step {
    size_t consumed = 0;  // bytes of source the piece took
    size_t produced = 0;  // bytes of output, when code is SUCCESSFUL
    int32_t code = QEL_RTN_SUCCESSFUL;
};

// A Codec has:
//   kLimit, kFullPiece     how pieces are read (see read_piece);
//   kOutputRoom            the most output bytes one piece can need, scratch included;
//   convert(piece, len, out)
//                          converts a whole piece;
//   step(in, avail, out, &step)
//                          finds the next piece at the start of in[0, avail)
//                          and converts it in the same pass; answers false,
//                          having taken nothing, when the piece may run past
//                          avail or is an odd case best left to convert;
//   batch(in, avail, out, room)
//                          takes as many whole lines as it can (line_batch.h).
template <class Codec>
int32_t run_stream(FILE *dest, FILE *src, uint64_t *line, int32_t *status, const Codec &codec) {
    if (!chain_open(status)) return 0;
    if (dest == nullptr) return finish(status, QEL_RTN_NO_DESTINATION);
    if (src == nullptr) return finish(status, QEL_RTN_NO_SOURCE);

    StreamPairLock lock(src, dest);
    unsigned char in[Codec::kLimit + 1];
    unsigned char spare[Codec::kOutputRoom];
    uint64_t lines = 0;         // lines begun so far
    bool at_line_start = true;  // the last piece ended its line

    auto stop = [&](uint64_t at, int32_t code) {
        if (line != nullptr) *line = at;
        return finish(status, code);
    };
    // Counts a piece that was read; false when it is refused, the status set.
    auto accept = [&](const unsigned char *piece, const Step &st, uint64_t current) {
        lines = current;
        at_line_start = piece[st.consumed - 1] == '\n';
        if (st.code == QEL_RTN_SUCCESSFUL) return true;
        // Whatever else is wrong with it, a piece holding a NUL is refused for that.
        const bool nul = memchr(piece, '\0', st.consumed) != nullptr;
        stop(current, nul ? QEL_RTN_NUL_IN_SOURCE : st.code);
        return false;
    };

    for (;;) {
        const uint64_t current = at_line_start ? lines + 1 : lines;

        const ReadSpan r = buffered_input(src);
        if (r.size != 0) {
            const WriteSpan w = buffered_output(dest);
            // The common case: whole lines that lie in the source's buffer,
            // mapped straight into the destination's, many in one call.
            if (at_line_start && w.size != 0) {
                const LineBatch b = codec.batch(r.data, r.size, w.data, w.size);
                if (b.lines != 0) {
                    consume_input(src, b.consumed);
                    commit_output(dest, b.produced);
                    lines += b.lines;
                    continue;
                }
            }
            // One piece that lies whole in the source's buffer; its output
            // goes straight into the destination's when there is room.
            const bool direct = w.size >= Codec::kOutputRoom;
            unsigned char *out = direct ? w.data : spare;
            Step st;
            if (codec.step(r.data, r.size, out, &st)) {
                consume_input(src, st.consumed);
                if (!accept(r.data, st, current)) return 0;
                if (direct) {
                    commit_output(dest, st.produced);
                } else if (!write_locked(dest, spare, st.produced)) {
                    return stop(current, QEL_RTN_WRITE_ERROR);
                }
                continue;
            }
        }

        // Every other case, one byte at a time.
        const Piece p = read_piece(src, in, Codec::kLimit, Codec::kFullPiece);
        if (p.read_error) return stop(current, QEL_RTN_READ_ERROR);
        if (p.len == 0) return stop(lines, lines == 0 ? QEL_RTN_EMPTY_SOURCE : QEL_RTN_SUCCESSFUL);
        const Step st = p.overlong ? Step{p.len, 0, QEL_RTN_RECORD_DAMAGED} : codec.convert(in, p.len, spare);
        if (!accept(in, st, current)) return 0;
        if (!write_locked(dest, spare, st.produced)) return stop(current, QEL_RTN_WRITE_ERROR);
    }
}

}  // namespace qel
