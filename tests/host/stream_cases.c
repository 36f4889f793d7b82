/*
 * The stream cases: QEL_EncodeStream and QEL_DecodeStream over files set up
 * in every way that changes what a stream's buffer shows, each case's
 * results written out for a script to compare between two builds of the
 * library (a DLL with direct buffer access against the portable DLL of the
 * same C runtime, or against the Linux library).
 *
 *   HOST [--lib PATH] stream-cases TEXT RECORDS DIR
 *
 * TEXT is text to encode, RECORDS records to decode (with LF line ends);
 * DIR, which must exist, gets for each case CASE.dest (the destination's
 * file), CASE.rest (what the source still held after the call, read with
 * getc) and one line in report.txt: the return value, status, line count
 * and the source's position after the call. Cases whose name holds
 * "textmode" open a stream in text mode ("r", "w"), which only Windows
 * runtimes tell apart from binary mode.
 *
 * The sources: TEXT and RECORDS as given, RECORDS with CR LF line ends,
 * TEXT without its Ctrl-Z bytes (which a text-mode read takes as the end)
 * and then RECORDS, refused at the first record, and RECORDS then TEXT,
 * refused at the first line of text.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "checks.h"
#include "host.h"

/* How the streams stand when the call starts. */
enum {
    kSource = 1,  /* flags: the source stream */
    kDest = 2     /*        the destination stream */
};

typedef struct {
    const char *name;
    size_t buffer;   /* bytes of stdio buffer (setvbuf _IOFBF) for both streams; 0 keeps the runtime's */
    int warm;        /* a warm-up line, read with fgets and written with fputs before the call */
    int unbuffered;  /* kSource, kDest: setvbuf _IONBF */
    int unget;       /* 1: getc and ungetc of the same byte before the call; 2: of another byte */
    int text;        /* kSource, kDest: opened in text mode */
    int update;      /* kSource: written through "w+b", then seeked back to its start;
                        kDest: a file read with fgets through "r+b", then seeked where it stands */
} Setting;

static const Setting kSettings[] = {
    {"fresh", 0, 0, 0, 0, 0, 0},
    {"warm", 0, 1, 0, 0, 0, 0},
    {"buf1", 1, 0, 0, 0, 0, 0},
    {"buf7_warm", 7, 1, 0, 0, 0, 0},
    {"buf64", 64, 0, 0, 0, 0, 0},
    {"buf511_warm", 511, 1, 0, 0, 0, 0},
    {"buf512", 512, 0, 0, 0, 0, 0},
    {"buf513_warm", 513, 1, 0, 0, 0, 0},
    {"unbuffered_source", 0, 0, kSource, 0, 0, 0},
    {"unbuffered_dest_warm", 0, 1, kDest, 0, 0, 0},
    {"unbuffered_both", 0, 0, kSource | kDest, 0, 0, 0},
    {"ungetc", 0, 0, 0, 1, 0, 0},
    {"ungetc_warm", 0, 1, 0, 1, 0, 0},
    {"ungetc_other_byte", 0, 0, 0, 2, 0, 0},
    {"ungetc_unbuffered", 0, 0, kSource, 1, 0, 0},
    {"ungetc_buf7", 7, 0, 0, 1, 0, 0},
    {"textmode_source", 0, 0, 0, 0, kSource, 0},
    {"textmode_dest_warm", 0, 1, 0, 0, kDest, 0},
    {"textmode_both", 0, 0, 0, 0, kSource | kDest, 0},
    {"textmode_both_buf7_warm", 7, 1, 0, 0, kSource | kDest, 0},
    {"textmode_both_buf512", 512, 0, 0, 0, kSource | kDest, 0},
    {"textmode_ungetc", 0, 1, 0, 1, kSource | kDest, 0},
    {"update_source", 0, 0, 0, 0, 0, kSource},
    {"update_dest", 0, 0, 0, 0, 0, kDest},
    {"update_both_buf64", 64, 0, 0, 0, 0, kSource | kDest},
};

static const char kWarmUp[] = "a warm-up line\n";
/* What an updated destination holds before the call: its first line is
 * read, the rest written over. */
static const char kUpdateDest[] = "a line read before the call\nbytes the call writes over\n";

typedef struct {
    const char *name;
    int decode;
    unsigned char *data;
    size_t size;
} Source;

