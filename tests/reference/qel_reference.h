// A small, deliberately plain model of the record format and of the stream
// encoder and decoder, written from the format rules alone and sharing no
// code with the library. Every C++ test works out its expected records,
// results and line numbers with it, one byte at a time with std::string.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qel_ref {

// The alphabet as 188 hex digits, entry 0 first.
inline constexpr char kAlphabetHex[] =
    "633d762d2c7e5e5360575b232a7d52595a464d40433571303637626d64443c264c2561"
    "39214128382f6b4e79455068275c787456674a6f77324f697055296a425f5d513f663b"
    "3158543a223e72657c496c6e75242b47484b737b337a2e34";

inline int hex_digit(char h) { return h <= '9' ? h - '0' : h - 'a' + 10; }

// Alphabet entry e, 0 <= e < 94.
inline unsigned char alphabet(int e) {
    return static_cast<unsigned char>(hex_digit(kAlphabetHex[2 * e]) * 16 + hex_digit(kAlphabetHex[2 * e + 1]));
}

// The whole alphabet, entry 0 first.
inline const std::string &alphabet() {
    static const std::string a = [] {
        std::string out;
        for (int e = 0; e < 94; ++e) out += static_cast<char>(alphabet(e));
        return out;
    }();
    return a;
}

// The shift increment that a build with step selector k writes.
inline int shift_of(uint32_t k) { return static_cast<int>((2u * k) % 9u + 1u); }

#ifdef QEL_TEST_STEP_SELECTOR
// The shift of the build under test.
inline int build_shift() { return shift_of(QEL_TEST_STEP_SELECTOR); }
#endif

inline char step_mark(int s) { return static_cast<char>(alphabet(s + 16)); }

