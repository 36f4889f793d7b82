// qelcode: encodes text into records, decodes records back to text, or
// checks that a file of records is sound.
//
// Exit status: 0 success (an empty input too), 1 failure (a refused line,
// an unreadable or unwritable file), 2 bad usage.
#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "options.h"
#include "output_file.h"
#include "progress.h"
#include "read_ahead.h"
#include "standard_descriptors.h"
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

// Larger stdio buffers than the default block size halve the system calls
// per megabyte. Each stream gets its buffer before its first use; a
// terminal keeps its own buffering, so that records show as they come.
constexpr size_t kBufferSize = 1 << 16;

void widen_input(FILE *src) {
    static char stdin_buffer[kBufferSize], file_buffer[kBufferSize];
    static bool stdin_widened = false;
    if (src != stdin) {
        setvbuf(src, file_buffer, _IOFBF, kBufferSize);  // one input is read at a time
    } else if (!stdin_widened) {
        stdin_widened = true;
        setvbuf(stdin, stdin_buffer, _IOFBF, kBufferSize);
    }
}

// Progress is shown by default on a terminal for a file that takes a
// while: more than this.
constexpr off_t kProgressFrom = off_t{8} << 20;

// A regular file at least this large is read ahead by a thread; a smaller
// one would gain less than the thread costs.
constexpr off_t kReadAheadFrom = off_t{1} << 20;

void widen_output(FILE *dest) {
    static char buffer[kBufferSize];
    if (!isatty(fileno(dest))) setvbuf(dest, buffer, _IOFBF, kBufferSize);
}

// An open INPUT and the name messages give it. With progress shown, the
// library reads it through a stream that counts the bytes (reading the
// opened one's descriptor); a large regular file through a stream that a
// thread reads ahead (from the same descriptor); otherwise through the
// opened stream itself.
struct Input {
    FILE *opened = nullptr;
    FILE *stream = nullptr;
    std::string name;
    struct stat st {};
    qelcli::ProgressReader progress;
    qelcli::ReadAhead ahead;
    FILE *read_ahead = nullptr;  // the stream ahead gives, where it gave one

    Input() = default;
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    ~Input() {
        // A shared descriptor (standard input) is left after the bytes the
        // conversion took, as the plain stream leaves it at exit: the flush
        // gives back what the stream holds unread.
        if (stream != nullptr && stream == read_ahead) fflush(stream);
        if (stream != nullptr && stream != opened) fclose(stream);
        if (opened != nullptr && opened != stdin) fclose(opened);
    }
};

bool shows_progress(const qelcli::Options &o, const Input &in) {
    if (o.progress != qelcli::Progress::kAuto) return o.progress == qelcli::Progress::kOn;
    return isatty(STDERR_FILENO) && S_ISREG(in.st.st_mode) && in.st.st_size > kProgressFrom;
}

// Opens INPUT ("-": standard input); on failure reports why and returns false.
bool open_input(const qelcli::Options &o, const std::string &arg, Input *in) {
    const bool from_stdin = arg == "-";
    in->name = from_stdin ? kStdinName : arg;
    in->opened = in->stream = from_stdin ? stdin : fopen(arg.c_str(), "rb");
    int err = 0;
    if (in->stream == nullptr || fstat(fileno(in->stream), &in->st) != 0) {
        err = errno;
    } else if (S_ISDIR(in->st.st_mode)) {
        err = EISDIR;
    } else if (shows_progress(o, *in)) {
        const int fd = fileno(in->opened);
        const off_t at = S_ISREG(in->st.st_mode) ? lseek(fd, 0, SEEK_CUR) : -1;
        const int64_t total = S_ISREG(in->st.st_mode) ? in->st.st_size : -1;
        in->stream = in->progress.open(fd, in->name, total, at > 0 ? at : 0);
        if (in->stream == nullptr) err = errno;
    } else if (S_ISREG(in->st.st_mode) && in->st.st_size >= kReadAheadFrom) {
        // Where no thread can be had, the opened stream reads as before.
        in->read_ahead = in->ahead.open(fileno(in->opened));
        if (in->read_ahead != nullptr) in->stream = in->read_ahead;
    }
    if (err != 0) {
        fail(in->name, strerror(err));
        return false;
    }
    widen_input(in->stream);
    return true;
}

