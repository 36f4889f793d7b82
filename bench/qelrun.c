/*
 * qelrun: runs a command several times with its standard input and output
 * redirected, and prints the best wall-clock time and the peak memory.
 *
 *   qelrun [-n REPEATS] [-i INPUT] [-o OUTPUT] [-b BYTES] [-t] -- COMMAND [ARG...]
 *
 * Prints one line of key=value pairs:
 *   best_s=0.1234 mb_per_s=2176.3 cpu_s=0.1198 max_rss_kib=1820 runs=3
 * or with -t one row of tab-separated columns, the nine qelbench -t prints
 * (mode "run", bytes the count above, the memcpy columns empty):
 *   mode bytes best_s mb_per_s cpu_s max_rss_kib runs memcpy_s per_memcpy
 * mb_per_s is BYTES (default: the size of INPUT) in units of 10^6 bytes over
 * the best wall-clock time; cpu_s the least user plus system time of a run
 * (a busy machine stretches the wall-clock time much more than this).
 * max_rss_kib is the largest resident set any run reached.
 * Exits 1, printing the run's exit status, when a run does not exit 0.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_seconds(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void usage(void) {
    fputs("usage: qelrun [-n REPEATS] [-i INPUT] [-o OUTPUT] [-b BYTES] [-t] -- COMMAND [ARG...]\n", stderr);
    exit(2);
}

static double timeval_seconds(struct timeval tv) {
    return (double)tv.tv_sec + (double)tv.tv_usec / 1e6;
}

/* Runs argv once; returns its wait status and fills *seconds, *cpu and *rss_kib. */
static int run_once(char **argv, const char *input, const char *output, double *seconds, double *cpu,
                    long *rss_kib) {
    const double start = now_seconds();
    const pid_t pid = fork();
    if (pid < 0) {
        perror("qelrun: fork");
        exit(1);
    }
    if (pid == 0) {
        if (input != NULL) {
            const int fd = open(input, O_RDONLY);
            if (fd < 0 || dup2(fd, 0) < 0) {
                fprintf(stderr, "qelrun: %s: %s\n", input, strerror(errno));
                _exit(127);
            }
            close(fd);
        }
        const int fd = open(output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0) {
            fprintf(stderr, "qelrun: %s: %s\n", output, strerror(errno));
            _exit(127);
        }
        close(fd);
        execvp(argv[0], argv);
        fprintf(stderr, "qelrun: %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    int wstatus = 0;
    struct rusage ru;
    memset(&ru, 0, sizeof ru);
    while (wait4(pid, &wstatus, 0, &ru) < 0) {
        if (errno != EINTR) {
            perror("qelrun: wait4");
            exit(1);
        }
    }
    *seconds = now_seconds() - start;
    *cpu = timeval_seconds(ru.ru_utime) + timeval_seconds(ru.ru_stime);
    *rss_kib = ru.ru_maxrss; /* KiB on Linux */
    return wstatus;
}

int main(int argc, char **argv) {
    long repeats = 3;
    const char *input = NULL;
    const char *output = "/dev/null";
    double bytes = -1.0;
    int row = 0;
    int opt;
    while ((opt = getopt(argc, argv, "+n:i:o:b:t")) != -1) {
        switch (opt) {
        case 'n': repeats = strtol(optarg, NULL, 10); break;
        case 'i': input = optarg; break;
        case 'o': output = optarg; break;
        case 'b': bytes = strtod(optarg, NULL); break;
        case 't': row = 1; break;
        default: usage();
        }
    }
    if (optind >= argc || repeats < 1) usage();
    if (bytes < 0.0) {
        struct stat st;
        if (input != NULL && stat(input, &st) == 0) {
            bytes = (double)st.st_size;
        } else {
            bytes = 0.0;
        }
    }

    double best = 0.0;
    double best_cpu = 0.0;
    long max_rss = 0;
    for (long r = 0; r < repeats; ++r) {
        double seconds = 0.0;
        double cpu = 0.0;
        long rss = 0;
        const int wstatus = run_once(argv + optind, input, output, &seconds, &cpu, &rss);
        if (!WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0) {
            if (WIFEXITED(wstatus)) {
                printf("failed=exit-%d\n", WEXITSTATUS(wstatus));
            } else {
                printf("failed=signal-%d\n", WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0);
            }
            return 1;
        }
        if (r == 0 || seconds < best) best = seconds;
        if (r == 0 || cpu < best_cpu) best_cpu = cpu;
        if (rss > max_rss) max_rss = rss;
    }
    if (row) {
        printf("run\t%.0f\t%.4f\t%.1f\t%.4f\t%ld\t%ld\t\t\n", bytes, best, best > 0.0 ? bytes / 1e6 / best : 0.0,
               best_cpu, max_rss, repeats);
    } else {
        printf("best_s=%.4f mb_per_s=%.1f cpu_s=%.4f max_rss_kib=%ld runs=%ld\n", best,
               best > 0.0 ? bytes / 1e6 / best : 0.0, best_cpu, max_rss, repeats);
    }
    return 0;
}
