/*
 * The loading host, in C99: it loads the qelcode library at run time and
 * finds every function by its plain name, LoadLibraryA and GetProcAddress on
 * Windows, dlopen and dlsym elsewhere, as the library's real hosts do. It
 * never links the library; the header gives it the types and status codes
 * (and proves that the header compiles as C99). Files are opened in binary
 * mode.
 *
 *   HOST [OPTIONS] check [SCRATCH_DIR]  run the checks below
 *   HOST [OPTIONS] encode IN OUT        QEL_Encode from file IN into file OUT
 *   HOST [OPTIONS] decode IN OUT        QEL_Decode from file IN into file OUT
 *   HOST [OPTIONS] time IN OUT          encode as above, with 64 KiB stream
 *                                       buffers, and print the time taken
 *   HOST [OPTIONS] buffer-encode IN OUT
 *   HOST [OPTIONS] buffer-decode IN OUT
 *                                       the same through QEL_EncodeBuffer or
 *                                       QEL_DecodeBuffer: the host reads and
 *                                       writes the files, the library sees
 *                                       memory only, so the two may use
 *                                       different C runtimes
 *
 * OPTIONS:
 *   --lib PATH      the library; qelcode.dll on Windows (found beside the
 *                   program), libqelcode.so.1 elsewhere
 *   --def FILE      the export list (src/qelcode.def): check finds every
 *                   name in it
 *   --vectors FILE  the hand-worked vectors (tests/reference/vectors.txt):
 *                   check runs every one of this build's shift
 * Without --def or --vectors, check says which checks it skips. Exits 0
 * when everything passed, 1 otherwise.
 *
 * Built with QEL_HOST_LINKED on Windows, the host links the DLL through an
 * import library instead, as most Windows programs do, and calls the
 * functions through it; it still checks the DLL's plain names.
 */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#  define _POSIX_C_SOURCE 200809L /* dlopen, clock_gettime */
#endif

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qelcode.h"

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <dlfcn.h>
#  include <time.h>
#endif

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
    X(QEL_Version, VersionFn, version)

#if defined(__GNUC__)
/* Fails to compile when a typedef drifts from the header's declaration. */
#  define SAME_TYPE(fn, type, slot) \
    typedef char same_type_##fn[__builtin_types_compatible_p(__typeof__(&fn), type) ? 1 : -1];
QEL_HOST_FUNCTIONS(SAME_TYPE)
#endif

#define SLOT(fn, type, slot) type slot;
static struct {
    QEL_HOST_FUNCTIONS(SLOT)
} qel;

static int failures;

/* The shift increment of the build under test, from its step selector. */
static const int kShift = (int)((2u * (uint32_t)QEL_TEST_STEP_SELECTOR) % 9u + 1u);

static void fail(const char *what, const char *detail) {
    printf("FAIL %s: %s\n", what, detail);
    ++failures;
}

/* ---- loading ------------------------------------------------------------ */

