// The progress of reading one input, shown on standard error: bytes done,
// the total and percent where the size is known, and the rate.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include <string>

namespace qelcli {

class ProgressReader {
public:
    ProgressReader() = default;
    ProgressReader(const ProgressReader &) = delete;
    ProgressReader &operator=(const ProgressReader &) = delete;
    ~ProgressReader();

    // A stream that reads the descriptor fd, as name, counting what it
    // reads; total is the input's size (of which start bytes are already
    // behind the descriptor's position), or -1 where it is not known. The
    // stream is unbuffered until the caller gives it a buffer. Returns
    // null with errno set on failure. The descriptor stays open.
    FILE *open(int fd, const std::string &name, int64_t total, int64_t start);

    // Shows the last figures and ends the line, once.
    void finish();

private:
    static long read_cookie(void *cookie, char *buf, size_t size);
    void show(const timespec &now);

    int fd_ = -1;
    std::string name_;
    int64_t total_ = -1;
    int64_t start_ = 0;
    int64_t done_ = 0;  // start_ and what was read since
    timespec began_ {};
    timespec shown_ {};
    size_t width_ = 0;  // of the line shown last, to clear it
    bool finished_ = false;
};

}  // namespace qelcli
