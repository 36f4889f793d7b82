// QEL_EncodeRecord: exact record bytes, the line-end rule, the encoded-mark
// refusal, the length limit, the status chain, streams and buffer bounds.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "capture_file.h"
#include "qelcode.h"
#include "qel_reference.h"
#include "record_calls.h"

namespace {

using namespace std::string_literals;
using qel_test::FullDevice;
using qel_test::TempFile;
using qel_test::written_bytes;

using Outcome = qel_test::RecordOutcome;

// Runs QEL_EncodeRecord on a copy of text in a roomy buffer.
Outcome encode(std::string_view text, FILE *dest = nullptr, int32_t status = QEL_RTN_SUCCESSFUL) {
    return qel_test::call_record(QEL_EncodeRecord, text, QEL_RECORD_BUFFER_SIZE, dest, status, '\x5a');
}

std::string repeat_graphics(size_t n, size_t start = 0) {
    // Every graphic byte in turn, so each one meets many shifts.
    std::string t;
    for (size_t i = 0; i < n; ++i) t += static_cast<char>(32 + (start + i) % 95);
    return t;
}

// Records worked out by hand (tests/reference/vectors.txt), for the vectors
// of this build's shift.
TEST(EncodeRecord, HandWorkedRecords) {
    const auto cases = qel_ref::vectors("encode-line");
    ASSERT_FALSE(cases.empty());
    int checked = 0;
    for (const qel_ref::Vector &c : cases) {
        if (c.s != qel_ref::build_shift()) continue;
        SCOPED_TRACE(testing::PrintToString(c.text));
        const Outcome o = encode(c.text);
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.status, QEL_RTN_SUCCESSFUL);
        EXPECT_EQ(o.buffer, c.record);
        ++checked;
    }
    if (checked == 0) GTEST_SKIP() << "no hand-worked vectors for this build's shift";
}

TEST(EncodeRecord, LengthMarkAndComplementFollowLengthModulo94) {
    struct Case {
        size_t n;
        unsigned char mark, complement;
    };
    const Case cases[] = {
        {0, 32, 127}, {1, 33, 126}, {93, 125, 34}, {94, 32, 127}, {95, 33, 126},
        {188, 32, 127}, {400, 56, 103}, {506, 68, 91}, {507, 69, 90},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.n);
        const Outcome o = encode(repeat_graphics(c.n, 40));  // starts with 'H': no mark
        ASSERT_EQ(o.status, QEL_RTN_SUCCESSFUL);
        ASSERT_EQ(o.buffer.size(), c.n + 4);
        EXPECT_EQ(static_cast<unsigned char>(o.buffer[0]), c.mark);
        EXPECT_EQ(static_cast<unsigned char>(o.buffer[1]), c.complement);
        EXPECT_EQ(o.buffer[2], qel_ref::step_mark(qel_ref::build_shift()));
        EXPECT_EQ(o.buffer.back(), '\n');
    }
}

TEST(EncodeRecord, RecordsMatchTheReferenceForATableOfTexts) {
    std::string all_bytes;  // 1..255 in order, then the same text ending in CR
    for (int b = 1; b < 256; ++b) all_bytes += static_cast<char>(b);
    const std::string texts[] = {
        ""s, "x"s, repeat_graphics(93), repeat_graphics(94), repeat_graphics(95),
        repeat_graphics(507), repeat_graphics(507) + "\n", repeat_graphics(507) + "\r\n",
        repeat_graphics(506) + "\n\n", repeat_graphics(506) + "\r",
        "line\n"s, "line\r\n"s, "line\n\n"s, "line\r\n\n"s, "line\r"s, "line\r\r\n"s, "\n\n"s,
        "\n"s, "\r"s, "a\tb\x7f" "c\x80\xc3\xa9\xff"s, all_bytes, all_bytes + "\r\n",
        "mid\nline\n"s, "~~~   ~ ~"s, std::string(300, '~'), std::string(300, ' '),
    };
    const int s = qel_ref::build_shift();
    for (const std::string &t : texts) {
        SCOPED_TRACE(testing::PrintToString(t));
        const Outcome o = encode(t);
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.status, QEL_RTN_SUCCESSFUL);
        EXPECT_EQ(o.buffer, qel_ref::encode_text(qel_ref::trim(t), s));
    }
}

