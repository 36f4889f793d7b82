// QEL_EncodeBuffer and QEL_DecodeBuffer against the stream functions on the
// same bytes: however a host splits its input and whatever room it gives,
// the output put together, the status and where it stopped agree.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>


#include "qelcode.h"
#include "qel_reference.h"
#include "stream_calls.h"
#include "stream_io.h"
#include "window.h"

namespace {

const int kShift = qel_ref::build_shift();

using BufferFunction = int32_t (*)(char *, size_t, size_t *, const char *, size_t, size_t *, uint32_t, int32_t *);

struct Direction {
    const char *name;
    BufferFunction buffer;
    streamcall::StreamFunction stream;
    size_t (*bound)(size_t);
};

const Direction kEncode{"encode", QEL_EncodeBuffer, QEL_EncodeStream, QEL_EncodeBound};
const Direction kDecode{"decode", QEL_DecodeBuffer, QEL_DecodeStream, QEL_DecodeBound};

struct Outcome {
    std::string out;
    int32_t status = QEL_RTN_SUCCESSFUL;
    size_t stopped = 0;  // input offset where the calls stopped
};

// A host's loop: input handed over in chunks of the given sizes, unconsumed
// bytes carried into the next call, output in rooms of `room` bytes; the
// last call says QEL_LAST. Each buffer is a window of exactly the size the
// call is told.
Outcome run_buffer(const Direction &d, const std::string &src, std::mt19937 &rng, size_t max_chunk, size_t room,
                   uint32_t flags) {
    Outcome o;
    size_t pos = 0, shown = 0;
    testwindow::Window in_window, out_window;
    for (int guard = 0; guard < 100000; ++guard) {
        if (shown == pos || rng() % 2 == 0) shown = std::min(src.size(), shown + 1 + rng() % max_chunk);
        const bool last = shown == src.size();
        const size_t n = shown - pos;
        char *const in = in_window.last(n);
        char *const out = out_window.last(room);
        if (n > 0) memcpy(in, src.data() + pos, n);
        size_t produced = 999999, consumed = 999999;
        const int32_t ret =
            d.buffer(out, room, &produced, in, n, &consumed, flags | (last ? QEL_LAST : 0u), &o.status);
        EXPECT_EQ(ret, o.status == QEL_RTN_SUCCESSFUL ? 1 : 0);
        EXPECT_LE(consumed, n);
        EXPECT_LE(produced, room);
        if (produced <= room) o.out.append(out, produced);
        pos += consumed;
        if (o.status != QEL_RTN_SUCCESSFUL || (last && pos == src.size())) break;
        if (consumed == 0 && last) room += 512;  // a whole piece is there: it wants room
    }
    o.stopped = pos;
    return o;
}

streamcall::Result run_stream(const Direction &d, const std::string &src, uint32_t flags, long *position) {
    streamio::File in = streamio::temp_file(src);
    streamcall::Result r = streamcall::run(d.stream, in, flags);
    *position = ftell(in);
    return r;
}

size_t line_of(const std::string &src, size_t offset) {
    return static_cast<size_t>(std::count(src.begin(), src.begin() + static_cast<long>(offset), '\n')) + 1;
}

class BufferAgainstStream : public ::testing::TestWithParam<Direction> {};

TEST_P(BufferAgainstStream, AnySplitAndRoomGivesWhatTheStreamGives) {
    const Direction &d = GetParam();
    std::mt19937 rng(d.buffer == QEL_EncodeBuffer ? 101 : 202);
    for (int round = 0; round < 400; ++round) {
        std::string src = d.buffer == QEL_EncodeBuffer ? streamio::random_text(rng, rng() % 30, rng() % 3 == 0)
                                                        : streamio::random_records(rng);
        if (rng() % 10 == 0 && !src.empty()) src[rng() % src.size()] = '\0';
        const uint32_t flags = rng() % 2 == 0 ? QEL_FORCE : 0u;
        long position = 0;
        const streamcall::Result want = run_stream(d, src, flags, &position);
        const size_t max_chunk = rng() % 2 == 0 ? 1 + rng() % 40 : 1 + rng() % 5000;
        const size_t room = rng() % 2 == 0 ? 1 + rng() % 600 : 1 << 20;
        std::mt19937 split(static_cast<unsigned>(round));
        const Outcome got = run_buffer(d, src, split, max_chunk, room, flags);
        SCOPED_TRACE("round " + std::to_string(round) + " chunk " + std::to_string(max_chunk) + " room " +
                     std::to_string(room));
        ASSERT_EQ(want.out, got.out);
        if (want.status == QEL_RTN_EMPTY_SOURCE) {
            EXPECT_EQ(got.status, QEL_RTN_SUCCESSFUL);  // an empty buffer is no error
            continue;
        }
        ASSERT_EQ(want.status, got.status);
        if (want.status == QEL_RTN_SUCCESSFUL) {
            EXPECT_EQ(got.stopped, src.size());
        } else {
            // The stream stands just after the refused piece; the buffer
            // stops at its start, on the same line.
            EXPECT_EQ(want.line, line_of(src, got.stopped));
            EXPECT_GT(static_cast<size_t>(position), got.stopped);
            EXPECT_LE(static_cast<size_t>(position), got.stopped + 513);
        }
    }
}

TEST_P(BufferAgainstStream, OneCallWithTheBoundTakesEverything) {
    const Direction &d = GetParam();
    std::mt19937 rng(303);
    const bool encoding = d.buffer == QEL_EncodeBuffer;
    // The shapes that need the most room: empty lines, a last line without
    // a line feed, pieces of long lines.
    std::vector<std::string> inputs = {"", std::string(4000, '\n'), std::string(2000, 'x'), "x\r\n\r\n\n", "a"};
    if (!encoding) inputs = {"", qel_ref::encode_text("", kShift), qel_ref::encode_text("", kShift).substr(0, 3)};
    for (int i = 0; i < 100; ++i)
        inputs.push_back(encoding ? streamio::random_text(rng, rng() % 30, false)
                                                       : qel_ref::encode_text(streamio::filler(rng() % 500), kShift));
    for (const std::string &src : inputs) {
        const size_t room = d.bound(src.size());
        std::unique_ptr<char[]> out(new char[room + 1]);
        size_t produced = 0, consumed = 0;
        int32_t status = QEL_RTN_SUCCESSFUL;
        // Forced, since a piece of a long line may start with the encoded mark.
        const uint32_t flags = QEL_LAST | (encoding ? QEL_FORCE : 0u);
        ASSERT_EQ(1, d.buffer(out.get(), room, &produced, src.data(), src.size(), &consumed, flags, &status))
            << "status " << status << " for " << testing::PrintToString(src);
        EXPECT_EQ(consumed, src.size());
        long position = 0;
        const streamcall::Result want = run_stream(d, src, flags, &position);
        EXPECT_EQ(want.out, std::string(out.get(), produced));
    }
}

INSTANTIATE_TEST_SUITE_P(Both, BufferAgainstStream, ::testing::Values(kEncode, kDecode),
                         [](const auto &p) { return std::string(p.param.name); });

TEST(BufferFunctions, StatusChainNullBuffersAndEmptyCalls) {
    char out[64];
    const char *in = "set for each direction below";
    struct Case {
        const char *what;
        int32_t status_in;
        char *dest;
        size_t dest_size;
        const char *src;
        size_t src_size;
        int32_t status_out;
    };
    const std::vector<Case> cases = {
        {"chain already broken", QEL_RTN_SOURCE_ENCODED, out, sizeof out, in, 4, QEL_RTN_SOURCE_ENCODED},
        {"chain never opened", 0, out, sizeof out, in, 4, 0},
        {"null dest with room", 1, nullptr, 8, in, 4, QEL_RTN_NO_DESTINATION},
        {"null src with bytes", 1, out, sizeof out, nullptr, 4, QEL_RTN_NO_SOURCE},
        {"both null: dest first", 1, nullptr, 8, nullptr, 4, QEL_RTN_NO_DESTINATION},
        {"empty call", 1, nullptr, 0, nullptr, 0, QEL_RTN_SUCCESSFUL},
        {"no room: nothing taken", 1, nullptr, 0, in, 4, QEL_RTN_SUCCESSFUL},
    };
    for (const Direction &d : {kEncode, kDecode})
        for (Case c : cases) {
            SCOPED_TRACE(std::string(d.name) + ": " + c.what);
            in = d.buffer == QEL_EncodeBuffer ? "abc\n" : "!~5(\n";  // records of any step mark decode
            if (c.src != nullptr) c.src = in;
            int32_t status = c.status_in;
            size_t produced = 77, consumed = 77;
            const int32_t ret = d.buffer(c.dest, c.dest_size, &produced, c.src, c.src_size, &consumed, QEL_LAST,
                                         &status);
            EXPECT_EQ(status, c.status_out);
            EXPECT_EQ(ret, c.status_out == QEL_RTN_SUCCESSFUL ? 1 : 0);
            const bool skipped = c.status_in != QEL_RTN_SUCCESSFUL;
            EXPECT_EQ(produced, skipped ? 77u : 0u);
            if (c.status_out == QEL_RTN_SUCCESSFUL) {
                EXPECT_EQ(consumed, 0u);
            }
        }
}

TEST(BufferFunctions, HandWorkedRecordAndPartialInput) {
    // "A\nB" without QEL_LAST: "A\n" becomes its hand-worked record; "B" may go on.
    std::string want;
    for (const qel_ref::Vector &v : qel_ref::vectors("encode-line"))
        if (v.s == kShift && v.text == "A\n") want = v.record;
    if (want.empty()) GTEST_SKIP() << "no hand-worked record of \"A\\n\" for this build's shift";
    char out[16];
    size_t produced = 0, consumed = 0;
    int32_t status = QEL_RTN_SUCCESSFUL;
    ASSERT_EQ(1, QEL_EncodeBuffer(out, sizeof out, &produced, "A\nB", 3, &consumed, 0, &status));
    EXPECT_EQ(std::string(out, produced), want);
    EXPECT_EQ(consumed, 2u);
    ASSERT_EQ(1, QEL_DecodeBuffer(out + 8, 8, &produced, out, want.size(), &consumed, 0, &status));
    EXPECT_EQ(std::string(out + 8, produced), "A\n");
    EXPECT_STREQ(QEL_Version(), QEL_VERSION_STRING);
}

}  // namespace
