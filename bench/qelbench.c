/*
 * qelbench: times the library's stream calls on a whole file, with nothing
 * else in the measured span: no process start, no loading, no opening.
 *
 *   qelbench [-n REPEATS] [-b BUFFER] [-o OUTPUT] encode|decode|copy FILE
 *
 * Each repeat opens FILE ("rb") and OUTPUT ("wb", default /dev/null), then
 * times one QEL_Encode or QEL_Decode call and the flush of what it left in
 * the output buffer. `copy` times a plain copy through the same streams,
 * fread and fwrite of 1000-byte blocks: the least any library that works
 * through a host's streams can take. `encode-buffer` and `decode-buffer`
 * read FILE into memory first and time QEL_EncodeBuffer or QEL_DecodeBuffer
 * over it, 64 KiB of output room a call, with no stdio on the way (the
 * output goes nowhere; -b and -o do not apply). Both streams get stdio buffers of BUFFER bytes (default
 * 65536, as the qelcode tool uses; 0 keeps stdio's own, one file-system block). Prints one line of key=value pairs:
 *   mode=encode bytes=268435456 best_s=1.2345 mb_per_s=217.4 cpu_s=1.2101 max_rss_kib=1650 runs=3
 * mb_per_s counts the bytes of FILE in units of 10^6 over the best
 * wall-clock time; cpu_s is the least processor time of a call.
 * With -o FILE the output is kept, which is how the benchmark makes its
 * encoded files. Exits 1 when a call fails, naming the line and the message.
 */
#define _GNU_SOURCE
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "qelcode.h"

