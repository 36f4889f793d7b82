/*
 * Encodes a text file into records, or decodes records back into text:
 *
 *   encode_file IN OUT       encode
 *   encode_file -d IN OUT    decode
 *
 * Both files are opened in binary mode, and the FILEs come from the C
 * runtime of this program, which must be the DLL's (see README-Windows.txt).
 */
#include <stdio.h>
#include <string.h>

#include "qelcode.h"

int main(int argc, char **argv) {
    const int decode = argc == 4 && strcmp(argv[1], "-d") == 0;
    int32_t status = QEL_STATUS_INIT;   /* 1; a chain started at 0 would do nothing */
    uint64_t line = 0;
    FILE *in, *out;
    if (argc != 3 + decode) {
        fprintf(stderr, "usage: encode_file [-d] IN OUT\n");
        return 2;
    }
    in = fopen(argv[1 + decode], "rb");
    if (in == NULL) {
        fprintf(stderr, "cannot open %s\n", argv[1 + decode]);
        return 1;
    }
    out = fopen(argv[2 + decode], "wb");
    if (out == NULL) {
        fprintf(stderr, "cannot create %s\n", argv[2 + decode]);
        fclose(in);
        return 1;
    }
    if (decode)
        QEL_DecodeStream(out, in, 0, &line, &status);
    else
        QEL_EncodeStream(out, in, 0, &line, &status);
    fclose(in);
    if (fclose(out) != 0 && status == QEL_RTN_SUCCESSFUL) status = QEL_RTN_WRITE_ERROR;
    if (status != QEL_RTN_SUCCESSFUL) {
        fprintf(stderr, "%s, line %lu: %s\n", argv[1 + decode], (unsigned long)line, QEL_RtnCodeStr(status));
        return 1;
    }
    printf("%lu %s (qelcode %s)\n", (unsigned long)line, decode ? "records decoded" : "lines encoded",
           QEL_Version());
    return 0;
}
