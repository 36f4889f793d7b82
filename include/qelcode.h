/*
 * qelcode: line-by-line text encoding into self-describing records.
 *
 * Every record is one line: a three-byte header, the line's bytes passed
 * through a position-dependent substitution over a built-in alphabet of
 * 94 graphic characters, and a line feed.
 *
 *   byte 0      length mark        (n mod 94) + 32
 *   byte 1      length complement  127 - (n mod 94)   (bytes 0 and 1 add up to 159)
 *   byte 2      step mark          names the shift increment s (1..9)
 *   bytes 3...  body               n bytes, one per plain byte
 *   last        line feed          unless the body already ends with one
 *
 * A plain byte c from 32 to 126 at body index i becomes alphabet entry
 * ((c - 32) + s * (i + 1)) mod 94; every other byte passes unchanged.
 *
 * What the format can't carry:
 *   - a space and a tilde at the same index give the same body byte, so a
 *     tilde decodes as a space;
 *   - a record holds at most 507 bytes of text, so the stream encoder cuts a
 *     line of more than 507 bytes before its line feed (a CR there counts)
 *     into several records, which decode as several lines;
 *   - a NUL byte can't be encoded: the stream functions stop at it with
 *     QEL_RTN_NUL_IN_SOURCE.
 *
 * Status chain: every working function takes a pointer to the caller's
 * status variable as its last argument, which starts at QEL_STATUS_INIT.
 * If the status is not QEL_RTN_SUCCESSFUL on entry the function returns 0 at once and changes
 * nothing. Otherwise it returns 1 and sets the status to
 * QEL_RTN_SUCCESSFUL on success, or returns 0 and sets the status to the
 * failure's code. The status pointer is never tested for null.
 *
 * The library keeps no state of its own (a QEL_Converter keeps a
 * conversion's state in the caller's memory), allocates nothing and never opens, closes,
 * flushes, seeks or rewinds a stream. Calls on different streams and
 * buffers may run at the same time on different threads.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef QELCODE_H
#define QELCODE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#define QEL_VERSION_MAJOR 1
#define QEL_VERSION_MINOR 2
#define QEL_VERSION_PATCH 0
#define QEL_VERSION_STRING "1.2.0"

/*
 * Windows: every FILE * handed to the library must come from the same C
 * runtime as qelcode.dll, for a FILE opened by one runtime means nothing to
 * another. Use the DLL built for your compiler's runtime:
 *   mingw-w64, Visual C++ 6                    msvcrt (msvcrt.dll)
 *   Visual Studio 2015 and later, clang-cl     ucrt (the Universal C Runtime)
 * A host that can't share the DLL's runtime (another runtime version, a
 * statically linked one) passes no FILE: it uses the buffer functions
 * (QEL_EncodeBuffer, QEL_DecodeBuffer), or QEL_EncodeRecord and
 * QEL_DecodeRecord with a NULL destination.
 */

/* QEL_API marks every exported function; QEL_CALL is its calling convention. */
#if defined(_WIN32) || defined(__CYGWIN__)
#  define QEL_CALL __cdecl
#  if defined(QEL_BUILDING_LIBRARY)
#    define QEL_API __declspec(dllexport)
#  elif defined(QEL_STATIC)
#    define QEL_API
#  else
#    define QEL_API __declspec(dllimport)
#  endif
#else
#  define QEL_CALL
#  if defined(__GNUC__) || defined(__clang__)
#    define QEL_API __attribute__((visibility("default")))
#  else
#    define QEL_API
#  endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A status code. The numbers are fixed; zero is not a code. */
typedef int32_t QEL_RtnCode;

#define QEL_RTN_SUCCESSFUL            1  /* "SUCCESSFUL" */
#define QEL_RTN_NO_SOURCE             2  /* "No source file specified" */
#define QEL_RTN_NO_DESTINATION        3  /* "No destination file specified" */
#define QEL_RTN_READ_ERROR            4  /* "Error reading source file" */
#define QEL_RTN_WRITE_ERROR           5  /* "Error writing destination file" */
#define QEL_RTN_EMPTY_SOURCE          6  /* "Empty source file" */
#define QEL_RTN_SOURCE_ENCRYPTED      7  /* "Source encrypted" (not produced) */
#define QEL_RTN_SOURCE_NOT_ENCRYPTED  8  /* "Source not encrypted" (not produced) */
#define QEL_RTN_SOURCE_ENCODED        9  /* "Source encoded" */
#define QEL_RTN_SOURCE_NOT_ENCODED   10  /* "Source not encoded" */
#define QEL_RTN_LINE_TOO_LONG        11  /* "Line too long" */
#define QEL_RTN_NUL_IN_SOURCE        12  /* "NUL byte in source" */
#define QEL_RTN_RECORD_DAMAGED       13  /* "Damaged record" */

