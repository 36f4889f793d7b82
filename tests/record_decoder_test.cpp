// QEL_DecodeRecord: round trips, records of every step mark, the line-end
// cases, damaged and plain input, the status chain, streams and bounds.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <random>
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

// Runs QEL_DecodeRecord on a heap copy of text of exactly its own size, so
// that any write past the record shows under the address sanitizer.
Outcome decode(std::string_view text, FILE *dest = nullptr, int32_t status = QEL_RTN_SUCCESSFUL) {
    return qel_test::call_record(QEL_DecodeRecord, text, text.size() + 1, dest, status);
}

Outcome encode(std::string_view text) {
    return qel_test::call_record(QEL_EncodeRecord, text, QEL_RECORD_BUFFER_SIZE);
}

std::string repeat_graphics(size_t n, size_t start = 0) {
    std::string t;
    for (size_t i = 0; i < n; ++i) t += static_cast<char>(32 + (start + i) % 95);
    return t;
}

// Plain texts, each without a line end unless the line end is the point.
std::vector<std::string> plain_texts() {
    std::string all_bytes;
    for (int b = 1; b < 256; ++b) all_bytes += static_cast<char>(b);
    return {""s,
            "A"s,
            "hello, world"s,
            "a~b ~ c~"s,
            std::string(200, '~'),
            "\t\x7f\x80\xc3\xa9\xff\x01\x1f"s,
            "ends with CR\r"s,
            "ends with LF\n"s,
            "\n"s,
            "\r"s,
            "mid\nline\rbreaks"s,
            all_bytes,
            repeat_graphics(93),
            repeat_graphics(94),
            repeat_graphics(95),
            repeat_graphics(187) + "\n",
            repeat_graphics(188) + "\r",
            repeat_graphics(506) + "\n",
            repeat_graphics(507)};
}

TEST(DecodeRecord, RoundTripThroughTheEncoder) {
    struct Case {
        std::string line, decoded;
    };
    const Case cases[] = {
        {""s, "\n"s},
        {"\n"s, "\n"s},
        {"plain\n"s, "plain\n"s},
        {"crlf\r\n"s, "crlf\n"s},                // CR LF comes back as LF
        {"two\n\n"s, "two\n\n"s},                // the earlier LF was carried in the body
        {"lone CR\r"s, "lone CR\r\n"s},
        {"til~de ~~"s, "til de   \n"s},          // a tilde comes back as a space
        {"\t\x7f\x80\xff"s, "\t\x7f\x80\xff\n"s},
        {"no line end"s, "no line end\n"s},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.line));
        const Outcome rec = encode(c.line);
        ASSERT_EQ(rec.status, QEL_RTN_SUCCESSFUL);
        const Outcome o = decode(rec.buffer);
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.status, QEL_RTN_SUCCESSFUL);
        EXPECT_EQ(o.buffer, c.decoded);
    }
    for (const std::string &t : plain_texts()) {
        SCOPED_TRACE(testing::PrintToString(t));
        // With a line feed added, unless that would make a CR LF of its last CR.
        const Outcome rec = encode(!t.empty() && t.back() == '\r' ? t : t + "\n");
        ASSERT_EQ(rec.status, QEL_RTN_SUCCESSFUL);
        EXPECT_EQ(decode(rec.buffer).buffer, qel_ref::decoded(t));
    }
}

TEST(DecodeRecord, RandomRoundTrips) {
    std::mt19937 rng(4242);
    const char *const ends[] = {"", "\n", "\r\n", "\r", "\n\n"};
    for (int k = 0; k < 3000; ++k) {
        const size_t len = std::uniform_int_distribution<size_t>(0, 505)(rng);
        std::string t;
        for (size_t i = 0; i < len; ++i) {
            const auto r = rng() % 10;
            t += static_cast<char>(r < 7 ? 32 + rng() % 95 : 1 + rng() % 255);
        }
        t += ends[rng() % 5];
        const std::string trimmed = qel_ref::trim(t);
        if (qel_ref::carries_mark(trimmed)) continue;
        SCOPED_TRACE(testing::PrintToString(t));
        const Outcome rec = encode(t);
        ASSERT_EQ(rec.status, QEL_RTN_SUCCESSFUL);
        const Outcome o = decode(rec.buffer);
        ASSERT_EQ(o.status, QEL_RTN_SUCCESSFUL);
        ASSERT_EQ(o.buffer, qel_ref::decoded(trimmed));
    }
}

TEST(DecodeRecord, RecordsOfEveryStepMarkDecode) {
    for (int s = 1; s <= 9; ++s) {
        for (const std::string &t : plain_texts()) {
            SCOPED_TRACE("s = " + std::to_string(s) + ", " + testing::PrintToString(t));
            const std::string record = qel_ref::encode_text(t, s);
            const Outcome o = decode(record);
            EXPECT_EQ(o.status, QEL_RTN_SUCCESSFUL);
            EXPECT_EQ(o.buffer, qel_ref::decoded(t));
            if (t.empty() || t.back() != '\n') {
                // Without its line end the record reads the same.
                EXPECT_EQ(decode(record.substr(0, record.size() - 1)).buffer, qel_ref::decoded(t));
            }
        }
    }
}