static double clock_seconds(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void usage(void) {
    fputs("usage: qelbench [-n REPEATS] [-b BUFFER] [-o OUTPUT] encode|decode|copy|encode-buffer|decode-buffer FILE\n",
          stderr);
    exit(2);
}

static FILE *open_or_die(const char *path, const char *mode) {
    FILE *f = fopen(path, mode);
    if (f == NULL) {
        perror(path);
        exit(1);
    }
    return f;
}

/* Runs the call again with a line counter to say where it stopped. */
static void report_failure(int encode, const char *path, const char *out_path) {
    FILE *src = open_or_die(path, "rb");
    FILE *dest = open_or_die(out_path, "wb");
    int32_t status = QEL_RTN_SUCCESSFUL;
    uint64_t line = 0;
    if (encode) {
        QEL_EncodeStream(dest, src, 0, &line, &status);
    } else {
        QEL_DecodeStream(dest, src, 0, &line, &status);
    }
    fprintf(stderr, "qelbench: %s: line %llu: %s\n", path, (unsigned long long)line, QEL_RtnCodeStr(status));
    fclose(src);
    fclose(dest);
    exit(1);
}

/* The whole of a file in memory. */
static char *slurp(const char *path, size_t *size) {
    FILE *f = open_or_die(path, "rb");
    size_t cap = 1 << 20, n = 0, got;
    char *data = malloc(cap);
    while (data != NULL && (got = fread(data + n, 1, cap - n, f)) > 0) {
        n += got;
        if (n == cap) data = realloc(data, cap *= 2);
    }
    fclose(f);
    if (data == NULL) usage();
    *size = n;
    return data;
}

/* Runs a buffer function over data in calls of 64 KiB of output room, as a
 * host's loop does; answers 1 when it took everything. */
static int32_t convert_buffer(int encode, const char *data, size_t size) {
    static char out[65536];
    int32_t status = QEL_RTN_SUCCESSFUL;
    size_t pos = 0;
    while (pos < size) {
        size_t produced = 0, consumed = 0;
        const int32_t ok = (encode ? QEL_EncodeBuffer : QEL_DecodeBuffer)(out, sizeof out, &produced, data + pos,
                                                                        size - pos, &consumed, QEL_LAST, &status);
        if (!ok || consumed == 0) return 0;
        pos += consumed;
    }
    return 1;
}

static int run_buffer_mode(int encode, const char *mode, const char *path, long repeats) {
    size_t size = 0;
    char *data = slurp(path, &size);
    double best = 0.0, best_cpu = 0.0;
    for (long r = 0; r < repeats; ++r) {
        const double start = clock_seconds(CLOCK_MONOTONIC);
        const double cpu_start = clock_seconds(CLOCK_PROCESS_CPUTIME_ID);
        const int32_t ok = convert_buffer(encode, data, size);
        const double cpu = clock_seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
        const double seconds = clock_seconds(CLOCK_MONOTONIC) - start;
        if (!ok) {
            fprintf(stderr, "qelbench: %s of %s failed\n", mode, path);
            return 1;
        }
        if (r == 0 || seconds < best) best = seconds;
        if (r == 0 || cpu < best_cpu) best_cpu = cpu;
    }
    free(data);
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf("mode=%s bytes=%zu best_s=%.4f mb_per_s=%.1f cpu_s=%.4f max_rss_kib=%ld runs=%ld\n", mode, size, best,
           best > 0.0 ? (double)size / 1e6 / best : 0.0, best_cpu, ru.ru_maxrss, repeats);
    return 0;
}

/* The floor: the bytes moved through the same streams, 1000 at a time. */
static int32_t copy_blocks(FILE *dest, FILE *src) {
    char block[1000];
    size_t n;
    while ((n = fread(block, 1, sizeof block, src)) > 0) {
        if (fwrite(block, 1, n, dest) != n) return 0;
    }
    return ferror(src) ? 0 : 1;
}

int main(int argc, char **argv) {
    long repeats = 3;
    long buffer = 65536;
    const char *out_path = "/dev/null";
    int opt;
    while ((opt = getopt(argc, argv, "n:b:o:")) != -1) {
        switch (opt) {
        case 'n': repeats = strtol(optarg, NULL, 10); break;
        case 'b': buffer = strtol(optarg, NULL, 10); break;
        case 'o': out_path = optarg; break;
        default: usage();
        }
    }
    if (argc - optind != 2 || repeats < 1 || buffer < 0) usage();
    char *src_buffer = buffer > 0 ? malloc((size_t)buffer) : NULL;
    char *dest_buffer = buffer > 0 ? malloc((size_t)buffer) : NULL;
    if (buffer > 0 && (src_buffer == NULL || dest_buffer == NULL)) usage();
    const char *mode = argv[optind];
    const char *path = argv[optind + 1];
    int encode, copy = 0;
    if (strcmp(mode, "encode") == 0) {
        encode = 1;
    } else if (strcmp(mode, "decode") == 0) {
        encode = 0;
    } else if (strcmp(mode, "copy") == 0) {
        encode = 0;
        copy = 1;
    } else if (strcmp(mode, "encode-buffer") == 0 || strcmp(mode, "decode-buffer") == 0) {
        return run_buffer_mode(mode[0] == 'e', mode, path, repeats);
    } else {
        usage();
    }

    struct stat st;
    if (stat(path, &st) != 0) {
        perror(path);
        return 1;
    }

    double best = 0.0;
    double best_cpu = 0.0;
    for (long r = 0; r < repeats; ++r) {
        FILE *src = open_or_die(path, "rb");
        FILE *dest = open_or_die(out_path, "wb");
        if (buffer > 0) {
            setvbuf(src, src_buffer, _IOFBF, (size_t)buffer);
            setvbuf(dest, dest_buffer, _IOFBF, (size_t)buffer);
        }
        int32_t status = QEL_RTN_SUCCESSFUL;

        const double start = clock_seconds(CLOCK_MONOTONIC);
        const double cpu_start = clock_seconds(CLOCK_PROCESS_CPUTIME_ID);
        const int32_t ok = copy ? copy_blocks(dest, src)
                           : encode ? QEL_Encode(dest, src, &status) : QEL_Decode(dest, src, &status);
        const int flushed = fflush(dest);
        const double cpu = clock_seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
        const double seconds = clock_seconds(CLOCK_MONOTONIC) - start;

        fclose(src);
        if (fclose(dest) != 0 || flushed != 0) {
            perror(out_path);
            return 1;
        }
        if (!ok && copy) {
            fprintf(stderr, "qelbench: copying %s failed\n", path);
            return 1;
        }
        if (!ok) report_failure(encode, path, out_path);
        if (r == 0 || seconds < best) best = seconds;
        if (r == 0 || cpu < best_cpu) best_cpu = cpu;
    }

    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf("mode=%s bytes=%lld best_s=%.4f mb_per_s=%.1f cpu_s=%.4f max_rss_kib=%ld runs=%ld\n", mode,
           (long long)st.st_size, best, best > 0.0 ? (double)st.st_size / 1e6 / best : 0.0, best_cpu,
           ru.ru_maxrss, repeats);
    return 0;
}