/*
 * The value a status variable starts with, before the first call of a
 * chain: QEL_RTN_SUCCESSFUL. A chain started at 0 (the success value of
 * many C libraries) does nothing: every call returns 0 and leaves the
 * status at 0, which QEL_RtnCodeStr calls "UNKNOWN RETURN CODE ????".
 *   int32_t status = QEL_STATUS_INIT;
 */
#define QEL_STATUS_INIT QEL_RTN_SUCCESSFUL

/* Flags. Unknown bits are ignored. */
#define QEL_FORCE 1u  /* encode lines that already carry the encoded mark */
#define QEL_LAST  2u  /* buffer functions and QEL_ConverterPut: the input ends
                         with this call, so a last line without a line feed is
                         taken too */
#define QEL_DECODE 4u /* QEL_ConverterInit: the converter decodes records */

/* The largest record in memory, line feed and NUL included. */
#define QEL_RECORD_BUFFER_SIZE 512
/* The longest text that fits one record. */
#define QEL_MAX_TEXT_LENGTH 507

/*
 * Encodes one line held in the caller's buffer.
 *
 * dest    output stream, or NULL to encode in place and write nothing.
 * text    writable, NUL-terminated text of one line, with or without its
 *         line end (LF or CR LF, removed in place). On success it holds the
 *         record, NUL-terminated and ending with a line feed. The buffer
 *         must hold at least n + 5 bytes, n being the text's length without
 *         its line end; QEL_RECORD_BUFFER_SIZE bytes always suffice.
 * status  the status chain.
 *
 * Returns 1 on success, 0 otherwise. Codes set:
 *   QEL_RTN_SUCCESSFUL
 *   QEL_RTN_SOURCE_ENCODED  the text's first two bytes add up to 159; the
 *                           buffer keeps the text without its line end.
 *   QEL_RTN_LINE_TOO_LONG   more than 507 bytes without the line end; the
 *                           buffer keeps the text without its line end.
 *   QEL_RTN_WRITE_ERROR     the record could not be written; the buffer
 *                           holds the record.
 */
QEL_API int32_t QEL_CALL QEL_EncodeRecord(FILE *dest, char *text, int32_t *status);

/*
 * Encodes the whole of src into dest, one record per line. The source is
 * read in pieces: a piece ends after its line feed or after 507 bytes, and
 * a line feed that comes right after a full piece joins it. So a longer
 * line gives records of 507 bytes and a last, shorter one; a line of 507
 * bytes and CR LF gives a 507-byte record and an empty one.
 * Same as QEL_EncodeStream(dest, src, 0, NULL, status).
 *
 * Returns 1 on success, 0 otherwise. Codes set:
 *   QEL_RTN_SUCCESSFUL
 *   QEL_RTN_NO_DESTINATION  dest is NULL (tested first)
 *   QEL_RTN_NO_SOURCE       src is NULL
 *   QEL_RTN_EMPTY_SOURCE    nothing to read
 *   QEL_RTN_READ_ERROR      the source reported an error
 *   QEL_RTN_NUL_IN_SOURCE   a line holds a NUL byte
 *   QEL_RTN_SOURCE_ENCODED  a line already carries the encoded mark
 *   QEL_RTN_WRITE_ERROR     a record could not be written
 * Records written before a failure stay; the source then stands just
 * after the piece that failed. After QEL_RTN_READ_ERROR the source's
 * position is not defined: the part of the line read before the error is
 * gone, so a host must not read on from the same stream and expect whole
 * lines.
 */
QEL_API int32_t QEL_CALL QEL_Encode(FILE *dest, FILE *src, int32_t *status);

/*
 * QEL_Encode with options.
 *
 * flags   QEL_FORCE encodes lines that carry the encoded mark all the same.
 * line    NULL, or where to store: on failure the 1-based number of the
 *         source line on which the operation stopped, or 0 for an empty
 *         source; on success the number of source lines read, a line cut
 *         into several records counted once. Left alone when the operation
 *         stops before reading (status chain, null stream).
 */
QEL_API int32_t QEL_CALL QEL_EncodeStream(FILE *dest, FILE *src, uint32_t flags,
                                          uint64_t *line, int32_t *status);