// The library call for the mode; dest receives the output. On a write
// error *write_errno is the system's reason (0 where there was none).
int32_t run(const qelcli::Options &o, FILE *dest, Input *in, uint64_t *line, int *write_errno) {
    int32_t status = QEL_RTN_SUCCESSFUL;
    errno = 0;
    if (o.mode == qelcli::Mode::kEncode) {
        QEL_EncodeStream(dest, in->stream, o.force ? QEL_FORCE : 0u, line, &status);
    } else {
        QEL_DecodeStream(dest, in->stream, 0u, line, &status);
    }
    *write_errno = errno;
    in->progress.finish();  // before any message
    return status;
}

// A failed conversion: a write error names the output and the system's
// reason; anything else names the input, and the line where there is one.
int report(const std::string &input, const std::string &output, int write_errno, uint64_t line,
           int32_t status) {
    if (status == QEL_RTN_WRITE_ERROR) return fail(output, write_errno != 0 ? strerror(write_errno) : "write error");
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

// -t: every INPUT is checked and reported, "NAME: OK" on standard output or
// the error on standard error; the exit status is 1 if any failed.
int test_inputs(const qelcli::Options &o) {
    FILE *const sink = fopen("/dev/null", "wb");
    if (sink == nullptr) return fail("/dev/null", strerror(errno));
    widen_output(sink);
    int result = kExitOk;
    int stdout_error = 0;
    for (const std::string &arg : o.inputs) {
        Input in;
        uint64_t line = 0;
        int write_errno = 0;
        int32_t status = QEL_RTN_SUCCESSFUL;
        if (!open_input(o, arg, &in)) {
            result = kExitFailure;
        } else if ((status = run(o, sink, &in, &line, &write_errno)) == QEL_RTN_EMPTY_SOURCE) {
            printf("%s: OK (empty)\n", in.name.c_str());
        } else if (status != QEL_RTN_SUCCESSFUL) {
            result = report(in.name, "/dev/null", write_errno, line, status);
        } else {
            printf("%s: OK\n", in.name.c_str());
        }
        // Each report in turn, where both streams go to one place.
        if (fflush(stdout) != 0 && stdout_error == 0) stdout_error = errno != 0 ? errno : EIO;
    }
    fclose(sink);
    if (stdout_error != 0) return fail(kStdoutName, strerror(stdout_error));
    const int finished = finish_stdout();
    return finished != kExitOk ? finished : result;
}

// Encodes or decodes the one INPUT.
int convert(const qelcli::Options &o) {
    Input in;
    if (!open_input(o, o.inputs.front(), &in)) return kExitFailure;
    const bool to_stdout = o.output.empty() || o.output == "-";

    // Writing into the file being read would destroy it, or never end.
    if (S_ISREG(in.st.st_mode)) {
        struct stat out_st {};
        if (!to_stdout) {
            if (stat(o.output.c_str(), &out_st) == 0 && same_file(in.st, out_st)) {
                return fail(o.output, "output file is the input file");
            }
        } else if (fstat(STDOUT_FILENO, &out_st) == 0 && S_ISREG(out_st.st_mode) && same_file(in.st, out_st)) {
            return fail(kStdoutName, "output file is the input file");
        }
    }

    // An empty input gives an empty output, as for any filter; the library
    // says so with its own code.
    const auto succeeded = [](int32_t status) {
        return status == QEL_RTN_SUCCESSFUL || status == QEL_RTN_EMPTY_SOURCE;
    };
    uint64_t line = 0;
    int write_errno = 0;
    if (to_stdout) {
        widen_output(stdout);
        const int32_t status = run(o, stdout, &in, &line, &write_errno);
        if (!succeeded(status)) return report(in.name, kStdoutName, write_errno, line, status);
        return finish_stdout();
    }

    qelcli::OutputFile out;
    std::string error;
    if (!out.open(o.output, &error)) return fail(o.output, error);
    widen_output(out.stream());
    const int32_t status = run(o, out.stream(), &in, &line, &write_errno);
    if (!succeeded(status)) return report(in.name, o.output, write_errno, line, status);  // out discards the file
    if (!out.commit(&error)) return fail(o.output, error);
    return kExitOk;
}

}  // namespace

int main(int argc, char **argv) {
    if (!qelcli::fill_closed_standard_descriptors()) {
        fprintf(stderr, "qelcode: /dev/null: %s\n", strerror(errno));
        return kExitFailure;
    }
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
    return options.mode == qelcli::Mode::kTest ? test_inputs(options) : convert(options);
}
