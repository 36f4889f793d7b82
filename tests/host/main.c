/*
 * The loading host's command line:
 *
 *   HOST [OPTIONS] check [SCRATCH_DIR]  run the checks (checks.c)
 *   HOST [OPTIONS] encode IN OUT        QEL_Encode from file IN into file OUT
 *   HOST [OPTIONS] decode IN OUT        QEL_Decode from file IN into file OUT
 *   HOST [OPTIONS] buffer-encode IN OUT
 *   HOST [OPTIONS] buffer-decode IN OUT
 *                                       the same through QEL_EncodeBuffer or
 *                                       QEL_DecodeBuffer: the host reads and
 *                                       writes the files, the library sees
 *                                       memory only, so the two may use
 *                                       different C runtimes
 *   HOST [OPTIONS] stream-cases TEXT RECORDS DIR
 *                                       the stream cases (stream_cases.c):
 *                                       each case's results into DIR, for
 *                                       a script to compare between builds
 *   HOST batch FILE                     each line of FILE a command line of
 *                                       its own (OPTIONS and a command, words
 *                                       apart by spaces), all in this one
 *                                       process, one result line each
 *                                       ("ok N: LINE" or "FAIL N: LINE"), for
 *                                       where every process start is dear
 *
 * OPTIONS:
 *   --lib PATH      the library; qelcode.dll on Windows (found beside the
 *                   program), libqelcode.so.1 elsewhere
 *   --def FILE      the export list (src/qelcode.def): check finds every
 *                   name in it
 *   --vectors FILE  the hand-worked vectors (tests/reference/vectors.txt):
 *                   check runs every one of this build's shift
 * Without --def or --vectors, check says which checks it skips. Exits 0
 * when everything passed, 1 otherwise. Files are opened in binary mode.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "checks.h"
#include "host.h"

/* Runs fn from file IN into file OUT. */
static int convert_file(CodecFn fn, const char *in_path, const char *out_path) {
    int32_t status = QEL_RTN_SUCCESSFUL;
    FILE *src = fopen(in_path, "rb");
    FILE *dest;
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
    fn(dest, src, &status);
    fclose(src);
    if (fclose(dest) != 0 && status == QEL_RTN_SUCCESSFUL) status = QEL_RTN_WRITE_ERROR;
    if (status != QEL_RTN_SUCCESSFUL) {
        printf("FAIL %s: %s\n", in_path, qel.rtn_code_str(status));
        return 1;
    }
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
            "       HOST [OPTIONS] encode|decode|buffer-encode|buffer-decode IN OUT\n"
            "       HOST [OPTIONS] stream-cases TEXT RECORDS DIR\n"
            "       HOST batch FILE\n"
            "options: --lib PATH, --def FILE, --vectors FILE\n");
    return 2;
}

/* One command line, from the program's arguments or a batch file's line
 * (argv[0] is not looked at). */
static int run_command(int argc, char **argv) {
    const char *library = default_library();
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
        failures = 0;
        if (a + 1 < argc) set_scratch_dir(argv[a + 1]);
        if (!load_library(library)) return 1;
        if (!run_checks(def_path, vectors_path)) {
            printf("%d check(s) failed\n", failures);
            return 1;
        }
        printf("all checks passed (%s)\n", library);
        return 0;
    }
    if ((strcmp(argv[a], "encode") == 0 || strcmp(argv[a], "decode") == 0) && a + 3 == argc) {
        if (!load_library(library)) return 1;
        return convert_file(strcmp(argv[a], "decode") == 0 ? qel.decode : qel.encode, argv[a + 1], argv[a + 2]);
    }
    if ((strcmp(argv[a], "buffer-encode") == 0 || strcmp(argv[a], "buffer-decode") == 0) &&
        a + 3 == argc) {
        const int decode = strcmp(argv[a], "buffer-decode") == 0;
        if (!load_library(library)) return 1;
        return convert_buffer(decode ? qel.decode_buffer : qel.encode_buffer,
                              decode ? qel.decode_bound : qel.encode_bound, argv[a + 1], argv[a + 2]);
    }
    if (strcmp(argv[a], "stream-cases") == 0 && a + 4 == argc) {
        if (!load_library(library)) return 1;
        return run_stream_cases(argv[a + 1], argv[a + 2], argv[a + 3]) ? 0 : 1;
    }
    return usage();
}

/* Runs every line of the batch file as a command; 0 when all passed. */
static int run_batch(const char *path) {
    static char line[4096];
    char *args[32];
    int number = 0, failed = 0;
    FILE *f = fopen(path, "rb");
    if (f == NULL) {
        printf("FAIL cannot open %s\n", path);
        return 1;
    }
    while (fgets(line, sizeof line, f) != NULL) {
        static char shown[sizeof line];
        int n = 1, rc;
        char *word;
        line[strcspn(line, "\r\n")] = '\0';
        if (line[0] == '\0' || line[0] == '#') continue;
        strcpy(shown, line);
        args[0] = (char *)"batch";
        for (word = strtok(line, " "); word != NULL && n < 31; word = strtok(NULL, " ")) args[n++] = word;
        args[n] = NULL;
        ++number;
        fflush(stdout);
        rc = run_command(n, args);
        printf("%s %d: %s\n", rc == 0 ? "ok" : "FAIL", number, shown);
        fflush(stdout);
        if (rc != 0) failed = 1;
    }
    fclose(f);
    return failed;
}

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "batch") == 0) return run_batch(argv[2]);
    return run_command(argc, argv);
}
