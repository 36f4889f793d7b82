#include "progress.h"

#include <errno.h>
#include <inttypes.h>
#include <unistd.h>

namespace qelcli {

namespace {

constexpr int64_t kIntervalNs = 250'000'000;  // at most four updates a second

int64_t ns_between(const timespec &a, const timespec &b) {
    return (static_cast<int64_t>(b.tv_sec) - a.tv_sec) * 1'000'000'000 + (b.tv_nsec - a.tv_nsec);
}

// A byte count in binary units: "512 B", "1.5 KiB", "20.0 GiB".
std::string amount(double bytes) {
    static const char *const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 6) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0) {
        snprintf(text, sizeof text, "%.0f B", bytes);
    } else {
        snprintf(text, sizeof text, "%.1f %s", bytes, kUnits[unit]);
    }
    return text;
}

}  // namespace

ProgressReader::~ProgressReader() { finish(); }

FILE *ProgressReader::open(int fd, const std::string &name, int64_t total, int64_t start) {
    fd_ = fd;
    name_ = name;
    total_ = total;
    start_ = done_ = start;
    clock_gettime(CLOCK_MONOTONIC, &began_);
    shown_ = began_;
    cookie_io_functions_t io {};
    io.read = [](void *cookie, char *buf, size_t size) -> ssize_t {
        return static_cast<ssize_t>(read_cookie(cookie, buf, size));
    };
    return fopencookie(this, "rb", io);
}

long ProgressReader::read_cookie(void *cookie, char *buf, size_t size) {
    auto *self = static_cast<ProgressReader *>(cookie);
    ssize_t n;
    do {
        n = read(self->fd_, buf, size);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        self->done_ += n;
        timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (ns_between(self->shown_, now) >= kIntervalNs) self->show(now);
    }
    return static_cast<long>(n);
}

void ProgressReader::show(const timespec &now) {
    shown_ = now;
    std::string line = "qelcode: " + name_ + ": " + amount(static_cast<double>(done_));
    if (total_ >= 0) {
        line += " of " + amount(static_cast<double>(total_));
        if (total_ > 0) {
            char percent[16];
            snprintf(percent, sizeof percent, " (%d%%)",
                     static_cast<int>(static_cast<double>(done_) * 100 / static_cast<double>(total_)));
            line += percent;
        }
    }
    const int64_t ns = ns_between(began_, now);
    if (ns > 0) {
        line += ", " + amount(static_cast<double>(done_ - start_) * 1e9 / static_cast<double>(ns)) + "/s";
    }
    const size_t width = line.size();
    if (width < width_) line.append(width_ - width, ' ');  // over the rest of a longer line
    width_ = width;
    fprintf(stderr, "\r%s", line.c_str());
    fflush(stderr);
}

void ProgressReader::finish() {
    if (fd_ < 0 || finished_) return;
    finished_ = true;
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    show(now);
    fputc('\n', stderr);
}

}  // namespace qelcli
