// Helpers shared by the fuzz targets.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "qelcode.h"

// Stops the run with a message; libFuzzer reports the input as a crash.
#define FUZZ_CHECK(cond)                                                          \
    do {                                                                          \
        if (!(cond)) {                                                            \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                              \
        }                                                                         \
    } while (0)

#define FUZZ_FAIL(msg)                                             \
    do {                                                           \
        fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, msg); \
        abort();                                                   \
    } while (0)

// A status a QEL_ function may leave behind: a defined code, never the two
// that are not produced.
inline bool known_status(int32_t s) {
    return s >= QEL_RTN_SUCCESSFUL && s <= QEL_RTN_RECORD_DAMAGED && s != QEL_RTN_SOURCE_ENCRYPTED &&
           s != QEL_RTN_SOURCE_NOT_ENCRYPTED;
}

// Returns 1 exactly when the status says SUCCESSFUL.
inline void check_result(int32_t result, int32_t status) {
    FUZZ_CHECK(known_status(status));
    FUZZ_CHECK(result == (status == QEL_RTN_SUCCESSFUL ? 1 : 0));
}

// The encoded mark: the first two bytes are both below 128 and add up to 159.
inline bool carries_mark(const std::string &t) {
    if (t.size() < 2) return false;
    const unsigned b0 = static_cast<unsigned char>(t[0]), b1 = static_cast<unsigned char>(t[1]);
    return b0 < 128 && b1 < 128 && b0 + b1 == 159;
}

// Collects what a QEL_ function writes to a stream.
class MemSink {
  public:
    MemSink() : file_(open_memstream(&data_, &size_)) { FUZZ_CHECK(file_ != nullptr); }
    ~MemSink() {
        if (file_ != nullptr) fclose(file_);
        free(data_);
    }
    MemSink(const MemSink &) = delete;
    MemSink &operator=(const MemSink &) = delete;

    FILE *file() { return file_; }
    std::string contents() {
        FUZZ_CHECK(fflush(file_) == 0);
        return std::string(data_, size_);
    }

  private:
    char *data_ = nullptr;
    size_t size_ = 0;
    FILE *file_;
};

// What a record call left: its result, the status and the caller's buffer
// up to its NUL.
struct RecordOutcome {
    int32_t result;
    int32_t status;
    std::string buffer;
};

// Runs QEL_EncodeRecord or QEL_DecodeRecord on text (no NUL inside) in a
// heap buffer of exactly `size` bytes, at least text.size() + 1, so that a
// write past it shows under the address sanitizer.
inline RecordOutcome call_record(int32_t (*fn)(FILE *, char *, int32_t *), const std::string &text, size_t size,
                                 FILE *dest) {
    FUZZ_CHECK(size > text.size());
    char *buf = static_cast<char *>(malloc(size));
    FUZZ_CHECK(buf != nullptr);
    memcpy(buf, text.c_str(), text.size() + 1);
    RecordOutcome o;
    o.status = QEL_RTN_SUCCESSFUL;
    o.result = fn(dest, buf, &o.status);
    o.buffer = buf;
    free(buf);
    return o;
}
