// The file named by -o, written as a shell redirection would reach it but
// replaced whole: a regular file is written beside its final place and
// moved there only when everything succeeded, so that a failure leaves the
// old file exactly as it was (or no file at all).
#pragma once

#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace qelcli {

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;
    ~OutputFile();  // discards what was written unless committed

    // Prepares to write path. The kernel follows its symbolic links, as
    // for any open, so every protection of an open applies (a link that
    // may not be followed is refused with the system's reason). A regular
    // file there, or a name that doesn't exist yet, is written through a
    // temporary file in the same directory: an unnamed one where the file
    // system allows it, else a hidden .qelcode.* file; every name is taken
    // relative to that directory's descriptor. A file that is replaced
    // must be one the user could open for writing and have no other hard
    // links; the new file takes its owner, group, access ACL and mode, or
    // nothing is written. Anything else (a device, a pipe, a link in /proc,
    // which /dev/stdout leads to) is opened and written in place, as
    // "> path" would. On failure returns false and sets *error to the reason.
    bool open(const std::string &path, std::string *error);

    FILE *stream() const { return stream_; }

    // Flushes the temporary file, gives it the replaced file's mode (after
    // the data, as writing may clear the set-ID bits) and checks it, syncs
    // and closes it, and puts it in the destination's place. On failure
    // the destination is untouched, the temporary file is gone, and *error
    // says why.
    bool commit(std::string *error);

    // Closes and removes the temporary file.
    void discard();

private:
    enum class Kind { kInPlace, kUnnamed, kNamed };

    bool open_in_place(const std::string &path, std::string *error);
    bool open_new(std::string *error);
    bool open_replacement(const struct stat &old, std::string *error);
    bool keep_mode_and_acl(int fd, std::string *error);
    int create_temp(mode_t mode);
    int put_in_place();
    void close_dir();

    Kind kind_ = Kind::kInPlace;
    int dir_ = -1;           // descriptor of the directory the file ends up in
    std::string name_;       // the file's name in dir_, links followed
    std::string temp_name_;  // the named temporary file's name in dir_ while it exists
    bool replaces_ = false;  // name_ existed and is to be replaced
    struct stat old_ {};     // the replaced file
    std::string old_acl_;    // its access ACL in stored form; empty: none
    FILE *stream_ = nullptr;
};

}  // namespace qelcli
