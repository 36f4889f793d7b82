// Calling the stream functions in tests: what a call gives back, and the
// cases of where a source stands after a failure.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "qelcode.h"
#include "stream_io.h"

#include <memory>

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

// Where a case's source comes from.
enum class Kind { kFile, kPipe };

// How the streams stand when the call starts. A fresh stream has nothing
// buffered, so its first line is read byte by byte; after a warm-up line
// (read by the test from the source, and written to the destination before
// the call) the case's lines lie in the source's buffer and go to the
// destination's; small stdio buffers make lines cross buffer ends at every
// offset.
struct Setting {
    const char *name;
    size_t buffer;  // bytes of stdio buffer for both streams; 0 keeps stdio's own
    bool warm;
};

inline const Setting kSettings[] = {
    {"fresh", 0, false},   {"warm", 0, true},       {"buf1", 1, false},     {"buf7", 7, true},
    {"buf64", 64, false},  {"buf511", 511, true},   {"buf512", 512, false}, {"buf513", 513, true},
};

inline std::string setting_name(Kind kind, const Setting &s) {
    return std::string(kind == Kind::kFile ? "_file_" : "_pipe_") + s.name;
}

// Names a test of a table whose parameters are (case, kind, setting): the
// case's name, then the kind of stream and the setting.
struct CaseSettingName {
    template <class ParamInfo>
    std::string operator()(const ParamInfo &pi) const {
        return std::string(std::get<0>(pi.param).name) + setting_name(std::get<1>(pi.param), std::get<2>(pi.param));
    }
};

// Runs fn on a source holding `bytes`, as the setting says, and collects
// what it wrote after any warm-up.
inline Result run_in(StreamFunction fn, const std::string &bytes, Kind kind, const Setting &setting,
                     uint32_t flags = 0) {
    static const std::string kWarmUp = "a warm-up line\n";
    const std::string src_bytes = setting.warm ? kWarmUp + bytes : bytes;
    std::vector<char> src_buf(setting.buffer > 0 ? setting.buffer : 1), dest_buf(src_buf.size());
    auto set_buffer = [&](FILE *f, std::vector<char> &b) {
        if (setting.buffer > 0) setvbuf(f, b.data(), _IOFBF, setting.buffer);
    };

    Result r;
    streamio::File dest = streamio::temp_file();
    set_buffer(dest, dest_buf);
    streamio::File file_src;
    std::unique_ptr<streamio::PipeSource> pipe_src;
    FILE *src;
    if (kind == Kind::kFile) {
        const streamio::File written = streamio::temp_file(src_bytes);
        file_src = streamio::reopened(written);
        src = file_src;
    } else {
        pipe_src = std::make_unique<streamio::PipeSource>(src_bytes);
        src = pipe_src->get();
    }
    set_buffer(src, src_buf);
    if (setting.warm) {
        char line[64];
        if (fgets(line, sizeof line, src) == nullptr || line != kWarmUp) r.ret = -2;
        fputs(line, dest);
    }
    if (r.ret != -2) r.ret = fn(dest, src, flags, &r.line, &r.status);
    r.out = streamio::contents(dest);
    if (setting.warm) r.out.erase(0, kWarmUp.size());
    // The streams go before the buffers they use.
    file_src.reset();
    pipe_src.reset();
    dest.reset();
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