TEST(EncodeRecord, RandomTextsMatchTheReference) {
    std::mt19937 rng(20261210);
    const int s = qel_ref::build_shift();
    const char *const ends[] = {"", "\n", "\r\n", "\r", "\n\n"};
    for (int k = 0; k < 3000; ++k) {
        const size_t len = std::uniform_int_distribution<size_t>(0, 505)(rng);
        std::string t;
        // Mostly graphic bytes, with control and high bytes mixed in.
        for (size_t i = 0; i < len; ++i) {
            const auto r = rng() % 10;
            t += static_cast<char>(r < 7 ? 32 + rng() % 95 : 1 + rng() % 255);
        }
        t += ends[rng() % 5];
        SCOPED_TRACE(testing::PrintToString(t));
        const Outcome o = encode(t);
        const std::string trimmed = qel_ref::trim(t);
        if (qel_ref::carries_mark(trimmed)) {
            EXPECT_EQ(o.status, QEL_RTN_SOURCE_ENCODED);
            EXPECT_EQ(o.buffer, trimmed);
        } else {
            ASSERT_EQ(o.status, QEL_RTN_SUCCESSFUL);
            ASSERT_EQ(o.buffer, qel_ref::encode_text(trimmed, s));
        }
    }
}

TEST(EncodeRecord, ShiftRepeatsWithItsPeriod) {
    const int s = qel_ref::build_shift();
    const size_t period = 94 / static_cast<size_t>(std::gcd(s, 94));  // 94 for odd s, 47 for even
    for (char c : {'A', ' ', '~', '0'}) {
        SCOPED_TRACE(c);
        const std::string text = "x" + std::string(400, c);  // 'x' first so no text carries a mark
        const Outcome o = encode(text);
        ASSERT_EQ(o.status, QEL_RTN_SUCCESSFUL);
        const std::string body = o.buffer.substr(3, text.size());
        for (size_t i = 1; i + period < body.size(); ++i) ASSERT_EQ(body[i], body[i + period]) << "index " << i;
        // Within one period every index gives another byte.
        const std::set<char> distinct(body.begin() + 1, body.begin() + 1 + static_cast<long>(period));
        EXPECT_EQ(distinct.size(), period);
    }
}

TEST(EncodeRecord, EveryIndexAdvancesTheShiftMappedOrNot) {
    // The byte after a tab, DEL, CR or high byte is shifted as if that byte
    // had been mapped.
    const Outcome ref = encode("BAcd");
    ASSERT_EQ(ref.status, QEL_RTN_SUCCESSFUL);
    for (char other : {'\t', '\x7f', '\r', '\x80', '\xff', '\x01'}) {
        SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(other)));
        const Outcome o = encode(std::string(1, other) + "Acd");
        ASSERT_EQ(o.status, QEL_RTN_SUCCESSFUL);
        EXPECT_EQ(o.buffer[3], other);
        EXPECT_EQ(o.buffer.substr(4), ref.buffer.substr(4));
    }
}

TEST(EncodeRecord, SpaceAndTildeAtTheSameIndexGiveTheSameRecord) {
    for (size_t at : {0u, 1u, 46u, 93u, 94u, 300u, 506u}) {
        SCOPED_TRACE(at);
        std::string a = repeat_graphics(507, 40);
        std::string b = a;
        a[at] = ' ';
        b[at] = '~';
        const Outcome oa = encode(a), ob = encode(b);
        ASSERT_EQ(oa.status, QEL_RTN_SUCCESSFUL);
        EXPECT_EQ(oa.buffer, ob.buffer);
    }
}

TEST(EncodeRecord, TextCarryingTheMarkIsRefusedWithItsLineEndRemoved) {
    struct Case {
        std::string text, kept;
    };
    const Case cases[] = {
        {"OP"s, "OP"s},
        {"OPEN FILE\r\n"s, "OPEN FILE"s},
        {"WHILE\n"s, "WHILE"s},
        {"ZERO\n\n"s, "ZERO\n"s},
        {"PO"s, "PO"s},
        {" \x7f"s, " \x7f"s},  // 32 + 127
        {"\x7f "s, "\x7f "s},  // 127 + 32
        {"}\"tail\r"s, "}\"tail\r"s},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        TempFile out;
        ASSERT_NE(out.f, nullptr);
        const Outcome o = encode(c.text, out.f);
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.status, QEL_RTN_SOURCE_ENCODED);
        EXPECT_EQ(o.buffer, c.kept);
        EXPECT_EQ(written_bytes(out.f), "");
    }
}

