// The stream loop shared by the stream encoder and decoder: the status
// chain, the streams' locks, and feeding the line engine.
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
    SpanFn span;
    size_t limit;    // read_piece's limit: 507 to encode, 512 to decode
    FullPiece full;  // and what a full piece does with the next byte
    bool force;
};

// Runs one direction over a whole stream, following the status chain:
// every piece of src converted by rules.span and written to dest, until
// the input ends or a piece is refused. *line (when not null) gets the
// lines read, or the number of the line refused.
int32_t run_stream(FILE *dest, FILE *src, uint64_t *line, int32_t *status, const StreamRules &rules);

}  // namespace qel
