#include "read_ahead.h"

#include <errno.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include <new>
#include <system_error>

namespace qelcli {

ReadAhead::~ReadAhead() { stop(); }

FILE *ReadAhead::open(int fd) {
    fd_ = fd;
    data_.reset(new (std::nothrow) char[kSlots * kBlockSize]);
    if (!data_) {
        errno = ENOMEM;
        return nullptr;
    }
    cookie_io_functions_t io {};
    io.read = [](void *cookie, char *buf, size_t size) -> ssize_t {
        return static_cast<ssize_t>(read_cookie(cookie, buf, size));
    };
    io.seek = seek_cookie;
    io.close = close_cookie;
    FILE *stream = fopencookie(this, "rb", io);
    if (stream == nullptr) return nullptr;
    try {
        reader_ = std::thread(&ReadAhead::read_blocks, this);
    } catch (const std::system_error &e) {
        fclose(stream);
        errno = e.code().value() != 0 ? e.code().value() : EAGAIN;
        return nullptr;
    }
    return stream;
}

// The next bytes of the oldest filled block; the end of input and a failed
// read are given again to every later call, as the descriptor would.
long ReadAhead::read_cookie(void *cookie, char *buf, size_t size) {
    auto *self = static_cast<ReadAhead *>(cookie);
    if (self->direct_) {
        ssize_t n;
        do {
            n = read(self->fd_, buf, size);
        } while (n < 0 && errno == EINTR);
        return static_cast<long>(n);
    }
    std::unique_lock<std::mutex> lock(self->mutex_);
    self->changed_.wait(lock, [self] { return self->filled_ > 0; });
    const int at = self->first_;
    Slot &slot = self->slots_[at];
    if (slot.size < 0) {
        errno = slot.error;
        return -1;
    }
    if (slot.size == 0) return 0;
    const size_t left = static_cast<size_t>(slot.size) - slot.taken;
    const size_t n = size < left ? size : left;
    const char *from = self->data_.get() + static_cast<size_t>(at) * kBlockSize + slot.taken;
    // A filled block is the caller's until it is taken: the reader fills
    // only free ones.
    lock.unlock();
    memcpy(buf, from, n);
    lock.lock();
    slot.taken += n;
    if (slot.taken == static_cast<size_t>(slot.size)) {
        slot = Slot{};
        self->first_ = (at + 1) % kSlots;
        if (--self->filled_ == kRefillAt) self->changed_.notify_all();
    }
    return static_cast<long>(n);
}

int ReadAhead::seek_cookie(void *cookie, off64_t *offset, int whence) {
    auto *self = static_cast<ReadAhead *>(cookie);
    self->stop();
    const off_t at = lseek(self->fd_, static_cast<off_t>(*offset), whence);
    if (at < 0) return -1;
    *offset = at;
    return 0;
}

int ReadAhead::close_cookie(void *cookie) {
    static_cast<ReadAhead *>(cookie)->stop();
    return 0;
}

void ReadAhead::read_blocks() {
    for (int next = 0;; next = (next + 1) % kSlots) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (filled_ == kSlots) changed_.wait(lock, [this] { return stopping_ || filled_ <= kRefillAt; });
            if (stopping_) return;
        }
        ssize_t n;
        do {
            n = read(fd_, data_.get() + static_cast<size_t>(next) * kBlockSize, kBlockSize);
        } while (n < 0 && errno == EINTR);
        const int error = n < 0 ? errno : 0;
        std::lock_guard<std::mutex> lock(mutex_);
        slots_[next] = Slot{n < 0 ? -1 : static_cast<long>(n), error, 0};
        ++filled_;
        changed_.notify_all();
        if (n <= 0) return;
    }
}

void ReadAhead::stop() {
    if (!reader_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    reader_.join();
    direct_ = true;
    // The blocks read but not taken go back to the descriptor.
    off_t unread = 0;
    for (int i = 0; i < filled_; ++i) {
        const Slot &slot = slots_[(first_ + i) % kSlots];
        if (slot.size > 0) unread += static_cast<off_t>(slot.size) - static_cast<off_t>(slot.taken);
    }
    if (unread > 0) lseek(fd_, -unread, SEEK_CUR);
}

}  // namespace qelcli