#if defined(_WIN32)
typedef HMODULE Library;
static Library open_library(const char *path) { return LoadLibraryA(path); }
static void (*find_symbol(Library lib, const char *name))(void) {
    return (void (*)(void))GetProcAddress(lib, name);
}
static void report_load_error(const char *path) {
    printf("FAIL LoadLibraryA(\"%s\"): error %lu\n", path, (unsigned long)GetLastError());
}
#  define DEFAULT_LIBRARY "qelcode.dll"
#else
typedef void *Library;
static Library open_library(const char *path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void (*find_symbol(Library lib, const char *name))(void) {
    void (*fn)(void);
    void *p = dlsym(lib, name);
    memcpy(&fn, &p, sizeof fn); /* object to function pointer, as POSIX allows */
    return fn;
}
static void report_load_error(const char *path) {
    printf("FAIL dlopen(\"%s\"): %s\n", path, dlerror());
}
#  define DEFAULT_LIBRARY "libqelcode.so.1"
#endif

static Library library_handle;

#define NAME(fn, type, slot) #fn,
static const char *const names[] = {QEL_HOST_FUNCTIONS(NAME)};
enum { kFunctions = sizeof names / sizeof names[0] };

static int load(const char *path) {
    void (*fns[kFunctions])(void);
    Library lib = open_library(path);
    size_t i;
    int missing = 0;
    if (lib == NULL) {
        report_load_error(path);
        return 0;
    }
    library_handle = lib;
    for (i = 0; i < kFunctions; ++i) {
        fns[i] = find_symbol(lib, names[i]);
        if (fns[i] == NULL) {
            fail("plain name not exported", names[i]);
            missing = 1;
        }
    }
    if (missing) return 0;
#if defined(QEL_HOST_LINKED)
    {
        /* The functions as the import library binds them: every check below
         * calls through it. (Their addresses need not equal GetProcAddress's:
         * a compiler may take the import library's jump stub for them.) */
#  define LINKED(fn, type, slot) (void (*)(void)) fn,
        void (*const linked[kFunctions])(void) = {QEL_HOST_FUNCTIONS(LINKED)};
        for (i = 0; i < kFunctions; ++i) fns[i] = linked[i];
    }
#endif
    i = 0;
#define ASSIGN(fn, type, slot) qel.slot = (type)fns[i++];
    QEL_HOST_FUNCTIONS(ASSIGN)
    /* Nothing but the plain names: no decorated or internal symbols. */
    {
        static const char *const absent[] = {"_QEL_Encode", "QEL_Encode@12", "_QEL_Encode@12",
                                             "QEL_RtnCodeStr@4"};
        for (i = 0; i < sizeof absent / sizeof absent[0]; ++i)
            if (find_symbol(lib, absent[i]) != NULL) fail("decorated name exported", absent[i]);
    }
    return 1;
}

/* ---- helpers -------------------------------------------------------------- */

static char scratch_dir[260] = ".";

static void scratch_path(char *out, size_t size, const char *name) {
    snprintf(out, size, "%s/%s", scratch_dir, name);
}

static int write_file(const char *path, const void *data, size_t n) {
    FILE *f = fopen(path, "wb");
    int ok;
    if (f == NULL) return 0;
    ok = fwrite(data, 1, n, f) == n;
    return fclose(f) == 0 && ok;
}

/* Reads at most cap bytes; returns the count, or (size_t)-1 when it can't. */
static size_t read_file(const char *path, unsigned char *buf, size_t cap) {
    FILE *f = fopen(path, "rb");
    size_t n;
    if (f == NULL) return (size_t)-1;
    n = fread(buf, 1, cap, f);
    fclose(f);
    return n;
}

static void describe_difference(char *out, size_t size, const unsigned char *got, size_t got_n,
                                const unsigned char *want, size_t want_n) {
    size_t i = 0;
    while (i < got_n && i < want_n && got[i] == want[i]) ++i;
    snprintf(out, size, "%lu bytes, expected %lu; first difference at offset %lu (0x%02x, expected 0x%02x)",
             (unsigned long)got_n, (unsigned long)want_n, (unsigned long)i, i < got_n ? got[i] : 0u,
             i < want_n ? want[i] : 0u);
}

static void expect_bytes(const char *what, const unsigned char *got, size_t got_n,
                         const unsigned char *want, size_t want_n) {
    char detail[200];
    if (got_n == want_n && memcmp(got, want, want_n) == 0) return;
    describe_difference(detail, sizeof detail, got, got_n, want, want_n);
    fail(what, detail);
}

static void expect_code(const char *what, int32_t ret, int32_t status, int32_t want) {
    char detail[200];
    if (status == want && ret == (want == QEL_RTN_SUCCESSFUL)) return;
    snprintf(detail, sizeof detail, "returned %ld with status %ld (%s), expected status %ld",
             (long)ret, (long)status, qel.rtn_code_str(status), (long)want);
    fail(what, detail);
}

typedef int32_t (*RunStream)(FILE *dest, FILE *src, uint64_t *line, int32_t *status);

static int32_t run_encode_stream(FILE *d, FILE *s, uint64_t *l, int32_t *st) {
    return qel.encode_stream(d, s, 0, l, st);
}
static int32_t run_decode_stream(FILE *d, FILE *s, uint64_t *l, int32_t *st) {
    return qel.decode_stream(d, s, 0, l, st);
}

/* Runs a stream function from file to file; the output is read back into out. */
static int32_t file_to_file(RunStream run, const unsigned char *in, size_t in_n, unsigned char *out,
                            size_t out_cap, size_t *out_n, uint64_t *lines, int32_t *status) {
    char in_path[300], out_path[300];
    FILE *src, *dest;
    int32_t ret;
    scratch_path(in_path, sizeof in_path, "host_in.bin");
    scratch_path(out_path, sizeof out_path, "host_out.bin");
    if (!write_file(in_path, in, in_n)) {
        fail("write input file", in_path);
        return 0;
    }
    src = fopen(in_path, "rb");
    dest = fopen(out_path, "wb");
    if (src == NULL || dest == NULL) {
        fail("open scratch files", out_path);
        if (src) fclose(src);
        if (dest) fclose(dest);
        return 0;
    }
    ret = run(dest, src, lines, status);
    fclose(src);
    if (fclose(dest) != 0) fail("close output file", out_path);
    *out_n = read_file(out_path, out, out_cap);
    remove(in_path);
    remove(out_path);
    return ret;
}

/* ---- checks ----------------------------------------------------------------- */

static void check_messages(void) {
    static const struct {
        int32_t code;
        const char *text;
    } cases[] = {
        {QEL_RTN_SUCCESSFUL, "SUCCESSFUL"},
        {QEL_RTN_EMPTY_SOURCE, "Empty source file"},
        {QEL_RTN_SOURCE_ENCODED, "Source encoded"},
        {QEL_RTN_RECORD_DAMAGED, "Damaged record"},
        {0, "UNKNOWN RETURN CODE ????"},
        {-1, "UNKNOWN RETURN CODE ????"},
        {14, "UNKNOWN RETURN CODE ????"},
    };
    size_t i;
    for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const char *got = qel.rtn_code_str(cases[i].code);
        if (got == NULL || strcmp(got, cases[i].text) != 0) fail("QEL_RtnCodeStr", cases[i].text);
    }
    if (strcmp(qel.version(), QEL_VERSION_STRING) != 0) fail("QEL_Version", qel.version());
}

