// Whole lines at a time, from a source's buffer into a destination's.
//
// A batch takes lines for as long as each is plain sailing: it ends with a
// line feed among the given bytes, fits a record, holds no NUL, and
// (encoding) carries no encoded mark unless forced, or (decoding) is a sound
// record. It stops before the first line that is not, leaving that line to
// the one-piece-at-a-time path, which knows every rule; so a batch changes
// nothing but the speed. It also stops before a line whose output would not
// fit the room left.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace qel {

struct LineBatch {
    size_t consumed;  // source bytes taken
    size_t produced;  // output bytes written
    uint64_t lines;   // lines taken, each ending with its line feed
};

// The batches for this processor; where there is no batch kernel they take
// nothing.
LineBatch encode_lines(const unsigned char *in, size_t avail, unsigned char *out, size_t room, bool force);
LineBatch decode_lines(const unsigned char *in, size_t avail, unsigned char *out, size_t room);

#if defined(QEL_VECTOR_KERNELS)
LineBatch encode_lines_avx512vbmi(const unsigned char *in, size_t avail, unsigned char *out, size_t room,
                                  bool force);
LineBatch decode_lines_avx512vbmi(const unsigned char *in, size_t avail, unsigned char *out, size_t room);
#endif

}  // namespace qel
