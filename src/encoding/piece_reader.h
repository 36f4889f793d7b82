// Reading a source stream piece by piece: a line, or a part of a long one.
#pragma once

#include <stddef.h>
#include <stdio.h>

namespace qel {

// What happens when a piece reaches its limit without a line feed.
enum class FullPiece {
    kJoinLineFeed,   // a line feed that comes next joins the piece
    kDetectOverlong  // anything but the end of input that comes next makes it overlong
};

struct Piece {
    size_t len = 0;         // bytes in the buffer, line feed included
    bool read_error = false;
    bool has_nul = false;
    bool overlong = false;  // kDetectOverlong only
};

// Reads from the current position of src, which the caller has locked,
// until after the first line feed, after `limit` bytes or at the end of
// input. buf holds limit + 1 bytes. Reads at most one byte past the piece,
// and pushes it back when it is not taken; never waits for input beyond that.
Piece read_piece(FILE *src, unsigned char *buf, size_t limit, FullPiece mode);

}  // namespace qel
