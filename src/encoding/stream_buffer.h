// Direct access to a stream's own buffer, where the C library allows it.
//
// The GNU C library keeps a FILE's buffer pointers in its public struct;
// its getc_unlocked and putc_unlocked macros are nothing but reads and
// writes through them. Working through the same pointers, with the stream
// locked, lets a whole line be mapped from the source's buffer straight into
// the destination's, exactly as a run of those macros would, without a copy
// or a call per byte. Everywhere else the spans are empty and the portable
// path serves.
#pragma once

#include <stddef.h>
#include <stdio.h>

namespace qel {

struct ReadSpan {
    const unsigned char *data;
    size_t size;
};

struct WriteSpan {
    unsigned char *data;
    size_t size;
};

#if defined(__GLIBC__)

// The bytes a read can take without asking the system for more.
inline ReadSpan buffered_input(FILE *f) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(f->_IO_read_ptr);
    const unsigned char *end = reinterpret_cast<const unsigned char *>(f->_IO_read_end);
    return p != nullptr && end > p ? ReadSpan{p, static_cast<size_t>(end - p)} : ReadSpan{nullptr, 0};
}

// Takes n bytes of buffered_input(f) as read.
inline void consume_input(FILE *f, size_t n) { f->_IO_read_ptr += n; }

// The room a write can fill without the stream flushing. A line buffered or
// unbuffered stream never shows room, so its own flushing rules stay in
// force.
inline WriteSpan buffered_output(FILE *f) {
    unsigned char *p = reinterpret_cast<unsigned char *>(f->_IO_write_ptr);
    unsigned char *end = reinterpret_cast<unsigned char *>(f->_IO_write_end);
    return p != nullptr && end > p ? WriteSpan{p, static_cast<size_t>(end - p)} : WriteSpan{nullptr, 0};
}

// Takes n bytes written at buffered_output(f) as output.
inline void commit_output(FILE *f, size_t n) { f->_IO_write_ptr += n; }

#else

inline ReadSpan buffered_input(FILE *) { return ReadSpan{nullptr, 0}; }
inline void consume_input(FILE *, size_t) {}
inline WriteSpan buffered_output(FILE *) { return WriteSpan{nullptr, 0}; }
inline void commit_output(FILE *, size_t) {}

#endif

}  // namespace qel
