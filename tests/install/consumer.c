/* A program outside the project: encodes one line with the installed
 * library, decodes the record again, and prints the version it was built
 * against (and QEL_STATIC when it was built for the static library), the
 * record and the decoded text. */
#include <qelcode.h>
#include <stdio.h>
#include <string.h>

#ifdef QEL_STATIC
#define LINKAGE " QEL_STATIC"
#else
#define LINKAGE ""
#endif

int main(void) {
    char buf[QEL_RECORD_BUFFER_SIZE];
    int32_t status = QEL_STATUS_INIT;

    printf("%d.%d.%d %s%s\n", QEL_VERSION_MAJOR, QEL_VERSION_MINOR, QEL_VERSION_PATCH, QEL_VERSION_STRING, LINKAGE);
    strcpy(buf, "Hello\n");
    if (!QEL_EncodeRecord(stdout, buf, &status) || !QEL_DecodeRecord(stdout, buf, &status)) {
        fprintf(stderr, "consumer: %s\n", QEL_RtnCodeStr(status));
        return 1;
    }
    return fflush(stdout) == 0 ? 0 : 1;
}
