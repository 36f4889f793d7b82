// A buffer for a call that must not reach past the bytes it is told of.
#pragma once

#include <stddef.h>

#include <algorithm>
#include <memory>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QEL_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(QEL_TEST_ASAN)
#define QEL_TEST_ASAN 1
#endif
#ifdef QEL_TEST_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace testwindow {

// A heap block reused from call to call, of which a call is handed the last
// n bytes: a read or write past them leaves the block, and under
// AddressSanitizer the bytes before them are poisoned too, so the window
// is guarded on both sides as a block of exactly n bytes would be. (A fresh
// block per call costs the sanitizer a mapping for every large one.)
class Window {
public:
    char *last(size_t n) {
        unpoison();
        if (n > size_ || !block_) {
            size_ = std::max(n, 2 * size_);
            block_.reset(new char[size_ == 0 ? 1 : size_]);
        }
#ifdef QEL_TEST_ASAN
        ASAN_POISON_MEMORY_REGION(block_.get(), size_ - n);
#endif
        return block_.get() + (size_ - n);
    }
    ~Window() { unpoison(); }

private:
    void unpoison() {
#ifdef QEL_TEST_ASAN
        if (block_) ASAN_UNPOISON_MEMORY_REGION(block_.get(), size_);
#endif
    }
    std::unique_ptr<char[]> block_;
    size_t size_ = 0;
};

}  // namespace testwindow
