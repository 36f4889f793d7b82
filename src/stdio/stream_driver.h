// The stream loop shared by the stream encoder and decoder: the status
// chain, the streams' locks, and feeding the line engine.
//
// Whole pieces that lie in the source's buffer go to the line engine in one
// call, straight into the destination's buffer where it has room, or one
// piece at a time through a record of the call's own that is then written.
// Only a piece that runs past the buffered bytes is read byte by byte; the
// engine then converts it like any other.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "kernel.h"
#include "piece_reader.h"
#include "qelcode.h"
#include "record_format.h"
#include "status_chain.h"
#include "stdio_unlocked.h"
#include "stream_buffer.h"

namespace qel {

// How one direction reads its pieces.
struct StreamRules {
    SpanFn span;
    size_t limit;    // read_piece's limit: 507 to encode, 512 to decode
    FullPiece full;  // and what a full piece does with the next byte
    bool force;
};

inline int32_t run_stream(FILE *dest, FILE *src, uint64_t *line, int32_t *status, const StreamRules &rules) {
    if (!chain_open(status)) return 0;
    if (dest == nullptr) return finish(status, QEL_RTN_NO_DESTINATION);
    if (src == nullptr) return finish(status, QEL_RTN_NO_SOURCE);

    StreamPairLock lock(src, dest);
    unsigned char piece[kRecordBufferSize + 1];
    unsigned char spare[kRecordBufferSize];  // room for the output of any one piece
    LineCount count{0, true};

    auto stop = [&](int32_t code) {
        if (line != nullptr) *line = count.lines;
        return finish(status, code);
    };
    // Converts what `span` covers, one piece through the spare record unless
    // it has room of its own; false when it refused a piece or a write failed.
    auto convert = [&](Span span, bool take_input, SpanResult *res) {
        const bool direct = span.out != nullptr;
        if (!direct) {
            span.out = spare;
            span.room = sizeof spare;
            span.one_piece = true;
        }
        *res = rules.span(span, &count);
        if (take_input) consume_input(src, res->consumed + res->refused);
        if (direct) commit_output(dest, res->produced);
        if (res->code != QEL_RTN_SUCCESSFUL) return stop(res->code), false;
        if (!direct && res->produced != 0 && !write_locked(dest, spare, res->produced))
            return stop(QEL_RTN_WRITE_ERROR), false;
        return true;
    };

    for (;;) {
        const ReadSpan r = buffered_input(src);
        if (r.size != 0) {
            const WriteSpan w = buffered_output(dest);
            SpanResult res{};
            if (w.size != 0) {
                if (!convert(Span{r.data, r.size, false, w.data, w.size, rules.force, false}, true, &res)) return 0;
                if (res.consumed != 0) continue;
            }
            if (w.size == 0 || res.stop == SpanStop::kNeedRoom) {
                if (!convert(Span{r.data, r.size, false, nullptr, 0, rules.force, true}, true, &res)) return 0;
                if (res.consumed != 0) continue;
            }
        }

        // A piece that runs past the buffered bytes, or a stream that shows none.
        const uint64_t lines = count.lines;
        const Piece p = read_piece(src, piece, rules.limit, rules.full);
        if (p.read_error) {
            count.lines = count.at_line_start ? lines + 1 : lines;
            return stop(QEL_RTN_READ_ERROR);
        }
        if (p.len == 0) return stop(lines == 0 ? QEL_RTN_EMPTY_SOURCE : QEL_RTN_SUCCESSFUL);
        // The byte looked at after a full piece tells the engine how the piece ends.
        SpanResult res{};
        const Span span{piece, p.len + (p.looked_ahead ? 1 : 0), !p.looked_ahead, nullptr, 0, rules.force, true};
        if (!convert(span, false, &res)) return 0;
    }
}

}  // namespace qel