/* The export list: every name after EXPORTS in the .def file, ';' starting
 * a comment, must be found by its plain name; every function the host calls
 * must be in it. */
static void check_exports(const char *def_path) {
    char line[256], word[128];
    int in_exports = 0, listed = 0, seen[kFunctions] = {0};
    size_t i;
    FILE *f = fopen(def_path, "r");
    if (f == NULL) {
        fail("cannot read the export list", def_path);
        return;
    }
    while (fgets(line, sizeof line, f) != NULL) {
        char *comment = strchr(line, ';');
        if (comment != NULL) *comment = '\0';
        if (sscanf(line, "%127s", word) != 1) continue;
        if (strcmp(word, "EXPORTS") == 0) {
            in_exports = 1;
        } else if (in_exports) {
            ++listed;
            if (find_symbol(library_handle, word) == NULL) fail("listed in the export list, not exported", word);
            for (i = 0; i < kFunctions; ++i)
                if (strcmp(word, names[i]) == 0) seen[i] = 1;
        }
    }
    fclose(f);
    if (listed == 0) fail("no names in the export list", def_path);
    for (i = 0; i < kFunctions; ++i)
        if (!seen[i]) fail("called by the host, missing from the export list", names[i]);
}

/* ---- hand-worked vectors ------------------------------------------------- */

/* One line of the vectors file: OPERATION S "TEXT" "RECORD" (the file's
 * header has the details). */
typedef struct {
    char operation[32];
    int s;
    unsigned char text[1024], record[1024];
    size_t text_n, record_n;
} Vector;

