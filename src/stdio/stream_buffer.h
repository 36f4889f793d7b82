// Direct access to a stream's own buffer, where the C library allows it.
//
// QEL_DIRECT_STDIO (on unless the build turns it off) lets the stream
// functions map whole lines from the source's buffer straight into the
// destination's, through the very pointers the C library's own getc and
// putc use, with both streams locked. Where it is off, or the C library is
// not one of those below, the spans are empty and every piece goes through
// the portable stdio path (getc, ungetc and fwrite).
//
// Risk: on glibc and msvcrt.dll the fields used are the library's binary
// layout, not an API; they are read only on those two, whose layouts are
// fixed by their binary compatibility:
//   - the GNU C library: _IO_read_ptr/_IO_read_end, _IO_write_ptr/_IO_write_end;
//   - msvcrt.dll (mingw-w64 builds against it): _ptr, _cnt and _flag.
// The Universal C Runtime's FILE is opaque; _get_stream_buffer_pointers
// hands out its buffer's base, next byte and count, the three its own
// _getc_nolock and _putc_nolock work on (and its C++ file streams too).
//
// What this relies on: the C rule that a stream is not read right after a
// write, or written right after a read, without a flush or a seek between.
// The ucrt shows no mode, only a count, which is the bytes left to read in
// a stream being read and the room left in one being written: a source that
// was last written, or a destination last read, would show the wrong one,
// to this code as to the runtime's own getc and putc.
//
// Which states show what:
//   - no room for output: an unbuffered stream (glibc also keeps a
//     line-buffered one at no room; the Windows runtimes buffer _IOLBF
//     streams fully, and Wine's putc flushes at each line feed it writes,
//     leaving no room until the next write), a stream whose buffer its
//     first write has not yet set up, a full buffer, a stream just flushed
//     or seeked, and (glibc, msvcrt.dll) a stream opened for update that
//     was last read. Lines written straight into the buffer go out when it
//     fills or is flushed, as putc's would on Windows itself;
//   - no input: a stream before its first read, an unbuffered stream (one
//     byte pushed back by ungetc aside), an empty buffer, a stream just
//     seeked, and (glibc, msvcrt.dll) a stream that was last written;
//   - after an ungetc, the input shown begins with the pushed-back byte,
//     which getc itself reads next;
//   - text mode (Windows, "r" or "w" without "b"): the runtime translates
//     in its read and write calls, between the file and the buffer. A
//     buffer being read holds CR LF already turned into LF, and nothing
//     from a Ctrl-Z on; one being written holds LF, which the flush writes
//     as CR LF. The bytes in the buffer are the ones getc and putc take
//     and give, in either mode.
// A string stream (msvcrt.dll's _IOSTRG, which sprintf and sscanf use) never
// reaches a caller; msvcrt.dll's is refused all the same.
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

#elif QEL_DIRECT_STDIO && defined(_WIN32) && defined(_UCRT)

}  // namespace qel

// Exported by ucrtbase.dll (api-ms-win-crt-stdio-l1-1-0.dll), declared by
// Visual Studio's corecrt_wstdio.h; mingw-w64's headers may lack it.
extern "C" __declspec(dllimport) int __cdecl _get_stream_buffer_pointers(FILE *stream, char ***base, char ***ptr,
                                                                         int **count);

namespace qel {

// The stream's next byte and count: the bytes left to read in a stream
// being read, the room left in one being written (see above).
struct UcrtBuffer {
    char **ptr;
    int *count;
};

inline UcrtBuffer ucrt_buffer(FILE *f) {
    char **base = nullptr;
    UcrtBuffer b{nullptr, nullptr};
    if (_get_stream_buffer_pointers(f, &base, &b.ptr, &b.count) != 0) return UcrtBuffer{nullptr, nullptr};
    return b;
}

inline bool ucrt_shows_bytes(const UcrtBuffer &b) {
    return b.ptr != nullptr && b.count != nullptr && *b.ptr != nullptr && *b.count > 0;
}

inline ReadSpan buffered_input(FILE *f) {
    const UcrtBuffer b = ucrt_buffer(f);
    if (!ucrt_shows_bytes(b)) return ReadSpan{nullptr, 0};
    return ReadSpan{reinterpret_cast<const unsigned char *>(*b.ptr), static_cast<size_t>(*b.count)};
}

inline void consume_input(FILE *f, size_t n) {
    if (n == 0) return;
    const UcrtBuffer b = ucrt_buffer(f);
    *b.ptr += n;
    *b.count -= static_cast<int>(n);
}

inline WriteSpan buffered_output(FILE *f) {
    const UcrtBuffer b = ucrt_buffer(f);
    if (!ucrt_shows_bytes(b)) return WriteSpan{nullptr, 0};
    return WriteSpan{reinterpret_cast<unsigned char *>(*b.ptr), static_cast<size_t>(*b.count)};
}

inline void commit_output(FILE *f, size_t n) {
    if (n == 0) return;
    const UcrtBuffer b = ucrt_buffer(f);
    *b.ptr += n;
    *b.count -= static_cast<int>(n);
}

#else

inline ReadSpan buffered_input(FILE *) { return ReadSpan{nullptr, 0}; }
inline void consume_input(FILE *, size_t) {}
inline WriteSpan buffered_output(FILE *) { return WriteSpan{nullptr, 0}; }
inline void commit_output(FILE *, size_t) {}

#endif

}  // namespace qel
