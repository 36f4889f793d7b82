// Record layout: the encoded mark, line ends, and building and reading records.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace qel {

// Longest text that fits one record, and the largest record in memory with
// its line feed and NUL.
inline constexpr size_t kMaxText = 507;
inline constexpr size_t kRecordBufferSize = 512;

// True when a text counts as already encoded: its first two bytes, read as
// signed 8-bit values b0 and b1, satisfy b0 - 32 == 127 - b1 (so both are
// below 128 and add up to 159). A text shorter than two bytes never does.
inline bool carries_mark(const unsigned char *text, size_t len) {
    if (len < 2) return false;
    const int b0 = static_cast<signed char>(text[0]);
    const int b1 = static_cast<signed char>(text[1]);
    return b0 - 32 == 127 - b1;
}

// Length of a text once its line end is removed: one LF, or one CR LF.
// A CR with no LF after it stays.
inline size_t trim_line_end(const unsigned char *text, size_t len) {
    if (len > 0 && text[len - 1] == '\n') {
        --len;
        if (len > 0 && text[len - 1] == '\r') --len;
    }
    return len;
}

struct BuiltRecord {
    size_t len;     // bytes of the record, its line feed included
    unsigned seen;  // what the body kernel saw (kSawNul)
};

// Builds the record of a trimmed text of n <= kMaxText bytes into out, which
// holds at least n + 4 bytes. No NUL is added. text and out must not overlap.
BuiltRecord encode_record(const unsigned char *text, size_t n, unsigned char *out);

// Where a record's body lies and how it was shifted.
struct RecordShape {
    size_t body_len;  // bytes of body from offset 3, a line feed it carries included
    int shift;        // 1..9, named by the step mark
};

// Checks the header and length of the record rec[0, len), given with or
// without its line end. Answers QEL_RTN_SUCCESSFUL and fills *shape,
// QEL_RTN_SOURCE_NOT_ENCODED, or QEL_RTN_RECORD_DAMAGED. The body itself is
// not looked at.
int32_t parse_record(const unsigned char *rec, size_t len, RecordShape *shape);

}  // namespace qel
