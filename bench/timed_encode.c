/*
 * timed_encode: one QEL_Encode of file IN into file OUT, both streams with
 * 64 KiB buffers, timed from the call to the last byte handed to the
 * system. Prints "wall W ms, cpu C ms": the wall-clock time and the calling
 * thread's processor time (system and user). Built with the Windows DLLs
 * too, for bench/wine_timing.sh; links the library as an ordinary program
 * does, so on Windows it runs the qelcode.dll beside it.
 *
 *   timed_encode IN OUT
 */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#  define _POSIX_C_SOURCE 200809L /* clock_gettime */
#endif

#include <stdint.h>
#include <stdio.h>

#include "qelcode.h"

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <time.h>
#endif

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

int main(int argc, char **argv) {
    static char in_buf[65536], out_buf[65536];
    int32_t status = QEL_RTN_SUCCESSFUL;
    double wall0, cpu0, wall1, cpu1;
    FILE *src, *dest;
    if (argc != 3) {
        fprintf(stderr, "usage: timed_encode IN OUT\n");
        return 2;
    }
    src = fopen(argv[1], "rb");
    dest = fopen(argv[2], "wb");
    if (src == NULL || dest == NULL) {
        printf("FAIL cannot open %s or %s\n", argv[1], argv[2]);
        return 1;
    }
    setvbuf(src, in_buf, _IOFBF, sizeof in_buf);
    setvbuf(dest, out_buf, _IOFBF, sizeof out_buf);
    clocks_ms(&wall0, &cpu0);
    QEL_Encode(dest, src, &status);
    if (fflush(dest) != 0 && status == QEL_RTN_SUCCESSFUL) status = QEL_RTN_WRITE_ERROR;
    clocks_ms(&wall1, &cpu1);
    fclose(src);
    if (fclose(dest) != 0 && status == QEL_RTN_SUCCESSFUL) status = QEL_RTN_WRITE_ERROR;
    if (status != QEL_RTN_SUCCESSFUL) {
        printf("FAIL %s: %s\n", argv[1], QEL_RtnCodeStr(status));
        return 1;
    }
    printf("wall %.0f ms, cpu %.0f ms\n", wall1 - wall0, cpu1 - cpu0);
    return 0;
}
