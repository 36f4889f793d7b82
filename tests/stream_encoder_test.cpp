// QEL_Encode and QEL_EncodeStream on real files and pipes.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qelcode.h"
#include "stream_calls.h"
#include "stream_io.h"
#include "qel_reference.h"

using streamio::File;
using streamio::filler;
using streamcall::count_lines;
using streamcall::kUntouched;
using streamcall::PositionCase;
using streamcall::Result;

namespace {

const int kShift = qel_ref::build_shift();

Result encode(FILE *src, uint32_t flags = 0) { return streamcall::run(QEL_EncodeStream, src, flags); }

std::string L(size_t n, char seed = 'a') { return filler(n, seed); }

std::string tildes_as_spaces(std::string s) {
    for (char &c : s) {
        if (c == '~') c = ' ';
    }
    return s;
}

struct Case {
    const char *name;
    std::string src;
    uint32_t flags;
    int32_t status;   // worked out by hand
    uint64_t line;    // worked out by hand
    size_t records;   // worked out by hand
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

std::vector<Case> encoder_cases() {
    const std::string marked = "OP plain text that looks encoded\n";
    return {
        {"empty", "", 0, QEL_RTN_EMPTY_SOURCE, 0, 0},
        {"one_empty_line", "\n", 0, 1, 1, 1},
        {"last_line_without_lf", "first\nsecond", 0, 1, 2, 2},
        {"crlf_lines", "one\r\ntwo\r\n\r\n", 0, 1, 3, 3},
        {"lone_cr_stays", "a\rb\r", 0, 1, 1, 1},
        {"cr_before_crlf", "tail\r\r\n", 0, 1, 1, 1},
        {"tilde_and_controls", "a~b\tc\x7f\xe9\xff\n", 0, 1, 1, 1},
        {"lf_506", L(506) + "\nend\n", 0, 1, 2, 2},
        {"lf_507", L(507) + "\nend\n", 0, 1, 2, 2},
        {"lf_508", L(508) + "\nend\n", 0, 1, 2, 3},
        {"lf_1014", L(1014) + "\nend\n", 0, 1, 2, 3},
        {"lf_1015", L(1015) + "\nend\n", 0, 1, 2, 4},
        {"crlf_506", L(506) + "\r\nend\r\n", 0, 1, 2, 2},
        {"crlf_507", L(507) + "\r\nend\r\n", 0, 1, 2, 3},
        {"crlf_508", L(508) + "\r\nend\r\n", 0, 1, 2, 3},
        {"crlf_1014", L(1014) + "\r\nend\r\n", 0, 1, 2, 4},
        {"crlf_1015", L(1015) + "\r\nend\r\n", 0, 1, 2, 4},
        {"no_lf_507_at_end", "x\n" + L(507), 0, 1, 2, 2},
        {"no_lf_1014_at_end", "x\n" + L(1014), 0, 1, 2, 3},
        {"mark_first_line", marked + "b\n", 0, QEL_RTN_SOURCE_ENCODED, 1, 0},
        {"mark_fifth_line", "1\n2\n3\n4\n" + marked + "6\n", 0, QEL_RTN_SOURCE_ENCODED, 5, 4},
        {"mark_fifth_line_forced", "1\n2\n3\n4\n" + marked + "6\n", QEL_FORCE, 1, 6, 6},
        {"mark_unknown_flags_ignored", "1\n" + marked, 0xFFFFFFFEu, QEL_RTN_SOURCE_ENCODED, 2, 1},
        {"mark_forced_with_unknown_flags", "1\n" + marked, 0xFFFFFFFFu, 1, 2, 2},
        {"mark_space_del", "\n \x7f\n", 0, QEL_RTN_SOURCE_ENCODED, 2, 1},
        {"mark_del_space", "\x7f tail\n", 0, QEL_RTN_SOURCE_ENCODED, 1, 0},
        {"high_bytes_never_marked", "\xc8\xd7\n\x9f\x80\n", 0, 1, 2, 2},
        {"mark_on_second_piece", "x\n" + L(507) + "OP\n", 0, QEL_RTN_SOURCE_ENCODED, 2, 2},
        {"mark_on_second_piece_forced", "x\n" + L(507) + "OP\n", QEL_FORCE, 1, 2, 3},
        {"nul_third_line", std::string("a\nb\nc\0d\ne\n", 10), 0, QEL_RTN_NUL_IN_SOURCE, 3, 2},
        {"nul_first_byte", std::string("\0\n", 2), 0, QEL_RTN_NUL_IN_SOURCE, 1, 0},
        {"nul_last_line_no_lf", std::string("a\nb\0", 4), 0, QEL_RTN_NUL_IN_SOURCE, 2, 1},
        {"nul_second_piece", "a\n" + L(550).replace(520, 1, 1, '\0') + "\n", 0, QEL_RTN_NUL_IN_SOURCE, 2, 2},
    };
}

using streamcall::Kind;
using streamcall::Setting;

class EncoderCases : public ::testing::TestWithParam<std::tuple<Case, Kind, Setting>> {};

TEST_P(EncoderCases, OutputStatusAndLineMatchTheRules) {
    const auto &[c, kind, setting] = GetParam();
    const qel_ref::Outcome want = qel_ref::encode_stream(c.src, (c.flags & QEL_FORCE) != 0, kShift);
    // The model and the hand-worked figures agree before the library is asked.
    ASSERT_EQ(want.status, c.status);
    ASSERT_EQ(want.line, c.line);
    ASSERT_EQ(count_lines(want.out), c.records);

    const Result r = streamcall::run_in(QEL_EncodeStream, c.src, kind, setting, c.flags);
    EXPECT_EQ(r.ret, c.status == 1 ? 1 : 0);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.line, c.line);
    EXPECT_EQ(r.out, want.out);
}

INSTANTIATE_TEST_SUITE_P(Table, EncoderCases,
                         ::testing::Combine(::testing::ValuesIn(encoder_cases()),
                                            ::testing::Values(Kind::kFile, Kind::kPipe),
                                            ::testing::ValuesIn(streamcall::kSettings)),
                         streamcall::CaseSettingName{});

// The model itself against records worked out by hand with the alphabet.
TEST(EncoderReference, AgreesWithHandWorkedRecords) {
    const auto cases = qel_ref::vectors("encode-file");
    ASSERT_FALSE(cases.empty());
    for (const qel_ref::Vector &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(qel_ref::encode_stream(c.text, false, c.s).out, c.record);
    }
}

TEST(EncodeStream, QelEncodeIsEncodeStreamWithoutOptions) {
    const std::string src = "a\nOP\n";
    File s = streamio::temp_file(src);
    File d = streamio::temp_file();
    int32_t st = QEL_RTN_SUCCESSFUL;
    EXPECT_EQ(QEL_Encode(d, s, &st), 0);
    EXPECT_EQ(st, QEL_RTN_SOURCE_ENCODED);
    EXPECT_EQ(streamio::contents(d), qel_ref::encode_stream(src, false, kShift).out);

    File s2 = streamio::temp_file("a\nb\n");
    File d2 = streamio::temp_file();
    st = QEL_RTN_SUCCESSFUL;
    EXPECT_EQ(QEL_Encode(d2, s2, &st), 1);
    EXPECT_EQ(st, QEL_RTN_SUCCESSFUL);
    EXPECT_EQ(streamio::contents(d2), qel_ref::encode_stream("a\nb\n", false, kShift).out);
}

class EncoderPosition : public ::testing::TestWithParam<PositionCase> {};

TEST_P(EncoderPosition, SourceStandsAfterTheFailingPiece) {
    const PositionCase &c = GetParam();
    File src = streamio::temp_file(c.src);
    const Result r = encode(src);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(ftell(src), c.position);
    // And reading goes on from there.
    if (static_cast<size_t>(c.position) < c.src.size()) {
        EXPECT_EQ(fgetc(src), static_cast<unsigned char>(c.src[static_cast<size_t>(c.position)]));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, EncoderPosition,
    ::testing::Values(
        PositionCase{"mark_fifth_line", "1\n2\n3\n4\nOP\n6\n", QEL_RTN_SOURCE_ENCODED, 11},
        PositionCase{"nul_third_line", std::string("a\nb\nc\0d\ne\n", 10), QEL_RTN_NUL_IN_SOURCE, 8},
        // 507 bytes starting with the mark; the look-ahead byte goes back.
        PositionCase{"mark_full_piece", "OP" + L(600) + "\n", QEL_RTN_SOURCE_ENCODED, 507},
        // 507 bytes and the LF that joined them.
        PositionCase{"mark_full_piece_with_lf", "OP" + L(505) + "\nrest\n", QEL_RTN_SOURCE_ENCODED, 508},
        // The second piece of a long line, 507 bytes in, stops at its own end.
        PositionCase{"nul_second_piece", L(507) + std::string("ab\0cd\n", 6) + "x\n", QEL_RTN_NUL_IN_SOURCE,
                     513}),
    [](const auto &pi) { return std::string(pi.param.name); });

// Reads fail at a given offset: records before the failing piece stay.
struct ReadErrorCase {
    const char *name;
    std::string src;
    size_t fail_at;
    uint64_t line;
    size_t records;
};

void PrintTo(const ReadErrorCase &c, std::ostream *os) { *os << c.name; }

class EncoderReadError : public ::testing::TestWithParam<ReadErrorCase> {};

TEST_P(EncoderReadError, StopsWithReadError) {
    const ReadErrorCase &c = GetParam();
    const qel_ref::Outcome want = qel_ref::encode_stream(c.src, false, kShift, c.fail_at);
    ASSERT_EQ(want.status, QEL_RTN_READ_ERROR);
    ASSERT_EQ(want.line, c.line);
    ASSERT_EQ(count_lines(want.out), c.records);

    streamio::FailingSource src(c.src, c.fail_at);
    ASSERT_NE(src.get(), nullptr);
    const Result r = encode(src.get());
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.status, QEL_RTN_READ_ERROR);
    EXPECT_EQ(r.line, c.line);
    EXPECT_EQ(r.out, want.out);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EncoderReadError,
    ::testing::Values(ReadErrorCase{"first_read", "abc\n", 0, 1, 0},
                      ReadErrorCase{"inside_third_line", "one\ntwo\nthree\n", 10, 3, 2},
                      ReadErrorCase{"at_line_boundary", "one\ntwo\nthree\n", 8, 3, 2},
                      ReadErrorCase{"instead_of_end", "one\ntwo\n", 8, 3, 2},
                      ReadErrorCase{"instead_of_end_no_lf", "one\ntwo", 7, 2, 1},
                      ReadErrorCase{"at_look_ahead", "x\n" + L(507) + "\n", 509, 2, 1},
                      ReadErrorCase{"in_second_piece", L(700) + "\n", 600, 1, 1}),
    [](const auto &pi) { return std::string(pi.param.name); });

// Encoding then decoding gives every line back: pieces of long lines as
// lines of their own, CR LF as LF, tildes as spaces.
std::string round_trip(const std::string &src, int32_t *status) {
    File in = streamio::temp_file(src);
    File mid = streamio::temp_file();
    File back = streamio::temp_file();
    *status = QEL_RTN_SUCCESSFUL;
    QEL_EncodeStream(mid, in, QEL_FORCE, nullptr, status);
    rewind(mid);
    QEL_Decode(back, mid, status);
    return streamio::contents(back);
}

TEST(RoundTrip, RepositoryFilesComeBack) {
    namespace fs = std::filesystem;
    size_t files = 0;
    const fs::path root = QEL_TEST_SOURCE_DIR;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string name = it->path().filename().string();
        if (it->is_directory() && (name == ".git" || name.rfind("build", 0) == 0)) {
            it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file() || it->file_size() == 0 || it->file_size() > (1u << 20)) continue;
        FILE *f = fopen(it->path().c_str(), "rb");
        ASSERT_NE(f, nullptr);
        File text(f);
        const std::string src = streamio::contents(text);
        if (src.find('\0') != std::string::npos) continue;
        int32_t st = 0;
        const std::string back = round_trip(src, &st);
        EXPECT_EQ(st, QEL_RTN_SUCCESSFUL) << it->path();
        // For text with short LF lines the round trip is the text itself,
        // tildes turned to spaces and a final line feed added.
        std::string plain = tildes_as_spaces(src);
        if (plain.back() != '\n') plain += '\n';
        bool short_lf_lines = src.find('\r') == std::string::npos;
        size_t start = 0;
        for (size_t i = 0; i < src.size(); ++i) {
            if (src[i] == '\n') {
                short_lf_lines &= i - start <= 507;
                start = i + 1;
            }
        }
        short_lf_lines &= src.size() - start <= 507;
        if (short_lf_lines) {
            EXPECT_EQ(back, plain) << it->path();
        } else {
            EXPECT_EQ(back, qel_ref::round_trip_text(src)) << it->path();
        }
        ++files;
    }
    EXPECT_GT(files, 10u) << "the repository's own files were not found under " << root;
}

TEST(RoundTrip, GeneratedTextWithLongLinesCrLfControlAndHighBytes) {
    std::mt19937 rng(20261210);
    for (int round = 0; round < 20; ++round) {
        const std::string src = streamio::random_text(rng, 60, true);
        int32_t st = 0;
        EXPECT_EQ(round_trip(src, &st), qel_ref::round_trip_text(src)) << "round " << round;
        EXPECT_EQ(st, QEL_RTN_SUCCESSFUL);
    }
}

TEST(RoundTrip, HandWorkedExpectations) {
    int32_t st = 0;
    EXPECT_EQ(round_trip("a~b\r\n~\n\r\n", &st), "a b\n \n\n");
    EXPECT_EQ(st, 1);
    EXPECT_EQ(round_trip(L(507) + "\r\n", &st), tildes_as_spaces(L(507)) + "\n\n");
    const std::string spaced = tildes_as_spaces(L(1000, 'q'));
    EXPECT_EQ(round_trip(L(1000, 'q'), &st), spaced.substr(0, 507) + "\n" + spaced.substr(507) + "\n");
}

}  // namespace
