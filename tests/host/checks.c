/*
 * The loading host's checks of a loaded library: messages and version, the
 * export list, the hand-worked vectors, refusals and status codes, and a
 * round trip through files opened in binary mode.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "checks.h"
#include "host.h"
#include "vectors.h"

static const int kShift = QEL_HOST_SHIFT;

static char scratch_dir[260] = ".";

void set_scratch_dir(const char *dir) { snprintf(scratch_dir, sizeof scratch_dir, "%s", dir); }

static void scratch_path(char *out, size_t size, const char *name) {
    snprintf(out, size, "%s/%s", scratch_dir, name);
}

int write_file(const char *path, const void *data, size_t n) {
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
    int in_exports = 0, listed = 0, seen[kHostFunctions] = {0};
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
            if (!library_exports(word)) fail("listed in the export list, not exported", word);
            for (i = 0; i < kHostFunctions; ++i)
                if (strcmp(word, host_function_names[i]) == 0) seen[i] = 1;
        }
    }
    fclose(f);
    if (listed == 0) fail("no names in the export list", def_path);
    for (i = 0; i < kHostFunctions; ++i)
        if (!seen[i]) fail("called by the host, missing from the export list", host_function_names[i]);
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

/* Converts in[0, n) through a converter, handed 7 bytes of input a call
 * and 3 bytes of room, into out; answers the status. */
static int32_t through_converter(uint32_t flags, const unsigned char *in, size_t n, unsigned char *out,
                                 size_t cap, size_t *out_n) {
    QEL_Converter c;
    int32_t status = QEL_RTN_SUCCESSFUL;
    size_t pos = 0, produced = 0, consumed = 0;
    char room[3];
    *out_n = 0;
    if (qel.converter_init(&c, flags) != 1) return 0;
    do {
        const size_t shown = n - pos < 7 ? n - pos : 7;
        qel.converter_put(&c, room, sizeof room, &produced, (const char *)in + pos, shown, &consumed,
                          pos + shown == n ? QEL_LAST : 0u, &status);
        if (*out_n + produced > cap) return 0;
        memcpy(out + *out_n, room, produced);
        *out_n += produced;
        pos += consumed;
    } while (status == QEL_RTN_SUCCESSFUL && (pos < n || produced != 0));
    return status;
}

/* The converter's state is the same size on every target, and a host
 * that splits its input and gives little room gets what the stream
 * functions give; a refusal says where it stands. */
static void check_converter(const unsigned char *source, size_t source_n, const unsigned char *encoded,
                            size_t encoded_n, const unsigned char *expected, size_t expected_n) {
    static unsigned char out[4 * kRoundTripCap];
    struct Aligned { char c; QEL_Converter x; };
    size_t out_n = 0;
    int32_t status;
    QEL_Converter c;
    size_t produced = 0, consumed = 0;
    char room[64];
    if (sizeof(QEL_Converter) != QEL_CONVERTER_SIZE || QEL_CONVERTER_SIZE != 1152)
        fail("converter", "QEL_Converter is not 1152 bytes");
    if (offsetof(struct Aligned, x) != 4) fail("converter", "QEL_Converter is not aligned as a uint32_t");

    status = through_converter(0, source, source_n, out, sizeof out, &out_n);
    expect_code("converter: encoding", status == QEL_RTN_SUCCESSFUL, status, QEL_RTN_SUCCESSFUL);
    expect_bytes("converter: encoding", out, out_n, encoded, encoded_n);
    status = through_converter(QEL_DECODE, encoded, encoded_n, out, sizeof out, &out_n);
    expect_code("converter: decoding", status == QEL_RTN_SUCCESSFUL, status, QEL_RTN_SUCCESSFUL);
    expect_bytes("converter: decoding", out, out_n, expected, expected_n);

    /* "OP" adds up to 159: the second line is refused at offset 3. */
    status = QEL_RTN_SUCCESSFUL;
    qel.converter_init(&c, 0);
    qel.converter_put(&c, room, sizeof room, &produced, "ok\nOP\n", 6, &consumed, QEL_LAST, &status);
    expect_code("converter: refusal", 0, status, QEL_RTN_SOURCE_ENCODED);
    if (consumed != 3 || produced != 6 || qel.converter_offset(&c) != 3 || qel.converter_line(&c) != 2)
        fail("converter: refusal", "wrong position or output before it");
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
    check_converter(source, source_n, encoded, encoded_n, expected, expected_n);
}

int run_checks(const char *def_path, const char *vectors_path) {
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
    return failures == 0;
}
