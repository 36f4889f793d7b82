// The loop shared by the stream encoder and decoder: the status chain, the
// streams' locks, reading pieces, counting lines and stopping at a failure.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "piece_reader.h"
#include "qelcode.h"
#include "record_format.h"
#include "status_chain.h"
#include "stdio_unlocked.h"
#include "stream_buffer.h"

namespace qel {

// Codec: kLimit and kFullPiece say how pieces are read; kMaxGrowth bounds
// how much longer than its piece the output can be; convert(piece, len,
// out, &out_len) writes the output of one piece and answers a status code.
// The output counts only when convert succeeds.
template <class Codec>
int32_t run_stream(FILE *dest, FILE *src, uint64_t *line, int32_t *status, const Codec &codec) {
    if (!chain_open(status)) return 0;
    if (dest == nullptr) return finish(status, QEL_RTN_NO_DESTINATION);
    if (src == nullptr) return finish(status, QEL_RTN_NO_SOURCE);

    StreamPairLock lock(src, dest);
    unsigned char in[Codec::kLimit + 1];
    unsigned char spare[Codec::kLimit + 1 + Codec::kMaxGrowth];
    uint64_t lines = 0;         // lines begun so far
    bool at_line_start = true;  // the last piece ended its line

    auto stop = [&](uint64_t at, int32_t code) {
        if (line != nullptr) *line = at;
        return finish(status, code);
    };

    for (;;) {
        const uint64_t current = at_line_start ? lines + 1 : lines;
        const Piece p = read_piece(src, in, Codec::kLimit, Codec::kFullPiece);
        if (p.read_error) return stop(current, QEL_RTN_READ_ERROR);
        if (p.len == 0) {
            if (lines == 0) return stop(current, QEL_RTN_EMPTY_SOURCE);
            return stop(lines, QEL_RTN_SUCCESSFUL);
        }
        lines = current;
        at_line_start = p.data[p.len - 1] == '\n';

        // Output goes straight into the destination's buffer when it has room.
        unsigned char *out = buffered_output(dest, p.len + Codec::kMaxGrowth);
        const bool direct = out != nullptr;
        if (!direct) out = spare;
        size_t out_len = 0;
        int32_t code = p.overlong ? QEL_RTN_RECORD_DAMAGED : codec.convert(p.data, p.len, out, &out_len);
        if (code != QEL_RTN_SUCCESSFUL) {
            // Whatever else is wrong with it, a piece holding a NUL is refused for that.
            if (memchr(p.data, '\0', p.len) != nullptr) code = QEL_RTN_NUL_IN_SOURCE;
            return stop(current, code);
        }
        if (direct) {
            commit_output(dest, out_len);
        } else if (!write_locked(dest, out, out_len)) {
            return stop(current, QEL_RTN_WRITE_ERROR);
        }
    }
}

}  // namespace qel
