// What QEL_EncodeStream and QEL_DecodeStream (and QEL_Encode, QEL_Decode)
// do alike: the status chain, missing streams, a directory as source, a full
// device, and records or lines that come out while a pipe pauses. One table
// of cases, run in both directions; a direction turns the lines of a case
// into its own kind of source.
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qel_reference.h"
#include "qelcode.h"
#include "stream_calls.h"
#include "stream_io.h"

using streamio::File;
using streamio::filler;
using streamcall::kUntouched;
using streamcall::Result;

namespace {

const int kShift = qel_ref::build_shift();

struct Direction {
    const char *name;
    streamcall::StreamFunction stream;         // QEL_EncodeStream or QEL_DecodeStream
    int32_t (*plain)(FILE *, FILE *, int32_t *);  // QEL_Encode or QEL_Decode
    // A source of this direction holding the lines of text: the text itself
    // to encode, its records to decode.
    std::string (*source)(const std::string &text);
    // What the reference model makes of a source.
    qel_ref::Outcome (*model)(const std::string &src);
    const char *refused_line;  // a line this direction refuses ...
    int32_t refusal;           // ... and how
};

const Direction kEncode = {
    "encode",
    QEL_EncodeStream,
    QEL_Encode,
    [](const std::string &text) { return text; },
    [](const std::string &src) { return qel_ref::encode_stream(src, false, kShift); },
    "OP\n",
    QEL_RTN_SOURCE_ENCODED,
};

const Direction kDecode = {
    "decode",
    QEL_DecodeStream,
    QEL_Decode,
    [](const std::string &text) { return qel_ref::encode_stream(text, true, kShift).out; },
    [](const std::string &src) { return qel_ref::decode_stream(src); },
    "plain\n",
    QEL_RTN_SOURCE_NOT_ENCODED,
};

const Direction kDirections[] = {kEncode, kDecode};

void PrintTo(const Direction &d, std::ostream *os) { *os << d.name; }

std::string direction_name(const ::testing::TestParamInfo<Direction> &p) { return p.param.name; }

class BothWays : public ::testing::TestWithParam<Direction> {};

TEST_P(BothWays, StatusNotSuccessfulReadsAndWritesNothing) {
    const Direction &d = GetParam();
    for (int32_t initial : {0, -1, QEL_RTN_WRITE_ERROR, QEL_RTN_SOURCE_ENCODED, QEL_RTN_SOURCE_NOT_ENCODED,
                            QEL_RTN_RECORD_DAMAGED}) {
        SCOPED_TRACE(initial);
        File src = streamio::temp_file(d.source("abc\ndef\n"));
        File dest = streamio::temp_file();
        int32_t st = initial;
        uint64_t line = kUntouched;
        EXPECT_EQ(d.stream(dest, src, 0, &line, &st), 0);
        EXPECT_EQ(st, initial);
        EXPECT_EQ(line, kUntouched);
        EXPECT_EQ(d.plain(dest, src, &st), 0);
        EXPECT_EQ(st, initial);
        EXPECT_EQ(ftell(src), 0);
        EXPECT_EQ(streamio::contents(dest), "");
    }
}

TEST_P(BothWays, MissingStreamsDestinationFirst) {
    const Direction &d = GetParam();
    File src = streamio::temp_file(d.source("abc\n"));
    File dest = streamio::temp_file();
    struct {
        FILE *d;
        FILE *s;
        int32_t want;
    } cases[] = {{nullptr, nullptr, QEL_RTN_NO_DESTINATION},
                 {nullptr, src, QEL_RTN_NO_DESTINATION},
                 {dest, nullptr, QEL_RTN_NO_SOURCE}};
    for (const auto &c : cases) {
        int32_t st = QEL_RTN_SUCCESSFUL;
        uint64_t line = kUntouched;
        EXPECT_EQ(d.stream(c.d, c.s, 0, &line, &st), 0);
        EXPECT_EQ(st, c.want);
        EXPECT_EQ(line, kUntouched);
        int32_t st2 = QEL_RTN_SUCCESSFUL;
        EXPECT_EQ(d.plain(c.d, c.s, &st2), 0);
        EXPECT_EQ(st2, c.want);
    }
    EXPECT_EQ(ftell(src), 0);
    EXPECT_EQ(streamio::contents(dest), "");
}

TEST_P(BothWays, NullLinePointerIsAllowed) {
    const Direction &d = GetParam();
    File src = streamio::temp_file(d.source("a\n") + d.refused_line);
    File dest = streamio::temp_file();
    int32_t st = QEL_RTN_SUCCESSFUL;
    EXPECT_EQ(d.stream(dest, src, 0, nullptr, &st), 0);
    EXPECT_EQ(st, d.refusal);
}

TEST_P(BothWays, DirectoryAsSourceIsAReadError) {
    const Direction &d = GetParam();
    FILE *f = fopen(testing::TempDir().c_str(), "r");
    ASSERT_NE(f, nullptr) << "fopen of a directory for reading should succeed here";
    File src(f);
    const Result r = streamcall::run(d.stream, src);
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.status, QEL_RTN_READ_ERROR);
    EXPECT_EQ(r.line, 1u);
    EXPECT_EQ(r.out, "");
}

