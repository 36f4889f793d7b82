// QEL_DecodeRecord on arbitrary bytes (cut at the first NUL) in a heap
// buffer of exactly strlen + 1 bytes. Decodes in place and to a stream and
// checks that both agree, that a failure leaves the text alone, and that a
// success gives a shorter text ending with one line feed.
#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz_support.h"

namespace {

RecordOutcome decode(const std::string &text, FILE *dest) {
    return call_record(QEL_DecodeRecord, text, text.size() + 1, dest);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));

    const RecordOutcome in_place = decode(text, nullptr);
    check_result(in_place.result, in_place.status);

    MemSink sink;
    const RecordOutcome streamed = decode(text, sink.file());
    FUZZ_CHECK(streamed.status == in_place.status);
    FUZZ_CHECK(streamed.buffer == in_place.buffer);

    switch (in_place.status) {
        case QEL_RTN_SUCCESSFUL: {
            FUZZ_CHECK(carries_mark(text));
            const std::string &plain = in_place.buffer;
            FUZZ_CHECK(plain.size() < text.size());
            FUZZ_CHECK(!plain.empty() && plain.back() == '\n');
            // the length mark names the text's length mod 94
            const size_t n = plain.size() - 1;
            FUZZ_CHECK(static_cast<unsigned char>(text[0]) == n % 94 + 32);
            // bytes outside 32..126 pass unchanged; the others decode to 32..125
            for (size_t i = 0; i < n; ++i) {
                const unsigned e = static_cast<unsigned char>(text[3 + i]);
                const unsigned c = static_cast<unsigned char>(plain[i]);
                if (e < 32 || e > 126) {
                    FUZZ_CHECK(c == e);
                } else {
                    FUZZ_CHECK(e != 32 && c >= 32 && c <= 125);
                }
            }
            FUZZ_CHECK(sink.contents() == plain);
            break;
        }
        case QEL_RTN_SOURCE_NOT_ENCODED:
            FUZZ_CHECK(!carries_mark(text));
            FUZZ_CHECK(in_place.buffer == text);
            FUZZ_CHECK(sink.contents().empty());
            break;
        case QEL_RTN_RECORD_DAMAGED:
            FUZZ_CHECK(carries_mark(text));
            FUZZ_CHECK(in_place.buffer == text);
            FUZZ_CHECK(sink.contents().empty());
            break;
        default:
            FUZZ_FAIL("unexpected status");
    }
    return 0;
}