static int hex_value(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* Reads one quoted field at *p, with its escapes; 0 when it is malformed. */
static int read_quoted(const char **p, unsigned char *out, size_t cap, size_t *n) {
    const char *q = *p;
    *n = 0;
    if (*q != '"') return 0;
    for (++q; *q != '"'; ++q) {
        int c = (unsigned char)*q;
        if (c == '\0' || c == '\n' || *n == cap) return 0;
        if (c == '\\') {
            ++q;
            switch (*q) {
                case 'n': c = '\n'; break;
                case 'r': c = '\r'; break;
                case 't': c = '\t'; break;
                case '\\': c = '\\'; break;
                case '"': c = '"'; break;
                case 'x':
                    if (hex_value(q[1]) < 0 || hex_value(q[2]) < 0) return 0;
                    c = hex_value(q[1]) * 16 + hex_value(q[2]);
                    q += 2;
                    break;
                default: return 0;
            }
        }
        out[(*n)++] = (unsigned char)c;
    }
    *p = q + 1;
    return 1;
}

/* Parses one line; 0 for a comment or an empty line, -1 when malformed. */
static int parse_vector(const char *line, Vector *v) {
    const char *p = line;
    int used = 0;
    if (line[0] == '#' || line[0] == '\n' || line[0] == '\0') return 0;
    if (sscanf(line, "%31s %d %n", v->operation, &v->s, &used) != 2 || used == 0) return -1;
    p = line + used;
    if (!read_quoted(&p, v->text, sizeof v->text, &v->text_n) || *p++ != ' ' ||
        !read_quoted(&p, v->record, sizeof v->record, &v->record_n))
        return -1;
    return 1;
}

static uint64_t count_lf(const unsigned char *p, size_t n) {
    uint64_t lf = 0;
    size_t i;
    for (i = 0; i < n; ++i) lf += p[i] == '\n';
    return lf;
}

static int32_t run_encode(FILE *d, FILE *s, uint64_t *l, int32_t *st) {
    (void)l;
    return qel.encode(d, s, st);
}
static int32_t run_decode(FILE *d, FILE *s, uint64_t *l, int32_t *st) {
    (void)l;
    return qel.decode(d, s, st);
}

/* A file vector through a stream function: its bytes and, when lines is
 * given, the lines counted. */
static void check_file(const char *what, RunStream run, const unsigned char *in, size_t in_n,
                       const unsigned char *want, size_t want_n, const uint64_t *want_lines) {
    static unsigned char out[4096];
    size_t out_n = 0;
    uint64_t lines = 0;
    int32_t status = QEL_RTN_SUCCESSFUL;
    int32_t ret = file_to_file(run, in, in_n, out, sizeof out, &out_n, &lines, &status);
    expect_code(what, ret, status, QEL_RTN_SUCCESSFUL);
    expect_bytes(what, out, out_n, want, want_n);
    if (want_lines != NULL && lines != *want_lines) fail(what, "wrong line count");
}

/* One record vector through QEL_EncodeRecord or QEL_DecodeRecord, in place
 * and once more writing to a file. */
static void check_record(const char *what, EncodeRecordFn fn, const unsigned char *in, size_t in_n,
                         const unsigned char *want, size_t want_n) {
    static char buf[QEL_RECORD_BUFFER_SIZE + 1024];
    char path[300];
    static unsigned char written[1100];
    size_t written_n;
    int32_t status = QEL_RTN_SUCCESSFUL;
    int32_t ret;
    FILE *dest;
    memcpy(buf, in, in_n);
    buf[in_n] = '\0';
    ret = fn(NULL, buf, &status);
    expect_code(what, ret, status, QEL_RTN_SUCCESSFUL);
    expect_bytes(what, (const unsigned char *)buf, strlen(buf), want, want_n);

    scratch_path(path, sizeof path, "host_record.bin");
    if ((dest = fopen(path, "wb")) == NULL) {
        fail("open scratch file", path);
        return;
    }
    memcpy(buf, in, in_n);
    buf[in_n] = '\0';
    status = QEL_RTN_SUCCESSFUL;
    ret = fn(dest, buf, &status);
    if (fclose(dest) != 0) fail("close scratch file", path);
    expect_code(what, ret, status, QEL_RTN_SUCCESSFUL);
    written_n = read_file(path, written, sizeof written);
    expect_bytes(what, written, written_n == (size_t)-1 ? 0 : written_n, want, want_n);
    remove(path);
}

/* Every vector of the file: encoding those of this build's shift, decoding
 * all of them (a record of any shift decodes). */
static void check_vectors(const char *path) {
    static Vector v;
    static char line[4096];
    char what[64];
    int number = 0, run = 0;
    FILE *f = fopen(path, "r");
    if (f == NULL) {
        fail("cannot read the vectors", path);
        return;
    }
    while (fgets(line, sizeof line, f) != NULL) {
        const int parsed = parse_vector(line, &v);
        uint64_t lines;
        ++number;
        if (parsed == 0) continue;
        snprintf(what, sizeof what, "vector of line %d (%s)", number, parsed < 0 ? "malformed" : v.operation);
        if (parsed < 0) {
            fail(what, path);
            continue;
        }
        if (strcmp(v.operation, "decode-line") == 0) {
            check_record(what, qel.decode_record, v.record, v.record_n, v.text, v.text_n);
        } else if (strcmp(v.operation, "decode-file") == 0) {
            /* One record a line. */
            lines = count_lf(v.record, v.record_n) + (v.record[v.record_n - 1] != '\n');
            check_file(what, run_decode_stream, v.record, v.record_n, v.text, v.text_n, &lines);
            check_file(what, run_decode, v.record, v.record_n, v.text, v.text_n, NULL);
        } else if (v.s != kShift) {
            continue;
        } else if (strcmp(v.operation, "encode-line") == 0) {
            check_record(what, qel.encode_record, v.text, v.text_n, v.record, v.record_n);
            /* A line with no line feed before its end is also a whole file. */
            if (v.text_n == 0 || memchr(v.text, '\n', v.text_n - 1) == NULL) {
                lines = v.text_n > 0;
                if (lines) check_file(what, run_encode_stream, v.text, v.text_n, v.record, v.record_n, &lines);
            }
        } else if (strcmp(v.operation, "encode-file") == 0) {
            /* One record, ending with its only line feed, for each line. */
            lines = count_lf(v.record, v.record_n);
            check_file(what, run_encode_stream, v.text, v.text_n, v.record, v.record_n, &lines);
            check_file(what, run_encode, v.text, v.text_n, v.record, v.record_n, NULL);
        } else {
            fail(what, "unknown operation");
            continue;
        }
        ++run;
    }
    fclose(f);
    if (run == 0) printf("skip  no hand-worked vectors for the shift %d\n", kShift);
}

static void check_decoding(void) {
    static const struct {
        const char *name;
        const char *record;
        int32_t code;
        const char *text; /* after a successful decoding */
    } cases[] = {
        {"plain text", "hello\n", QEL_RTN_SOURCE_NOT_ENCODED, NULL},
        {"body longer than its mark", "\x21\x7e\x35\x28\x28\n", QEL_RTN_RECORD_DAMAGED, NULL},
    };
    size_t i;
    for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        char buf[QEL_RECORD_BUFFER_SIZE];
        int32_t status = QEL_RTN_SUCCESSFUL;
        int32_t ret;
        strcpy(buf, cases[i].record);
        ret = qel.decode_record(NULL, buf, &status);
        expect_code(cases[i].name, ret, status, cases[i].code);
        if (cases[i].text != NULL)
            expect_bytes(cases[i].name, (const unsigned char *)buf, strlen(buf),
                         (const unsigned char *)cases[i].text, strlen(cases[i].text));
        else
            expect_bytes(cases[i].name, (const unsigned char *)buf, strlen(buf),
                         (const unsigned char *)cases[i].record, strlen(cases[i].record));
    }
}

