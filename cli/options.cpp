// Argument parsing: short options may be bundled (-dt), -o takes its file
// joined or separate (-oFILE, -o FILE, --output=FILE, --output FILE), and
// "--" ends the options.
#include "options.h"

#include <getopt.h>

namespace qelcli {

namespace {

constexpr char kShortOptions[] = ":dtfo:qhV";

// Long options have values of their own, above every byte, so that a
// refused one is told from a refused short option by optopt.
enum : int { kDecode = 256, kTest, kForce, kOutput, kProgress, kQuiet, kHelp, kVersion };

const option kLongOptions[] = {
    {"decode", no_argument, nullptr, kDecode},
    {"test", no_argument, nullptr, kTest},
    {"force", no_argument, nullptr, kForce},
    {"output", required_argument, nullptr, kOutput},
    {"progress", no_argument, nullptr, kProgress},
    {"quiet", no_argument, nullptr, kQuiet},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// The long option whose value is val.
const char *long_name(int val) {
    for (const option *o = kLongOptions; o->name != nullptr; ++o) {
        if (o->val == val) return o->name;
    }
    return "";
}

// The option getopt_long has just refused as unknown, as the user wrote
// it. A long one (optopt 0) is the whole argument getopt has just stepped
// past. A short one is a
// byte of a bundle such as "-dx", and getopt steps past the bundle only at
// its last byte, so the option is rebuilt from optopt, with the rest of a
// UTF-8 sequence (getopt refuses its bytes one by one).
std::string refused_option(int argc, char **argv) {
    if (optopt == 0) return argv[optind - 1];
    std::string name = "-";
    name += static_cast<char>(optopt);
    const auto lead = static_cast<unsigned char>(optopt);
    int more = lead >= 0xf8 ? 0 : lead >= 0xf0 ? 3 : lead >= 0xe0 ? 2 : lead >= 0xc0 ? 1 : 0;
    for (; more > 0; --more) {
        if (getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr) != '?' || (optopt & 0xc0) != 0x80) break;
        name += static_cast<char>(optopt);
    }
    return name;
}

}  // namespace

const char *usage_text() {
    return "usage: qelcode [-d|--decode] [-t|--test] [-f|--force] [-o FILE|--output FILE] [INPUT]\n"
           "       qelcode -t|--test INPUT...\n"
           "Try 'qelcode --help' for more.\n";
}

const char *help_text() {
    return "usage: qelcode [-d|--decode] [-t|--test] [-f|--force] [-o FILE|--output FILE] [INPUT]\n"
           "       qelcode -t|--test INPUT...\n"
           "Encodes text into records, one per line, or decodes records back to text.\n"
           "  -d, --decode       decode records back to text (default: encode text)\n"
           "  -t, --test         decode without writing and tell whether each INPUT is sound\n"
           "  -f, --force        encode lines that already carry the encoded mark\n"
           "  -o, --output FILE  write to FILE, touched only once INPUT is converted whole;\n"
           "                     '-' is standard output\n"
           "      --progress     show bytes done, total, percent and rate on standard\n"
           "                     error (default: when it is a terminal and INPUT a file\n"
           "                     of more than 8 MiB)\n"
           "  -q, --quiet        show no progress\n"
           "  -h, --help         show this text\n"
           "  -V, --version      show the version\n"
           "INPUT absent or '-' reads standard input; output goes to standard output\n"
           "unless -o is given.\n"
           "Exit status: 0 success, 1 failure, 2 bad usage.\n";
}

bool parse_options(int argc, char **argv, Options *options, std::string *error) {
    Options o;
    bool decode = false;
    bool test = false;
    bool quiet = false;
    opterr = 0;  // the messages below replace getopt's own
    optind = 1;
    for (;;) {
        const int c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr);
        if (c == -1) break;
        switch (c) {
            case 'd': case kDecode: decode = true; break;
            case 't': case kTest: test = true; break;
            case 'f': case kForce: o.force = true; break;
            case 'o': case kOutput:
                if (optarg[0] == '\0') {
                    *error = "empty output file name";
                    return false;
                }
                o.output = optarg;
                break;
            case kProgress: o.progress = Progress::kOn; break;
            case 'q': case kQuiet: quiet = true; break;
            case 'h': case kHelp: o.help = true; break;
            case 'V': case kVersion: o.version = true; break;
            case ':':
                *error = std::string("option '") + (optopt == 'o' ? "-o" : argv[optind - 1]) + "' needs a file name";
                return false;
            default:
                // A known long option given a value: optopt is its value.
                if (optopt >= kDecode) {
                    *error = std::string("option '--") + long_name(optopt) + "' doesn't allow an argument";
                    return false;
                }
                *error = "invalid option '" + refused_option(argc, argv) + "'";
                return false;
        }
    }
    if (o.help || o.version) {
        *options = o;
        return true;
    }

    if (argc - optind > 1 && !test) {
        *error = "more than one INPUT";
        return false;
    }
    if (argc > optind) o.inputs.assign(argv + optind, argv + argc);
    for (const std::string &input : o.inputs) {
        if (input.empty()) {
            *error = "empty input file name";
            return false;
        }
    }

    // --force changes only how text is encoded, so it makes no sense with
    // decoding; --test writes nothing, so it takes no output file.
    if (o.force && (decode || test)) {
        *error = "--force applies to encoding only";
        return false;
    }
    if (test && !o.output.empty()) {
        *error = "--test writes no output";
        return false;
    }
    if (quiet) o.progress = Progress::kOff;
    o.mode = test ? Mode::kTest : decode ? Mode::kDecode : Mode::kEncode;
    *options = o;
    return true;
}

}  // namespace qelcli
