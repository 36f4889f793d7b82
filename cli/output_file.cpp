#include "output_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "descriptor.h"
#include "file_metadata.h"

namespace qelcli {

namespace {

std::string error_text(int err) { return strerror(err); }

// Writes all of the file open as from into the one open as to. Returns 0
// or an errno value.
int copy_all(int from, int to) {
    static char buffer[1 << 16];
    for (off_t at = 0;;) {
        const ssize_t n = pread(from, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        at += n;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(to, buffer + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) return errno;
            done += w;
        }
    }
}

}  // namespace

OutputFile::~OutputFile() { close_all(); }

void OutputFile::close_all() {
    if (stream_ != nullptr) fclose(stream_);
    stream_ = nullptr;
    temp_.discard();
    if (target_.dir >= 0) close(target_.dir);
    target_.dir = -1;
}

bool OutputFile::open(const std::string &path, std::string *error) {
    path_ = path;
    if (const int err = find_output_target(path, &target_)) {
        *error = error_text(err);
        return false;
    }
    int fd = -1;
    if (target_.kind == OutputTarget::Kind::kStream) {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd < 0) {
            *error = error_text(errno);
            close_all();
            return false;
        }
    } else {
        struct stat st {};
        existed_ = fstatat(target_.dir, target_.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        const bool link = existed_ && S_ISLNK(st.st_mode);
        const bool may_replace = target_.dir_allows_rename && !link;
        // A new file is made as the shell makes one: 0666 less the umask,
        // or as the directory's default ACL says. A replacement takes the
        // old file's mode at the end; until then only the user reads it.
        int err = may_replace ? temp_.create_beside(target_.dir, existed_ ? 0600 : 0666) : EOPNOTSUPP;
        // Else an anonymous one: beside the file it is copied into, where
        // the name is that file's own (another user's file, one with flags);
        // where a link leads elsewhere (/dev/stdout), in $TMPDIR.
        if (err != 0) err = temp_.create_anonymous(may_replace || link ? -1 : target_.dir);
        if (err != 0) {
            *error = "cannot make a temporary file for the output: " + error_text(err);
            close_all();
            return false;
        }
        fd = fcntl(temp_.fd(), F_DUPFD_CLOEXEC, 3);
        if (fd < 0) {
            *error = error_text(errno);
            close_all();
            return false;
        }
    }
    if ((stream_ = fdopen(fd, "wb")) == nullptr) {
        *error = error_text(errno);
        close(fd);
        close_all();
        return false;
    }
    return true;
}

// Puts the complete temporary file in the target's place by a rename (or
// as a new name), where the rules above allow it now. False where they
// don't, or where the system refuses it (a file mounted on its own name):
// the target is then untouched.
bool OutputFile::replace_whole() {
    if (!temp_.beside()) return false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        Fd old(openat(target_.dir, target_.name.c_str(),
                      O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (old.get() < 0) {
            // Nothing there (anymore): a new file, made as the shell would
            // make it, and never over one that appears meanwhile.
            if (errno != ENOENT || existed_) return false;
            if (fsync(temp_.fd()) != 0) return false;
            const int err = temp_.link_as(target_.name);
            if (err == 0) return true;
            if (err != EEXIST) return false;
            existed_ = true;  // it appeared: looked at again as a file to replace
            continue;
        }
        if (!carry_metadata(old.get(), temp_.fd())) return false;
        if (fsync(temp_.fd()) != 0) return false;
        return temp_.rename_over(target_.name) == 0;
    }
    return false;
}

// Opens the path as "> path" does and copies the output in.
bool OutputFile::write_through(std::string *error) {
    Fd out(::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666));
    int err = out.get() < 0 ? errno : copy_all(temp_.fd(), out.get());
    if (err == 0 && close(out.release()) != 0) err = errno;
    if (err != 0) *error = error_text(err);
    return err == 0;
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
    FILE *const f = stream_;
    stream_ = nullptr;
    if (fclose(f) != 0 && err == 0) err = errno;
    bool done = err == 0;
    if (!done) {
        *error = error_text(err);
    } else if (target_.kind == OutputTarget::Kind::kFile && !replace_whole()) {
        done = write_through(error);
    }
    close_all();
    return done;
}

}  // namespace qelcli
