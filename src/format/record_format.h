// Record layout: the encoded mark, line ends, and building and reading records.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "format/alphabet.h"
#include "qelcode.h"

namespace qel {

// Longest text that fits one record, and the largest record in memory with
// its line feed and NUL.
inline constexpr size_t kMaxText = QEL_MAX_TEXT_LENGTH;
inline constexpr size_t kRecordBufferSize = QEL_RECORD_BUFFER_SIZE;
static_assert(kMaxText + 5 == kRecordBufferSize, "header, text, line feed and NUL");

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
// ends_with_lf must tell whether text[len - 1] is a line feed.
inline size_t trim_line_end(const unsigned char *text, size_t len, bool ends_with_lf) {
    if (ends_with_lf) {
        --len;
        if (len > 0 && text[len - 1] == '\r') --len;
    }
    return len;
}

inline size_t trim_line_end(const unsigned char *text, size_t len) {
    return trim_line_end(text, len, len > 0 && text[len - 1] == '\n');
}

// n mod 94, without a division for the many texts shorter than 94 bytes.
inline size_t cycle_mod(size_t n) { return n < static_cast<size_t>(kCycle) ? n : n % kCycle; }

// Writes the three header bytes of a record of an n-byte text.
inline void put_header(unsigned char *out, size_t n) {
    const unsigned length_mod = static_cast<unsigned>(cycle_mod(n));
    out[0] = static_cast<unsigned char>(32u + length_mod);
    out[1] = static_cast<unsigned char>(127u - length_mod);
    out[2] = kStepMark;
}

// The three header bytes of every text length 0..507, four bytes an entry
// so that one 4-byte copy writes a header; the fourth byte is overwritten
// by the body or the line feed that follows.
struct HeaderTable {
    unsigned char at[kMaxText + 1][4];
};

constexpr HeaderTable make_header_table() {
    HeaderTable t{};
    for (size_t n = 0; n <= kMaxText; ++n) {
        t.at[n][0] = static_cast<unsigned char>(32 + n % kCycle);
        t.at[n][1] = static_cast<unsigned char>(127 - n % kCycle);
        t.at[n][2] = kStepMark;
    }
    return t;
}

inline constexpr HeaderTable kHeaders = make_header_table();

// Where a record's body lies and how it was shifted.
struct RecordShape {
    size_t body_len;  // bytes of body from offset 3, a line feed it carries included
    int shift;        // 1..9, named by the step mark
};

// Checks the header and length of the record rec[0, len), given with or
// without its line end. Answers QEL_RTN_SUCCESSFUL and fills *shape,
// QEL_RTN_SOURCE_NOT_ENCODED, or QEL_RTN_RECORD_DAMAGED. The body itself is
// not looked at.
inline int32_t parse_record(const unsigned char *rec, size_t len, RecordShape *shape) {
    if (!carries_mark(rec, len)) return QEL_RTN_SOURCE_NOT_ENCODED;
    if (len < 3) return QEL_RTN_RECORD_DAMAGED;
    const int s = shift_of_step_mark(rec[2]);
    if (s == 0) return QEL_RTN_RECORD_DAMAGED;

    const bool ends_with_lf = rec[len - 1] == '\n';
    const unsigned char *body = rec + 3;
    size_t body_len = len - 3 - (ends_with_lf ? 1 : 0);
    const size_t length_mod = static_cast<size_t>(rec[0] - 32);  // rec[0] >= 32 by the mark

    if (cycle_mod(body_len) == length_mod) {
        // the body stands as it is
    } else if (body_len > 0 && body[body_len - 1] == '\r' && cycle_mod(body_len - 1) == length_mod) {
        --body_len;  // the record passed through a CR LF text stream
    } else if (ends_with_lf && cycle_mod(body_len + 1) == length_mod) {
        ++body_len;  // the plain text itself ended with a line feed
    } else {
        return QEL_RTN_RECORD_DAMAGED;
    }
    // No encoder writes a longer body, however well its length mark agrees.
    if (body_len > kMaxText) return QEL_RTN_RECORD_DAMAGED;
    *shape = RecordShape{body_len, s};
    return QEL_RTN_SUCCESSFUL;
}

}  // namespace qel
