// Calling the stream functions in tests: what a call gives back, and the
// cases of where a source stands after a failure.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <ostream>
#include <string>

#include "qelcode.h"
#include "stream_io.h"

namespace streamcall {

// What `line` holds when a call leaves it alone.
constexpr uint64_t kUntouched = 0xDEADBEEFull;

struct Result {
    int32_t ret = -1;
    int32_t status = QEL_RTN_SUCCESSFUL;
    uint64_t line = kUntouched;
    std::string out;
};

using StreamFunction = int32_t (*)(FILE *, FILE *, uint32_t, uint64_t *, int32_t *);

// Runs fn from src into a fresh temporary file and collects what it wrote.
inline Result run(StreamFunction fn, FILE *src, uint32_t flags = 0) {
    Result r;
    streamio::File dest = streamio::temp_file();
    r.ret = fn(dest, src, flags, &r.line, &r.status);
    r.out = streamio::contents(dest);
    return r;
}

inline size_t count_lines(const std::string &s) {
    size_t n = 0;
    for (char c : s) n += c == '\n';
    return n;
}

// Where the source stands after a failure: just after the piece that failed.
struct PositionCase {
    const char *name;
    std::string src;
    int32_t status;
    long position;
};

inline void PrintTo(const PositionCase &c, std::ostream *os) { *os << c.name; }

}  // namespace streamcall
