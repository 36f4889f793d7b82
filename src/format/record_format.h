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

// Length of the text of a line whose m bytes stand before its line feed:
// a CR right before the line feed is part of the line end. Always inlined:
// the line engine's batches call it for every line.
inline __attribute__((always_inline)) size_t text_before_line_feed(const unsigned char *line, size_t m) {
    return m != 0 && line[m - 1] == '\r' ? m - 1 : m;
}

// Length of a text once its line end is removed: one LF, or one CR LF.
// A CR with no LF after it stays.
// ends_with_lf must tell whether text[len - 1] is a line feed.
inline size_t trim_line_end(const unsigned char *text, size_t len, bool ends_with_lf) {
    return ends_with_lf ? text_before_line_feed(text, len - 1) : len;
}

inline size_t trim_line_end(const unsigned char *text, size_t len) {
    return trim_line_end(text, len, len > 0 && text[len - 1] == '\n');
}

// n mod 94, without a division for the many texts shorter than 94 bytes.
constexpr size_t cycle_mod(size_t n) { return n < static_cast<size_t>(kCycle) ? n : n % kCycle; }

// Whether an n-byte text (its line end removed) becomes a record:
// QEL_RTN_SOURCE_ENCODED when it carries the mark and is not forced,
// QEL_RTN_LINE_TOO_LONG when it is longer than a record holds, else
// QEL_RTN_SUCCESSFUL. (The stream functions cut their pieces to fit, so
// only the record function meets a text too long.)
inline int32_t text_refusal(const unsigned char *text, size_t n, bool force) {
    if (!force && carries_mark(text, n)) return QEL_RTN_SOURCE_ENCODED;
    if (n > kMaxText) return QEL_RTN_LINE_TOO_LONG;
    return QEL_RTN_SUCCESSFUL;
}

// Writes the three header bytes of a record of an n-byte text.
constexpr void put_header(unsigned char *out, size_t n) {
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
    for (size_t n = 0; n <= kMaxText; ++n) put_header(t.at[n], n);
    return t;
}

inline constexpr HeaderTable kHeaders = make_header_table();

// Where a record's body lies and how it was shifted.
struct RecordShape {
    size_t body_len;  // bytes of body from offset 3, a line feed it carries included
    int shift;        // 1..9, named by the step mark
};

// What the header of the record rec[0, len) says, for every decoder: the
// shift its step mark names (1..9) and its length mark's n mod 94, with
// QEL_RTN_SUCCESSFUL; QEL_RTN_SOURCE_NOT_ENCODED for a line without the
// mark; QEL_RTN_RECORD_DAMAGED for a header cut short or a step mark that
// names no shift.
struct Header {
    int32_t code;
    int shift;
    size_t length_mod;
};

inline Header read_header(const unsigned char *rec, size_t len) {
    if (!carries_mark(rec, len)) return Header{QEL_RTN_SOURCE_NOT_ENCODED, 0, 0};
    if (len < 3) return Header{QEL_RTN_RECORD_DAMAGED, 0, 0};
    const int s = shift_of_step_mark(rec[2]);
    if (s == 0) return Header{QEL_RTN_RECORD_DAMAGED, 0, 0};
    return Header{QEL_RTN_SUCCESSFUL, s, static_cast<size_t>(rec[0] - 32)};  // rec[0] >= 32 by the mark
}

// Checks the header and length of the record rec[0, len), given with or
// without its line end. Answers QEL_RTN_SUCCESSFUL and fills *shape,
// QEL_RTN_SOURCE_NOT_ENCODED, or QEL_RTN_RECORD_DAMAGED. The body itself is
// not looked at.
//
// A body's length may disagree with its length mark in two ways that a
// record picks up on its way and that are taken back here: a CR before the
// line feed (a CR LF text stream), and a line feed the plain text itself
// ended with, which is the record's last byte.
inline int32_t parse_record(const unsigned char *rec, size_t len, RecordShape *shape) {
    const Header h = read_header(rec, len);
    if (h.code != QEL_RTN_SUCCESSFUL) return h.code;

    const bool ends_with_lf = rec[len - 1] == '\n';
    const unsigned char *body = rec + 3;
    size_t body_len = len - 3 - (ends_with_lf ? 1 : 0);
    const size_t length_mod = h.length_mod;

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
    *shape = RecordShape{body_len, h.shift};
    return QEL_RTN_SUCCESSFUL;
}

}  // namespace qel
