// Real streams for the stream tests: temporary files, pipes fed by a
// thread, sources whose reads fail after some bytes, and sample text and
// records.
#pragma once

#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif

#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <thread>

#include "qel_reference.h"

namespace streamio {

// A FILE* that closes itself.
class File {
public:
    File() = default;
    explicit File(FILE *f) : f_(f) {}
    File(File &&o) noexcept : f_(o.f_) { o.f_ = nullptr; }
    File &operator=(File &&o) noexcept {
        if (this != &o) {
            reset();
            f_ = o.f_;
            o.f_ = nullptr;
        }
        return *this;
    }
    ~File() { reset(); }
    void reset() {
        if (f_ != nullptr) fclose(f_);
        f_ = nullptr;
    }
    FILE *get() const { return f_; }
    operator FILE *() const { return f_; }

private:
    FILE *f_ = nullptr;
};

// An anonymous read/write file holding `bytes`, positioned at its start.
inline File temp_file(std::string_view bytes = {}) {
    FILE *f = tmpfile();
    if (f == nullptr) return File();
    if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
    fflush(f);
    rewind(f);
    return File(f);
}

// A new stream of its own on the same file, at its start, on which no I/O
// has been done yet (so setvbuf may still be called).
inline File reopened(const File &f) {
    if (f.get() == nullptr) return File();
    const int fd = dup(fileno(f));
    if (fd < 0) return File();
    lseek(fd, 0, SEEK_SET);
    return File(fdopen(fd, "r"));
}

// Everything in a file from its start; the position is left at the end.
inline std::string contents(FILE *f) {
    fflush(f);
    rewind(f);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    return out;
}

// Writes all of `bytes` to fd, then closes it.
inline void write_all_and_close(int fd, std::string bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
        if (w <= 0) break;
        done += static_cast<size_t>(w);
    }
    close(fd);
}

// The read end of a pipe as a FILE*, fed with `bytes` by a thread of its own.
class PipeSource {
public:
    explicit PipeSource(std::string bytes) {
        int fds[2];
        if (pipe(fds) != 0) return;
        file_ = File(fdopen(fds[0], "r"));
        writer_ = std::thread(write_all_and_close, fds[1], std::move(bytes));
    }
    ~PipeSource() {
        // Closing the read end first lets a blocked writer give up.
        file_.reset();
        if (writer_.joinable()) writer_.join();
    }
    FILE *get() const { return file_.get(); }

private:
    File file_;
    std::thread writer_;
};

// A read-only stream that hands out `bytes` up to fail_at and then reports a
// read error at every later read.
class FailingSource {
public:
    FailingSource(std::string bytes, size_t fail_at) : bytes_(std::move(bytes)), fail_at_(fail_at) {
        cookie_io_functions_t io{};
        io.read = &FailingSource::read;
        file_ = File(fopencookie(this, "r", io));
    }
    FILE *get() const { return file_.get(); }

private:
    static ssize_t read(void *cookie, char *buf, size_t size) {
        auto *self = static_cast<FailingSource *>(cookie);
        if (self->pos_ >= self->fail_at_) return -1;
        size_t n = self->fail_at_ - self->pos_;
        if (n > size) n = size;
        if (n > self->bytes_.size() - self->pos_) n = self->bytes_.size() - self->pos_;
        if (n == 0) return 0;  // the end of the bytes before the failing offset
        self->bytes_.copy(buf, n, self->pos_);
        self->pos_ += n;
        return static_cast<ssize_t>(n);
    }

    std::string bytes_;
    size_t fail_at_;
    size_t pos_ = 0;
    File file_;
};

// Waits up to timeout_ms for fd to deliver `want` bytes; returns what came.
inline std::string read_for(int fd, size_t want, int timeout_ms) {
    std::string got;
    char buf[4096];
    while (got.size() < want) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) break;
        const ssize_t r = read(fd, buf, sizeof buf);
        if (r <= 0) break;
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

// n printable bytes that start with no encoded mark and hold a tilde now and then.
inline std::string filler(size_t n, char seed = 'a') {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>(33 + (static_cast<size_t>(seed) + i * 7) % 94);
    if (n >= 2 && static_cast<unsigned char>(s[0]) + static_cast<unsigned char>(s[1]) == 159) s[0] = 'a';
    return s;
}

// Random lines: long ones, CR LF, tabs and other control bytes, DEL, high
// bytes, tildes; no NUL. Lines with the encoded mark only when `marks`.
inline std::string random_text(std::mt19937 &rng, size_t lines, bool marks) {
    std::string out;
    std::uniform_int_distribution<int> len_pick(0, 9);
    std::uniform_int_distribution<int> byte_pick(0, 99);
    for (size_t l = 0; l < lines; ++l) {
        const int kind = len_pick(rng);
        size_t len = kind < 6 ? rng() % 80 : kind < 8 ? 500 + rng() % 16 : rng() % 1600;
        std::string line;
        for (size_t i = 0; i < len; ++i) {
            const int b = byte_pick(rng);
            unsigned char c;
            if (b < 75) c = static_cast<unsigned char>(32 + rng() % 95);
            else if (b < 80) c = '~';
            else if (b < 85) c = static_cast<unsigned char>(1 + rng() % 31);
            else if (b < 88) c = 127;
            else c = static_cast<unsigned char>(128 + rng() % 128);
            if (c == '\n') c = '\t';
            line += static_cast<char>(c);
        }
        if (marks && rng() % 8 == 0) line = "OP" + line;
        if (!marks && line.size() >= 2 && static_cast<unsigned char>(line[0]) < 128 &&
            static_cast<unsigned char>(line[1]) < 128 &&
            static_cast<unsigned char>(line[0]) + static_cast<unsigned char>(line[1]) == 159) {
            line[0] = 'x';
        }
        out += line;
        const int end = static_cast<int>(rng() % 4);
        if (end == 0) out += "\r\n";
        else if (l + 1 < lines || end != 1) out += '\n';
    }
    return out;
}

// Records of random texts, some damaged, some longer than any record.
inline std::string random_records(std::mt19937 &rng) {
    std::string recs;
    const std::string text = random_text(rng, rng() % 30, true);
    size_t i = 0;
    while (i < text.size()) {
        const size_t lf = text.find('\n', i);
        size_t take = std::min<size_t>(lf == std::string::npos ? text.size() - i : lf - i + 1, qel_ref::kEncodePiece);
        std::string rec = qel_ref::encode_text(qel_ref::trim(text.substr(i, take)), 1 + static_cast<int>(rng() % 9));
        i += take;
        const auto damage = rng() % 25;
        if (damage == 0) rec[rng() % rec.size()] = ' ';
        if (damage == 1) rec.erase(rng() % rec.size(), 1);
        if (damage == 2) rec.insert(rec.size() - 1, std::string(rng() % 600, 'c'));
        if (damage == 3) rec[rng() % rec.size()] = '\0';
        recs += rec;
    }
    return recs;
}

}  // namespace streamio
