// The stream loop shared by the stream encoder and decoder: the streams'
// locks, and feeding the line engine.
//
// Whole pieces that lie in the source's buffer go to the line engine in one
// call, straight into the destination's buffer where it has room, or one
// piece at a time through a record of the call's own that is then written.
// Only a piece that runs past the buffered bytes is read byte by byte; the
// engine then converts it like any other.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "kernels/kernel.h"
#include "stdio/piece_reader.h"

namespace qel {

// How one direction reads its pieces.
struct StreamRules {
    JobFn job;
    size_t limit;    // read_piece's limit: 507 to encode, 512 to decode
    FullPiece full;  // and what a full piece does with the next byte
    bool force;
};

// How a stream ended: SUCCESSFUL at the end of the input, else the code of
// the refused piece or of the failed read or write; and the lines read, or
// the number of the line refused.
struct StreamOutcome {
    int32_t code;
    uint64_t lines;
};

// Runs one direction over a whole stream, both streams locked: every piece
// of src converted by rules.job and written to dest, until the input ends
// or a piece is refused. dest and src are open streams.
StreamOutcome run_stream(FILE *dest, FILE *src, const StreamRules &rules);

}  // namespace qel
