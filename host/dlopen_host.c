/*
 * A host that uses the library the way its real hosts do: it loads the
 * shared library at run time, finds the functions by their plain names and
 * calls them through pointers. It does not link against the library; the
 * header gives it only the types and the status codes.
 *
 *   qel_dlopen_host LIBRARY [SHIFT]
 *
 * SHIFT (1..9) is the shift increment of the library's build; it defaults to
 * the one this host was built with. Exit status 0 when every check passes.
 */
#define _POSIX_C_SOURCE 200809L

#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qelcode.h"

#ifndef QEL_HOST_STEP_SELECTOR
#define QEL_HOST_STEP_SELECTOR 2u
#endif

typedef int32_t(QEL_CALL *RecordFn)(FILE *, char *, int32_t *);
typedef int32_t(QEL_CALL *StreamFn)(FILE *, FILE *, int32_t *);
typedef int32_t(QEL_CALL *StreamExFn)(FILE *, FILE *, uint32_t, uint64_t *, int32_t *);
typedef const char *(QEL_CALL *CodeStrFn)(int32_t);

static int failures = 0;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "FAIL: %s\n", what);
        ++failures;
    }
}

/* dlsym answers an object pointer; copying its bytes into a function
   pointer is the portable way round ISO C's ban on converting one. */
static void find(void *lib, const char *name, void *fn_out, size_t fn_size) {
    void *sym;
    dlerror();
    sym = dlsym(lib, name);
    if (sym == NULL || fn_size != sizeof sym) {
        const char *err = dlerror();
        fprintf(stderr, "FAIL: %s not found: %s\n", name, err ? err : "null symbol");
        exit(1);
    }
    memcpy(fn_out, &sym, fn_size);
}

/* The alphabet, entry 0 first. */
static const char kAlphabet[95] =
    "c=v-,~^S`W[#*}RYZFM@C5q067bmdD<&L%a9!A(8/kNyEPh'\\xtVgJow2OipU)jB_]Q?f;1XT:\">re|Ilnu$+GHKs{3z.4";

/* The record of a trimmed text with shift s, straight from the format rule. */
static size_t reference_record(const char *text, int s, char *out) {
    size_t n = strlen(text), i, len;
    out[0] = (char)(n % 94 + 32);
    out[1] = (char)(127 - n % 94);
    out[2] = kAlphabet[s + 16];
    for (i = 0; i < n; ++i) {
        int c = (unsigned char)text[i];
        out[3 + i] = (c >= 32 && c <= 126) ? kAlphabet[((c - 32) + s * (int)(i + 1)) % 94] : (char)c;
    }
    len = 3 + n;
    if (n == 0 || text[n - 1] != '\n') out[len++] = '\n';
    out[len] = '\0';
    return len;
}

static int same_file_bytes(FILE *f, const char *expected, size_t len) {
    char got[4096];
    size_t n;
    rewind(f);
    n = fread(got, 1, sizeof got, f);
    return n == len && memcmp(got, expected, len) == 0;
}

static FILE *file_with(const char *bytes, size_t len) {
    FILE *f = tmpfile();
    if (f == NULL || fwrite(bytes, 1, len, f) != len) {
        fprintf(stderr, "FAIL: cannot make a temporary file\n");
        exit(1);
    }
    rewind(f);
    return f;
}