/*
 * Decodes one record held in the caller's buffer, with or without its line
 * end; records of any step mark decode.
 *
 * dest    output stream, or NULL to decode in place and write nothing.
 * text    writable, NUL-terminated record. On success it holds the decoded
 *         text followed by one line feed and a NUL (always shorter than the
 *         record).
 *
 * Returns 1 on success, 0 otherwise. Codes set:
 *   QEL_RTN_SUCCESSFUL
 *   QEL_RTN_SOURCE_NOT_ENCODED  the text lacks the encoded mark; unchanged.
 *   QEL_RTN_RECORD_DAMAGED      the header, length or body is not that of
 *                               a record; the text is unchanged.
 *   QEL_RTN_WRITE_ERROR         the text could not be written.
 */
QEL_API int32_t QEL_CALL QEL_DecodeRecord(FILE *dest, char *text, int32_t *status);

/*
 * Decodes the whole of src into dest, one record per line.
 * Same as QEL_DecodeStream(dest, src, 0, NULL, status).
 *
 * Codes as QEL_Encode, with QEL_RTN_SOURCE_NOT_ENCODED and
 * QEL_RTN_RECORD_DAMAGED (also for a line longer than 512 bytes with its
 * line end) in place of QEL_RTN_SOURCE_ENCODED.
 */
QEL_API int32_t QEL_CALL QEL_Decode(FILE *dest, FILE *src, int32_t *status);

/*
 * QEL_Decode with options. No flags are defined yet; all bits are ignored.
 * line counts records, as QEL_EncodeStream counts lines.
 */
QEL_API int32_t QEL_CALL QEL_DecodeStream(FILE *dest, FILE *src, uint32_t flags,
                                          uint64_t *line, int32_t *status);

/*
 * The fixed English message of a status code; "UNKNOWN RETURN CODE ????"
 * for 0, negative codes and codes above the highest defined one. Never
 * NULL; the text is constant and must not be freed.
 */
QEL_API const char *QEL_CALL QEL_RtnCodeStr(int32_t code);

/*
 * Memory to memory, for hosts that have no FILE to share with the library
 * (any language, any C runtime). The pieces are those of the stream
 * functions: QEL_EncodeBuffer cuts, refuses and encodes exactly as
 * QEL_EncodeStream, QEL_DecodeBuffer as QEL_DecodeStream.
 *
 * dest, dest_size   room for the output; dest may be NULL when dest_size is 0.
 * produced          set to the bytes written to dest (may be NULL).
 * src, src_size     the input; src may be NULL when src_size is 0. It may
 *                   hold NUL bytes (refused like in a stream). src and
 *                   dest must not overlap.
 * consumed          set to the bytes of src taken (may be NULL).
 * flags             QEL_LAST: the input ends with these bytes. QEL_FORCE
 *                   (encoding only) as for QEL_EncodeStream. Other bits
 *                   are ignored.
 * status            the status chain.
 *
 * A call converts whole pieces, in order, and stops, with success, before
 * a piece that may still go on past src_size (unless QEL_LAST) and before
 * a piece whose output does not fit the room left. A host loops, carrying
 * the bytes after src + *consumed into its next call; however it splits
 * its input, the output put together is byte for byte what the stream
 * function writes for the same bytes. With dest_size at least
 * QEL_EncodeBound(src_size) (QEL_DecodeBound) and QEL_LAST, one call takes
 * everything. An empty call succeeds and produces nothing.
 *
 * Returns 1 on success (which may have taken only part of src), 0 otherwise:
 *   QEL_RTN_NO_DESTINATION  dest is NULL with a dest_size (tested first)
 *   QEL_RTN_NO_SOURCE       src is NULL with a src_size
 *   and the refusals of the stream functions (QEL_RTN_SOURCE_ENCODED,
 *   QEL_RTN_NUL_IN_SOURCE, QEL_RTN_SOURCE_NOT_ENCODED, QEL_RTN_RECORD_DAMAGED):
 *   src + *consumed is then the start of the refused piece, and *produced
 *   counts the output of the pieces before it only.
 * Nothing is ever read past src_size or written past dest_size; bytes of
 * dest past *produced may have been used as scratch. Nothing is allocated,
 * and no more stack is used than by the stream functions.
 */
QEL_API int32_t QEL_CALL QEL_EncodeBuffer(char *dest, size_t dest_size, size_t *produced,
                                          const char *src, size_t src_size, size_t *consumed,
                                          uint32_t flags, int32_t *status);
QEL_API int32_t QEL_CALL QEL_DecodeBuffer(char *dest, size_t dest_size, size_t *produced,
                                          const char *src, size_t src_size, size_t *consumed,
                                          uint32_t flags, int32_t *status);

/* Room that always suffices for the output of src_size bytes of input
 * (SIZE_MAX where that does not fit a size_t). */
QEL_API size_t QEL_CALL QEL_EncodeBound(size_t src_size);
QEL_API size_t QEL_CALL QEL_DecodeBound(size_t src_size);

