// Round trip through the stream functions: for a source without NUL whose
// lines fit a record (at most 507 bytes before the line feed, a CR among
// them, since the encoder cuts a piece after 507 bytes), decoding the
// encoding gives the source back with every tilde as a space, every CR LF
// as LF, and a line feed at the end. The expectation is worked out here
// from those rules alone.
#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz_support.h"

namespace {

// Splits the source into lines; false when one does not fit a record.
bool expected_round_trip(const std::string &src, std::string *out) {
    size_t start = 0;
    while (start < src.size()) {
        size_t end = src.find('\n', start);
        const bool has_lf = end != std::string::npos;
        if (!has_lf) end = src.size();
        std::string line = src.substr(start, end - start);
        if (line.size() > QEL_MAX_TEXT_LENGTH) return false;
        if (has_lf && !line.empty() && line.back() == '\r') line.pop_back();
        for (char &c : line) {
            if (c == '~') c = ' ';
        }
        *out += line;
        *out += '\n';
        start = end + 1;
    }
    return true;
}

std::string run(int32_t (*fn)(FILE *, FILE *, uint32_t, uint64_t *, int32_t *), const std::string &in,
                uint32_t flags) {
    FILE *src = fmemopen(const_cast<char *>(in.data()), in.size(), "rb");
    FUZZ_CHECK(src != nullptr);
    MemSink sink;
    int32_t status = QEL_RTN_SUCCESSFUL;
    const int32_t result = fn(sink.file(), src, flags, nullptr, &status);
    if (status != QEL_RTN_SUCCESSFUL) fprintf(stderr, "status %d: %s\n", status, QEL_RtnCodeStr(status));
    FUZZ_CHECK(result == 1 && status == QEL_RTN_SUCCESSFUL);
    fclose(src);
    return sink.contents();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || memchr(data, '\0', size) != nullptr) return 0;
    const std::string src(reinterpret_cast<const char *>(data), size);
    std::string expected;
    if (!expected_round_trip(src, &expected)) return 0;

    // QEL_FORCE: a line that happens to carry the encoded mark is still text.
    const std::string records = run(QEL_EncodeStream, src, QEL_FORCE);
    const std::string back = run(QEL_DecodeStream, records, 0);
    if (back != expected) {
        size_t at = 0;
        while (at < back.size() && at < expected.size() && back[at] == expected[at]) ++at;
        fprintf(stderr, "round trip gave %zu bytes, expected %zu; first difference at byte %zu\n", back.size(),
                expected.size(), at);
        FUZZ_FAIL("round trip differs");
    }
    return 0;
}
