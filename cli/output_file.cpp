#include "output_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#include <sys/xattr.h>
#endif

// Unnamed temporary files (Linux); the tests build the tool without them
// too, to cover the named fallback.
#if defined(O_TMPFILE) && !defined(QELCLI_NAMED_TEMP_ONLY)
#define QELCLI_UNNAMED_TEMP 1
#endif

namespace qelcli {

namespace {

constexpr int kMaxLinks = 40;  // as many as one path lookup follows

// A named temporary file is removed when the tool is stopped by a signal
// as well. The handler sees the name and its directory's descriptor
// through fixed storage, the only thing async-signal-safe code may read;
// one output file exists at a time.
char g_temp_name[NAME_MAX + 1];
volatile sig_atomic_t g_temp_dir = -1;
volatile sig_atomic_t g_temp_live = 0;

extern "C" void remove_temp_and_die(int sig) {
    if (g_temp_live) unlinkat(g_temp_dir, g_temp_name, 0);
    signal(sig, SIG_DFL);
    raise(sig);
}

// The signals that end a process by default and that others send. One that
// was ignored when the tool started (nohup, a shell's background job) stays
// ignored.
void catch_stop_signals() {
    static bool caught = false;
    if (caught) return;
    caught = true;
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGXFSZ, SIGXCPU, SIGUSR1, SIGUSR2,
                          SIGALRM, SIGVTALRM, SIGPROF}) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction sa {};
        sa.sa_handler = remove_temp_and_die;
        sigfillset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
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

std::string error_text(int err) { return strerror(err); }

// A descriptor closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            const int saved = errno;
            close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_;
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

// Whether the directory open as dir is in /proc, whose links name open
// files (/proc/self/fd/1) rather than places.
bool in_proc_fs(int dir) {
#ifdef __linux__
    constexpr long kProcSuperMagic = 0x9fa0;  // statfs() type of /proc
    struct statfs fs {};
    return fstatfs(dir, &fs) == 0 && fs.f_type == kProcSuperMagic;
#else
    (void)dir;
    return false;
#endif
}

#ifdef O_PATH
constexpr int kPathOnly = O_PATH;
#else
constexpr int kPathOnly = O_RDONLY;
#endif

// What path leads to, the kernel following its links as for any open:
// 0 and *st, or an errno value (ENOENT where nothing is there, a dangling
// link included).
int probe(const std::string &path, struct stat *st) {
#ifdef O_PATH
    Fd fd(::open(path.c_str(), O_PATH | O_CLOEXEC));
    if (fd.get() < 0) return errno;
    return fstat(fd.get(), st) == 0 ? 0 : errno;
#else
    return stat(path.c_str(), st) == 0 ? 0 : errno;
#endif
}

// Finds the directory and the name that path leads to once the links of
// its last component are followed, each step relative to the directory
// reached so far. The kernel has already followed them (probe), so that
// any link it refuses never gets here; *dir is an open descriptor. A link
// in /proc (/dev/stdout leads to /proc/self/fd/1) names an open file
// rather than a place, so the walk stops there with *in_proc set. Returns
// 0 or an errno value.
int locate(const std::string &path, int *dir, std::string *name, bool *in_proc) {
    std::string current = path;
    Fd base(AT_FDCWD);
    for (int links = 0;; ++links) {
        const size_t slash = current.rfind('/');
        const std::string dir_part =
            slash == std::string::npos ? "." : slash == 0 ? "/" : current.substr(0, slash);
        std::string last = slash == std::string::npos ? current : current.substr(slash + 1);
        if (last.empty()) return EISDIR;  // "name/" can only be a directory
        Fd here(openat(base.get() >= 0 ? base.get() : AT_FDCWD, dir_part.c_str(),
                       kPathOnly | O_DIRECTORY | O_CLOEXEC));
        if (here.get() < 0) return errno;
        struct stat st {};
        if (fstatat(here.get(), last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return errno;
        } else if (S_ISLNK(st.st_mode)) {
            if (in_proc_fs(here.get())) {
                *in_proc = true;
                return 0;
            }
            if (links == kMaxLinks) return ELOOP;
            char buf[PATH_MAX];
            const ssize_t n = readlinkat(here.get(), last.c_str(), buf, sizeof buf);
            if (n < 0) return errno;
            if (static_cast<size_t>(n) == sizeof buf) return ENAMETOOLONG;
            current.assign(buf, static_cast<size_t>(n));
            base.reset(here.release());  // a relative link starts from its own directory
            continue;
        }
        *dir = here.release();
        *name = last;
        return 0;
    }
}

// Gives an unnamed temporary file (O_TMPFILE) the name name in dir.
// Returns 0 or an errno value.
int link_unnamed(int fd, int dir, const std::string &name) {
#ifdef QELCLI_UNNAMED_TEMP
    char proc[48];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    if (linkat(AT_FDCWD, proc, dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    const int err = errno;
    // Without /proc, a privileged process can link the descriptor itself.
    if (err == ENOENT && linkat(fd, "", dir, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
    return err;
#else
    (void)fd;
    (void)dir;
    (void)name;
    return EOPNOTSUPP;
#endif
}

#ifdef __linux__
const char kAccessAcl[] = "system.posix_acl_access";
#endif

// The access ACL of the file open as fd, in its stored form, or "" where
// it has none. Returns 0 or an errno value.
int read_access_acl(int fd, std::string *acl) {
    acl->clear();
#ifdef __linux__
    for (;;) {
        const ssize_t size = fgetxattr(fd, kAccessAcl, nullptr, 0);
        if (size < 0) return errno == ENODATA || errno == ENOTSUP ? 0 : errno;
        acl->assign(static_cast<size_t>(size), '\0');
        const ssize_t n = fgetxattr(fd, kAccessAcl, acl->data(), acl->size());
        if (n >= 0) {
            acl->resize(static_cast<size_t>(n));
            return 0;
        }
        if (errno != ERANGE) return errno;  // ERANGE: it grew meanwhile
    }
#else
    (void)fd;
    return 0;
#endif
}

// Gives the file open as fd exactly the access ACL acl, or none where acl
// is empty: a file made in a directory with a default ACL starts with one
// of its own. Returns 0 or an errno value.
int write_access_acl(int fd, const std::string &acl) {
#ifdef __linux__
    if (!acl.empty()) return fsetxattr(fd, kAccessAcl, acl.data(), acl.size(), 0) == 0 ? 0 : errno;
    if (fremovexattr(fd, kAccessAcl) == 0 || errno == ENODATA || errno == ENOTSUP) return 0;
    return errno;
#else
    (void)fd;
    (void)acl;
    return 0;
#endif
}

std::string octal_mode(mode_t mode) {
    char octal[8];
    snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 07777));
    return octal;
}

}  // namespace

OutputFile::~OutputFile() {
    discard();
    close_dir();
}

void OutputFile::close_dir() {
    if (dir_ >= 0) close(dir_);
    dir_ = -1;
}

bool OutputFile::open(const std::string &path, std::string *error) {
    const auto fail = [&](int err) {
        *error = error_text(err);
        close_dir();
        return false;
    };
    struct stat st {};
    const int probed = probe(path, &st);
    if (probed != 0 && probed != ENOENT) return fail(probed);
    if (probed == 0 && S_ISDIR(st.st_mode)) return fail(EISDIR);
    if (probed == 0 && !S_ISREG(st.st_mode)) return open_in_place(path, error);

    bool in_proc = false;
    if (const int err = locate(path, &dir_, &name_, &in_proc)) return fail(err);
    if (in_proc) return open_in_place(path, error);
    if (probed == ENOENT) return open_new(error);
    return open_replacement(st, error);
}

// Writes into the file itself, created or truncated, as "> path" does.
bool OutputFile::open_in_place(const std::string &path, std::string *error) {
    kind_ = Kind::kInPlace;
    close_dir();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0 || (stream_ = fdopen(fd, "wb")) == nullptr) {
        *error = error_text(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    return true;
}

// A new file: 0666 less the umask, and the directory's default ACL, as
// the shell creates one.
bool OutputFile::open_new(std::string *error) {
    const int fd = create_temp(0666);
    if (fd < 0 || (stream_ = fdopen(fd, "wb")) == nullptr) {
        *error = error_text(errno);
        if (fd >= 0) close(fd);
        discard();
        close_dir();
        return false;
    }
    return true;
}

// Prepares the file that will replace name_, whose state (through the
// kernel's own following of links) is old. The user must be allowed to
// open name_ for writing, as "> path" would need; the new file must take
// the old one's owner, group, access ACL and mode; and a file with other
// names is refused, as those would keep the old content.
bool OutputFile::open_replacement(const struct stat &old, std::string *error) {
    const auto fail = [&](const std::string &why) {
        *error = why;
        close_dir();
        return false;
    };
    if (old.st_nlink > 1) {
        const auto others = static_cast<unsigned long>(old.st_nlink - 1);
        return fail("has " + std::to_string(others) + (others == 1 ? " other hard link" : " other hard links") +
                    "; not replaced");
    }
    // Opened for writing, not truncated: the system says whether the user
    // may write it. The descriptor also shows that the name still leads to
    // the file the kernel found, and gives its ACL.
    Fd old_fd(openat(dir_, name_.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (old_fd.get() < 0) return fail(error_text(errno));
    struct stat now {};
    if (fstat(old_fd.get(), &now) != 0) return fail(error_text(errno));
    if (now.st_dev != old.st_dev || now.st_ino != old.st_ino) return fail("changed while being opened; not replaced");
    if (const int err = read_access_acl(old_fd.get(), &old_acl_)) {
        return fail("cannot read the file's access control list: " + error_text(err));
    }
    old_ = now;
    old_fd.reset();

    const int fd = create_temp(0600);
    if (fd < 0) return fail("cannot create the new file in its directory: " + error_text(errno));
    replaces_ = true;
    const auto refuse = [&](const std::string &why) {
        *error = why + "; not replaced";
        close(fd);
        discard();
        close_dir();
        return false;
    };
    // Owner and group now; the mode once the data is written (commit).
    if (fstat(fd, &now) != 0) return refuse(error_text(errno));
    if ((now.st_uid != old_.st_uid || now.st_gid != old_.st_gid) && fchown(fd, old_.st_uid, old_.st_gid) != 0) {
        const std::string what = now.st_uid != old_.st_uid ? "owner (uid " + std::to_string(old_.st_uid)
                                                             : "group (gid " + std::to_string(old_.st_gid);
        return refuse("cannot keep the file's " + what + "): " + error_text(errno));
    }
    // Tried now, so that a refusal comes before the work: a user may not
    // give a file a set-group-ID bit of a group they are not in.
    if (!keep_mode_and_acl(fd, error)) {
        close(fd);
        discard();
        close_dir();
        return false;
    }
    if ((stream_ = fdopen(fd, "wb")) == nullptr) return refuse(error_text(errno));
    return true;
}

// Gives the replacement open as fd the old file's access ACL (or none) and
// mode, and checks that it holds them: the system drops a set-group-ID
// bit that the user may not set without an error.
bool OutputFile::keep_mode_and_acl(int fd, std::string *error) {
    const mode_t mode = old_.st_mode & 07777;
    if (const int err = write_access_acl(fd, old_acl_)) {
        *error = "cannot keep the file's access control list: " + error_text(err) + "; not replaced";
        return false;
    }
    if (fchmod(fd, mode) != 0) {
        *error = "cannot keep the file's mode (" + octal_mode(mode) + "): " + error_text(errno) + "; not replaced";
        return false;
    }
    struct stat now {};
    std::string acl;
    if (fstat(fd, &now) != 0 || read_access_acl(fd, &acl) != 0) {
        *error = error_text(errno) + "; not replaced";
        return false;
    }
    if ((now.st_mode & 07777) != mode) {
        *error = "cannot keep the file's mode (" + octal_mode(mode) + "); not replaced";
        return false;
    }
    if (acl != old_acl_) {
        *error = "cannot keep the file's access control list; not replaced";
        return false;
    }
    return true;
}

// Creates the temporary file in dir_: unnamed where the file system allows
// it, so that nothing is left whatever stops the tool; else under a hidden
// name that the signal handlers remove. Returns the open descriptor, or -1
// with errno set.
int OutputFile::create_temp(mode_t mode) {
#ifdef QELCLI_UNNAMED_TEMP
    const int unnamed = openat(dir_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (unnamed >= 0) {
        kind_ = Kind::kUnnamed;
        return unnamed;
    }
    // The file system (or an old kernel) has no unnamed files.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
#endif
    catch_stop_signals();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temp_name();
        SignalBlock block;  // the handler knows the name as soon as the file exists
        const int fd = openat(dir_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            memcpy(g_temp_name, name.c_str(), name.size() + 1);
            g_temp_dir = dir_;
            g_temp_live = 1;
            temp_name_ = name;
            kind_ = Kind::kNamed;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

// Gives the complete unnamed file its final name. A new file is linked in
// (and not over a file that someone created meanwhile); a replacement
// takes a temporary name for the instant before renameat() puts it over
// the old file, with signals held back so that only SIGKILL can leave it.
// Returns 0 or an errno value.
int OutputFile::put_in_place() {
    const int fd = fileno(stream_);
    SignalBlock block;
    if (!replaces_) return link_unnamed(fd, dir_, name_);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temp_name();
        const int err = link_unnamed(fd, dir_, name);
        if (err == EEXIST) continue;
        if (err != 0) return err;
        if (renameat(dir_, name.c_str(), dir_, name_.c_str()) != 0) {
            const int rename_err = errno;
            unlinkat(dir_, name.c_str(), 0);
            return rename_err;
        }
        return 0;
    }
    return EEXIST;
}

bool OutputFile::commit(std::string *error) {
    if (stream_ == nullptr) {
        *error = error_text(EBADF);
        return false;
    }
    int err = 0;
    std::string why;
    errno = 0;
    if (fflush(stream_) != 0) {
        err = errno != 0 ? errno : EIO;
    } else if (ferror(stream_)) {
        err = EIO;  // an earlier write failed; its errno is gone
    }
    // Set again after the writes, which clear the set-ID bits of a file
    // written by a user without the privilege to keep them, and checked
    // once more just before the file takes the old one's place.
    if (err == 0 && replaces_ && !keep_mode_and_acl(fileno(stream_), &why)) err = -1;
    if (err == 0 && kind_ != Kind::kInPlace && fsync(fileno(stream_)) != 0) err = errno;
    // An unnamed file is reachable only through its descriptor: name it
    // before closing.
    if (err == 0 && kind_ == Kind::kUnnamed) err = put_in_place();
    FILE *const f = stream_;
    stream_ = nullptr;
    if (fclose(f) != 0 && err == 0) err = errno;
    if (err == 0 && kind_ == Kind::kNamed) {
        SignalBlock block;
        if (renameat(dir_, temp_name_.c_str(), dir_, name_.c_str()) != 0) {
            err = errno;
        } else {
            g_temp_live = 0;
            temp_name_.clear();
        }
    }
    if (err != 0) {
        *error = err < 0 ? why : error_text(err);
        discard();
        close_dir();
        return false;
    }
    close_dir();
    return true;
}

void OutputFile::discard() {
    if (stream_ != nullptr) {
        fclose(stream_);
        stream_ = nullptr;
    }
    if (!temp_name_.empty()) {
        unlinkat(dir_, temp_name_.c_str(), 0);
        g_temp_live = 0;
        temp_name_.clear();
    }
}

}  // namespace qelcli
