// Argument parsing: short options may be bundled (-dt), -o takes its file
// joined or separate (-oFILE, -o FILE, --output=FILE, --output FILE), and
// "--" ends the options.
#include "options.h"

#include <getopt.h>

namespace qelcli {

const char *usage_text() {
    return "usage: qelcode [-d|--decode] [-t|--test] [-f|--force] [-o FILE|--output FILE] [INPUT]\n"
           "Try 'qelcode --help' for more.\n";
}

const char *help_text() {
    return "usage: qelcode [-d|--decode] [-t|--test] [-f|--force] [-o FILE|--output FILE] [INPUT]\n"
           "Encodes text into records, one per line, or decodes records back to text.\n"
           "  -d, --decode       decode records back to text (default: encode text)\n"
           "  -t, --test         decode without writing and tell whether INPUT is sound\n"
           "  -f, --force        encode lines that already carry the encoded mark\n"
           "  -o, --output FILE  write to FILE, replaced only when everything succeeded\n"
           "      --help         show this text\n"
           "      --version      show the version\n"
           "INPUT absent or '-' reads standard input; output goes to standard output\n"
           "unless -o is given.\n"
           "Exit status: 0 success, 1 failure, 2 bad usage.\n";
}

bool parse_options(int argc, char **argv, Options *options, std::string *error) {
    enum { kHelp = 256, kVersion };
    static const option long_options[] = {
        {"decode", no_argument, nullptr, 'd'},
        {"test", no_argument, nullptr, 't'},
        {"force", no_argument, nullptr, 'f'},
        {"output", required_argument, nullptr, 'o'},
        {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };

    Options o;
    bool decode = false;
    bool test = false;
    opterr = 0;  // the messages below replace getopt's own
    optind = 1;
    for (;;) {
        const int c = getopt_long(argc, argv, ":dtfo:", long_options, nullptr);
        if (c == -1) break;
        switch (c) {
            case 'd': decode = true; break;
            case 't': test = true; break;
            case 'f': o.force = true; break;
            case 'o':
                if (optarg[0] == '\0') {
                    *error = "empty output file name";
                    return false;
                }
                o.output = optarg;
                break;
            case kHelp: o.help = true; break;
            case kVersion: o.version = true; break;
            case ':':
                *error = std::string("option '") + argv[optind - 1] + "' needs a file name";
                return false;
            default:
                if (optopt > 0 && optopt < 128) {
                    *error = std::string("invalid option '-") + static_cast<char>(optopt) + "'";
                } else {
                    *error = std::string("invalid option '") + argv[optind - 1] + "'";
                }
                return false;
        }
    }
    if (o.help || o.version) {
        *options = o;
        return true;
    }

    if (argc - optind > 1) {
        *error = "more than one INPUT";
        return false;
    }
    if (argc - optind == 1) o.input = argv[optind];
    if (o.input.empty()) {
        *error = "empty input file name";
        return false;
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
    o.mode = test ? Mode::kTest : decode ? Mode::kDecode : Mode::kEncode;
    *options = o;
    return true;
}

}  // namespace qelcli