TEST(EncodeRecord, PairsThatOnlyLookLikeTheMarkAreEncoded) {
    // Sums of 159 taken over unsigned bytes, or a single byte, are no mark.
    const std::string texts[] = {"\x80\x1f"s, "\x1f\x80"s, "\xa0\xff"s, "O"s, "O\n"s, "O\r\nP"s, "ON"s, "OQ"s};
    for (const std::string &t : texts) {
        SCOPED_TRACE(testing::PrintToString(t));
        const Outcome o = encode(t);
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.buffer, qel_ref::encode_text(qel_ref::trim(t), qel_ref::build_shift()));
    }
}

TEST(EncodeRecord, RecordFedBackIsRefused) {
    for (const std::string &t : {""s, "A"s, "hello world"s, repeat_graphics(507), "x\n\n"s}) {
        SCOPED_TRACE(testing::PrintToString(t));
        const Outcome first = encode(t);
        ASSERT_EQ(first.status, QEL_RTN_SUCCESSFUL);
        const Outcome again = encode(first.buffer);
        EXPECT_EQ(again.result, 0);
        EXPECT_EQ(again.status, QEL_RTN_SOURCE_ENCODED);
        EXPECT_EQ(again.buffer, qel_ref::trim(first.buffer));
    }
}

TEST(EncodeRecord, EmbeddedNulEndsTheText) {
    char buf[QEL_RECORD_BUFFER_SIZE] = "Hi\0there\n";
    int32_t status = QEL_RTN_SUCCESSFUL;
    EXPECT_EQ(QEL_EncodeRecord(nullptr, buf, &status), 1);
    EXPECT_EQ(status, QEL_RTN_SUCCESSFUL);
    EXPECT_EQ(std::string(buf), qel_ref::encode_text("Hi", qel_ref::build_shift()));
}

TEST(EncodeRecord, StatusOtherThanSuccessfulChangesNothing) {
    const int32_t entry_codes[] = {0,
                                   -1,
                                   QEL_RTN_NO_SOURCE,
                                   QEL_RTN_WRITE_ERROR,
                                   QEL_RTN_SOURCE_ENCODED,
                                   QEL_RTN_LINE_TOO_LONG,
                                   QEL_RTN_RECORD_DAMAGED,
                                   14};
    for (int32_t code : entry_codes) {
        SCOPED_TRACE(code);
        TempFile out;
        ASSERT_NE(out.f, nullptr);
        char buf[QEL_RECORD_BUFFER_SIZE];
        memset(buf, 'q', sizeof buf);
        memcpy(buf, "text\r\n", 7);
        char before[sizeof buf];
        memcpy(before, buf, sizeof buf);
        int32_t status = code;
        EXPECT_EQ(QEL_EncodeRecord(out.f, buf, &status), 0);
        EXPECT_EQ(status, code);
        EXPECT_EQ(memcmp(buf, before, sizeof buf), 0) << "buffer changed";
        EXPECT_EQ(written_bytes(out.f), "");
    }
}

TEST(EncodeRecord, FirstFailureStaysInTheChain) {
    char line[QEL_RECORD_BUFFER_SIZE] = "OPEN\n";
    int32_t status = QEL_RTN_SUCCESSFUL;
    EXPECT_EQ(QEL_EncodeRecord(nullptr, line, &status), 0);
    ASSERT_EQ(status, QEL_RTN_SOURCE_ENCODED);
    char next[QEL_RECORD_BUFFER_SIZE] = "plain\n";
    EXPECT_EQ(QEL_EncodeRecord(nullptr, next, &status), 0);
    EXPECT_EQ(status, QEL_RTN_SOURCE_ENCODED);
    EXPECT_STREQ(next, "plain\n");
}

TEST(EncodeRecord, StreamReceivesExactlyTheBufferRecords) {
    TempFile out;
    ASSERT_NE(out.f, nullptr);
    std::string expected;
    for (const std::string &t : {"first\n"s, "\r\n"s, "x\n\n"s, repeat_graphics(507) + "\r\n", "last"s}) {
        const Outcome to_stream = encode(t, out.f);
        const Outcome in_place = encode(t);
        ASSERT_EQ(to_stream.status, QEL_RTN_SUCCESSFUL);
        EXPECT_EQ(to_stream.result, 1);
        EXPECT_EQ(to_stream.buffer, in_place.buffer);  // dest makes no difference to the buffer
        expected += to_stream.buffer;
        EXPECT_EQ(written_bytes(out.f), expected);     // the record and no NUL or extra byte
    }
}

TEST(EncodeRecord, FailedWriteGivesWriteErrorAndKeepsTheRecord) {
    FullDevice full;
    ASSERT_NE(full.f, nullptr);
    for (const std::string &t : {"hello\n"s, ""s, repeat_graphics(507)}) {
        SCOPED_TRACE(testing::PrintToString(t));
        clearerr(full.f);
        const Outcome o = encode(t, full.f);
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.status, QEL_RTN_WRITE_ERROR);
        EXPECT_EQ(o.buffer, qel_ref::encode_text(qel_ref::trim(t), qel_ref::build_shift()));
    }
}

