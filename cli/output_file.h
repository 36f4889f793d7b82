// The file named by -o. Nothing reaches it before the input has been
// converted whole, so that a refused input leaves it as it was (or leaves
// no file at all); the output waits in a temporary file until then.
//
// It is then put in place in one of two ways:
// - replaced whole (a rename), where that can widen nothing and lose
//   nothing: the name is not a symbolic link and either has nothing there,
//   or holds a regular file of the user's own with no other hard link, no
//   set-ID bit, and no flags or extended attributes but its ACL, in a
//   directory that is neither append-only nor immutable. It takes the old
//   file's group, mode and access ACL as they are at that moment. A reader
//   sees the old file or the new one, never a part.
// - written as "> path" writes: the path opened with O_WRONLY|O_CREAT|
//   O_TRUNC, so the kernel makes every check (fs.protected_regular and
//   fs.protected_symlinks included) and the file keeps its inode, owner,
//   mode, ACL, links and flags; then the output is copied in.
// Something that is not a regular file (a terminal, a device, a pipe) is
// opened at once and written as the output comes.
#pragma once

#include <stdio.h>

#include <string>

#include "output_target.h"
#include "temp_file.h"

namespace qelcli {

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;
    ~OutputFile();  // discards what was written unless committed

    // Prepares to write path. On failure returns false and sets *error to
    // the reason; nothing has been changed then.
    bool open(const std::string &path, std::string *error);

    FILE *stream() const { return stream_; }

    // Puts what was written in place, as described above. On failure
    // *error says why; a file replaced whole is then untouched, and the
    // temporary file is gone.
    bool commit(std::string *error);

private:
    bool replace_whole();
    bool write_through(std::string *error);
    void close_all();

    std::string path_;
    OutputTarget target_;
    TempFile temp_;
    bool existed_ = false;  // something had the name when it was opened
    FILE *stream_ = nullptr;
};

}  // namespace qelcli
