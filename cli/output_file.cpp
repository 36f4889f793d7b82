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
// as well. The handler sees the name through a fixed buffer, the only
// thing async-signal-safe code may read; one output file exists at a time.
char g_temp_name[PATH_MAX];
volatile sig_atomic_t g_temp_live = 0;

extern "C" void remove_temp_and_die(int sig) {
    if (g_temp_live) unlink(g_temp_name);
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

// The directory part of path, with its slash; "" for the current one.
std::string dir_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A fresh name for a temporary file in dir ("" or ending in '/').
std::string temp_name(const std::string &dir) {
    static uint64_t counter = 0;
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t bits = (static_cast<uint64_t>(getpid()) << 32) ^ static_cast<uint64_t>(now.tv_nsec) ^
                    (static_cast<uint64_t>(now.tv_sec) << 20) ^ (++counter * 0x9e3779b97f4a7c15u);
    uint64_t random = 0;
    if (getentropy(&random, sizeof random) == 0) bits ^= random;
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-";
    std::string name = dir + ".qelcode.";
    for (int i = 0; i < 8; ++i, bits >>= 6) name += kChars[bits & 63];
    return name;
}

// Whether dir ("" or ending in '/') is in /proc, whose links name open
// files (/proc/self/fd/1) rather than places.
bool in_proc_fs(const std::string &dir) {
#ifdef __linux__
    constexpr long kProcSuperMagic = 0x9fa0;  // statfs() type of /proc
    struct statfs fs {};
    return statfs(dir.empty() ? "." : dir.c_str(), &fs) == 0 && fs.f_type == kProcSuperMagic;
#else
    (void)dir;
    return false;
#endif
}

// Follows the symbolic links of path's last component, as open() would,
// and stores the name reached in *target. A link in /proc (/dev/stdout
// leads to /proc/self/fd/1) names an open file rather than a place, so the
// walk stops there with *in_proc set. Returns 0 or an errno value.
int follow_links(const std::string &path, std::string *target, bool *in_proc) {
    std::string name = path;
    for (int links = 0;; ++links) {
        struct stat st {};
        if (lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        const std::string dir = dir_of(name);
        if (in_proc_fs(dir)) {
            *in_proc = true;
            break;
        }
        if (links == kMaxLinks) return ELOOP;
        char buf[PATH_MAX];
        const ssize_t n = readlink(name.c_str(), buf, sizeof buf);
        if (n < 0) return errno;
        if (static_cast<size_t>(n) == sizeof buf) return ENAMETOOLONG;
        name = (buf[0] == '/' ? std::string() : dir) + std::string(buf, static_cast<size_t>(n));
    }
    *target = name;
    return 0;
}

// Gives an unnamed temporary file (O_TMPFILE) the name name. Returns 0 or
// an errno value.
int link_unnamed(int fd, const std::string &name) {
#ifdef QELCLI_UNNAMED_TEMP
    char proc[48];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    if (linkat(AT_FDCWD, proc, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    const int err = errno;
    // Without /proc, a privileged process can link the descriptor itself.
    if (err == ENOENT && linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
    return err;
#else
    (void)fd;
    (void)name;
    return EOPNOTSUPP;
#endif
}

// Copies the access ACL of the file at path, if it has one, to fd: without
// it, the group bits of the mode (the ACL's mask) would apply to the owning
// group alone. Returns 0 or an errno value.
int copy_access_acl(const std::string &path, int fd) {
#ifdef __linux__
    const char kAccessAcl[] = "system.posix_acl_access";
    const ssize_t size = getxattr(path.c_str(), kAccessAcl, nullptr, 0);
    if (size < 0) return errno == ENODATA || errno == ENOTSUP ? 0 : errno;
    std::string acl(static_cast<size_t>(size), '\0');
    const ssize_t n = getxattr(path.c_str(), kAccessAcl, acl.data(), acl.size());
    if (n < 0) return errno;
    return fsetxattr(fd, kAccessAcl, acl.data(), static_cast<size_t>(n), 0) == 0 ? 0 : errno;
#else
    (void)path;
    (void)fd;
    return 0;
#endif
}

}  // namespace

OutputFile::~OutputFile() { discard(); }

bool OutputFile::open(const std::string &path, std::string *error) {
    bool in_proc = false;
    if (const int err = follow_links(path, &target_, &in_proc)) {
        *error = error_text(err);
        return false;
    }
    if (in_proc) return open_in_place(path, error);
    dir_ = dir_of(target_);

    struct stat st {};
    if (lstat(target_.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            *error = error_text(errno);
            return false;
        }
        // A new file: 0666 less the umask, as the shell creates one.
        const int fd = create_temp(0666);
        if (fd < 0 || (stream_ = fdopen(fd, "wb")) == nullptr) {
            *error = error_text(errno);
            if (fd >= 0) close(fd);
            discard();
            return false;
        }
        return true;
    }
    if (S_ISDIR(st.st_mode)) {
        *error = error_text(EISDIR);
        return false;
    }
    if (!S_ISREG(st.st_mode)) return open_in_place(target_, error);
    return open_replacement(st, error);
}

// Writes into the file itself, created or truncated, as "> path" does.
bool OutputFile::open_in_place(const std::string &path, std::string *error) {
    kind_ = Kind::kInPlace;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0 || (stream_ = fdopen(fd, "wb")) == nullptr) {
        *error = error_text(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    return true;
}

// Prepares the file that will replace target_, whose state is old. The
// user must be allowed to write target_, as "> target" would need; the new
// file must take the old one's mode, owner, group and access ACL; and a
// file with other names is refused, as those would keep the old content.
bool OutputFile::open_replacement(const struct stat &old, std::string *error) {
    if (old.st_nlink > 1) {
        const auto others = static_cast<unsigned long>(old.st_nlink - 1);
        *error = "has " + std::to_string(others) + (others == 1 ? " other hard link" : " other hard links") +
                 "; not replaced";
        return false;
    }
    if (faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) {
        *error = error_text(errno);
        return false;
    }
    const int fd = create_temp(0600);
    if (fd < 0) {
        *error = "cannot create the new file in its directory: " + error_text(errno);
        return false;
    }
    replaces_ = true;
    const auto refuse = [&](const std::string &why) {
        *error = why + "; not replaced";
        close(fd);
        discard();
        return false;
    };

    // Owner and group first: changing them clears the set-ID bits.
    struct stat now {};
    if (fstat(fd, &now) != 0) return refuse(error_text(errno));
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && fchown(fd, old.st_uid, old.st_gid) != 0) {
        const std::string what = now.st_uid != old.st_uid ? "owner (uid " + std::to_string(old.st_uid)
                                                            : "group (gid " + std::to_string(old.st_gid);
        return refuse("cannot keep the file's " + what + "): " + error_text(errno));
    }
    const mode_t mode = old.st_mode & 07777;
    if (fchmod(fd, mode) != 0) return refuse("cannot keep the file's mode: " + error_text(errno));
    if (const int err = copy_access_acl(target_, fd)) {
        return refuse("cannot keep the file's access control list: " + error_text(err));
    }
    // A set-group-ID bit the user may not set is dropped without an error.
    if (fstat(fd, &now) != 0) return refuse(error_text(errno));
    if ((now.st_mode & 07777) != mode) {
        char octal[8];
        snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
        return refuse(std::string("cannot keep the file's mode (") + octal + ")");
    }
    if ((stream_ = fdopen(fd, "wb")) == nullptr) return refuse(error_text(errno));
    return true;
}

// Creates the temporary file in target_'s directory: unnamed where the file
// system allows it, so that nothing is left whatever stops the tool; else
// under a hidden name that the signal handlers remove. Returns the open
// descriptor, or -1 with errno set.
int OutputFile::create_temp(mode_t mode) {
#ifdef QELCLI_UNNAMED_TEMP
    const int unnamed = ::open(dir_.empty() ? "." : dir_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (unnamed >= 0) {
        kind_ = Kind::kUnnamed;
        return unnamed;
    }
    // The file system (or an old kernel) has no unnamed files.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
#endif
    catch_stop_signals();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temp_name(dir_);
        if (name.size() >= sizeof g_temp_name) {
            errno = ENAMETOOLONG;
            return -1;
        }
        SignalBlock block;  // the handler knows the name as soon as the file exists
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            memcpy(g_temp_name, name.c_str(), name.size() + 1);
            g_temp_live = 1;
            temp_path_ = name;
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
// takes a temporary name for the instant before rename() puts it over the
// old file, with signals held back so that only SIGKILL can leave it.
// Returns 0 or an errno value.
int OutputFile::put_in_place() {
    const int fd = fileno(stream_);
    SignalBlock block;
    if (!replaces_) return link_unnamed(fd, target_);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temp_name(dir_);
        const int err = link_unnamed(fd, name);
        if (err == EEXIST) continue;
        if (err != 0) return err;
        if (rename(name.c_str(), target_.c_str()) != 0) {
            const int rename_err = errno;
            unlink(name.c_str());
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
    errno = 0;
    if (fflush(stream_) != 0) {
        err = errno != 0 ? errno : EIO;
    } else if (ferror(stream_)) {
        err = EIO;  // an earlier write failed; its errno is gone
    }
    if (err == 0 && kind_ != Kind::kInPlace && fsync(fileno(stream_)) != 0) err = errno;
    // An unnamed file is reachable only through its descriptor: name it
    // before closing.
    if (err == 0 && kind_ == Kind::kUnnamed) err = put_in_place();
    FILE *const f = stream_;
    stream_ = nullptr;
    if (fclose(f) != 0 && err == 0) err = errno;
    if (err == 0 && kind_ == Kind::kNamed) {
        SignalBlock block;
        if (rename(temp_path_.c_str(), target_.c_str()) != 0) {
            err = errno;
        } else {
            g_temp_live = 0;
            temp_path_.clear();
        }
    }
    if (err != 0) {
        *error = error_text(err);
        discard();
        return false;
    }
    return true;
}

void OutputFile::discard() {
    if (stream_ != nullptr) {
        fclose(stream_);
        stream_ = nullptr;
    }
    if (!temp_path_.empty()) {
        unlink(temp_path_.c_str());
        g_temp_live = 0;
        temp_path_.clear();
    }
}

}  // namespace qelcli