static void check_status_codes(void) {
    unsigned char out[16];
    size_t out_n = 0;
    int32_t status = QEL_RTN_SUCCESSFUL;
    int32_t ret;
    uint64_t lines = 99;

    ret = file_to_file(run_encode_stream, (const unsigned char *)"", 0, out, sizeof out, &out_n,
                       &lines, &status);
    expect_code("empty source", ret, status, QEL_RTN_EMPTY_SOURCE);

    status = QEL_RTN_SUCCESSFUL;
    ret = file_to_file(run_encode_stream, (const unsigned char *)"ab\ncd\0e\n", 8, out, sizeof out,
                       &out_n, &lines, &status);
    expect_code("NUL in the second line", ret, status, QEL_RTN_NUL_IN_SOURCE);
    if (lines != 2) fail("NUL in the second line", "line number is not 2");

    status = QEL_RTN_SUCCESSFUL;
    ret = qel.encode(NULL, stdin, &status);
    expect_code("no destination", ret, status, QEL_RTN_NO_DESTINATION);
    status = QEL_RTN_SUCCESSFUL;
    ret = qel.decode(stdout, NULL, &status);
    expect_code("no source", ret, status, QEL_RTN_NO_SOURCE);

    {
        /* A line carrying the encoded mark keeps its text, trimmed; the
         * status it leaves stops the next call. */
        char buf[QEL_RECORD_BUFFER_SIZE] = "OPEN\n";
        status = QEL_RTN_SUCCESSFUL;
        ret = qel.encode_record(NULL, buf, &status);
        expect_code("line carrying the mark", ret, status, QEL_RTN_SOURCE_ENCODED);
        expect_bytes("line carrying the mark", (const unsigned char *)buf, strlen(buf),
                     (const unsigned char *)"OPEN", 4);
        strcpy(buf, "plain");
        ret = qel.encode_record(NULL, buf, &status);
        expect_code("status chain after a refusal", ret, status, QEL_RTN_SOURCE_ENCODED);
        expect_bytes("status chain after a refusal", (const unsigned char *)buf, strlen(buf),
                     (const unsigned char *)"plain", 5);
    }

    status = QEL_RTN_SUCCESSFUL;
    ret = file_to_file(run_decode, (const unsigned char *)"plain text\n", 11, out, sizeof out, &out_n,
                       &lines, &status);
    expect_code("decoding plain text", ret, status, QEL_RTN_SOURCE_NOT_ENCODED);

    /* A failed status stops the chain before anything is read. */
    status = QEL_RTN_READ_ERROR;
    ret = qel.encode(NULL, NULL, &status);
    expect_code("closed chain", ret, status, QEL_RTN_READ_ERROR);

    {
        /* A destination opened for reading refuses every write. */
        char path[300];
        char buf[QEL_RECORD_BUFFER_SIZE] = "A";
        FILE *dest;
        scratch_path(path, sizeof path, "host_readonly.bin");
        if (!write_file(path, "", 0) || (dest = fopen(path, "rb")) == NULL) {
            fail("open read-only file", path);
            return;
        }
        status = QEL_RTN_SUCCESSFUL;
        ret = qel.encode_record(dest, buf, &status);
        expect_code("write refused", ret, status, QEL_RTN_WRITE_ERROR);
        fclose(dest);
        remove(path);
    }
}