/*
 * A converter: one conversion carried over as many calls as its input
 * needs, for a host that receives its input in pieces of any size (a
 * socket, a pipe, a callback) and has output room of any size, down to one
 * byte. The state lives in the caller's memory: a QEL_Converter of
 * QEL_CONVERTER_SIZE bytes, aligned as a uint32_t, the same on every
 * target. Nothing is allocated and nothing is global, so converters may be
 * used in parallel on different threads, each by one thread at a time. A
 * converter may be copied with memcpy, which forks the conversion.
 *
 * QEL_ConverterInit(c, flags) starts a conversion: QEL_DECODE decodes
 * records, else text is encoded; QEL_FORCE (encoding) as for
 * QEL_EncodeStream; other bits are ignored. Returns 1, or 0 when c is NULL.
 *
 * QEL_ConverterPut(c, dest, dest_size, &produced, src, src_size, &consumed,
 * flags, status) takes input from src until src_size bytes are taken or
 * the room is full, and writes output to dest. It keeps in the converter
 * the start of a piece that may still go on (at most 512 bytes) and the
 * output of a piece that did not fit the room (at most one record), so
 * *consumed counts every byte taken, held ones included. Without QEL_LAST
 * the input may go on in the next call; with QEL_LAST this call's bytes end
 * it. However the input is split and whatever the room, the output put
 * together is byte for byte what one QEL_EncodeBuffer (QEL_DecodeBuffer)
 * call on the whole input with QEL_LAST writes. A host feeds every byte,
 * then calls with no input (src NULL, src_size 0) and QEL_LAST until
 * *produced is 0; a call without input and without QEL_LAST only hands
 * over held output. dest, src, produced and consumed as for the buffer
 * functions (NULL with a size of 0; produced and consumed may be NULL).
 *
 * Returns 1 on success, 0 otherwise:
 *   QEL_RTN_NO_SOURCE       c is NULL or not initialised (tested first)
 *   QEL_RTN_NO_DESTINATION  dest is NULL with a dest_size
 *   QEL_RTN_NO_SOURCE       src is NULL with a src_size
 *   and the refusals of the stream functions (QEL_RTN_SOURCE_ENCODED,
 *   QEL_RTN_NUL_IN_SOURCE, QEL_RTN_SOURCE_NOT_ENCODED,
 *   QEL_RTN_RECORD_DAMAGED). On a refusal, the output of every piece before
 *   the refused one has been written, in this call or before; src +
 *   *consumed is where the refused piece starts, or src itself when it
 *   started in an earlier call's input; and every later call gives the same
 *   code at once and takes nothing.
 *
 * QEL_ConverterOffset(c) is the number of input bytes of the pieces
 * converted so far, which is where the next piece starts, or the refused
 * one. QEL_ConverterLine(c) is that piece's line, 1-based: a line cut into
 * several pieces counts once. Both count from QEL_ConverterInit, and both
 * give 0 for a NULL or uninitialised converter.
 *
 *   QEL_Converter c;
 *   QEL_ConverterInit(&c, 0);
 *   while ((got = read(fd, in, sizeof in)) > 0) {
 *       const char *p = in;
 *       do {
 *           QEL_ConverterPut(&c, out, sizeof out, &produced, p, got, &consumed, 0, &status);
 *           fwrite(out, 1, produced, stdout);
 *           p += consumed, got -= consumed;
 *       } while (status == QEL_RTN_SUCCESSFUL && (got > 0 || produced > 0));
 *   }
 *   do {
 *       QEL_ConverterPut(&c, out, sizeof out, &produced, NULL, 0, NULL, QEL_LAST, &status);
 *       fwrite(out, 1, produced, stdout);
 *   } while (produced > 0);
 */
#define QEL_CONVERTER_SIZE 1152
typedef struct QEL_Converter {
    uint32_t qel_opaque[QEL_CONVERTER_SIZE / 4];
} QEL_Converter;

QEL_API int32_t QEL_CALL QEL_ConverterInit(QEL_Converter *c, uint32_t flags);
QEL_API int32_t QEL_CALL QEL_ConverterPut(QEL_Converter *c, char *dest, size_t dest_size, size_t *produced,
                                          const char *src, size_t src_size, size_t *consumed,
                                          uint32_t flags, int32_t *status);
QEL_API uint64_t QEL_CALL QEL_ConverterOffset(const QEL_Converter *c);
QEL_API uint64_t QEL_CALL QEL_ConverterLine(const QEL_Converter *c);

/* The library's version, "MAJOR.MINOR.PATCH": QEL_VERSION_STRING of the
 * build that was loaded. */
QEL_API const char *QEL_CALL QEL_Version(void);

#ifdef __cplusplus
}
#endif

#endif /* QELCODE_H */
