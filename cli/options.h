// Command-line options of the qelcode tool.
#pragma once

#include <string>
#include <vector>

namespace qelcli {

enum class Mode { kEncode, kDecode, kTest };

// --progress: shown, not shown (-q), or shown where it helps: standard
// error is a terminal and the input a regular file of some size.
enum class Progress { kAuto, kOn, kOff };

struct Options {
    Mode mode = Mode::kEncode;
    bool force = false;                     // -f: encode lines that carry the encoded mark
    std::vector<std::string> inputs{"-"};   // "-" is standard input; several only with -t
    std::string output;                     // empty or "-": standard output
    Progress progress = Progress::kAuto;    // --progress, -q
    bool help = false;
    bool version = false;
};

// Parses argv. On bad usage returns false and sets *error to a one-line
// reason (without the program name).
bool parse_options(int argc, char **argv, Options *options, std::string *error);

// The short usage text shown after a usage error, and the --help text;
// both end with a line feed.
const char *usage_text();
const char *help_text();

}  // namespace qelcli