/* Builds a source of many lines, with what decoding it must give back. */
enum { kRoundTripCap = 16384 };

static void add_bytes(unsigned char *buf, size_t *n, const void *p, size_t len) {
    if (*n + len > kRoundTripCap) {
        fprintf(stderr, "round-trip buffer too small\n");
        exit(1);
    }
    memcpy(buf + *n, p, len);
    *n += len;
}

static void check_round_trip(void) {
    /* Lengths across the length mark's wrap at 94 and the 507-byte record limit. */
    static const size_t lengths[] = {0, 1, 2, 93, 94, 95, 188, 300, 506, 508, 1014, 1200, 5, 2000};
    static unsigned char source[kRoundTripCap], expected[kRoundTripCap], encoded[4 * kRoundTripCap],
        decoded[kRoundTripCap];
    size_t source_n = 0, expected_n = 0, encoded_n = 0, decoded_n = 0;
    size_t k, i;
    uint64_t lines = 0;
    int32_t status = QEL_RTN_SUCCESSFUL;
    int32_t ret;

    /* Tildes come back as spaces. */
    add_bytes(source, &source_n, "~tilde~\r\n", 9);
    add_bytes(expected, &expected_n, " tilde \n", 8);
    for (k = 0; k < sizeof lengths / sizeof lengths[0]; ++k) {
        const size_t n = lengths[k];
        /* Space to '}' (no tilde), a tab, Ctrl-Z (end of file for a
         * text-mode stream) and 0xFF (EOF if read as a signed char). */
        for (i = 0; i < n; ++i) {
            unsigned char c = (unsigned char)(32 + (i * 7 + k * 13) % 94);
            if (i % 97 == 50) c = '\t';
            if (i % 101 == 60) c = 0x1a;
            if (i % 103 == 70) c = 0xff;
            /* A record's first two bytes add up to 159: keep every piece of
             * the line from looking encoded already. */
            if (i % QEL_MAX_TEXT_LENGTH == 1 && source[source_n - 1] + c == 159) --c;
            add_bytes(source, &source_n, &c, 1);
            if (i > 0 && i % QEL_MAX_TEXT_LENGTH == 0) add_bytes(expected, &expected_n, "\n", 1);
            add_bytes(expected, &expected_n, &c, 1);
        }
        add_bytes(expected, &expected_n, "\n", 1);
        if (k + 1 < sizeof lengths / sizeof lengths[0]) /* the last line has no line end */
            add_bytes(source, &source_n, k % 2 ? "\r\n" : "\n", k % 2 ? 2 : 1);
    }

    ret = file_to_file(run_encode_stream, source, source_n, encoded, sizeof encoded, &encoded_n,
                       &lines, &status);
    expect_code("round trip: encoding", ret, status, QEL_RTN_SUCCESSFUL);
    if (lines != sizeof lengths / sizeof lengths[0] + 1) fail("round trip: encoding", "wrong line count");

    status = QEL_RTN_SUCCESSFUL;
    ret = file_to_file(run_decode_stream, encoded, encoded_n, decoded, sizeof decoded, &decoded_n,
                       &lines, &status);
    expect_code("round trip: decoding", ret, status, QEL_RTN_SUCCESSFUL);
    expect_bytes("round trip", decoded, decoded_n, expected, expected_n);
}

