/*
 * The loading host's shared parts: the library's functions, found by their
 * plain names, and the failure count that the checks add to.
 *
 * The host, in C99, loads the qelcode library at run time and finds every
 * function by its plain name, LoadLibraryA and GetProcAddress on Windows,
 * dlopen and dlsym elsewhere, as the library's real hosts do. It never
 * links the library; the header gives it the types and status codes (and
 * proves that the header compiles as C99). Built with QEL_HOST_LINKED on
 * Windows, it links the DLL through an import library instead, as most
 * Windows programs do, and calls the functions through it; it still checks
 * the DLL's plain names.
 *
 *   loader.c   loading the library, the table of its functions
 *   vectors.c  reading the hand-worked vectors
 *   checks.c   the checks
 *   stream_cases.c  stream calls on streams set up in every way that
 *              changes what their buffers show, written out for comparing
 *   main.c     the command line, and file conversions for the scripts
 */
#ifndef QEL_TEST_HOST_H
#define QEL_TEST_HOST_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "qelcode.h"

#ifndef QEL_TEST_STEP_SELECTOR
#  define QEL_TEST_STEP_SELECTOR 2u
#endif

/* The public signatures, spelled out: the host never links the library. */
typedef int32_t(QEL_CALL *EncodeRecordFn)(FILE *, char *, int32_t *);
typedef int32_t(QEL_CALL *CodecFn)(FILE *, FILE *, int32_t *);
typedef int32_t(QEL_CALL *CodecStreamFn)(FILE *, FILE *, uint32_t, uint64_t *, int32_t *);
typedef const char *(QEL_CALL *RtnCodeStrFn)(int32_t);
typedef int32_t(QEL_CALL *BufferFn)(char *, size_t, size_t *, const char *, size_t, size_t *,
                                    uint32_t, int32_t *);
typedef size_t(QEL_CALL *BoundFn)(size_t);
typedef const char *(QEL_CALL *VersionFn)(void);
typedef int32_t(QEL_CALL *ConverterInitFn)(QEL_Converter *, uint32_t);
typedef int32_t(QEL_CALL *ConverterPutFn)(QEL_Converter *, char *, size_t, size_t *, const char *, size_t,
                                          size_t *, uint32_t, int32_t *);
typedef uint64_t(QEL_CALL *ConverterPlaceFn)(const QEL_Converter *);

/* The functions the host calls: name, pointer type, slot in the qel table.
 * (Which functions the library exports is the export list's business.) */
#define QEL_HOST_FUNCTIONS(X)                          \
    X(QEL_EncodeRecord, EncodeRecordFn, encode_record) \
    X(QEL_Encode, CodecFn, encode)                     \
    X(QEL_EncodeStream, CodecStreamFn, encode_stream)  \
    X(QEL_DecodeRecord, EncodeRecordFn, decode_record) \
    X(QEL_Decode, CodecFn, decode)                     \
    X(QEL_DecodeStream, CodecStreamFn, decode_stream)  \
    X(QEL_RtnCodeStr, RtnCodeStrFn, rtn_code_str)      \
    X(QEL_EncodeBuffer, BufferFn, encode_buffer)       \
    X(QEL_DecodeBuffer, BufferFn, decode_buffer)       \
    X(QEL_EncodeBound, BoundFn, encode_bound)          \
    X(QEL_DecodeBound, BoundFn, decode_bound)          \
    X(QEL_Version, VersionFn, version)                 \
    X(QEL_ConverterInit, ConverterInitFn, converter_init) \
    X(QEL_ConverterPut, ConverterPutFn, converter_put) \
    X(QEL_ConverterOffset, ConverterPlaceFn, converter_offset) \
    X(QEL_ConverterLine, ConverterPlaceFn, converter_line)


#define QEL_HOST_SLOT(fn, type, slot) type slot;
typedef struct {
    QEL_HOST_FUNCTIONS(QEL_HOST_SLOT)
} QelFunctions;

/* The loaded library's functions (loader.c). */
extern QelFunctions qel;

/* Loads the library at path and fills qel; 0 (having said why) when it can't
 * or when a plain name is missing. */
int load_library(const char *path);

/* Whether the loaded library exports name. */
int library_exports(const char *name);

/* The names of the functions the host calls, as many as kHostFunctions. */
extern const char *const host_function_names[];
enum { kHostFunctions = 16 };

/* The library a host loads when told none. */
const char *default_library(void);

/* Counts a failed check and prints it. */
void fail(const char *what, const char *detail);
extern int failures;

/* Runs the stream cases (stream_cases.c) into dir; 0 when one could not be
 * set up or written. */
int run_stream_cases(const char *text_path, const char *records_path, const char *dir);

/* The shift increment of the build under test, from its step selector. */
#define QEL_HOST_SHIFT ((int)((2u * (uint32_t)QEL_TEST_STEP_SELECTOR) % 9u + 1u))

#endif
