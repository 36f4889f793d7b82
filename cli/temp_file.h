// The temporary file that holds the output until the input has been
// converted whole.
#pragma once

#include <sys/types.h>

#include <string>

namespace qelcli {

class TempFile {
public:
    TempFile() = default;
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile() { discard(); }

    // Creates it in the directory open as dir (which must outlive it), to
    // take a name there later: unnamed (O_TMPFILE) where the file system
    // allows it, so that nothing is left whatever stops the tool; else
    // under a hidden .qelcode.* name that the signal handlers remove.
    // Returns 0 or an errno value.
    int create_beside(int dir, mode_t mode);

    // Creates one that never has a name for long: unnamed in dir (where
    // dir >= 0 and its file system allows it), else unnamed in $TMPDIR or
    // /tmp, else named there and removed at once. Returns 0 or an errno
    // value.
    int create_anonymous(int dir);

    int fd() const { return fd_; }
    // Whether it can take a name in the directory given to create_beside.
    bool beside() const { return dir_ >= 0; }

    // Gives it the new name name, failing with EEXIST where something is
    // there. Returns 0 or an errno value; on success the file is no longer
    // the TempFile's, which only closes it.
    int link_as(const std::string &name);
    // Puts it in the place of the file name. As link_as otherwise.
    int rename_over(const std::string &name);

    // Closes it, and removes its name if it has one.
    void discard();

private:
    int fd_ = -1;
    int dir_ = -1;           // the directory it is to be named in, or -1
    std::string temp_name_;  // its hidden name in dir_ while it has one
};

}  // namespace qelcli
