// QEL_Decode and QEL_DecodeStream on real files and pipes.
#include <stdio.h>
#include <unistd.h>

#include <chrono>
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

Result decode(FILE *src) { return streamcall::run(QEL_DecodeStream, src); }

// The record of a text (no line end), as written by a build with shift s.
std::string rec(const std::string &text, int s = kShift) { return qel_ref::encode_text(text, s); }

std::string crlf(std::string r) {
    r.pop_back();
    return r + "\r\n";
}

std::string without_lf(std::string r) {
    r.pop_back();
    return r;
}

struct Case {
    const char *name;
    std::string src;
    int32_t status;   // worked out by hand
    uint64_t line;    // worked out by hand
    size_t lines_out; // worked out by hand
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

std::vector<Case> decoder_cases() {
    const std::string long_text = filler(507);
    std::string every_step;
    for (int s = 1; s <= 9; ++s) every_step += rec("step " + std::to_string(s), s);
    // One byte gone from a record that ends the file without a line feed,
    // and two gone from one with its line feed. (With the line feed, one
    // dropped byte is taken for a text that ended with a line feed.)
    std::string dropped = without_lf(rec("abcdef"));
    dropped.erase(5, 1);
    std::string dropped_two = rec("abcdef");
    dropped_two.erase(5, 2);
    std::string spaced = rec("abcdef");
    spaced[6] = ' ';
    std::string entry16 = rec("abc");
    entry16[2] = qel_ref::alphabet()[16];
    std::string entry26 = rec("abc");
    entry26[2] = qel_ref::alphabet()[26];
    std::string broken_mark = rec("abc");
    broken_mark[1] = static_cast<char>(broken_mark[1] + 1);
    return {
        {"empty", "", QEL_RTN_EMPTY_SOURCE, 0, 0},
        {"one_empty_record", rec(""), 1, 1, 1},
        {"several_records", rec("first") + rec("a~b") + rec("\t\x7f\xe9 x"), 1, 3, 3},
        {"crlf_line_ends", crlf(rec("one")) + crlf(rec("")) + crlf(rec("three")), 1, 3, 3},
        {"last_record_without_lf", rec("a") + without_lf(rec("xyz")), 1, 2, 2},
        {"last_record_ends_with_cr", rec("a") + without_lf(crlf(rec("xyz"))), 1, 2, 2},
        {"records_of_every_step_mark", every_step, 1, 9, 9},
        {"text_that_ended_with_lf", rec("ab\n") + rec("c"), 1, 2, 3},
        {"longest_record_lf", rec(long_text), 1, 1, 1},
        {"longest_record_crlf_is_512", rec("x") + crlf(rec(long_text)), 1, 2, 2},
        {"line_of_513", rec("x") + without_lf(rec(long_text)) + "\r\r\n", QEL_RTN_RECORD_DAMAGED, 2, 1},
        {"line_of_600", rec("x") + std::string(600, 'q') + "\n" + rec("y"), QEL_RTN_RECORD_DAMAGED, 2, 1},
        {"plain_third_line", rec("a") + rec("b") + "plain\n" + rec("d"), QEL_RTN_SOURCE_NOT_ENCODED, 3, 2},
        {"empty_line_is_not_a_record", std::string(1, '\n') + rec("a"), QEL_RTN_SOURCE_NOT_ENCODED, 1, 0},
        {"nul_third_line", rec("a") + rec("b") + std::string("\0", 1) + rec("c"), QEL_RTN_NUL_IN_SOURCE, 3, 2},
        {"dropped_byte", rec("a") + dropped, QEL_RTN_RECORD_DAMAGED, 2, 1},
        {"dropped_two_bytes", rec("a") + dropped_two + rec("b"), QEL_RTN_RECORD_DAMAGED, 2, 1},
        {"space_in_body", spaced, QEL_RTN_RECORD_DAMAGED, 1, 0},
        {"step_mark_entry_16", rec("a") + entry16, QEL_RTN_RECORD_DAMAGED, 2, 1},
        {"step_mark_entry_26", entry26, QEL_RTN_RECORD_DAMAGED, 1, 0},
        {"broken_mark", rec("a") + broken_mark, QEL_RTN_SOURCE_NOT_ENCODED, 2, 1},
        {"mark_only_two_bytes", "OP", QEL_RTN_RECORD_DAMAGED, 1, 0},
        {"mark_then_lf", "OP\n", QEL_RTN_RECORD_DAMAGED, 1, 0},
        // Bodies longer than any encoder writes, though their length marks agree.
        {"body_509_no_lf", rec("x") + "GX5" + std::string(509, 'c'), QEL_RTN_RECORD_DAMAGED, 2, 1},
        {"body_508_lf", rec("x") + "GX5" + std::string(508, 'c') + "\n" + rec("y"), QEL_RTN_RECORD_DAMAGED, 2, 1},
    };
}

using streamcall::Kind;
using streamcall::Setting;

class DecoderCases : public ::testing::TestWithParam<std::tuple<Case, Kind, Setting>> {};

TEST_P(DecoderCases, OutputStatusAndLineMatchTheRules) {
    const auto &[c, kind, setting] = GetParam();
    const qel_ref::Outcome want = qel_ref::decode_stream(c.src);
    ASSERT_EQ(want.status, c.status);
    ASSERT_EQ(want.line, c.line);
    ASSERT_EQ(count_lines(want.out), c.lines_out);

    const Result r = streamcall::run_in(QEL_DecodeStream, c.src, kind, setting);
    EXPECT_EQ(r.ret, c.status == 1 ? 1 : 0);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.line, c.line);
    EXPECT_EQ(r.out, want.out);
}

