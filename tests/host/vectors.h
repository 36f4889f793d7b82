/*
 * The hand-worked vectors (tests/reference/vectors.txt): one a line,
 * OPERATION S "TEXT" "RECORD", with C escapes in the quoted fields.
 */
#ifndef QEL_TEST_VECTORS_H
#define QEL_TEST_VECTORS_H

#include <stddef.h>

typedef struct {
    char operation[32];
    int s;
    unsigned char text[1024], record[1024];
    size_t text_n, record_n;
} Vector;

/* Parses one line; 0 for a comment or an empty line, -1 when malformed. */
int parse_vector(const char *line, Vector *v);

#endif
