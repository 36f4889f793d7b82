// qelcode: encodes text into records, decodes records back to text, or
// checks that a file of records is sound.
//
// Exit status: 0 success, 1 failure (a refused line, an unreadable or
// unwritable file), 2 bad usage.
#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "options.h"
#include "output_file.h"
#include "qelcode.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kStdinName[] = "(stdin)";
const char kStdoutName[] = "(stdout)";

int fail(const std::string &name, const std::string &message) {
    fprintf(stderr, "qelcode: %s: %s\n", name.c_str(), message.c_str());
    return kExitFailure;
}

// Standard output is buffered: a write error (a full disk, /dev/full) may
// show only when it is flushed.
int finish_stdout() {
    errno = 0;
    if (fflush(stdout) != 0) return fail(kStdoutName, errno != 0 ? strerror(errno) : "write error");
    if (ferror(stdout)) return fail(kStdoutName, "write error");
    return kExitOk;
}

bool same_file(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The library call for the mode; dest receives the output.
// Larger stdio buffers than the default block size halve the system calls
// per megabyte. A terminal keeps its own buffering, so that records show as
// they come.
void widen_buffers(FILE *dest, FILE *src) {
    constexpr size_t kBufferSize = 1 << 16;
    static char src_buffer[kBufferSize], dest_buffer[kBufferSize];
    setvbuf(src, src_buffer, _IOFBF, kBufferSize);
    if (!isatty(fileno(dest))) setvbuf(dest, dest_buffer, _IOFBF, kBufferSize);
}

int32_t run(const qelcli::Options &o, FILE *dest, FILE *src, uint64_t *line) {
    widen_buffers(dest, src);
    int32_t status = QEL_RTN_SUCCESSFUL;
    if (o.mode == qelcli::Mode::kEncode) {
        QEL_EncodeStream(dest, src, o.force ? QEL_FORCE : 0u, line, &status);
    } else {
        QEL_DecodeStream(dest, src, 0u, line, &status);
    }
    return status;
}

int report(const std::string &input, uint64_t line, int32_t status) {
    // Line 0: the source had no line at all.
    if (line == 0) {
        fprintf(stderr, "qelcode: %s: %s\n", input.c_str(), QEL_RtnCodeStr(status));
    } else {
        fprintf(stderr, "qelcode: %s: line %" PRIu64 ": %s\n", input.c_str(), line, QEL_RtnCodeStr(status));
    }
    if (status == QEL_RTN_SOURCE_ENCODED) {
        fputs("qelcode: --force encodes lines that already carry the encoded mark\n", stderr);
    }
    return kExitFailure;
}

int process(const qelcli::Options &o) {
    const bool from_stdin = o.input == "-";
    const std::string input = from_stdin ? kStdinName : o.input;
    FILE *const src = from_stdin ? stdin : fopen(o.input.c_str(), "rb");
    if (src == nullptr) return fail(input, strerror(errno));
    struct stat in_st {};
    if (fstat(fileno(src), &in_st) != 0) return fail(input, strerror(errno));
    if (S_ISDIR(in_st.st_mode)) return fail(input, strerror(EISDIR));

    // Writing into the file being read would destroy it, or never end.
    if (S_ISREG(in_st.st_mode)) {
        struct stat out_st {};
        if (!o.output.empty()) {
            if (stat(o.output.c_str(), &out_st) == 0 && same_file(in_st, out_st)) {
                return fail(o.output, "output file is the input file");
            }
        } else if (o.mode != qelcli::Mode::kTest) {
            if (fstat(STDOUT_FILENO, &out_st) == 0 && S_ISREG(out_st.st_mode) && same_file(in_st, out_st)) {
                return fail(kStdoutName, "output file is the input file");
            }
        }
    }

    uint64_t line = 0;
    if (o.mode == qelcli::Mode::kTest) {
        FILE *const sink = fopen("/dev/null", "wb");
        if (sink == nullptr) return fail("/dev/null", strerror(errno));
        const int32_t status = run(o, sink, src, &line);
        fclose(sink);
        if (status != QEL_RTN_SUCCESSFUL) return report(input, line, status);
        printf("%s: OK\n", input.c_str());
        return finish_stdout();
    }

    if (o.output.empty()) {
        const int32_t status = run(o, stdout, src, &line);
        if (status != QEL_RTN_SUCCESSFUL) return report(input, line, status);
        return finish_stdout();
    }

    qelcli::OutputFile out;
    std::string error;
    if (!out.open(o.output, &error)) return fail(o.output, error);
    const int32_t status = run(o, out.stream(), src, &line);
    if (status != QEL_RTN_SUCCESSFUL) return report(input, line, status);  // out discards the file
    if (!out.commit(&error)) return fail(o.output, error);
    return kExitOk;
}

}  // namespace

int main(int argc, char **argv) {
    qelcli::Options options;
    std::string error;
    if (!qelcli::parse_options(argc, argv, &options, &error)) {
        fprintf(stderr, "qelcode: %s\n%s", error.c_str(), qelcli::usage_text());
        return kExitUsage;
    }
    if (options.help) {
        fputs(qelcli::help_text(), stdout);
        return finish_stdout();
    }
    if (options.version) {
        printf("qelcode %s\n", QEL_VERSION_STRING);
        return finish_stdout();
    }
    return process(options);
}
