#include "file_metadata.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#endif

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace qelcli {

namespace {

#ifdef __linux__
const char kAccessAcl[] = "system.posix_acl_access";

// The value of the extended attribute name of the file open as fd, into
// *value; false where it has none or it can't be read.
bool read_xattr(int fd, const char *name, std::string *value) {
    for (;;) {
        const ssize_t size = fgetxattr(fd, name, nullptr, 0);
        if (size < 0) return false;
        value->assign(static_cast<size_t>(size), '\0');
        const ssize_t n = fgetxattr(fd, name, value->data(), value->size());
        if (n >= 0) {
            value->resize(static_cast<size_t>(n));
            return true;
        }
        if (errno != ERANGE) return false;  // ERANGE: it grew meanwhile
    }
}

// The extended attributes of the file open as fd but its access ACL, as
// sorted (name, value) pairs; false where they can't be read.
bool other_xattrs(int fd, std::vector<std::pair<std::string, std::string>> *xattrs) {
    xattrs->clear();
    std::string names;
    for (;;) {
        const ssize_t size = flistxattr(fd, nullptr, 0);
        if (size < 0) return errno == ENOTSUP;
        names.assign(static_cast<size_t>(size), '\0');
        const ssize_t n = flistxattr(fd, names.data(), names.size());
        if (n >= 0) {
            names.resize(static_cast<size_t>(n));
            break;
        }
        if (errno != ERANGE) return false;
    }
    for (size_t at = 0; at < names.size(); at += strlen(names.c_str() + at) + 1) {
        const char *name = names.c_str() + at;
        if (strcmp(name, kAccessAcl) == 0) continue;
        std::string value;
        if (!read_xattr(fd, name, &value)) return false;
        xattrs->emplace_back(name, std::move(value));
    }
    std::sort(xattrs->begin(), xattrs->end());
    return true;
}

// The inode flags (chattr) of the file open as fd, or -1 where it has none.
long inode_flags(int fd) {
#ifdef FS_IOC_GETFLAGS
    int flags = 0;
    return ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 ? static_cast<long>(static_cast<unsigned>(flags)) : -1;
#else
    (void)fd;
    return -1;
#endif
}

// Gives fresh exactly the access ACL of old, or none where old has none: a
// file made in a directory with a default ACL starts with one of its own.
bool carry_access_acl(int old, int fresh) {
    std::string acl;
    if (read_xattr(old, kAccessAcl, &acl)) return fsetxattr(fresh, kAccessAcl, acl.data(), acl.size(), 0) == 0;
    if (errno != ENODATA && errno != ENOTSUP) return false;
    return fremovexattr(fresh, kAccessAcl) == 0 || errno == ENODATA || errno == ENOTSUP;
}
#endif

}  // namespace

bool carry_metadata(int old, int fresh) {
    struct stat was {}, now {};
    if (fstat(old, &was) != 0 || fstat(fresh, &now) != 0) return false;
    if (!S_ISREG(was.st_mode) || was.st_nlink != 1 || was.st_uid != geteuid() ||
        (was.st_mode & (S_ISUID | S_ISGID)) != 0 || was.st_dev != now.st_dev) {
        return false;
    }
#ifdef __linux__
    if (inode_flags(old) != inode_flags(fresh)) return false;
    std::vector<std::pair<std::string, std::string>> old_xattrs, fresh_xattrs;
    if (!other_xattrs(old, &old_xattrs) || !other_xattrs(fresh, &fresh_xattrs) || old_xattrs != fresh_xattrs) {
        return false;
    }
#endif
    if (now.st_gid != was.st_gid && fchown(fresh, static_cast<uid_t>(-1), was.st_gid) != 0) return false;
    if (fchmod(fresh, was.st_mode & 07777) != 0) return false;
#ifdef __linux__
    if (!carry_access_acl(old, fresh)) return false;
#endif
    return true;
}

}  // namespace qelcli