// Entry number of a byte in the alphabet, or -1.
inline int entry_of(unsigned char b) {
    const size_t at = alphabet().find(static_cast<char>(b));
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

// First two bytes both below 128 and adding up to 159.
inline bool carries_mark(std::string_view t) {
    if (t.size() < 2) return false;
    const int b0 = static_cast<unsigned char>(t[0]);
    const int b1 = static_cast<unsigned char>(t[1]);
    return b0 < 128 && b1 < 128 && b0 + b1 == 159;
}

// One LF, or one CR LF, comes off the end.
inline std::string_view trim_line_end(std::string_view t) {
    if (!t.empty() && t.back() == '\n') {
        t.remove_suffix(1);
        if (!t.empty() && t.back() == '\r') t.remove_suffix(1);
    }
    return t;
}

inline std::string trim(std::string_view t) { return std::string(trim_line_end(t)); }

// The record of a text whose line end is already gone (no NUL inside):
// header, one body byte per text byte, and a line feed unless the text ends
// with one.
inline std::string encode_text(std::string_view text, int s) {
    const size_t n = text.size();
    std::string r;
    r += static_cast<char>(32 + n % 94);
    r += static_cast<char>(127 - n % 94);
    r += step_mark(s);
    for (size_t i = 0; i < n; ++i) {
        const int c = static_cast<unsigned char>(text[i]);
        if (c >= 32 && c <= 126) {
            r += static_cast<char>(alphabet(static_cast<int>(((c - 32) + s * static_cast<int>(i + 1)) % 94)));
        } else {
            r += static_cast<char>(c);
        }
    }
    if (n == 0 || text.back() != '\n') r += '\n';
    return r;
}

// What a record of this trimmed text decodes to: the text with every tilde
// read as a space, followed by one line feed.
inline std::string decoded(std::string_view trimmed_text) {
    std::string d(trimmed_text);
    for (char &c : d)
        if (c == '~') c = ' ';
    return d + '\n';
}

struct Outcome {
    std::string out;    // bytes written to the destination
    int32_t status = 0;
    uint64_t line = 0;
    size_t piece_start = 0;  // input bytes before the piece it stopped at
};

// A source as the model reads it: bytes, then either the end of input or,
// when fail_at is set, a read error at that offset.
struct Source {
    std::string_view bytes;
    std::optional<size_t> fail_at;

    enum { kEnd = -1, kError = -2 };
    int at(size_t i) const {
        if (fail_at && i >= *fail_at) return kError;
        if (i >= bytes.size()) return kEnd;
        return static_cast<unsigned char>(bytes[i]);
    }
};

inline constexpr size_t kEncodePiece = 507;
inline constexpr size_t kDecodeLine = 512;

// Decodes one record that may still hold its line end. Status 1 with the
// text plus one LF, or the refusing status.
inline std::pair<int32_t, std::string> decode_record(std::string_view rec) {
    if (!carries_mark(rec)) return {10, {}};
    if (rec.size() < 3) return {13, {}};
    const int mark_entry = entry_of(static_cast<unsigned char>(rec[2]));
    if (mark_entry < 17 || mark_entry > 25) return {13, {}};
    const int s = mark_entry - 16;
    const bool ends_lf = rec.back() == '\n';
    std::string body(rec.substr(3, rec.size() - 3 - (ends_lf ? 1 : 0)));
    const size_t m = static_cast<unsigned char>(rec[0]) - 32u;
    const size_t len = body.size();
    if (len % 94 == m) {
    } else if (len > 0 && body.back() == '\r' && (len - 1) % 94 == m) {
        body.pop_back();
    } else if (ends_lf && (len + 1) % 94 == m) {
        body += '\n';
    } else {
        return {13, {}};
    }
    if (body.size() > 507) return {13, {}};  // no encoder writes a longer body
    std::string text;
    for (size_t i = 0; i < body.size(); ++i) {
        const int b = static_cast<unsigned char>(body[i]);
        if (b == ' ') return {13, {}};
        if (b >= 33 && b <= 126) {
            int e = (entry_of(static_cast<unsigned char>(b)) - s * static_cast<int>(i + 1)) % 94;
            if (e < 0) e += 94;
            text += static_cast<char>(32 + e);
        } else {
            text += static_cast<char>(b);
        }
    }
    return {1, text + '\n'};
}

// Both stream operations: pieces of a source, in order, until a stop.
// Encoding: a piece ends after the first LF or after 507 bytes, and an LF
// right after a full piece joins it. Decoding: a line of at most 512 bytes;
// any byte after a full one makes it a damaged record.
inline Outcome run(const Source &src, bool decode, bool force, int s) {
    Outcome o;
    const size_t limit = decode ? kDecodeLine : kEncodePiece;
    size_t pos = 0;
    uint64_t lines = 0;
    bool at_line_start = true;
    for (;;) {
        const uint64_t current = at_line_start ? lines + 1 : lines;
        o.piece_start = pos;
        auto stop = [&](int32_t status, uint64_t line) {
            o.status = status;
            o.line = line;
            return o;
        };
        std::string piece;
        bool lf = false;
        while (piece.size() < limit) {
            const int c = src.at(pos);
            if (c == Source::kError) return stop(4, current);
            if (c == Source::kEnd) break;
            piece += static_cast<char>(c);
            ++pos;
            if (c == '\n') {
                lf = true;
                break;
            }
        }
        bool overlong = false;
        if (piece.size() == limit && !lf) {
            const int c = src.at(pos);
            if (c == Source::kError) return stop(4, current);
            if (c != Source::kEnd) {
                if (!decode && c == '\n') {
                    piece += '\n';
                    ++pos;
                    lf = true;
                } else if (decode) {
                    overlong = true;
                }
            }
        }
        if (piece.empty()) return lines == 0 ? stop(6, 0) : stop(1, lines);
        lines = current;
        at_line_start = lf;
        if (piece.find('\0') != std::string::npos) return stop(12, current);
        if (decode) {
            if (overlong) return stop(13, current);
            auto [st, text] = decode_record(piece);
            if (st != 1) return stop(st, current);
            o.out += text;
        } else {
            const std::string_view text = trim_line_end(piece);
            if (!force && carries_mark(text)) return stop(9, current);
            o.out += encode_text(text, s);
        }
    }
}

inline Outcome encode_stream(std::string_view src, bool force, int s, std::optional<size_t> fail_at = {}) {
    return run(Source{src, fail_at}, false, force, s);
}

inline Outcome decode_stream(std::string_view src, std::optional<size_t> fail_at = {}) {
    return run(Source{src, fail_at}, true, false, 0);
}

// What an encode and decode round trip gives back: every piece of every
// line as a line of its own, without its CR LF, with tildes as spaces.
inline std::string round_trip_text(std::string_view src) {
    std::string out;
    size_t i = 0;
    while (i < src.size()) {
        const size_t lf = src.find('\n', i);
        size_t take = lf == std::string_view::npos ? src.size() - i : lf - i + 1;
        if (take > kEncodePiece) take = kEncodePiece + (src[i + kEncodePiece] == '\n' ? 1 : 0);
        std::string text(trim_line_end(src.substr(i, take)));
        for (char &c : text) {
            if (c == '~') c = ' ';
        }
        out += text + '\n';
        i += take;
    }
    return out;
}

// --- hand-worked vectors ------------------------------------------------------

// One line of vectors.txt: OPERATION S "TEXT" "RECORD" (see the file's header).
struct Vector {
    std::string operation;
    int s = 0;
    std::string text, record;
};

// Reads one quoted field at p, with its escapes; false when it is malformed.
inline bool read_quoted(const char *&p, std::string &out) {
    if (*p != '"') return false;
    for (++p; *p != '"'; ++p) {
        if (*p == '\0' || *p == '\n') return false;
        if (*p != '\\') {
            out += *p;
            continue;
        }
        ++p;
        switch (*p) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case '\\': out += '\\'; break;
            case '"': out += '"'; break;
            case 'x': {
                if (!isxdigit(static_cast<unsigned char>(p[1])) || !isxdigit(static_cast<unsigned char>(p[2])))
                    return false;
                const char hex[3] = {p[1], p[2], '\0'};
                out += static_cast<char>(strtol(hex, nullptr, 16));
                p += 2;
                break;
            }
            default: return false;
        }
    }
    ++p;
    return true;
}

// The vectors of one operation in the file at path; an unreadable file or a
// malformed line gives an empty list (tests assert that it is not empty).
inline std::vector<Vector> load_vectors(const char *path, std::string_view operation) {
    std::vector<Vector> found;
    FILE *f = fopen(path, "r");
    if (f == nullptr) return {};
    char line[1024];
    bool ok = true;
    while (ok && fgets(line, sizeof line, f) != nullptr) {
        if (line[0] == '#' || line[0] == '\n') continue;
        Vector v;
        const char *p = line;
        while (*p != ' ' && *p != '\0') v.operation += *p++;
        char *end = nullptr;
        v.s = static_cast<int>(strtol(p, &end, 10));
        p = end;
        ok = *p++ == ' ' && read_quoted(p, v.text) && *p++ == ' ' && read_quoted(p, v.record);
        if (ok && v.operation == operation) found.push_back(v);
    }
    fclose(f);
    return ok ? found : std::vector<Vector>{};
}

#ifdef QEL_TEST_VECTORS
inline std::vector<Vector> vectors(std::string_view operation) { return load_vectors(QEL_TEST_VECTORS, operation); }
#endif

}  // namespace qel_ref
