#include "temp_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

// Unnamed temporary files (Linux); the tests build the tool without them
// too, to cover the named fallback.
#if defined(O_TMPFILE) && !defined(QELCLI_NAMED_TEMP_ONLY)
#define QELCLI_UNNAMED_TEMP 1
#endif

namespace qelcli {

namespace {

// A named temporary file is removed when the tool is stopped by a signal
// as well. The handler sees the name and its directory's descriptor
// through fixed storage, the only thing async-signal-safe code may read;
// one temporary name exists at a time.
char g_temp_name[NAME_MAX + 1];
volatile sig_atomic_t g_temp_dir = -1;
volatile sig_atomic_t g_temp_live = 0;

extern "C" void remove_temp_and_die(int sig) {
    if (g_temp_live) unlinkat(g_temp_dir, g_temp_name, 0);
    signal(sig, SIG_DFL);
    raise(sig);
}

void catch_one(int sig) {
    struct sigaction old {};
    // One that was ignored when the tool started (nohup, a shell's
    // background job) stays ignored; one the tool handles stays handled.
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) return;
    struct sigaction sa {};
    sa.sa_handler = remove_temp_and_die;
    sigfillset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

// Every signal that ends a process by default and that another process
// may send; the faults a program raises itself (SIGSEGV and the like) are
// left to whatever reports them.
void catch_stop_signals() {
    static bool caught = false;
    if (caught) return;
    caught = true;
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGXFSZ, SIGXCPU, SIGUSR1, SIGUSR2, SIGALRM,
                          SIGVTALRM, SIGPROF, SIGSYS, SIGTRAP,
#ifdef SIGPOLL
                          SIGPOLL,
#endif
#ifdef SIGPWR
                          SIGPWR,
#endif
#ifdef SIGSTKFLT
                          SIGSTKFLT,
#endif
                          SIGABRT}) {
        catch_one(sig);
    }
#ifdef SIGRTMIN
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) catch_one(sig);
#endif
}

// Holds back every signal but SIGKILL and SIGSTOP while a temporary name
// and what the handler knows of it change together.
class SignalBlock {
public:
    SignalBlock() {
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &old_);
    }
    ~SignalBlock() {
        const int saved = errno;
        sigprocmask(SIG_SETMASK, &old_, nullptr);
        errno = saved;
    }
    SignalBlock(const SignalBlock &) = delete;
    SignalBlock &operator=(const SignalBlock &) = delete;

private:
    sigset_t old_;
};

// A fresh name for a temporary file.
std::string temp_name() {
    static uint64_t counter = 0;
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t bits = (static_cast<uint64_t>(getpid()) << 32) ^ static_cast<uint64_t>(now.tv_nsec) ^
                    (static_cast<uint64_t>(now.tv_sec) << 20) ^ (++counter * 0x9e3779b97f4a7c15u);
    uint64_t random = 0;
    if (getentropy(&random, sizeof random) == 0) bits ^= random;
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-";
    std::string name = ".qelcode.";
    for (int i = 0; i < 8; ++i, bits >>= 6) name += kChars[bits & 63];
    return name;
}

// An unnamed file in dir, open for reading and writing, or -1 with errno
// set (EOPNOTSUPP where there are none).
int create_unnamed(int dir, mode_t mode) {
#ifdef QELCLI_UNNAMED_TEMP
    const int fd = openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    // Some file systems (and old kernels) have no unnamed files.
    if (fd < 0 && (errno == EISDIR || errno == EINVAL)) errno = EOPNOTSUPP;
    return fd;
#else
    (void)dir;
    (void)mode;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

// A file under a fresh hidden name in dir, open for reading and writing,
// its name known to the signal handlers; or -1 with errno set.
int create_named(int dir, mode_t mode, std::string *name) {
    catch_stop_signals();
    for (int attempt = 0; attempt < 100; ++attempt) {
        *name = temp_name();
        SignalBlock block;  // the handler knows the name as soon as the file exists
        const int fd = openat(dir, name->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            memcpy(g_temp_name, name->c_str(), name->size() + 1);
            g_temp_dir = dir;
            g_temp_live = 1;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

// Gives the unnamed file open as fd the name name in dir. Returns 0 or an
// errno value.
int link_unnamed(int fd, int dir, const std::string &name) {
    char proc[48];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    if (linkat(AT_FDCWD, proc, dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    const int err = errno;
#ifdef AT_EMPTY_PATH
    // Without /proc, a privileged process can link the descriptor itself.
    if (err == ENOENT && linkat(fd, "", dir, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
#endif
    return err;
}

}  // namespace

int TempFile::create_beside(int dir, mode_t mode) {
    discard();
    fd_ = create_unnamed(dir, mode);
    if (fd_ < 0 && errno == EOPNOTSUPP) fd_ = create_named(dir, mode, &temp_name_);
    if (fd_ < 0) return errno;
    dir_ = dir;
    return 0;
}

int TempFile::create_anonymous(int dir) {
    discard();
    if (dir >= 0 && (fd_ = create_unnamed(dir, 0600)) >= 0) return 0;
    const char *tmpdir = getenv("TMPDIR");
    if (tmpdir == nullptr || tmpdir[0] == '\0') tmpdir = "/tmp";
    const int tmp = open(tmpdir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tmp < 0) return errno;
    fd_ = create_unnamed(tmp, 0600);
    if (fd_ < 0 && errno == EOPNOTSUPP) {
        std::string name;
        SignalBlock block;
        fd_ = create_named(tmp, 0600, &name);
        if (fd_ >= 0) {
            unlinkat(tmp, name.c_str(), 0);
            g_temp_live = 0;
        }
    }
    const int err = errno;
    close(tmp);
    return fd_ >= 0 ? 0 : err;
}

int TempFile::link_as(const std::string &name) {
    SignalBlock block;
    int err = 0;
    if (temp_name_.empty()) {
        err = link_unnamed(fd_, dir_, name);
    } else if (linkat(dir_, temp_name_.c_str(), dir_, name.c_str(), 0) != 0) {
        err = errno;
    }
    if (err == 0) discard();  // the hidden name goes, the file stays under name
    return err;
}

int TempFile::rename_over(const std::string &name) {
    SignalBlock block;  // only SIGKILL can leave a name behind
    if (temp_name_.empty()) {
        // An unnamed file takes a hidden name for the instant before the rename.
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string hidden = temp_name();
            const int err = link_unnamed(fd_, dir_, hidden);
            if (err == EEXIST) continue;
            if (err != 0) return err;
            if (renameat(dir_, hidden.c_str(), dir_, name.c_str()) != 0) {
                const int rename_err = errno;
                unlinkat(dir_, hidden.c_str(), 0);
                return rename_err;
            }
            discard();
            return 0;
        }
        return EEXIST;
    }
    if (renameat(dir_, temp_name_.c_str(), dir_, name.c_str()) != 0) return errno;
    g_temp_live = 0;
    temp_name_.clear();
    discard();
    return 0;
}

void TempFile::discard() {
    const int saved = errno;
    if (!temp_name_.empty()) {
        SignalBlock block;
        unlinkat(dir_, temp_name_.c_str(), 0);
        g_temp_live = 0;
        temp_name_.clear();
    }
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    dir_ = -1;
    errno = saved;
}

}  // namespace qelcli
