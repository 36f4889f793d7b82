/*
 * qelbench: times the library's stream calls on a whole file, with nothing
 * else in the measured span: no process start, no loading, no opening.
 *
 *   qelbench [-n REPEATS] [-b BUFFER] [-o OUTPUT] [-w] encode|decode|copy FILE
 *   qelbench [-n REPEATS] [-w] encode-buffer|decode-buffer|memcpy FILE
 *
 * Each repeat opens FILE ("rb") and OUTPUT ("wb", default /dev/null), then
 * times one QEL_Encode or QEL_Decode call and the flush of what it left in
 * the output buffer. `copy` times a plain copy through the same streams,
 * fread and fwrite of 1000-byte blocks: the least any library that works
 * through a host's streams can take. `encode-buffer` and `decode-buffer`
 * read FILE into memory first and time QEL_EncodeBuffer or QEL_DecodeBuffer
 * over it, 64 KiB of reused output room a call (with -w one call into room
 * for all of it), with no stdio on the way (-b and -o do not apply); a first
 * call is left out, and each of the REPEATS rounds also times memcpy of the
 * same bytes into the same room the same way, so that the line ends with
 * memcpy_s and per_memcpy (best time over memcpy's best) measured in the
 * same process. `memcpy` times memcpy alone that way. Both streams get stdio buffers of BUFFER bytes (default
 * 65536, as the qelcode tool uses; 0 keeps stdio's own, one file-system block). Prints one line of key=value pairs:
 *   mode=encode bytes=268435456 best_s=1.2345 mb_per_s=217.4 cpu_s=1.2101 max_rss_kib=1650 runs=3
 * or with -t the same figures as one row of tab-separated columns, always
 * these nine (memcpy_s and per_memcpy empty outside the in-memory modes):
 *   mode bytes best_s mb_per_s cpu_s max_rss_kib runs memcpy_s per_memcpy
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
    fputs("usage: qelbench [-n REPEATS] [-b BUFFER] [-o OUTPUT] [-w] [-t] "
          "encode|decode|copy|encode-buffer|decode-buffer|memcpy FILE\n",
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

/* Set by -t: figures as a tab-separated row rather than key=value pairs. */
static int g_row;

/* Output room a call in the buffer modes, as a host's loop or the tool gives. */
enum { kRoom = 65536 };

/* Keeps the compiler from dropping stores to memory nobody reads. */
static void touch(void *p) { __asm__ volatile("" : : "r"(p) : "memory"); }

/* Runs a buffer function over data: in calls of kRoom bytes of reused output
 * room, as a host's loop does, or in one call into `whole_room` bytes at
 * `whole` when that is not NULL. Answers 1 when it took everything. */
static int32_t convert_buffer(int encode, const char *data, size_t size, char *whole, size_t whole_room) {
    static char out[kRoom];
    int32_t status = QEL_RTN_SUCCESSFUL;
    size_t pos = 0;
    while (pos < size) {
        size_t produced = 0, consumed = 0;
        const int32_t ok = (encode ? QEL_EncodeBuffer : QEL_DecodeBuffer)(
            whole != NULL ? whole : out, whole != NULL ? whole_room : sizeof out, &produced, data + pos, size - pos,
            &consumed, QEL_LAST, &status);
        if (!ok || consumed == 0) return 0;
        pos += consumed;
    }
    touch(whole != NULL ? whole : out);
    return 1;
}

/* memcpy of the same bytes the same way: kRoom bytes at a time into the
 * same reused room, or all of them at once into `whole`. */
static void copy_memory(const char *data, size_t size, char *whole) {
    static char out[kRoom];
    if (whole != NULL) {
        memcpy(whole, data, size);
        touch(whole);
        return;
    }
    for (size_t pos = 0; pos < size; pos += kRoom) {
        memcpy(out, data + pos, size - pos < kRoom ? size - pos : kRoom);
        touch(out);
    }
}

/* The in-memory modes: a first call of each, not timed, then `repeats`
 * rounds, each timing memcpy and the conversion one after the other; the
 * best of each counts, and their ratio is that of one process on one
 * machine state. */
static int run_buffer_mode(int encode, int convert, const char *mode, const char *path, long repeats, int one_call) {
    size_t size = 0;
    char *data = slurp(path, &size);
    /* Room for every record at once: a line grows by at most 3 bytes. */
    const size_t whole_room = encode ? size * 4 + 64 : size + 64;
    char *whole = one_call ? malloc(whole_room) : NULL;
    if (one_call && whole == NULL) usage();
    if (one_call) memset(whole, 0, whole_room);  /* pages in before any timing */
    double best = 0.0, best_cpu = 0.0, best_copy = 0.0;
    copy_memory(data, size, whole);
    if (convert && !convert_buffer(encode, data, size, whole, whole_room)) {
        fprintf(stderr, "qelbench: %s of %s failed\n", mode, path);
        return 1;
    }
    for (long r = 0; r < repeats; ++r) {
        double start = clock_seconds(CLOCK_MONOTONIC);
        copy_memory(data, size, whole);
        const double copy = clock_seconds(CLOCK_MONOTONIC) - start;
        if (r == 0 || copy < best_copy) best_copy = copy;
        start = clock_seconds(CLOCK_MONOTONIC);
        const double cpu_start = clock_seconds(CLOCK_PROCESS_CPUTIME_ID);
        if (convert) convert_buffer(encode, data, size, whole, whole_room);
        else copy_memory(data, size, whole);
        const double cpu = clock_seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
        const double seconds = clock_seconds(CLOCK_MONOTONIC) - start;
        if (r == 0 || seconds < best) best = seconds;
        if (r == 0 || cpu < best_cpu) best_cpu = cpu;
    }
    free(data);
    free(whole);
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf(g_row ? "%s\t%zu\t%.5f\t%.1f\t%.5f\t%ld\t%ld\t%.5f\t%.2f\n"
                 : "mode=%s bytes=%zu best_s=%.5f mb_per_s=%.1f cpu_s=%.5f max_rss_kib=%ld runs=%ld memcpy_s=%.5f "
                   "per_memcpy=%.2f\n",
           mode, size, best, best > 0.0 ? (double)size / 1e6 / best : 0.0, best_cpu, ru.ru_maxrss, repeats,
           best_copy, best_copy > 0.0 ? best / best_copy : 0.0);
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
    int one_call = 0;
    int opt;
    while ((opt = getopt(argc, argv, "n:b:o:wt")) != -1) {
        switch (opt) {
        case 'n': repeats = strtol(optarg, NULL, 10); break;
        case 'b': buffer = strtol(optarg, NULL, 10); break;
        case 'o': out_path = optarg; break;
        case 'w': one_call = 1; break;
        case 't': g_row = 1; break;
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
        return run_buffer_mode(mode[0] == 'e', 1, mode, path, repeats, one_call);
    } else if (strcmp(mode, "memcpy") == 0) {
        return run_buffer_mode(0, 0, mode, path, repeats, one_call);
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
    printf(g_row ? "%s\t%lld\t%.4f\t%.1f\t%.4f\t%ld\t%ld\t\t\n"
                 : "mode=%s bytes=%lld best_s=%.4f mb_per_s=%.1f cpu_s=%.4f max_rss_kib=%ld runs=%ld\n",
           mode,
           (long long)st.st_size, best, best > 0.0 ? (double)st.st_size / 1e6 / best : 0.0, best_cpu,
           ru.ru_maxrss, repeats);
    return 0;
}
