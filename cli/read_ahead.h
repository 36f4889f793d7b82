// Reading a regular file ahead of its use: a thread reads the next blocks
// of a descriptor while the caller converts the ones before, so that the
// copying out of the page cache and the conversion overlap.
#pragma once

#include <stddef.h>
#include <stdio.h>
#include <sys/types.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace qelcli {

class ReadAhead {
public:
    // The size of each read from the descriptor.
    static constexpr size_t kBlockSize = size_t{1} << 17;

    ReadAhead() = default;
    ReadAhead(const ReadAhead &) = delete;
    ReadAhead &operator=(const ReadAhead &) = delete;
    ~ReadAhead();

    // A stream that gives the bytes of the descriptor fd from its current
    // position, read ahead by a thread. The stream is unbuffered until the
    // caller gives it a buffer. Returns null with errno set on failure. The
    // descriptor stays open. A seek on the stream (a flush of it among
    // them, which gives back the bytes it holds unread) ends the read-ahead:
    // the descriptor is put back after the bytes the stream took, and the
    // stream reads and seeks it directly from then on, as a plain one would.
    FILE *open(int fd);

private:
    // The reader waits until half the blocks are free, so that the two
    // threads wake each other once every few blocks, not at every one.
    static constexpr int kSlots = 8;
    static constexpr int kRefillAt = kSlots / 2;

    struct Slot {
        long size = 0;  // bytes read; 0 at the end of input, -1 on an error
        int error = 0;  // errno of the failed read
        size_t taken = 0;
    };

    static long read_cookie(void *cookie, char *buf, size_t size);
    static int seek_cookie(void *cookie, off64_t *offset, int whence);
    static int close_cookie(void *cookie);
    void read_blocks();
    void stop();

    int fd_ = -1;
    std::unique_ptr<char[]> data_;  // kSlots blocks
    Slot slots_[kSlots];
    int first_ = 0;   // the oldest filled slot
    int filled_ = 0;  // filled slots from first_ on
    bool stopping_ = false;  // the reader stops
    bool direct_ = false;    // the reader has stopped: the stream reads the descriptor
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread reader_;
};

}  // namespace qelcli
