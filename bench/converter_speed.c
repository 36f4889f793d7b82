/*
 * converter_speed: times a QEL_Converter fed its input in pieces of a given
 * size against one whole-buffer call on the same bytes, in one process.
 *
 *   converter_speed [-n REPEATS] [-d] FILE PIECE...
 *
 * FILE is read into memory first (with -d it is taken as records and
 * decoded). Every round times, in turn: memcpy of the whole input; one
 * QEL_EncodeBuffer (QEL_DecodeBuffer) call with QEL_LAST into room for all
 * of it; and for each PIECE size, a converter handed PIECE bytes a call
 * into the same room, 64 KiB of it a call. The output room is touched
 * before the first round, and the first round is left out; the best of the
 * other rounds counts. Prints one tab-separated row per measurement:
 *   what  piece  best_s  mb_per_s  per_whole
 * where per_whole is the best time over the whole-buffer call's best. Exits
 * 1 when a call fails or the outputs differ.
 */
#define _POSIX_C_SOURCE 200809L
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "qelcode.h"

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void die(const char *what) {
    fprintf(stderr, "converter_speed: %s\n", what);
    exit(1);
}

/* The converter over the whole input, piece bytes a call, 64 KiB of room a call. */
static size_t run_converter(int decode, const char *in, size_t n, char *out, size_t piece) {
    QEL_Converter c;
    int32_t status = QEL_STATUS_INIT;
    size_t pos = 0, made = 0, produced = 0, consumed = 0;
    const size_t room = 65536;
    QEL_ConverterInit(&c, decode ? QEL_DECODE : 0);
    for (;;) {
        const size_t shown = n - pos < piece ? n - pos : piece;
        const uint32_t flags = pos + shown == n ? QEL_LAST : 0;
        if (!QEL_ConverterPut(&c, out + made, room, &produced, in + pos, shown, &consumed, flags, &status))
            die(QEL_RtnCodeStr(status));
        made += produced;
        pos += consumed;
        if (pos == n && produced == 0) return made;
    }
}

int main(int argc, char **argv) {
    int repeats = 5, decode = 0, a = 1;
    for (; a < argc && argv[a][0] == '-'; ++a) {
        if (strcmp(argv[a], "-n") == 0 && a + 1 < argc) repeats = atoi(argv[++a]);
        else if (strcmp(argv[a], "-d") == 0) decode = 1;
        else die("usage: converter_speed [-n REPEATS] [-d] FILE PIECE...");
    }
    if (a + 2 > argc || repeats < 2) die("usage: converter_speed [-n REPEATS] [-d] FILE PIECE...");
    FILE *f = fopen(argv[a], "rb");
    if (f == NULL) die("can't open the file");
    fseek(f, 0, SEEK_END);
    const size_t n = (size_t)ftell(f);
    rewind(f);
    char *in = malloc(n + 1);
    if (in == NULL || fread(in, 1, n, f) != n) die("can't read the file");
    fclose(f);
    const size_t bound = (decode ? QEL_DecodeBound(n) : QEL_EncodeBound(n)) + 65536;
    char *whole = malloc(bound), *out = malloc(bound);
    if (whole == NULL || out == NULL) die("out of memory");
    memset(whole, 1, bound);
    memset(out, 1, bound);

    const int pieces = argc - a - 1;
    double best_copy = 1e9, best_whole = 1e9, best[64];
    size_t whole_made = 0;
    for (int p = 0; p < pieces && p < 64; ++p) best[p] = 1e9;
    for (int r = 0; r < repeats; ++r) {
        double t = now();
        memcpy(out, in, n);
        t = now() - t;
        if (r > 0 && t < best_copy) best_copy = t;

        int32_t status = QEL_STATUS_INIT;
        size_t consumed = 0;
        t = now();
        (decode ? QEL_DecodeBuffer : QEL_EncodeBuffer)(whole, bound, &whole_made, in, n, &consumed, QEL_LAST,
                                                       &status);
        t = now() - t;
        if (status != QEL_RTN_SUCCESSFUL) die(QEL_RtnCodeStr(status));
        if (r > 0 && t < best_whole) best_whole = t;

        for (int p = 0; p < pieces && p < 64; ++p) {
            const size_t piece = (size_t)strtoull(argv[a + 1 + p], NULL, 10);
            if (piece == 0) die("a piece is at least one byte");
            t = now();
            const size_t made = run_converter(decode, in, n, out, piece);
            t = now() - t;
            if (made != whole_made || memcmp(out, whole, made) != 0) die("the converter's output differs");
            if (r > 0 && t < best[p]) best[p] = t;
        }
    }
    const char *dir = decode ? "decode" : "encode";
    printf("what\tpiece\tbest_s\tmb_per_s\tper_whole\n");
    printf("memcpy\t%zu\t%.4f\t%.1f\t%.2f\n", n, best_copy, (double)n / best_copy / 1e6, best_copy / best_whole);
    printf("%s-buffer\t%zu\t%.4f\t%.1f\t%.2f\n", dir, n, best_whole, (double)n / best_whole / 1e6, 1.0);
    for (int p = 0; p < pieces && p < 64; ++p)
        printf("%s-converter\t%s\t%.4f\t%.1f\t%.2f\n", dir, argv[a + 1 + p], best[p], (double)n / best[p] / 1e6,
               best[p] / best_whole);
    return 0;
}
