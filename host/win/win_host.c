/*
 * A test host that loads the qelcode library at run time and finds every
 * function by its plain name: LoadLibraryA and GetProcAddress on Windows,
 * dlopen and dlsym elsewhere. Files are opened in binary mode.
 *
 *   win_host [--lib PATH] check           run the checks below
 *   win_host [--lib PATH] encode IN OUT   QEL_Encode from file IN into file OUT
 *   win_host [--lib PATH] decode IN OUT   QEL_Decode from file IN into file OUT
 *   win_host [--lib PATH] time IN OUT     encode as above, with 64 KiB stream
 *                                         buffers, and print the time taken
 *   win_host [--lib PATH] buffer-encode IN OUT
 *   win_host [--lib PATH] buffer-decode IN OUT
 *                                         the same through QEL_EncodeBuffer or
 *                                         QEL_DecodeBuffer: the host reads and
 *                                         writes the files, the library sees
 *                                         memory only, so the two may use
 *                                         different C runtimes
 *
 * PATH defaults to qelcode.dll on Windows (found beside the program) and
 * libqelcode.so.1 elsewhere. Exits 0 when everything passed, 1 otherwise.
 *
 * Built with QEL_HOST_LINKED on Windows, the host links the DLL through an
 * import library instead, as most Windows programs do, and calls the
 * functions through it; it still checks the DLL's plain names.
 *
 * Expected records are worked out by hand for the step selector 2 (shift
 * 5, step mark '5'); with another selector those checks are skipped and the
 * round trips, which hold for every selector, still run.
 */
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

#if defined(__GNUC__)
/* Fails to compile when a typedef drifts from the header's declaration. */
#  define SAME_TYPE(fn, type) \
    typedef char same_type_##fn[__builtin_types_compatible_p(__typeof__(&fn), type) ? 1 : -1]
SAME_TYPE(QEL_EncodeRecord, EncodeRecordFn);
SAME_TYPE(QEL_Encode, CodecFn);
SAME_TYPE(QEL_EncodeStream, CodecStreamFn);
SAME_TYPE(QEL_DecodeRecord, EncodeRecordFn);
SAME_TYPE(QEL_Decode, CodecFn);
SAME_TYPE(QEL_DecodeStream, CodecStreamFn);
SAME_TYPE(QEL_RtnCodeStr, RtnCodeStrFn);
SAME_TYPE(QEL_EncodeBuffer, BufferFn);
SAME_TYPE(QEL_DecodeBuffer, BufferFn);
SAME_TYPE(QEL_EncodeBound, BoundFn);
SAME_TYPE(QEL_DecodeBound, BoundFn);
SAME_TYPE(QEL_Version, VersionFn);
#endif

static struct {
    EncodeRecordFn encode_record;
    CodecFn encode;
    CodecStreamFn encode_stream;
    EncodeRecordFn decode_record;
    CodecFn decode;
    CodecStreamFn decode_stream;
    RtnCodeStrFn rtn_code_str;
    BufferFn encode_buffer;
    BufferFn decode_buffer;
    BoundFn encode_bound;
    BoundFn decode_bound;
    VersionFn version;
} qel;

static int failures;

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

static int load(const char *path) {
    static const char *const names[] = {
        "QEL_EncodeRecord", "QEL_Encode",       "QEL_EncodeStream", "QEL_DecodeRecord",
        "QEL_Decode",       "QEL_DecodeStream", "QEL_RtnCodeStr",   "QEL_EncodeBuffer",
        "QEL_DecodeBuffer", "QEL_EncodeBound",  "QEL_DecodeBound",  "QEL_Version"};
    enum { kFunctions = sizeof names / sizeof names[0] };
    void (*fns[kFunctions])(void);
    Library lib = open_library(path);
    size_t i;
    int missing = 0;
    if (lib == NULL) {
        report_load_error(path);
        return 0;
    }
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
        void (*const linked[kFunctions])(void) = {
            (void (*)(void))QEL_EncodeRecord, (void (*)(void))QEL_Encode,
            (void (*)(void))QEL_EncodeStream, (void (*)(void))QEL_DecodeRecord,
            (void (*)(void))QEL_Decode,       (void (*)(void))QEL_DecodeStream,
            (void (*)(void))QEL_RtnCodeStr,   (void (*)(void))QEL_EncodeBuffer,
            (void (*)(void))QEL_DecodeBuffer, (void (*)(void))QEL_EncodeBound,
            (void (*)(void))QEL_DecodeBound,  (void (*)(void))QEL_Version};
        for (i = 0; i < kFunctions; ++i) fns[i] = linked[i];
    }
