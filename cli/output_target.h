// What the path given to -o leads to, and so how it is written.
#pragma once

#include <string>

namespace qelcli {

struct OutputTarget {
    // kStream: something that is not a regular file (a terminal, a device,
    // a pipe), opened and written as it comes, as "> path" does.
    // kFile: a regular file or a name with nothing there yet; the output is
    // held in a temporary file until the input has been converted whole.
    enum class Kind { kStream, kFile };
    Kind kind = Kind::kStream;
    // For kFile: a descriptor (O_PATH) of the directory that holds the
    // path's last component, and that component. A symbolic link there is
    // the name itself, never followed by the tool.
    int dir = -1;
    std::string name;
    // For kFile: whether a file may be replaced whole in dir. Not where the
    // directory is append-only or immutable, where neither a rename nor
    // the removal of a temporary name could be done.
    bool dir_allows_rename = false;
};

// Finds what path leads to. The kernel follows its links (as for any open,
// so that it applies its protections to them); a directory, a path ending
// in "/" and any error but a missing last name fail here, with nothing
// done. Returns 0 or an errno value; *target owns its descriptor.
int find_output_target(const std::string &path, OutputTarget *target);

}  // namespace qelcli
