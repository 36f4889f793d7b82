// Reading a source stream piece by piece: a line, or a part of a long one.
#pragma once

#include <stddef.h>
#include <stdio.h>

namespace qel {

// What happens when a piece reaches its limit without a line feed.
enum class FullPiece {
    kJoinLineFeed,  // a line feed that comes next joins the piece
    kLookAhead      // the next byte is only looked at
};

struct Piece {
    size_t len = 0;          // bytes read into the buffer, line feed included
    bool read_error = false;
    bool looked_ahead = false;  // buf[len] holds the next byte, which is left unread
};

// Reads the next piece from the current position of src, which the caller
// has locked, into buf (limit + 1 bytes): up to and including the first line
// feed, or `limit` bytes, or up to the end of input. A piece that reaches
// `limit` looks at one byte more, and leaves it unread (but copied to
// buf[len]) unless it joins the piece. Reading never waits for input beyond
// that byte.
//
// The byte is left unread with ungetc. A C library may refuse that (Wine's
// msvcrt.dll does, on an unbuffered stream it has read); the byte then goes
// to *held, and the next piece starts with it rather than with the stream's
// next byte. *held is -1 when no byte is held, and must start so.
Piece read_piece(FILE *src, unsigned char *buf, size_t limit, FullPiece mode, int *held);

}  // namespace qel
