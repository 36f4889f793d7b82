// Unlocked stdio under one lock per call, on POSIX and on Windows.
#pragma once

#include <stddef.h>
#include <stdio.h>

namespace qel {

#if defined(_WIN32)
inline void lock_stream(FILE *f) { _lock_file(f); }
inline void unlock_stream(FILE *f) { _unlock_file(f); }
inline int getc_nolock(FILE *f) { return _getc_nolock(f); }
#if defined(_UCRT) || defined(_MSC_VER) || __MSVCRT_VERSION__ >= 0x800
inline int ungetc_nolock(int c, FILE *f) { return _ungetc_nolock(c, f); }
inline size_t fwrite_nolock(const void *p, size_t n, FILE *f) { return _fwrite_nolock(p, 1, n, f); }
#else
// msvcrt.dll exports no _ungetc_nolock or _fwrite_nolock; the stream lock
// is recursive, so the locking calls are safe under it.
inline int ungetc_nolock(int c, FILE *f) { return ungetc(c, f); }
inline size_t fwrite_nolock(const void *p, size_t n, FILE *f) { return fwrite(p, 1, n, f); }
#endif
inline bool ferror_nolock(FILE *f) { return ferror(f) != 0; }
#else
inline void lock_stream(FILE *f) { flockfile(f); }
inline void unlock_stream(FILE *f) { funlockfile(f); }
inline int getc_nolock(FILE *f) { return getc_unlocked(f); }
inline int ungetc_nolock(int c, FILE *f) { return ungetc(c, f); }  // the lock is recursive
#if defined(__GLIBC__)
inline size_t fwrite_nolock(const void *p, size_t n, FILE *f) { return fwrite_unlocked(p, 1, n, f); }
inline bool ferror_nolock(FILE *f) { return ferror_unlocked(f) != 0; }
#else
inline size_t fwrite_nolock(const void *p, size_t n, FILE *f) { return fwrite(p, 1, n, f); }
inline bool ferror_nolock(FILE *f) { return ferror(f) != 0; }
#endif
#endif

// Holds the locks of a source and a destination stream for one call. The two
// are taken in address order, so that two calls copying A to B and B to A
// can't wait on each other.
class StreamPairLock {
public:
    StreamPairLock(FILE *a, FILE *b) : first_(a < b ? a : b), second_(a < b ? b : a) {
        lock_stream(first_);
        if (second_ != first_) lock_stream(second_);
    }
    ~StreamPairLock() {
        if (second_ != first_) unlock_stream(second_);
        unlock_stream(first_);
    }
    StreamPairLock(const StreamPairLock &) = delete;
    StreamPairLock &operator=(const StreamPairLock &) = delete;

private:
    FILE *first_;
    FILE *second_;
};

// Writes n bytes with the stream already locked; false if not all went out.
inline bool write_locked(FILE *f, const unsigned char *p, size_t n) {
    return fwrite_nolock(p, n, f) == n;
}

}  // namespace qel