int main(int argc, char **argv) {
    void *lib;
    RecordFn encode_record, decode_record;
    StreamFn encode, decode;
    StreamExFn encode_stream, decode_stream;
    CodeStrFn code_str;
    int s = (int)((2u * (uint32_t)QEL_HOST_STEP_SELECTOR) % 9u) + 1;
    /* The lines of the small file, trimmed, and the file itself. */
    static const char *const lines[] = {"abc", "A", "", "~ tilde", "tab\there", "high \x80\xff"};
    static const char file[] = "abc\nA\r\n\n~ tilde\ntab\there\r\nhigh \x80\xff";
    char expected[2048], work[QEL_RECORD_BUFFER_SIZE];
    size_t expected_len = 0, k;
    int32_t status;
    uint64_t line = 0;
    FILE *src, *dst, *back;

    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s LIBRARY [SHIFT]\n", argv[0]);
        return 2;
    }
    if (argc == 3) s = atoi(argv[2]);
    if (s < 1 || s > 9) {
        fprintf(stderr, "SHIFT must be 1 to 9\n");
        return 2;
    }

    lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
        fprintf(stderr, "FAIL: dlopen %s: %s\n", argv[1], dlerror());
        return 1;
    }
    find(lib, "QEL_EncodeRecord", &encode_record, sizeof encode_record);
    find(lib, "QEL_Encode", &encode, sizeof encode);
    find(lib, "QEL_RtnCodeStr", &code_str, sizeof code_str);
    find(lib, "QEL_DecodeRecord", &decode_record, sizeof decode_record);
    find(lib, "QEL_Decode", &decode, sizeof decode);
    find(lib, "QEL_EncodeStream", &encode_stream, sizeof encode_stream);
    find(lib, "QEL_DecodeStream", &decode_stream, sizeof decode_stream);

    /* Messages. */
    check(strcmp(code_str(QEL_RTN_SUCCESSFUL), "SUCCESSFUL") == 0, "message of 1");
    check(strcmp(code_str(QEL_RTN_SOURCE_ENCODED), "Source encoded") == 0, "message of 9");
    check(strcmp(code_str(QEL_RTN_RECORD_DAMAGED), "Damaged record") == 0, "message of 13");
    check(strcmp(code_str(0), "UNKNOWN RETURN CODE ????") == 0, "message of 0");

    /* One line, in place. For s = 5 the record is worked out by hand:
       'a' 65 + 5 -> entry 70 '1', 'b' 66 + 10 -> 76 'r', 'c' 67 + 15 -> 82 'u'. */
    strcpy(work, "abc\r\n");
    status = QEL_RTN_SUCCESSFUL;
    check(encode_record(NULL, work, &status) == 1 && status == QEL_RTN_SUCCESSFUL, "encode one line");
    reference_record("abc", s, expected);
    check(strcmp(work, expected) == 0, "record of one line");
    if (s == 5) check(strcmp(work, "#|51ru\n") == 0, "hand-worked record of one line");

    /* The record decodes back, also through a stream. */
    dst = tmpfile();
    check(dst != NULL, "tmpfile");
    if (dst == NULL) return 1;
    check(decode_record(dst, work, &status) == 1 && strcmp(work, "abc\n") == 0, "decode one record");
    check(same_file_bytes(dst, "abc\n", 4), "decoded record written");
    fclose(dst);

    /* A line carrying the encoded mark, and the status chain after it. */
    strcpy(work, "OPEN\n");
    check(encode_record(NULL, work, &status) == 0 && status == QEL_RTN_SOURCE_ENCODED, "refuse OP");
    check(strcmp(work, "OPEN") == 0, "refused line keeps its text");
    check(strcmp(code_str(status), "Source encoded") == 0, "message of the refusal");
    strcpy(work, "plain");
    check(encode_record(NULL, work, &status) == 0 && status == QEL_RTN_SOURCE_ENCODED &&
              strcmp(work, "plain") == 0,
          "status chain");

    /* A small file through QEL_Encode. */
    for (k = 0; k < sizeof lines / sizeof lines[0]; ++k)
        expected_len += reference_record(lines[k], s, expected + expected_len);
    if (s == 5) {
        static const char hand[] = "#|51ru\n!~5(\n \x7f" "5\n";
        check(memcmp(expected, hand, sizeof hand - 1) == 0, "hand-worked records of the file");
    }
    src = file_with(file, sizeof file - 1);
    dst = tmpfile();
    if (dst == NULL) return 1;
    status = QEL_RTN_SUCCESSFUL;
    check(encode(dst, src, &status) == 1 && status == QEL_RTN_SUCCESSFUL, "encode a file");
    check(same_file_bytes(dst, expected, expected_len), "records of the file");

    /* ... and back through QEL_DecodeStream, counting the records. */
    rewind(dst);
    back = tmpfile();
    if (back == NULL) return 1;
    check(decode_stream(back, dst, 0u, &line, &status) == 1 && status == QEL_RTN_SUCCESSFUL, "decode the file");
    check(line == 6, "records counted");
    {
        static const char plain[] = "abc\nA\n\n  tilde\ntab\there\nhigh \x80\xff\n";
        check(same_file_bytes(back, plain, sizeof plain - 1), "decoded file");
    }
    fclose(back);

    /* QEL_EncodeStream counts lines; QEL_Decode refuses plain text. */
    rewind(src);
    fclose(dst);
    dst = tmpfile();
    if (dst == NULL) return 1;
    line = 0;
    check(encode_stream(dst, src, 0u, &line, &status) == 1 && line == 6, "encode stream, line count");
    rewind(src);
    check(decode(dst, src, &status) == 0 && status == QEL_RTN_SOURCE_NOT_ENCODED, "decode plain text");
    fclose(dst);
    fclose(src);

    dlclose(lib);
    if (failures == 0) printf("dlopen host: all checks passed (s = %d)\n", s);
    return failures == 0 ? 0 : 1;
}
