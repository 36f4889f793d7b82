// A deliberately plain model of the record format, written from the format
// rules alone, used to work out expected records in the tests. It shares no
// code with the library.
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>

namespace qel_ref {

// The alphabet as 188 hex digits, entry 0 first.
inline constexpr char kAlphabetHex[] =
    "633d762d2c7e5e5360575b232a7d52595a464d40433571303637626d64443c264c2561"
    "39214128382f6b4e79455068275c787456674a6f77324f697055296a425f5d513f663b"
    "3158543a223e72657c496c6e75242b47484b737b337a2e34";

inline int hex_digit(char h) { return h <= '9' ? h - '0' : h - 'a' + 10; }

// Alphabet entry e, 0 <= e < 94.
inline unsigned char alphabet(int e) {
    return static_cast<unsigned char>(hex_digit(kAlphabetHex[2 * e]) * 16 +
                                      hex_digit(kAlphabetHex[2 * e + 1]));
}

// The shift increment that a build with step selector k writes.
inline int shift_of(uint32_t k) { return static_cast<int>((2u * k) % 9u) + 1; }

// The shift of the build under test.
inline int build_shift() { return shift_of(QEL_TEST_STEP_SELECTOR); }

inline char step_mark(int s) { return static_cast<char>(alphabet(s + 16)); }

// The text with its line end (one LF, or one CR LF) removed.
inline std::string trim(std::string_view text) {
    std::string t(text);
    if (!t.empty() && t.back() == '\n') {
        t.pop_back();
        if (!t.empty() && t.back() == '\r') t.pop_back();
    }
    return t;
}

// True when the first two bytes are below 128 and add up to 159.
inline bool carries_mark(std::string_view text) {
    if (text.size() < 2) return false;
    const int b0 = static_cast<unsigned char>(text[0]);
    const int b1 = static_cast<unsigned char>(text[1]);
    return b0 < 128 && b1 < 128 && b0 + b1 == 159;
}

// The record of a trimmed text (no NUL inside) with shift s: header, one
// body byte per text byte, and a line feed unless the text ends with one.
inline std::string encode(std::string_view text, int s) {
    const long n = static_cast<long>(text.size());
    std::string r;
    r += static_cast<char>(n % 94 + 32);
    r += static_cast<char>(127 - n % 94);
    r += step_mark(s);
    for (long i = 0; i < n; ++i) {
        const int c = static_cast<unsigned char>(text[static_cast<size_t>(i)]);
        if (c >= 32 && c <= 126)
            r += static_cast<char>(alphabet(static_cast<int>(((c - 32) + s * (i + 1)) % 94)));
        else
            r += static_cast<char>(c);
    }
    if (n == 0 || text.back() != '\n') r += '\n';
    return r;
}

// What a record of this text decodes to: the text with every tilde read as
// a space, followed by one line feed.
inline std::string decoded(std::string_view trimmed_text) {
    std::string d(trimmed_text);
    for (char &c : d)
        if (c == '~') c = ' ';
    return d + '\n';
}

}  // namespace qel_ref