// A heap buffer of exactly `size` bytes holding text (size > text.size()),
// so that an overrun shows under the address sanitizer, plus a copy with
// guard bytes behind it for builds without the sanitizer.
struct ExactBuffer {
    std::string text;
    size_t size;
    static constexpr size_t kGuard = 64;
    static constexpr char kGuardByte = '\xa5';

    struct Result {
        int32_t result, status;
        std::string contents;
        bool guard_intact;
    };

    Result run(FILE *dest = nullptr) const {
        char *exact = new char[size];
        memset(exact, kGuardByte, size);
        memcpy(exact, text.c_str(), text.size() + 1);
        int32_t status = QEL_RTN_SUCCESSFUL;
        const int32_t result = QEL_EncodeRecord(dest, exact, &status);
        Result r{result, status, std::string(exact, strnlen(exact, size)), true};
        delete[] exact;

        std::vector<char> guarded(size + kGuard, kGuardByte);
        memcpy(guarded.data(), text.c_str(), text.size() + 1);
        int32_t status2 = QEL_RTN_SUCCESSFUL;
        QEL_EncodeRecord(nullptr, guarded.data(), &status2);
        r.guard_intact = std::all_of(guarded.begin() + static_cast<long>(size), guarded.end(),
                                     [](char c) { return c == kGuardByte; });
        return r;
    }
};

TEST(EncodeRecord, ExactBuffersThatSuffice) {
    // A text of n bytes after trimming needs n + 5 bytes: header, text,
    // line feed and NUL. One that still ends with a line feed after its line
    // end is trimmed gets no second one, so n + 4 bytes suffice (the text
    // with its line end and NUL must fit all the same).
    struct Case {
        std::string trimmed;
        const char *end;
        size_t size;
    };
    std::vector<Case> cases;
    for (size_t n : {0u, 1u, 2u, 93u, 94u, 95u, 506u, 507u})
        for (const char *end : {"", "\n", "\r\n"}) cases.push_back({repeat_graphics(n, 40), end, n + 5});
    for (const std::string &trimmed : {"\n"s, "ab\n"s, repeat_graphics(506, 40) + "\n"})
        for (const char *end : {"\n", "\r\n"})
            cases.push_back({trimmed, end, std::max(trimmed.size() + 4, trimmed.size() + strlen(end) + 1)});
    const int s = qel_ref::build_shift();
    for (const Case &c : cases) {
        const ExactBuffer b{c.trimmed + c.end, c.size};
        SCOPED_TRACE(testing::PrintToString(b.text) + " in " + std::to_string(c.size) + " bytes");
        const ExactBuffer::Result r = b.run();
        EXPECT_EQ(r.status, QEL_RTN_SUCCESSFUL);
        EXPECT_EQ(r.contents, qel_ref::encode_text(c.trimmed, s));
        EXPECT_TRUE(r.guard_intact);
    }
}

TEST(EncodeRecord, TextLongerThan507BytesIsRefused) {
    for (size_t n : {508u, 509u, 511u, 600u}) {
        for (const char *end : {"", "\n", "\r\n"}) {
            const std::string trimmed = repeat_graphics(n, 40);
            TempFile out;
            ASSERT_NE(out.f, nullptr);
            // Only the text itself fits the buffer: nothing may go beyond it.
            const ExactBuffer b{trimmed + end, trimmed.size() + strlen(end) + 1};
            SCOPED_TRACE(testing::PrintToString(b.text));
            const ExactBuffer::Result r = b.run(out.f);
            EXPECT_EQ(r.result, 0);
            EXPECT_EQ(r.status, QEL_RTN_LINE_TOO_LONG);
            EXPECT_EQ(r.contents, trimmed);
            EXPECT_TRUE(r.guard_intact);
            EXPECT_EQ(written_bytes(out.f), "");
        }
    }
}

TEST(EncodeRecord, OverlongTextCarryingTheMarkGetsSourceEncoded) {
    const std::string trimmed = "OP" + repeat_graphics(506);
    const ExactBuffer b{trimmed + "\r\n", trimmed.size() + 3};
    const ExactBuffer::Result r = b.run();
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.status, QEL_RTN_SOURCE_ENCODED);
    EXPECT_EQ(r.contents, trimmed);
    EXPECT_TRUE(r.guard_intact);
}

}  // namespace