TEST_P(BothWays, FullDeviceIsAWriteError) {
    const Direction &d = GetParam();
    // 400 lines of 100 bytes: each becomes a source line of the same size.
    std::string text;
    for (int i = 0; i < 400; ++i) text += filler(100, static_cast<char>('a' + i % 20)) + "\n";
    const size_t line_size = d.source(filler(100) + "\n").size();
    File in = streamio::temp_file(d.source(text));
    FILE *f = fopen("/dev/full", "w");
    ASSERT_NE(f, nullptr);
    File dest(f);
    int32_t st = QEL_RTN_SUCCESSFUL;
    uint64_t line = kUntouched;
    EXPECT_EQ(d.stream(dest, in, 0, &line, &st), 0);
    EXPECT_EQ(st, QEL_RTN_WRITE_ERROR);
    // Which line hits the full buffer is the stream's affair.
    EXPECT_GE(line, 1u);
    EXPECT_LE(line, 400u);
    EXPECT_EQ(ftell(in), static_cast<long>(line * line_size));
}

TEST_P(BothWays, UnbufferedFullDeviceFailsAtTheFirstLine) {
    const Direction &d = GetParam();
    File in = streamio::temp_file(d.source("one\ntwo\n"));
    FILE *f = fopen("/dev/full", "w");
    ASSERT_NE(f, nullptr);
    File dest(f);
    setvbuf(dest, nullptr, _IONBF, 0);
    int32_t st = QEL_RTN_SUCCESSFUL;
    uint64_t line = kUntouched;
    EXPECT_EQ(d.stream(dest, in, 0, &line, &st), 0);
    EXPECT_EQ(st, QEL_RTN_WRITE_ERROR);
    EXPECT_EQ(line, 1u);
    EXPECT_EQ(ftell(in), static_cast<long>(d.source("one\n").size()));
}

INSTANTIATE_TEST_SUITE_P(Table, BothWays, ::testing::ValuesIn(kDirections), direction_name);

// A pipe that delivers some lines and then pauses: what they give must reach
// an unbuffered destination while the writer waits. The writer gives up
// after a time-out and closes the pipe, so the test can't hang.
struct PauseCase {
    const char *name;
    const Direction *only;  // nullptr: both ways, bytes are lines of text;
    std::string bytes;      // otherwise that direction's own source
};

void PrintTo(const PauseCase &c, std::ostream *os) { *os << c.name; }

// A record with CR LF for its line end, as a text stream may write it.
std::string crlf(std::string record) {
    record.pop_back();
    return record + "\r\n";
}

std::vector<std::pair<Direction, PauseCase>> pause_cases() {
    const PauseCase cases[] = {
        {"short_line", nullptr, "one line\n"},
        {"three_lines", nullptr, "a\nb\r\nc\n"},
        {"lf_507", nullptr, filler(507) + "\n"},
        {"crlf_506", nullptr, filler(506) + "\r\n"},
        {"lf_600", nullptr, filler(600) + "\n"},
        {"lf_and_crlf_records", &kDecode,
         qel_ref::encode_text("a", kShift) + crlf(qel_ref::encode_text("b", kShift))},
        {"line_of_512", &kDecode, crlf(qel_ref::encode_text(filler(507), kShift))},
    };
    std::vector<std::pair<Direction, PauseCase>> out;
    for (const Direction &d : kDirections)
        for (const PauseCase &c : cases)
            if (c.only == nullptr || c.only->stream == d.stream) out.emplace_back(d, c);
    return out;
}

class Pause : public ::testing::TestWithParam<std::pair<Direction, PauseCase>> {};

TEST_P(Pause, OutputOfDeliveredLinesComesBeforeTheSourceEnds) {
    const Direction &d = GetParam().first;
    const PauseCase &c = GetParam().second;
    const std::string first = c.only == nullptr ? d.source(c.bytes) : c.bytes;
    const std::string rest = d.source("after the pause\n");
    const std::string want_first = d.model(first).out;
    const std::string want_all = d.model(first + rest).out;

    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    FILE *src = fdopen(in[0], "r");
    FILE *dest = fdopen(out[1], "w");
    ASSERT_NE(src, nullptr);
    ASSERT_NE(dest, nullptr);
    setvbuf(dest, nullptr, _IONBF, 0);

    auto worker = std::async(std::launch::async, [&] {
        int32_t st = QEL_RTN_SUCCESSFUL;
        uint64_t line = 0;
        d.stream(dest, src, 0, &line, &st);
        fclose(dest);
        return st;
    });

    ASSERT_EQ(write(in[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
    const std::string seen = streamio::read_for(out[0], want_first.size(), 10000);
    ASSERT_EQ(write(in[1], rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
    close(in[1]);
    const std::string tail = streamio::read_for(out[0], want_all.size() - seen.size(), 10000);

    ASSERT_EQ(worker.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(worker.get(), QEL_RTN_SUCCESSFUL);
    EXPECT_EQ(seen, want_first) << "output held back until more input came";
    EXPECT_EQ(seen + tail, want_all);
    fclose(src);
    close(out[0]);
}

INSTANTIATE_TEST_SUITE_P(Lines, Pause, ::testing::ValuesIn(pause_cases()), [](const auto &p) {
    return std::string(p.param.first.name) + "_" + p.param.second.name;
});

}  // namespace
