// Calling QEL_EncodeRecord or QEL_DecodeRecord on a text the way a host
// does: in a buffer of the host's own, whose size the test chooses so that
// a write past it shows under the address sanitizer.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "qelcode.h"

namespace qel_test {

using RecordFn = int32_t (*)(FILE *, char *, int32_t *);

struct RecordOutcome {
    int32_t result;
    int32_t status;
    std::string buffer;  // the caller's buffer up to its NUL
};

// Runs fn on text, NUL-terminated, in a heap buffer of exactly `size` bytes
// (at least text.size() + 1) whose other bytes hold `fill`.
inline RecordOutcome call_record(RecordFn fn, std::string_view text, size_t size, FILE *dest = nullptr,
                                 int32_t status = QEL_RTN_SUCCESSFUL, char fill = '\0') {
    std::vector<char> buf(std::max(size, text.size() + 1), fill);  // allocated at exactly this size
    std::copy(text.begin(), text.end(), buf.begin());
    buf[text.size()] = '\0';
    const int32_t result = fn(dest, buf.data(), &status);
    return {result, status, std::string(buf.data())};
}

}  // namespace qel_test