#endif
    qel.encode_record = (EncodeRecordFn)fns[0];
    qel.encode = (CodecFn)fns[1];
    qel.encode_stream = (CodecStreamFn)fns[2];
    qel.decode_record = (EncodeRecordFn)fns[3];
    qel.decode = (CodecFn)fns[4];
    qel.decode_stream = (CodecStreamFn)fns[5];
    qel.rtn_code_str = (RtnCodeStrFn)fns[6];
    qel.encode_buffer = (BufferFn)fns[7];
    qel.decode_buffer = (BufferFn)fns[8];
    qel.encode_bound = (BoundFn)fns[9];
    qel.decode_bound = (BoundFn)fns[10];
    qel.version = (VersionFn)fns[11];
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

/* Records for the shift 5, worked out by hand from the alphabet. */
static void check_known_records(void) {
    static const struct {
        const char *name;
        const char *text; /* one line, with or without its line end */
        size_t text_n;
        const char *record;
        size_t record_n;
    } cases[] = {
        {"one letter", "A", 1, "\x21\x7e\x35\x28\n", 5},
        {"CR LF removed", "ab\r\n", 4, "\x22\x7d\x35\x31\x72\n", 6},
        {"empty line", "\n", 1, "\x20\x7f\x35\n", 4},
        {"tilde as space", "a~b", 3, "\x23\x7c\x35\x31\x5b\x6e\n", 7},
        {"unmapped bytes kept", "\x1a\xff\tZ", 4, "\x24\x7b\x35\x1a\xff\x09\x7c\n", 8},
    };
    size_t i;
    /* The shift is ((2 * K) mod 9) + 1 in unsigned 32-bit arithmetic. */
    if ((uint32_t)(2u * (uint32_t)QEL_TEST_STEP_SELECTOR) % 9u + 1u != 5u) {
        printf("skip  records worked out for the step selector 2\n");
        return;
    }
    for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        char buf[QEL_RECORD_BUFFER_SIZE];
        unsigned char out[64];
        size_t out_n = 0;
        int32_t status = QEL_RTN_SUCCESSFUL;
        int32_t ret;

        /* In place, without a stream. */
        memcpy(buf, cases[i].text, cases[i].text_n);
        buf[cases[i].text_n] = '\0';
        ret = qel.encode_record(NULL, buf, &status);
        expect_code(cases[i].name, ret, status, QEL_RTN_SUCCESSFUL);
        expect_bytes(cases[i].name, (const unsigned char *)buf, strlen(buf),
                     (const unsigned char *)cases[i].record, cases[i].record_n);

        /* The same line as a whole file. */
        status = QEL_RTN_SUCCESSFUL;
        ret = file_to_file(run_encode_stream, (const unsigned char *)cases[i].text, cases[i].text_n,
                           out, sizeof out, &out_n, NULL, &status);
        expect_code(cases[i].name, ret, status, QEL_RTN_SUCCESSFUL);
        expect_bytes(cases[i].name, out, out_n, (const unsigned char *)cases[i].record,
                     cases[i].record_n);
    }
    {
        /* Several lines, the last without a line end, through QEL_Encode. */
        static const char in[] = "A\r\n\nab";
        static const char want[] = "\x21\x7e\x35\x28\n\x20\x7f\x35\n\x22\x7d\x35\x31\x72\n";
        unsigned char out[64];
        size_t out_n = 0;
        uint64_t lines = 0;
        int32_t status = QEL_RTN_SUCCESSFUL;
        int32_t ret = file_to_file(run_encode_stream, (const unsigned char *)in, sizeof in - 1, out,
                                   sizeof out, &out_n, &lines, &status);
        expect_code("three lines", ret, status, QEL_RTN_SUCCESSFUL);
        expect_bytes("three lines", out, out_n, (const unsigned char *)want, sizeof want - 1);
        if (lines != 3) fail("three lines", "line count is not 3");
    }
}

static void check_decoding(void) {
    static const struct {
        const char *name;
        const char *record;
        int32_t code;
        const char *text; /* after a successful decoding */
    } cases[] = {
        {"record of shift 5", "\x21\x7e\x35\x28\r\n", QEL_RTN_SUCCESSFUL, "A\n"},
        {"record of shift 1", "\x21\x7e\x46\x61\n", QEL_RTN_SUCCESSFUL, "A\n"},
        {"empty record", "\x20\x7f\x35\n", QEL_RTN_SUCCESSFUL, "\n"},
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
            "usage: win_host [--lib PATH] check [SCRATCH_DIR]\n"
            "       win_host [--lib PATH] encode|decode|time|buffer-encode|buffer-decode IN OUT\n");
    return 2;
}

int main(int argc, char **argv) {
    const char *library = DEFAULT_LIBRARY;
    int a = 1;
    if (argc > 2 && strcmp(argv[1], "--lib") == 0) {
        library = argv[2];
        a = 3;
    }
    if (a >= argc) return usage();
    if (strcmp(argv[a], "check") == 0) {
        if (a + 1 < argc) snprintf(scratch_dir, sizeof scratch_dir, "%s", argv[a + 1]);
        if (!load(library)) return 1;
        check_messages();
        check_known_records();
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
