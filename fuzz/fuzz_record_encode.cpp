// QEL_EncodeRecord on arbitrary text (cut at the first NUL) in a heap buffer
// of exactly the size the interface asks for, n + 5 bytes, so that writing
// one byte too many is caught. Encodes in place and to a stream and checks
// that both agree with each other and with the record format.
#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz_support.h"

namespace {

// Length of the text without one trailing LF or CR LF.
size_t trimmed_length(const std::string &t) {
    size_t n = t.size();
    if (n > 0 && t[n - 1] == '\n') {
        --n;
        if (n > 0 && t[n - 1] == '\r') --n;
    }
    return n;
}

// The caller's buffer holds n + 5 bytes: the record of the trimmed text
// with its line feed and NUL, and no more.
RecordOutcome encode(const std::string &text, size_t n, FILE *dest) {
    return call_record(QEL_EncodeRecord, text, n + 5, dest);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
    const size_t n = trimmed_length(text);
    const std::string plain = text.substr(0, n);

    const RecordOutcome in_place = encode(text, n, nullptr);
    check_result(in_place.result, in_place.status);

    MemSink sink;
    const RecordOutcome streamed = encode(text, n, sink.file());
    FUZZ_CHECK(streamed.status == in_place.status);
    FUZZ_CHECK(streamed.buffer == in_place.buffer);

    const bool marked = carries_mark(plain);
    switch (in_place.status) {
        case QEL_RTN_SUCCESSFUL: {
            FUZZ_CHECK(!marked && n <= QEL_MAX_TEXT_LENGTH);
            const std::string &rec = in_place.buffer;
            // header, n body bytes, and a line feed unless the body ends with one
            const bool body_ends_lf = n > 0 && plain[n - 1] == '\n';
            FUZZ_CHECK(rec.size() == 3 + n + (body_ends_lf ? 0 : 1));
            FUZZ_CHECK(rec.back() == '\n');
            const unsigned b0 = static_cast<unsigned char>(rec[0]), b1 = static_cast<unsigned char>(rec[1]);
            FUZZ_CHECK(b0 + b1 == 159);
            FUZZ_CHECK(b0 == n % 94 + 32);
            // bytes outside 32..126 pass unchanged; the others become graphic characters
            for (size_t i = 0; i < n; ++i) {
                const unsigned c = static_cast<unsigned char>(plain[i]);
                const unsigned e = static_cast<unsigned char>(rec[3 + i]);
                if (c < 32 || c > 126) {
                    FUZZ_CHECK(e == c);
                } else {
                    FUZZ_CHECK(e > 32 && e <= 126);
                }
            }
            FUZZ_CHECK(sink.contents() == rec);
            break;
        }
        case QEL_RTN_SOURCE_ENCODED:
            FUZZ_CHECK(marked);
            FUZZ_CHECK(in_place.buffer == plain);
            FUZZ_CHECK(sink.contents().empty());
            break;
        case QEL_RTN_LINE_TOO_LONG:
            FUZZ_CHECK(!marked && n > QEL_MAX_TEXT_LENGTH);
            FUZZ_CHECK(in_place.buffer == plain);
            FUZZ_CHECK(sink.contents().empty());
            break;
        default:
            FUZZ_FAIL("unexpected status");
    }
    return 0;
}
