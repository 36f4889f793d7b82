// The stream loop: see stream_driver.h.
#include "stdio/stream_driver.h"

#include <stdint.h>
#include <stdio.h>

#include "format/record_format.h"
#include "kernels/kernel.h"
#include "qelcode.h"
#include "stdio/piece_reader.h"
#include "stdio/stdio_unlocked.h"
#include "stdio/stream_buffer.h"

namespace qel {

StreamOutcome run_stream(FILE *dest, FILE *src, const StreamRules &rules) {
    StreamPairLock lock(src, dest);
    unsigned char piece[kRecordBufferSize + 1];
    unsigned char spare[kRecordBufferSize];  // room for the output of any one piece
    LineCount count{0, true};

    StreamOutcome outcome{QEL_RTN_SUCCESSFUL, 0};
    auto stop = [&](int32_t code) {
        outcome = StreamOutcome{code, count.lines};
    };
    // Converts what `job` covers, one piece through the spare record unless
    // it has room of its own; false when it refused a piece or a write failed.
    auto convert = [&](Job job, bool take_input, JobResult *res) {
        const bool direct = job.out != nullptr;
        if (!direct) {
            job.out = spare;
            job.room = sizeof spare;
            job.one_piece = true;
        }
        *res = rules.job(job, &count);
        if (take_input) consume_input(src, res->consumed + res->refused);
        if (direct) commit_output(dest, res->produced);
        if (res->code != QEL_RTN_SUCCESSFUL) return stop(res->code), false;
        if (!direct && res->produced != 0 && !write_locked(dest, spare, res->produced))
            return stop(QEL_RTN_WRITE_ERROR), false;
        return true;
    };

    // A byte read but not taken back by the stream (see read_piece) starts
    // the next piece, before anything in the buffer. Should the call stop
    // while one is held, the source stands one byte further on.
    int held = -1;
    for (;;) {
        const ReadSpan r = held < 0 ? buffered_input(src) : ReadSpan{nullptr, 0};
        if (r.size != 0) {
            const WriteSpan w = buffered_output(dest);
            JobResult res{};
            if (w.size != 0) {
                const Job into_buffer{.in = r.data, .avail = r.size, .at_end = false, .out = w.data, .room = w.size,
                                       .force = rules.force, .one_piece = false};
                if (!convert(into_buffer, true, &res)) return outcome;
                if (res.consumed != 0) continue;
            }
            if (w.size == 0 || res.stop == JobStop::kNeedRoom) {
                const Job one_piece{.in = r.data, .avail = r.size, .at_end = false, .out = nullptr, .room = 0,
                                     .force = rules.force, .one_piece = true};
                if (!convert(one_piece, true, &res)) return outcome;
                if (res.consumed != 0) continue;
            }
        }

        // A piece that runs past the buffered bytes, or a stream that shows none.
        const uint64_t lines = count.lines;
        const Piece p = read_piece(src, piece, rules.limit, rules.full, &held);
        if (p.read_error) {
            count.lines = count.at_line_start ? lines + 1 : lines;
            return StreamOutcome{QEL_RTN_READ_ERROR, count.lines};
        }
        if (p.len == 0) return StreamOutcome{QEL_RTN_SUCCESSFUL, lines};
        // The byte looked at after a full piece tells the engine how the piece ends.
        JobResult res{};
        const Job job{.in = piece, .avail = p.len + (p.looked_ahead ? 1 : 0), .at_end = !p.looked_ahead,
                        .out = nullptr, .room = 0, .force = rules.force, .one_piece = true};
        if (!convert(job, false, &res)) return outcome;
    }
}

}  // namespace qel
