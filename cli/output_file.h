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

    // Prepares to write path. Symbolic links are followed to the name they
    // lead to. A regular file there, or a name that doesn't exist yet, is
    // written through a temporary file in the same directory: an unnamed
    // one where the file system allows it, else a hidden .qelcode.* file.
    // A file that is replaced must be writable by the user and have no
    // other hard links; the new file takes its mode, owner and group, or
    // nothing is written. Anything else (a device, a pipe, a link in /proc,
    // which /dev/stdout leads to) is opened and written in place, as
    // "> path" would. On failure returns false and sets *error to the reason.
    bool open(const std::string &path, std::string *error);

    FILE *stream() const { return stream_; }

    // Flushes, syncs and closes the temporary file and puts it in the
    // destination's place. On failure the destination is untouched, the
    // temporary file is gone, and *error says why.
    bool commit(std::string *error);

    // Closes and removes the temporary file.
    void discard();

private:
    enum class Kind { kInPlace, kUnnamed, kNamed };

    bool open_in_place(const std::string &path, std::string *error);
    bool open_replacement(const struct stat &old, std::string *error);
    int create_temp(mode_t mode);
    int put_in_place();

    Kind kind_ = Kind::kInPlace;
    std::string target_;     // the name the file ends up with, links followed
    std::string dir_;        // target_'s directory, ending in '/', or "" for "."
    std::string temp_path_;  // the named temporary file while it exists
    bool replaces_ = false;  // target_ existed and is to be replaced
    FILE *stream_ = nullptr;
};

}  // namespace qelcli
