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

// Builds the record of a trimmed text of n <= kMaxText bytes into out, which
// holds at least n + 5 bytes, and NUL-terminates it. Returns the record's
// length without the NUL. text and out must not overlap.
size_t encode_record(const unsigned char *text, size_t n, unsigned char *out);

// Reads the record rec[0, len), with or without its line end, and writes
// the decoded text followed by one line feed to out (no NUL). out may be rec
// itself; otherwise it holds at least len bytes. Returns a status code; on
// anything but success out is untouched and *out_len is not set.
int32_t decode_record(const unsigned char *rec, size_t len, unsigned char *out, size_t *out_len);

}  // namespace qel