TEST(DecodeRecord, RecordPassedThroughACrLfStreamDecodes) {
    // A CR before the record's final LF goes when the length says so.
    for (int s : {1, 5, 8}) {
        for (const std::string &t : plain_texts()) {
            if (!t.empty() && t.back() == '\n') continue;  // its LF is the record's end
            SCOPED_TRACE("s = " + std::to_string(s) + ", " + testing::PrintToString(t));
            std::string record = qel_ref::encode_text(t, s);
            record.back() = '\r';  // CR LF in place of LF
            record += '\n';
            const Outcome o = decode(record);
            EXPECT_EQ(o.status, QEL_RTN_SUCCESSFUL);
            EXPECT_EQ(o.buffer, qel_ref::decoded(t));
        }
    }
}

TEST(DecodeRecord, HandWorkedRecords) {
    // Records worked out by hand (tests/reference/vectors.txt); whatever
    // their step mark, they decode in every build.
    const auto cases = qel_ref::vectors("decode-line");
    ASSERT_FALSE(cases.empty());
    for (const qel_ref::Vector &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.record));
        const Outcome o = decode(c.record);
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.status, QEL_RTN_SUCCESSFUL);
        EXPECT_EQ(o.buffer, c.text);
    }
}

TEST(DecodeRecord, TextWithoutTheMarkIsRefusedUnchanged) {
    const std::string texts[] = {""s, "\n"s, "O"s, "plain text\r\n"s, "ON5abc\n"s,
                                 "\x80\x1f" "5abc\n"s, "\x1f\x80"s, "\xa0\xff"s, "!}5(\n"s};
    for (const std::string &t : texts) {
        SCOPED_TRACE(testing::PrintToString(t));
        TempFile out;
        ASSERT_NE(out.f, nullptr);
        const Outcome o = decode(t, out.f);
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.status, QEL_RTN_SOURCE_NOT_ENCODED);
        EXPECT_EQ(o.buffer, t);
        EXPECT_EQ(written_bytes(out.f), "");
    }
}

TEST(DecodeRecord, DamagedRecordsAreRefusedUnchanged) {
    const int s = 5;  // any step mark does; the records are built here
    const std::string good = qel_ref::encode_text("Hello, world", s);  // 12 bytes of text
    const std::string good_no_lf = good.substr(0, good.size() - 1);
    auto with = [](std::string r, size_t at, int b) {
        r[at] = static_cast<char>(b);
        return r;
    };
    auto without = [](std::string r, size_t at, size_t count = 1) { return r.erase(at, count); };
    struct Case {
        const char *what;
        std::string record;
    };
    const Case cases[] = {
        {"two bytes", "OP"s},
        {"two bytes and LF", "OP\n"s},
        {"header only, LF as step mark", "!~\n"s},
        {"dropped byte, no line end", without(good_no_lf, 5)},
        {"dropped last byte, no line end", without(good_no_lf, good_no_lf.size() - 1)},
        {"two dropped bytes", without(good, 4, 2)},
        {"added byte", good_no_lf + "x\n"},
        {"step mark entry 16", with(good, 2, static_cast<char>(qel_ref::alphabet(16)))},
        {"step mark entry 26", with(good, 2, static_cast<char>(qel_ref::alphabet(26)))},
        {"step mark entry 0", with(good, 2, static_cast<char>(qel_ref::alphabet(0)))},
        {"space as step mark", with(good, 2, ' ')},
        {"tab as step mark", with(good, 2, '\t')},
        {"high byte as step mark", with(good, 2, '\xc0')},
        {"step mark dropped", without(good, 2)},
        {"space in body", with(good, 7, ' ')},
        {"space as first body byte", with(good, 3, ' ')},
        {"space as last body byte", with(good, good.size() - 2, ' ')},
        {"length mark one short, still 159", with(with(good, 0, good[0] - 1), 1, good[1] + 1)},
        {"length mark two over, still 159", with(with(good, 0, good[0] + 2), 1, good[1] - 2)},
        {"length mark 94", with(with(good, 0, '~'), 1, '!')},
        {"length mark 95", with(with(good, 0, '\x7f'), 1, ' ')},
        {"two CRs before the LF", good_no_lf + "\r\r\n"},
        {"body of 509, no encoder writes it", "GX5" + std::string(509, 'c')},
        {"body of 508 and LF, no encoder writes it", "GX5" + std::string(508, 'c') + "\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.what) + ": " + testing::PrintToString(c.record));
        TempFile out;
        ASSERT_NE(out.f, nullptr);
        const Outcome o = decode(c.record, out.f);
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.status, QEL_RTN_RECORD_DAMAGED);
        EXPECT_EQ(o.buffer, c.record);
        EXPECT_EQ(written_bytes(out.f), "");
    }
}

