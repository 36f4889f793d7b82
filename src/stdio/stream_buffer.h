// Direct access to a stream's own buffer, where the C library allows it.
//
// QEL_DIRECT_STDIO (on unless the build turns it off) lets the stream
// functions map whole lines from the source's buffer straight into the
// destination's, through the very pointers the C library's own getc and
// putc macros use, with both streams locked. Where it is off, or the C
// library is not one of those below, the spans are empty and every piece
// goes through the portable stdio path (getc, ungetc and fwrite).
//
// Risk: the fields used are a C library's binary layout, not an API. They
// are read only on the two libraries named here, whose layouts are fixed
// by their binary compatibility:
//   - the GNU C library: _IO_read_ptr/_IO_read_end, _IO_write_ptr/_IO_write_end;
//   - msvcrt.dll (mingw-w64 builds against it; not the Universal CRT, whose
//     FILE is opaque): _ptr, _cnt and _flag.
// Which states show what:
//   - no room for output: an unbuffered or line-buffered stream (glibc
//     keeps _IO_write_end at the buffer's start for both; msvcrt's
//     _IONBF), a stream whose buffer its first write has not yet set up,
//     a full buffer, and a stream opened for update that was last read
//     and not yet switched to writing by a seek or flush;
//   - no input: an unbuffered stream, an empty buffer, and a stream that
//     was last written;
//   - after an ungetc, the input shown is the pushed-back bytes, which
//     getc itself reads next.
// Whatever shows nothing goes through stdio's own calls, which keep every
// rule of the stream.
#pragma once

#include <stddef.h>
#include <stdio.h>

#if !defined(QEL_DIRECT_STDIO)
#define QEL_DIRECT_STDIO 1
#endif

namespace qel {

struct ReadSpan {
    const unsigned char *data;
    size_t size;
};

struct WriteSpan {
    unsigned char *data;
    size_t size;
};

#if QEL_DIRECT_STDIO && defined(__GLIBC__)

// The bytes a read can take without asking the system for more.
inline ReadSpan buffered_input(FILE *f) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(f->_IO_read_ptr);
    const unsigned char *end = reinterpret_cast<const unsigned char *>(f->_IO_read_end);
    return p != nullptr && end > p ? ReadSpan{p, static_cast<size_t>(end - p)} : ReadSpan{nullptr, 0};
}

// Takes n bytes of buffered_input(f) as read.
inline void consume_input(FILE *f, size_t n) { f->_IO_read_ptr += n; }

// The room a write can fill without the stream flushing.
inline WriteSpan buffered_output(FILE *f) {
    unsigned char *p = reinterpret_cast<unsigned char *>(f->_IO_write_ptr);
    unsigned char *end = reinterpret_cast<unsigned char *>(f->_IO_write_end);
    return p != nullptr && end > p ? WriteSpan{p, static_cast<size_t>(end - p)} : WriteSpan{nullptr, 0};
}

// Takes n bytes written at buffered_output(f) as output.
inline void commit_output(FILE *f, size_t n) { f->_IO_write_ptr += n; }

#elif QEL_DIRECT_STDIO && defined(_WIN32) && defined(__MINGW32__) && !defined(_UCRT)

// msvcrt.dll's getc and putc macros work on _ptr and _cnt: _cnt counts the
// bytes left to read in a stream being read (_IOREAD), or the room left in
// one being written (_IOWRT); its _filbuf and _flsbuf set them up. An
// unbuffered stream (_IONBF) or a string stream (_IOSTRG) is never touched.
inline constexpr int kMsvcrtRead = 0x0001;
inline constexpr int kMsvcrtWrite = 0x0002;
inline constexpr int kMsvcrtUnbuffered = 0x0004;
inline constexpr int kMsvcrtString = 0x0040;

inline bool msvcrt_buffered_as(FILE *f, int mode) {
    const int other = mode == kMsvcrtRead ? kMsvcrtWrite : kMsvcrtRead;
    return (f->_flag & mode) != 0 && (f->_flag & (other | kMsvcrtUnbuffered | kMsvcrtString)) == 0 &&
           f->_ptr != nullptr && f->_cnt > 0;
}

inline ReadSpan buffered_input(FILE *f) {
    if (!msvcrt_buffered_as(f, kMsvcrtRead)) return ReadSpan{nullptr, 0};
    return ReadSpan{reinterpret_cast<const unsigned char *>(f->_ptr), static_cast<size_t>(f->_cnt)};
}

inline void consume_input(FILE *f, size_t n) {
    f->_ptr += n;
    f->_cnt -= static_cast<int>(n);
}

inline WriteSpan buffered_output(FILE *f) {
    if (!msvcrt_buffered_as(f, kMsvcrtWrite)) return WriteSpan{nullptr, 0};
    return WriteSpan{reinterpret_cast<unsigned char *>(f->_ptr), static_cast<size_t>(f->_cnt)};
}

inline void commit_output(FILE *f, size_t n) {
    f->_ptr += n;
    f->_cnt -= static_cast<int>(n);
}

#else

inline ReadSpan buffered_input(FILE *) { return ReadSpan{nullptr, 0}; }
inline void consume_input(FILE *, size_t) {}
inline WriteSpan buffered_output(FILE *) { return WriteSpan{nullptr, 0}; }
inline void commit_output(FILE *, size_t) {}

#endif

}  // namespace qel
