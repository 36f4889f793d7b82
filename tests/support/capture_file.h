// Small stream helpers for the record tests: a temporary file whose written
// bytes can be read back, and a stream whose every write fails.
#pragma once

#include <stdio.h>

#include <string>

namespace qel_test {

// Everything written to f so far (f is left at its end).
inline std::string written_bytes(FILE *f) {
    fflush(f);
    const long end = ftell(f);
    std::string out;
    rewind(f);
    int c;
    while ((c = fgetc(f)) != EOF) out += static_cast<char>(c);
    fseek(f, end, SEEK_SET);
    return out;
}

// A temporary file, closed on scope exit.
struct TempFile {
    FILE *f = tmpfile();
    TempFile() = default;
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile() {
        if (f) fclose(f);
    }
};

// An unbuffered stream on /dev/full: every write reports an error.
struct FullDevice {
    FILE *f = fopen("/dev/full", "w");
    FullDevice() {
        if (f) setvbuf(f, nullptr, _IONBF, 0);
    }
    FullDevice(const FullDevice &) = delete;
    FullDevice &operator=(const FullDevice &) = delete;
    ~FullDevice() {
        if (f) {
            clearerr(f);
            fclose(f);
        }
    }
};

}  // namespace qel_test