typedef struct {
    unsigned char *data;
    size_t size, cap;
} Bytes;

static int append(Bytes *b, const void *p, size_t n) {
    if (b->size + n > b->cap) {
        size_t cap = (b->size + n) * 2;
        unsigned char *grown = (unsigned char *)realloc(b->data, cap);
        if (grown == NULL) return 0;
        b->data = grown;
        b->cap = cap;
    }
    memcpy(b->data + b->size, p, n);
    b->size += n;
    return 1;
}

static int read_all(const char *path, Bytes *b) {
    FILE *f = fopen(path, "rb");
    /* Under a page: no stack probe, which a host built without the C
     * runtime's startup code (the clang-cl host) has none of. */
    unsigned char chunk[1024];
    size_t n;
    int ok = 1;
    if (f == NULL) return 0;
    while (ok && (n = fread(chunk, 1, sizeof chunk, f)) > 0) ok = append(b, chunk, n);
    ok = ok && !ferror(f);
    fclose(f);
    return ok;
}

static void path_of(char *out, size_t size, const char *dir, const char *name, const char *setting,
                    const char *ext) {
    snprintf(out, size, "%s/%s-%s.%s", dir, name, setting, ext);
}

/* Opens the case's source, its file holding src after any warm-up line;
 * a source opened for update is empty until prepare_source writes it. */
static FILE *open_source(const char *dir, const Source *src, const Setting *s) {
    char path[400];
    FILE *w;
    int ok;
    path_of(path, sizeof path, dir, src->name, s->name, "src");
    if (s->update & kSource) return fopen(path, "w+b");
    w = fopen(path, "wb");
    if (w == NULL) return NULL;
    ok = (!s->warm || fputs(kWarmUp, w) != EOF) && fwrite(src->data, 1, src->size, w) == src->size;
    if (fclose(w) != 0 || !ok) return NULL;
    return fopen(path, (s->text & kSource) ? "r" : "rb");
}

static FILE *open_dest(const char *dir, const Source *src, const Setting *s) {
    char path[400];
    path_of(path, sizeof path, dir, src->name, s->name, "dest");
    if (!(s->update & kDest)) return fopen(path, (s->text & kDest) ? "w" : "wb");
    if (!write_file(path, kUpdateDest, sizeof kUpdateDest - 1)) return NULL;
    return fopen(path, "r+b");
}

/* After the buffers are set: a source opened for update is written and
 * seeked back to its start (from writing to reading), a destination opened
 * for update has its first line read and is seeked where it stands (from
 * reading to writing). */
static int prepare_update(const Source *src, const Setting *s, FILE *in, FILE *out) {
    char line[80];
    if ((s->update & kSource) &&
        ((s->warm && fputs(kWarmUp, in) == EOF) || fwrite(src->data, 1, src->size, in) != src->size ||
         fseek(in, 0, SEEK_SET) != 0))
        return 0;
    if ((s->update & kDest) && (fgets(line, sizeof line, out) == NULL || fseek(out, 0, SEEK_CUR) != 0)) return 0;
    return 1;
}

/* Runs one case; 0 when a file could not be set up (a stream call's own
 * outcome is only reported). */