TEST(DecodeRecord, BrokenMarkIsNotEncoded) {
    // Bytes 0 and 1 no longer add up to 159: the text is not a record at all.
    const std::string good = qel_ref::encode_text("Hello, world", 5);
    for (size_t at : {0u, 1u}) {
        std::string r = good;
        r[at] = static_cast<char>(r[at] + 1);
        SCOPED_TRACE(testing::PrintToString(r));
        const Outcome o = decode(r);
        EXPECT_EQ(o.status, QEL_RTN_SOURCE_NOT_ENCODED);
        EXPECT_EQ(o.buffer, r);
    }
}

TEST(DecodeRecord, DroppedByteBeforeTheLineFeedReadsAsATextEndingWithLineFeed) {
    // A record of n bytes with one body byte gone and its LF kept looks like
    // the record of an (n-1)-byte text ending with LF: the length rule takes
    // the LF into the body. The format can't tell the two apart.
    const std::string good = qel_ref::encode_text("Hello", 5);
    std::string r = good;
    r.erase(4, 1);
    const Outcome o = decode(r);
    EXPECT_EQ(o.status, QEL_RTN_SUCCESSFUL);
    ASSERT_EQ(o.buffer.size(), 6u);
    EXPECT_EQ(o.buffer[0], 'H');
    EXPECT_EQ(o.buffer.substr(4), "\n\n");
}

TEST(DecodeRecord, StatusOtherThanSuccessfulChangesNothing) {
    const std::string record = qel_ref::encode_text("some text", qel_ref::build_shift());
    for (int32_t code : {0, -1, 5, 9, 10, 13, 14}) {
        SCOPED_TRACE(code);
        TempFile out;
        ASSERT_NE(out.f, nullptr);
        const Outcome o = decode(record, out.f, code);
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.status, code);
        EXPECT_EQ(o.buffer, record);
        EXPECT_EQ(written_bytes(out.f), "");
    }
}

TEST(DecodeRecord, FirstFailureStaysInTheChain) {
    int32_t status = QEL_RTN_SUCCESSFUL;
    char damaged[] = "!~5  \n";
    EXPECT_EQ(QEL_DecodeRecord(nullptr, damaged, &status), 0);
    ASSERT_EQ(status, QEL_RTN_RECORD_DAMAGED);
    std::string good = qel_ref::encode_text("ok", 5);
    std::vector<char> buf(good.size() + 1, '\0');
    std::copy(good.begin(), good.end(), buf.begin());
    EXPECT_EQ(QEL_DecodeRecord(nullptr, buf.data(), &status), 0);
    EXPECT_EQ(status, QEL_RTN_RECORD_DAMAGED);
    EXPECT_EQ(std::string(buf.data()), good);
}

TEST(DecodeRecord, StreamReceivesExactlyTheBufferText) {
    TempFile out;
    ASSERT_NE(out.f, nullptr);
    std::string expected;
    for (const std::string &t : plain_texts()) {
        SCOPED_TRACE(testing::PrintToString(t));
        const std::string record = qel_ref::encode_text(t, 3);
        const Outcome to_stream = decode(record, out.f);
        ASSERT_EQ(to_stream.status, QEL_RTN_SUCCESSFUL);
        EXPECT_EQ(to_stream.result, 1);
        EXPECT_EQ(to_stream.buffer, decode(record).buffer);
        expected += to_stream.buffer;
        EXPECT_EQ(written_bytes(out.f), expected);
    }
}

TEST(DecodeRecord, FailedWriteGivesWriteErrorAndKeepsTheText) {
    FullDevice full;
    ASSERT_NE(full.f, nullptr);
    for (const std::string &t : {"hello"s, ""s, repeat_graphics(507)}) {
        SCOPED_TRACE(testing::PrintToString(t));
        clearerr(full.f);
        const Outcome o = decode(qel_ref::encode_text(t, 7), full.f);
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.status, QEL_RTN_WRITE_ERROR);
        EXPECT_EQ(o.buffer, qel_ref::decoded(t));
    }
}

TEST(DecodeRecord, DecodesWithinTheRecordsOwnBytes) {
    // The buffer is exactly the record and its NUL; guard bytes behind a
    // second copy catch an overrun in builds without the address sanitizer.
    for (const std::string &t : plain_texts()) {
        SCOPED_TRACE(testing::PrintToString(t));
        const std::string record = qel_ref::encode_text(t, 2);
        char *exact = new char[record.size() + 1];
        memcpy(exact, record.c_str(), record.size() + 1);
        int32_t status = QEL_RTN_SUCCESSFUL;
        EXPECT_EQ(QEL_DecodeRecord(nullptr, exact, &status), 1);
        EXPECT_EQ(std::string(exact), qel_ref::decoded(t));
        delete[] exact;

        std::vector<char> guarded(record.size() + 1 + 64, '\xa5');
        memcpy(guarded.data(), record.c_str(), record.size() + 1);
        status = QEL_RTN_SUCCESSFUL;
        EXPECT_EQ(QEL_DecodeRecord(nullptr, guarded.data(), &status), 1);
        EXPECT_TRUE(std::all_of(guarded.begin() + static_cast<long>(record.size() + 1), guarded.end(),
                                [](char c) { return c == '\xa5'; }));
    }
}

}  // namespace