/* ---- main ------------------------------------------------------------------- */

#if defined(_WIN32)
static double filetime_ms(FILETIME t) {
    return (double)(int64_t)(((uint64_t)t.dwHighDateTime << 32) | t.dwLowDateTime) / 1e4;
}
#endif

/* A monotonic clock and the calling thread's processor time (system and
 * user), in milliseconds. */
static void clocks_ms(double *wall, double *cpu) {
#if defined(_WIN32)
    LARGE_INTEGER count, frequency;
    FILETIME created, exited, kernel, user;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    *wall = (double)count.QuadPart * 1e3 / (double)frequency.QuadPart;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    *cpu = filetime_ms(kernel) + filetime_ms(user);
#else
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    *wall = (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    *cpu = (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
#endif
}

/* Runs fn from file IN into file OUT. Timed, the streams get 64 KiB buffers
 * and the time from the call to the last byte handed to the system is
 * printed: wall-clock and processor milliseconds. */
static int convert_file(CodecFn fn, const char *in_path, const char *out_path, int timed) {
    static char in_buf[65536], out_buf[65536];
    int32_t status = QEL_RTN_SUCCESSFUL;
    FILE *src = fopen(in_path, "rb");
    FILE *dest;
    double wall0 = 0, cpu0 = 0, wall1 = 0, cpu1 = 0;
    if (src == NULL) {
        printf("FAIL cannot open %s\n", in_path);
        return 1;
    }
    dest = fopen(out_path, "wb");
    if (dest == NULL) {
        printf("FAIL cannot create %s\n", out_path);
        fclose(src);
        return 1;
    }
    if (timed) {
        setvbuf(src, in_buf, _IOFBF, sizeof in_buf);
        setvbuf(dest, out_buf, _IOFBF, sizeof out_buf);
        clocks_ms(&wall0, &cpu0);
    }
    fn(dest, src, &status);
    if (timed) {
        if (fflush(dest) != 0 && status == QEL_RTN_SUCCESSFUL) status = QEL_RTN_WRITE_ERROR;
        clocks_ms(&wall1, &cpu1);
    }
    fclose(src);
    if (fclose(dest) != 0 && status == QEL_RTN_SUCCESSFUL) status = QEL_RTN_WRITE_ERROR;
    if (status != QEL_RTN_SUCCESSFUL) {
        printf("FAIL %s: %s\n", in_path, qel.rtn_code_str(status));
        return 1;
    }
    if (timed) printf("wall %.0f ms, cpu %.0f ms\n", wall1 - wall0, cpu1 - cpu0);
    return 0;
}

/* Reads all of a file into memory from the host's heap; NULL when it can't. */
static char *slurp(const char *path, size_t *size) {
    FILE *f = fopen(path, "rb");
    char *data = NULL;
    size_t cap = 0, n = 0;
    int failed = 0;
    if (f == NULL) return NULL;
    for (;;) {
        if (n == cap) {
            char *grown = (char *)realloc(data, cap * 2 + 65536);
            if (grown == NULL) {
                failed = 1;
                break;
            }
            data = grown;
            cap = cap * 2 + 65536;
        }
        n += fread(data + n, 1, cap - n, f);
        if (n < cap) break;
    }
    if (failed || ferror(f)) {
        free(data);
        data = NULL;
    }
    fclose(f);
    *size = n;
    return data;
}

/* Converts file IN into file OUT through one buffer function call: the
 * files are the host's alone, the library sees only memory. */
static int convert_buffer(BufferFn fn, BoundFn bound, const char *in_path, const char *out_path) {
    int32_t status = QEL_RTN_SUCCESSFUL;
    size_t in_n = 0, room, produced = 0, consumed = 0;
    char *in = slurp(in_path, &in_n);
    char *out;
    int ok;
    if (in == NULL) {
        printf("FAIL cannot read %s\n", in_path);
        return 1;
    }
    room = bound(in_n);
    out = (char *)malloc(room != 0 ? room : 1);
    if (out == NULL) {
        printf("FAIL no memory for %lu bytes\n", (unsigned long)room);
        free(in);
        return 1;
    }
    fn(out, room, &produced, in, in_n, &consumed, QEL_LAST, &status);
    if (status == QEL_RTN_SUCCESSFUL && consumed != in_n) status = QEL_RTN_READ_ERROR;
    ok = status == QEL_RTN_SUCCESSFUL && write_file(out_path, out, produced);
    if (status != QEL_RTN_SUCCESSFUL)
        printf("FAIL %s: %s\n", in_path, qel.rtn_code_str(status));
    else if (!ok)
        printf("FAIL cannot write %s\n", out_path);
    free(in);
    free(out);
    return ok ? 0 : 1;
}

static int usage(void) {
    fprintf(stderr,
            "usage: HOST [OPTIONS] check [SCRATCH_DIR]\n"
            "       HOST [OPTIONS] encode|decode|time|buffer-encode|buffer-decode IN OUT\n"
            "options: --lib PATH, --def FILE, --vectors FILE\n");
    return 2;
}

int main(int argc, char **argv) {
    const char *library = DEFAULT_LIBRARY;
    const char *def_path = NULL, *vectors_path = NULL;
    int a = 1;
    while (a + 1 < argc && strncmp(argv[a], "--", 2) == 0) {
        if (strcmp(argv[a], "--lib") == 0)
            library = argv[a + 1];
        else if (strcmp(argv[a], "--def") == 0)
            def_path = argv[a + 1];
        else if (strcmp(argv[a], "--vectors") == 0)
            vectors_path = argv[a + 1];
        else
            return usage();
        a += 2;
    }
    if (a >= argc) return usage();
    if (strcmp(argv[a], "check") == 0) {
        if (a + 1 < argc) snprintf(scratch_dir, sizeof scratch_dir, "%s", argv[a + 1]);
        if (!load(library)) return 1;
        check_messages();
        if (def_path != NULL)
            check_exports(def_path);
        else
            printf("skip  export list: no --def\n");
        if (vectors_path != NULL)
            check_vectors(vectors_path);
        else
            printf("skip  hand-worked vectors: no --vectors\n");
        check_decoding();
        check_status_codes();
        check_round_trip();
        if (failures != 0) {
            printf("%d check(s) failed\n", failures);
            return 1;
        }
        printf("all checks passed (%s)\n", library);
        return 0;
    }
    if ((strcmp(argv[a], "encode") == 0 || strcmp(argv[a], "decode") == 0 ||
         strcmp(argv[a], "time") == 0) && a + 3 == argc) {
        if (!load(library)) return 1;
        return convert_file(strcmp(argv[a], "decode") == 0 ? qel.decode : qel.encode, argv[a + 1],
                            argv[a + 2], strcmp(argv[a], "time") == 0);
    }
    if ((strcmp(argv[a], "buffer-encode") == 0 || strcmp(argv[a], "buffer-decode") == 0) &&
        a + 3 == argc) {
        const int decode = strcmp(argv[a], "buffer-decode") == 0;
        if (!load(library)) return 1;
        return convert_buffer(decode ? qel.decode_buffer : qel.encode_buffer,
                              decode ? qel.decode_bound : qel.encode_bound, argv[a + 1], argv[a + 2]);
    }
    return usage();
}