static int run_case(const char *dir, const Source *src, const Setting *s, FILE *report) {
    char path[400], line[80];
    char *src_buf = NULL, *dest_buf = NULL;
    FILE *in, *out, *rest;
    int32_t status = QEL_RTN_SUCCESSFUL, ret;
    uint64_t lines = 0;
    long pos;
    int c, ok = 1, refused = 0;

    in = open_source(dir, src, s);
    out = open_dest(dir, src, s);
    if (in == NULL || out == NULL) {
        printf("FAIL %s-%s: cannot set up the files\n", src->name, s->name);
        if (in) fclose(in);
        if (out) fclose(out);
        return 0;
    }
    /* The Windows runtimes refuse a buffer of 1 byte; the stream then keeps
     * its own, and the report says so. */
    if (s->buffer > 0) {
        src_buf = (char *)malloc(s->buffer);
        dest_buf = (char *)malloc(s->buffer);
        if (src_buf == NULL || dest_buf == NULL) ok = 0;
        if (ok && !(s->unbuffered & kSource)) refused |= setvbuf(in, src_buf, _IOFBF, s->buffer) != 0;
        if (ok && !(s->unbuffered & kDest)) refused |= setvbuf(out, dest_buf, _IOFBF, s->buffer) != 0;
    }
    if (ok && (s->unbuffered & kSource)) ok = setvbuf(in, NULL, _IONBF, 0) == 0;
    if (ok && (s->unbuffered & kDest)) ok = setvbuf(out, NULL, _IONBF, 0) == 0;
    ok = ok && prepare_update(src, s, in, out);
    if (ok && s->warm) ok = fgets(line, sizeof line, in) != NULL && strcmp(line, kWarmUp) == 0 &&
                            fputs(line, out) != EOF;
    if (ok && s->unget) {
        c = getc(in);
        ok = c != EOF && ungetc(s->unget == 1 ? c : '#', in) != EOF;
    }
    if (!ok) {
        printf("FAIL %s-%s: cannot set up the streams\n", src->name, s->name);
        fclose(in);
        fclose(out);
        free(src_buf);
        free(dest_buf);
        return 0;
    }

    ret = src->decode ? qel.decode_stream(out, in, 0, &lines, &status)
                      : qel.encode_stream(out, in, 0, &lines, &status);
    pos = ftell(in);
    path_of(path, sizeof path, dir, src->name, s->name, "rest");
    rest = fopen(path, "wb");
    if (rest == NULL) ok = 0;
    while (ok && (c = getc(in)) != EOF) ok = putc(c, rest) != EOF;
    if (rest != NULL && fclose(rest) != 0) ok = 0;
    fclose(in);
    if (fclose(out) != 0) ok = 0;
    free(src_buf);
    free(dest_buf);
    fprintf(report, "%s-%s: returned %ld, status %ld (%s), line %lu, source at %ld%s\n", src->name, s->name,
            (long)ret, (long)status, qel.rtn_code_str(status), (unsigned long)lines, pos,
            refused ? " (setvbuf refused the buffer size)" : "");
    if (!ok) printf("FAIL %s-%s: cannot write the results\n", src->name, s->name);
    return ok;
}

int run_stream_cases(const char *text_path, const char *records_path, const char *dir) {
    Bytes text = {NULL, 0, 0}, records = {NULL, 0, 0}, crlf = {NULL, 0, 0}, text_records = {NULL, 0, 0},
          records_text = {NULL, 0, 0};
    char path[400];
    FILE *report;
    size_t i, j, cases = 0;
    int ok = read_all(text_path, &text) && read_all(records_path, &records);

    for (i = 0; ok && i < records.size; ++i)
        ok = records.data[i] == '\n' ? append(&crlf, "\r\n", 2) : append(&crlf, records.data + i, 1);
    for (i = 0; ok && i < text.size; ++i)
        if (text.data[i] != 0x1A) ok = append(&text_records, text.data + i, 1);
    if (ok && text_records.size > 0 && text_records.data[text_records.size - 1] != '\n')
        ok = append(&text_records, "\n", 1);
    ok = ok && append(&text_records, records.data, records.size) && append(&records_text, records.data, records.size) &&
         append(&records_text, text.data, text.size);
    if (!ok) {
        printf("FAIL cannot read %s and %s\n", text_path, records_path);
        return 0;
    }
    {
        const Source sources[] = {
            {"encode_text", 0, text.data, text.size},
            {"encode_text_then_records", 0, text_records.data, text_records.size},
            {"decode_records", 1, records.data, records.size},
            {"decode_records_crlf", 1, crlf.data, crlf.size},
            {"decode_records_then_text", 1, records_text.data, records_text.size},
        };
        snprintf(path, sizeof path, "%s/report.txt", dir);
        report = fopen(path, "wb");
        if (report == NULL) {
            printf("FAIL cannot create %s\n", path);
            ok = 0;
        }
        for (i = 0; ok && i < sizeof sources / sizeof sources[0]; ++i)
            for (j = 0; j < sizeof kSettings / sizeof kSettings[0]; ++j, ++cases)
                if (!run_case(dir, &sources[i], &kSettings[j], report)) ok = 0;
        if (report != NULL && fclose(report) != 0) ok = 0;
    }
    free(text.data);
    free(records.data);
    free(crlf.data);
    free(text_records.data);
    free(records_text.data);
    if (ok) printf("%lu stream cases written to %s\n", (unsigned long)cases, dir);
    return ok;
}
