#include "output_target.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include "descriptor.h"

namespace qelcli {

namespace {

#ifdef O_PATH
constexpr int kPathOnly = O_PATH;
#else
constexpr int kPathOnly = O_RDONLY;
#endif

// Whether the directory at dir_part is neither append-only nor immutable.
// A directory whose flags can't be read is taken as a plain one.
bool allows_rename(const std::string &dir_part) {
#if defined(__linux__) && defined(FS_IOC_GETFLAGS)
    Fd dir(open(dir_part.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
    int flags = 0;
    if (dir.get() < 0 || ioctl(dir.get(), FS_IOC_GETFLAGS, &flags) != 0) return true;
    return (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) == 0;
#else
    (void)dir_part;
    return true;
#endif
}

}  // namespace

int find_output_target(const std::string &path, OutputTarget *target) {
    struct stat st {};
    const int found = stat(path.c_str(), &st) == 0 ? 0 : errno;
    if (found != 0 && found != ENOENT) return found;
    if (found == 0 && S_ISDIR(st.st_mode)) return EISDIR;
    if (found == 0 && !S_ISREG(st.st_mode)) {
        target->kind = OutputTarget::Kind::kStream;
        return 0;
    }
    const size_t slash = path.rfind('/');
    const std::string dir_part = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    if (last.empty()) return EISDIR;  // "name/" can only be a directory
    const int dir = open(dir_part.c_str(), kPathOnly | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return errno;
    target->kind = OutputTarget::Kind::kFile;
    target->dir = dir;
    target->name = last;
    target->dir_allows_rename = allows_rename(dir_part);
    return 0;
}

}  // namespace qelcli
