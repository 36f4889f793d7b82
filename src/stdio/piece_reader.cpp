// Reading a piece one byte a step, for every stream and every case.
#include "stdio/piece_reader.h"

#include "stdio/stdio_unlocked.h"

namespace qel {

Piece read_piece(FILE *src, unsigned char *buf, size_t limit, FullPiece mode, int *held) {
    Piece p;
    size_t n = 0;
    while (n < limit) {
        int c = *held;
        if (c >= 0)
            *held = -1;
        else
            c = getc_nolock(src);
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
            if (ungetc_nolock(c, src) == EOF) *held = c;
            buf[n] = static_cast<unsigned char>(c);
            p.looked_ahead = true;
        }
    }
    return p;
}

}  // namespace qel
