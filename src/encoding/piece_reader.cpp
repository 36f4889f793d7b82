// Reading pieces: from the stream's buffer where the whole piece lies there,
// else one byte a step.
#include "piece_reader.h"

#include <string.h>

#include "stdio_unlocked.h"
#include "stream_buffer.h"

namespace qel {

namespace {

// The piece lies whole in the buffer when a line feed ends it there, or when
// the buffer also holds the byte after a full piece.
bool take_buffered_piece(FILE *src, size_t limit, FullPiece mode, Piece *p) {
    const ReadSpan r = buffered_input(src);
    if (r.size == 0) return false;
    const size_t scan = r.size < limit ? r.size : limit;
    const void *lf = memchr(r.data, '\n', scan);
    size_t len;
    if (lf != nullptr) {
        len = static_cast<size_t>(static_cast<const unsigned char *>(lf) - r.data) + 1;
    } else if (r.size > limit) {
        len = limit;
        if (mode == FullPiece::kJoinLineFeed) {
            if (r.data[limit] == '\n') ++len;
        } else {
            p->overlong = true;
        }
    } else {
        return false;
    }
    consume_input(src, len);
    p->data = r.data;
    p->len = len;
    return true;
}

Piece read_piece_bytewise(FILE *src, unsigned char *buf, size_t limit, FullPiece mode) {
    Piece p;
    p.data = buf;
    size_t n = 0;
    while (n < limit) {
        const int c = getc_nolock(src);
        if (c == EOF) {
            p.read_error = ferror_nolock(src);
            p.len = n;
            return p;
        }
        buf[n++] = static_cast<unsigned char>(c);
        if (c == '\n') break;
    }
    p.len = n;
    if (n == limit && buf[n - 1] != '\n') {
        const int c = getc_nolock(src);
        if (c == EOF) {
            p.read_error = ferror_nolock(src);
        } else if (c == '\n' && mode == FullPiece::kJoinLineFeed) {
            buf[p.len++] = '\n';
        } else {
            ungetc_nolock(c, src);
            p.overlong = mode == FullPiece::kDetectOverlong;
        }
    }
    return p;
}

}  // namespace

Piece read_piece(FILE *src, unsigned char *buf, size_t limit, FullPiece mode) {
    Piece p;
    if (take_buffered_piece(src, limit, mode, &p)) return p;
    return read_piece_bytewise(src, buf, limit, mode);
}

}  // namespace qel
