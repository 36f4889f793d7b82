// The file named by -o: written in full beside its final place and moved
// there only when everything succeeded, so a failure leaves the old file
// exactly as it was (or no file at all).
#pragma once

#include <stdio.h>

#include <string>

namespace qelcli {

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;
    ~OutputFile();  // discards what was written unless committed

    // Prepares to write path. A regular file, or a name that doesn't exist
    // yet, is written through a temporary file in the same directory that
    // takes the mode of the file it will replace (0666 less the umask for
    // a new one). Anything else that exists (a device, a pipe) can't be
    // replaced and is written directly. On failure returns false and sets
    // *error to the reason.
    bool open(const std::string &path, std::string *error);

    FILE *stream() const { return stream_; }

    // Flushes, syncs and closes the temporary file and renames it over the
    // destination. On failure the destination is untouched, the temporary
    // file is removed, and *error says why.
    bool commit(std::string *error);

    // Closes and removes the temporary file.
    void discard();

private:
    std::string path_;
    std::string temp_path_;  // empty when writing directly
    FILE *stream_ = nullptr;
};

}  // namespace qelcli
