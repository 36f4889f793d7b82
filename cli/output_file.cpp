#include "output_file.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qelcli {

namespace {

// The temporary file is removed when the tool is stopped by a signal as
// well. The handler sees the name through a fixed buffer, the only thing
// async-signal-safe code may read; one output file exists at a time.
char g_temp_name[PATH_MAX];
volatile sig_atomic_t g_temp_live = 0;

extern "C" void remove_temp_and_die(int sig) {
    if (g_temp_live) unlink(g_temp_name);
    signal(sig, SIG_DFL);
    raise(sig);
}

void catch_stop_signals() {
    for (const int sig : {SIGHUP, SIGINT, SIGTERM, SIGPIPE, SIGXFSZ}) {
        struct sigaction sa {};
        sa.sa_handler = remove_temp_and_die;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}

mode_t new_file_mode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

std::string error_text(int err) { return strerror(err); }

}  // namespace

OutputFile::~OutputFile() { discard(); }

bool OutputFile::open(const std::string &path, std::string *error) {
    path_ = path;
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) {
        *error = error_text(errno);
        return false;
    }
    if (exists && S_ISDIR(st.st_mode)) {
        *error = error_text(EISDIR);
        return false;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        stream_ = fopen(path.c_str(), "wb");
        if (stream_ == nullptr) {
            *error = error_text(errno);
            return false;
        }
        return true;
    }

    const size_t slash = path.rfind('/');
    const std::string temp = (slash == std::string::npos ? "" : path.substr(0, slash + 1)) + ".qelcode.XXXXXX";
    if (temp.size() >= sizeof g_temp_name) {
        *error = error_text(ENAMETOOLONG);
        return false;
    }
    catch_stop_signals();
    memcpy(g_temp_name, temp.c_str(), temp.size() + 1);
    const int fd = mkstemp(g_temp_name);
    if (fd < 0) {
        *error = error_text(errno);
        return false;
    }
    g_temp_live = 1;
    temp_path_ = g_temp_name;

    // Keep the replaced file's owner (where allowed) and mode.
    if (exists && fchown(fd, st.st_uid, st.st_gid) != 0) {
        // Not allowed: the new file belongs to whoever runs the tool.
    }
    if (fchmod(fd, exists ? st.st_mode & 07777 : new_file_mode()) != 0 ||
        (stream_ = fdopen(fd, "wb")) == nullptr) {
        *error = error_text(errno);
        close(fd);
        discard();
        return false;
    }
    return true;
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
    if (err == 0 && !temp_path_.empty() && fsync(fileno(stream_)) != 0) err = errno;
    FILE *const f = stream_;
    stream_ = nullptr;
    if (fclose(f) != 0 && err == 0) err = errno;
    if (err == 0 && !temp_path_.empty() && rename(temp_path_.c_str(), path_.c_str()) != 0) err = errno;
    if (err != 0) {
        *error = error_text(err);
        discard();
        return false;
    }
    temp_path_.clear();
    g_temp_live = 0;
    return true;
}

void OutputFile::discard() {
    if (stream_ != nullptr) {
        fclose(stream_);
        stream_ = nullptr;
    }
    if (!temp_path_.empty()) {
        g_temp_live = 0;
        unlink(temp_path_.c_str());
        temp_path_.clear();
    }
}

}  // namespace qelcli
