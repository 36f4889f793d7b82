/*
 * The plainest way to write the encoder, kept as a speed reference: fgets
 * into a 512-byte buffer, the line end cut off, one modulo per byte to find
 * the alphabet entry, and one fprintf("%s") per record. Reads standard
 * input, writes standard output.
 *
 * It handles what the benchmark's files hold and no more: it does not stop
 * at NUL bytes nor at lines that already carry the encoded mark. A line
 * longer than 507 bytes is cut into pieces of 507 as the library does (a
 * line feed right after a full piece belongs to it), so its output can be
 * compared byte for byte with the library's.
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#ifndef QEL_STEP_SELECTOR
#define QEL_STEP_SELECTOR 2u
#endif

static const char kAlphabet[] =
    "c=v-,~^S`W[#*}RYZFM@C5q067bmdD<&L%a9!A(8/kNyEPh'\\xtVgJow2OipU)jB_]Q?f;1XT:\">re|Ilnu$+GHKs{3z.4";

int main(void) {
    const unsigned shift = (unsigned)((2ull * (uint64_t)(QEL_STEP_SELECTOR)) % 9u) + 1u;
    char line[512];
    char record[512];

    /* At most 507 bytes a piece, so the record with its line feed and NUL fits 512. */
    while (fgets(line, 508, stdin) != NULL) {
        size_t n = strlen(line);
        if (n > 0 && line[n - 1] == '\n') {
            line[--n] = '\0';
            if (n > 0 && line[n - 1] == '\r') line[--n] = '\0';
        } else if (n == 507) {
            const int c = getchar();
            if (c == '\n') {
                if (line[n - 1] == '\r') line[--n] = '\0';
            } else if (c != EOF) {
                ungetc(c, stdin);
            }
        }

        record[0] = (char)(32 + n % 94);
        record[1] = (char)(127 - n % 94);
        record[2] = kAlphabet[shift + 16];
        for (size_t i = 0; i < n; ++i) {
            const unsigned char c = (unsigned char)line[i];
            if (c >= 32 && c <= 126) {
                record[3 + i] = kAlphabet[((c - 32u) + shift * (i + 1)) % 94];
            } else {
                record[3 + i] = (char)c;
            }
        }
        record[3 + n] = '\n';
        record[4 + n] = '\0';
        fprintf(stdout, "%s", record);
    }
    return ferror(stdin) ? 1 : 0;
}
