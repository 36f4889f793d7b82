/*
 * qelcorpus: the steps that make the benchmark's text files. Every step is
 * deterministic: the same input files give the same bytes.
 *
 *   qelcorpus collect < NUL-separated file names > text
 *       Concatenates the text files among the names, skipping compressed
 *       and binary files (any NUL byte, or more than 1% control bytes).
 *       Leaves out every line that holds a NUL or that the encoder would
 *       refuse as already encoded (first two bytes of a piece both below
 *       128 and adding up to 159). A last line gets its line feed.
 *
 *   qelcorpus cycle FILE BYTES > text
 *       FILE over and over, stopping at the first line end at or past BYTES.
 *
 *   qelcorpus reshape FILE LEN BYTES > text
 *       The bytes of FILE's lines without their line ends, as one cycling
 *       stream cut into lines of LEN bytes, until BYTES are written (whole
 *       lines). A cut that would carry the encoded mark moves one byte on.
 */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kPiece = 507 };

static void die(const char *what) {
    perror(what);
    exit(1);
}

static void usage(void) {
    fputs("usage: qelcorpus collect < names\n"
          "       qelcorpus cycle FILE BYTES\n"
          "       qelcorpus reshape FILE LEN BYTES\n",
          stderr);
    exit(2);
}

/* Reads a whole file into a new buffer; NULL with *len = 0 if unreadable. */
static unsigned char *slurp(const char *path, size_t *len) {
    *len = 0;
    FILE *f = fopen(path, "rb");
    if (f == NULL) return NULL;
    size_t cap = 1 << 16;
    size_t n = 0;
    unsigned char *buf = malloc(cap);
    if (buf == NULL) die("malloc");
    for (;;) {
        if (n == cap) {
            cap *= 2;
            buf = realloc(buf, cap);
            if (buf == NULL) die("realloc");
        }
        const size_t got = fread(buf + n, 1, cap - n, f);
        n += got;
        if (got == 0) break;
    }
    const int bad = ferror(f);
    fclose(f);
    if (bad) {
        free(buf);
        return NULL;
    }
    *len = n;
    return buf;
}

static void put(const void *p, size_t n) {
    if (n > 0 && fwrite(p, 1, n, stdout) != n) die("write");
}

/* The encoder's test for a text that is already encoded. */
static int mark_at(const unsigned char *p, size_t n) {
    return n >= 2 && p[0] < 128 && p[1] < 128 && p[0] + p[1] == 159;
}

/* True when any piece of the line (without its line feed) carries the mark. */
static int line_marked(const unsigned char *p, size_t n) {
    for (size_t off = 0; off < n; off += kPiece) {
        if (mark_at(p + off, n - off)) return 1;
    }
    return 0;
}

static int skipped_name(const char *path) {
    static const char *const kSuffixes[] = {
        ".gz", ".bz2", ".xz", ".zst", ".lz", ".lzma", ".Z", ".zip", ".jar", ".png", ".jpg",
        ".jpeg", ".gif", ".ico", ".pdf", ".svgz", ".woff", ".woff2", ".ttf", ".otf", ".pyc",
        ".mo", ".gmo", ".so", ".a", ".o", ".tar", ".db", ".bin"};
    const size_t len = strlen(path);
    for (size_t i = 0; i < sizeof kSuffixes / sizeof kSuffixes[0]; ++i) {
        const size_t sl = strlen(kSuffixes[i]);
        if (len >= sl && strcmp(path + len - sl, kSuffixes[i]) == 0) return 1;
    }
    return 0;
}

static int binary_content(const unsigned char *p, size_t n) {
    size_t controls = 0;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = p[i];
        if (c == 0) return 1;
        if ((c < 32 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v' && c != 27) || c == 127) {
            ++controls;
        }
    }
    return controls * 100 > n;
}

static int collect(void) {
    char *name = NULL;
    size_t name_cap = 0;
    unsigned long used = 0, skipped = 0, dropped = 0, lines = 0;
    unsigned long long bytes = 0;
    ssize_t got;
    while ((got = getdelim(&name, &name_cap, '\0', stdin)) > 0) {
        if (name[got - 1] == '\0') --got;
        name[got] = '\0';
        if (got == 0) continue;
        if (skipped_name(name)) {
            ++skipped;
            continue;
        }
        size_t n = 0;
        unsigned char *text = slurp(name, &n);
        if (text == NULL || n == 0 || binary_content(text, n)) {
            ++skipped;
            free(text);
            continue;
        }
        ++used;
        size_t start = 0;
        while (start < n) {
            const unsigned char *lf = memchr(text + start, '\n', n - start);
            const size_t end = lf != NULL ? (size_t)(lf - text) : n;
            const size_t len = end - start;
            if (memchr(text + start, '\0', len) != NULL || line_marked(text + start, len)) {
                ++dropped;
            } else {
                put(text + start, len);
                put("\n", 1);
                ++lines;
                bytes += len + 1;
            }
            start = end + 1;
        }
        free(text);
    }
    free(name);
    if (fflush(stdout) != 0) die("write");
    fprintf(stderr, "qelcorpus: %lu files used, %lu skipped; %lu lines (%llu bytes) kept, %lu left out\n",
            used, skipped, lines, bytes, dropped);
    return 0;
}

static int cycle(const char *path, unsigned long long target) {
    size_t n = 0;
    unsigned char *text = slurp(path, &n);
    if (text == NULL || n == 0) {
        fprintf(stderr, "qelcorpus: %s: empty or unreadable\n", path);
        return 1;
    }
    unsigned long long written = 0;
    while (written < target) {
        const unsigned long long want = target - written;
        if (want >= n) {
            put(text, n);
            written += n;
            continue;
        }
        /* Finish the line that crosses the target. */
        const unsigned char *lf = memchr(text + want - 1, '\n', n - (size_t)want + 1);
        const size_t take = lf != NULL ? (size_t)(lf - text) + 1 : n;
        put(text, take);
        written += take;
    }
    free(text);
    if (fflush(stdout) != 0) die("write");
    return 0;
}

static int reshape(const char *path, size_t len, unsigned long long target) {
    size_t n = 0;
    unsigned char *text = slurp(path, &n);
    if (text == NULL) {
        fprintf(stderr, "qelcorpus: %s: unreadable\n", path);
        return 1;
    }
    /* The stream of line contents, line ends left out. */
    size_t m = 0;
    for (size_t i = 0; i < n; ++i) {
        if (text[i] != '\n' && text[i] != '\r') text[m++] = text[i];
    }
    if (m == 0 || len == 0) {
        fprintf(stderr, "qelcorpus: %s: no text to reshape\n", path);
        return 1;
    }
    unsigned char *line = malloc(len + 1);
    if (line == NULL) die("malloc");
    size_t pos = 0;
    unsigned long long written = 0;
    while (written < target) {
        for (size_t i = 0; i < len; ++i) line[i] = text[(pos + i) % m];
        if (line_marked(line, len)) {
            pos = (pos + 1) % m;
            continue;
        }
        line[len] = '\n';
        put(line, len + 1);
        written += len + 1;
        pos = (pos + len) % m;
    }
    free(line);
    free(text);
    if (fflush(stdout) != 0) die("write");
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "collect") == 0) return collect();
    if (argc == 4 && strcmp(argv[1], "cycle") == 0) return cycle(argv[2], strtoull(argv[3], NULL, 10));
    if (argc == 5 && strcmp(argv[1], "reshape") == 0) {
        return reshape(argv[2], (size_t)strtoull(argv[3], NULL, 10), strtoull(argv[4], NULL, 10));
    }
    usage();
    return 2;
}