INSTANTIATE_TEST_SUITE_P(Table, DecoderCases,
                         ::testing::Combine(::testing::ValuesIn(decoder_cases()),
                                            ::testing::Values(Kind::kFile, Kind::kPipe),
                                            ::testing::ValuesIn(streamcall::kSettings)),
                         streamcall::CaseSettingName{});

TEST(DecoderReference, AgreesWithHandWorkedText) {
    const auto cases = qel_ref::vectors("decode-file");
    ASSERT_FALSE(cases.empty());
    for (const qel_ref::Vector &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.record));
        EXPECT_EQ(qel_ref::decode_stream(c.record).out, c.text);
    }
}

TEST(DecodeStream, QelDecodeIsDecodeStreamWithoutOptions) {
    const std::string src = rec("one") + rec("two") + "three\n";
    File s = streamio::temp_file(src);
    File d = streamio::temp_file();
    int32_t st = QEL_RTN_SUCCESSFUL;
    EXPECT_EQ(QEL_Decode(d, s, &st), 0);
    EXPECT_EQ(st, QEL_RTN_SOURCE_NOT_ENCODED);
    EXPECT_EQ(streamio::contents(d), "one\ntwo\n");

    File s2 = streamio::temp_file(rec("x"));
    File d2 = streamio::temp_file();
    st = QEL_RTN_SUCCESSFUL;
    EXPECT_EQ(QEL_Decode(d2, s2, &st), 1);
    EXPECT_EQ(streamio::contents(d2), "x\n");
}

TEST(DecodeStream, FlagsAreIgnored) {
    const std::string src = rec("a") + rec("OP") + "plain\n";
    for (uint32_t flags : {0u, QEL_FORCE, 0xFFFFFFFFu}) {
        File s = streamio::temp_file(src);
        File d = streamio::temp_file();
        int32_t st = QEL_RTN_SUCCESSFUL;
        uint64_t line = 0;
        EXPECT_EQ(QEL_DecodeStream(d, s, flags, &line, &st), 0);
        EXPECT_EQ(st, QEL_RTN_SOURCE_NOT_ENCODED);
        EXPECT_EQ(line, 3u);
        EXPECT_EQ(streamio::contents(d), "a\nOP\n");
    }
}

class DecoderPosition : public ::testing::TestWithParam<PositionCase> {};

TEST_P(DecoderPosition, SourceStandsAfterTheFailingRecord) {
    const PositionCase &c = GetParam();
    File src = streamio::temp_file(c.src);
    const Result r = decode(src);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(ftell(src), c.position);
    if (static_cast<size_t>(c.position) < c.src.size()) {
        EXPECT_EQ(fgetc(src), static_cast<unsigned char>(c.src[static_cast<size_t>(c.position)]));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecoderPosition,
    ::testing::Values(
        // "!~?x\n" is 5 bytes; the plain line "plain\n" ends at 16.
        PositionCase{"plain_second_line", rec("a") + rec("b") + "plain\n" + rec("c"), QEL_RTN_SOURCE_NOT_ENCODED,
                     16},
        // 512 bytes read, the 513th pushed back.
        PositionCase{"line_too_long", std::string(520, 'q') + "\n" + rec("a"), QEL_RTN_RECORD_DAMAGED, 512},
        PositionCase{"line_too_long_by_its_lf", std::string(512, 'q') + "\n", QEL_RTN_RECORD_DAMAGED, 512},
        PositionCase{"damaged_second", rec("a") + "OPq\n" + rec("b"), QEL_RTN_RECORD_DAMAGED, 9}),
    [](const auto &pi) { return std::string(pi.param.name); });

struct ReadErrorCase {
    const char *name;
    std::string src;
    size_t fail_at;
    uint64_t line;
    size_t lines_out;
};

void PrintTo(const ReadErrorCase &c, std::ostream *os) { *os << c.name; }

class DecoderReadError : public ::testing::TestWithParam<ReadErrorCase> {};

TEST_P(DecoderReadError, StopsWithReadError) {
    const ReadErrorCase &c = GetParam();
    const qel_ref::Outcome want = qel_ref::decode_stream(c.src, c.fail_at);
    ASSERT_EQ(want.status, QEL_RTN_READ_ERROR);
    ASSERT_EQ(want.line, c.line);
    ASSERT_EQ(count_lines(want.out), c.lines_out);

    streamio::FailingSource src(c.src, c.fail_at);
    ASSERT_NE(src.get(), nullptr);
    const Result r = decode(src.get());
    EXPECT_EQ(r.status, QEL_RTN_READ_ERROR);
    EXPECT_EQ(r.line, c.line);
    EXPECT_EQ(r.out, want.out);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecoderReadError,
    ::testing::Values(ReadErrorCase{"first_read", rec("abc"), 0, 1, 0},
                      ReadErrorCase{"inside_second_record", rec("abc") + rec("defgh"), 9, 2, 1},
                      ReadErrorCase{"instead_of_end", rec("abc") + rec("d"), 12, 3, 2},
                      // 512 bytes with no line feed: the look-ahead byte fails.
                      ReadErrorCase{"at_look_ahead", rec("x") + std::string(512, 'q') + "\n", 517, 2, 1}),
    [](const auto &pi) { return std::string(pi.param.name); });

}  // namespace
