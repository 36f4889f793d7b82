/* Reading the hand-worked vectors: see vectors.h. */
#include <stdio.h>

#include "vectors.h"

static int hex_value(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* Reads one quoted field at *p, with its escapes; 0 when it is malformed. */
static int read_quoted(const char **p, unsigned char *out, size_t cap, size_t *n) {
    const char *q = *p;
    *n = 0;
    if (*q != '"') return 0;
    for (++q; *q != '"'; ++q) {
        int c = (unsigned char)*q;
        if (c == '\0' || c == '\n' || *n == cap) return 0;
        if (c == '\\') {
            ++q;
            switch (*q) {
                case 'n': c = '\n'; break;
                case 'r': c = '\r'; break;
                case 't': c = '\t'; break;
                case '\\': c = '\\'; break;
                case '"': c = '"'; break;
                case 'x':
                    if (hex_value(q[1]) < 0 || hex_value(q[2]) < 0) return 0;
                    c = hex_value(q[1]) * 16 + hex_value(q[2]);
                    q += 2;
                    break;
                default: return 0;
            }
        }
        out[(*n)++] = (unsigned char)c;
    }
    *p = q + 1;
    return 1;
}

int parse_vector(const char *line, Vector *v) {
    const char *p = line;
    int used = 0;
    if (line[0] == '#' || line[0] == '\n' || line[0] == '\0') return 0;
    if (sscanf(line, "%31s %d %n", v->operation, &v->s, &used) != 2 || used == 0) return -1;
    p = line + used;
    if (!read_quoted(&p, v->text, sizeof v->text, &v->text_n) || *p++ != ' ' ||
        !read_quoted(&p, v->record, sizeof v->record, &v->record_n))
        return -1;
    return 1;
}

