// QEL_Converter against the reference model: however the input is split and
// whatever the room, down to one byte, the output, the status and where a
// refusal stands are the model's for the whole input.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qelcode.h"
#include "qel_reference.h"
#include "stream_io.h"
#include "window.h"

namespace {

const int kShift = qel_ref::build_shift();

struct Result {
    std::string out;
    int32_t status = QEL_RTN_SUCCESSFUL;
    uint64_t offset = 0;
    uint64_t line = 0;
};

// How a host hands the input over and how much room it gives a call.
struct Feeding {
    const char *name;
    size_t max_piece;  // input bytes a call is given, at most (each call 1 to max_piece)
    size_t max_room;   // output room of a call, at most (each call 1 to max_room)
    bool last_with_input;  // the last bytes come with QEL_LAST; else QEL_LAST comes alone afterwards
};

const Feeding kFeedings[] = {
    {"one byte a call, ample room", 1, 1 << 16, false},
    {"random pieces, rooms of 1 to 3 bytes", 700, 3, true},
    {"random pieces, one-byte room", 40, 1, false},
    {"random pieces and rooms", 2000, 600, true},
    {"one piece, ample room", SIZE_MAX, 1 << 20, true},
};

// A host's loop over one converter. Every call is handed windows of
// exactly the sizes it is told, so that a read or write past them is
// caught; a call that takes nothing and writes nothing while input is left
// is a fault.
Result convert(uint32_t init_flags, const std::string &src, const Feeding &f, std::mt19937 &rng) {
    Result r;
    QEL_Converter c;
    EXPECT_EQ(1, QEL_ConverterInit(&c, init_flags));
    testwindow::Window in_window, out_window;
    size_t pos = 0;
    auto put = [&](size_t n, uint32_t flags, size_t *produced, size_t *consumed) {
        char *const in = in_window.last(n);
        if (n != 0) memcpy(in, src.data() + pos, n);
        const size_t room = 1 + rng() % f.max_room;
        char *const out = out_window.last(room);
        *produced = 999999;
        *consumed = 999999;
        const int32_t ret = QEL_ConverterPut(&c, out, room, produced, n == 0 ? nullptr : in, n, consumed, flags,
                                             &r.status);
        EXPECT_EQ(ret, r.status == QEL_RTN_SUCCESSFUL ? 1 : 0);
        EXPECT_LE(*produced, room);
        EXPECT_LE(*consumed, n);
        r.out.append(out, std::min(*produced, room));
        pos += std::min(*consumed, n);
    };
    while (pos < src.size() && r.status == QEL_RTN_SUCCESSFUL) {
        const size_t n = std::min(src.size() - pos, f.max_piece == SIZE_MAX ? src.size() : 1 + rng() % f.max_piece);
        const bool last = f.last_with_input && pos + n == src.size();
        size_t left = n, produced = 0, consumed = 0;
        // The same piece until the converter has taken all of it.
        while (left != 0 && r.status == QEL_RTN_SUCCESSFUL) {
            put(left, last ? QEL_LAST : 0u, &produced, &consumed);
            if (consumed == 0 && produced == 0 && r.status == QEL_RTN_SUCCESSFUL) {
                ADD_FAILURE() << "a call took nothing and wrote nothing at " << pos;
                return r;
            }
            left -= std::min(consumed, left);
        }
    }
    for (int calls = 0; r.status == QEL_RTN_SUCCESSFUL; ++calls) {
        size_t produced = 0, consumed = 0;
        put(0, QEL_LAST, &produced, &consumed);
        if (produced == 0) break;
        if (calls > 4096) {
            ADD_FAILURE() << "QEL_LAST without input keeps producing";
            break;
        }
    }
    r.offset = QEL_ConverterOffset(&c);
    r.line = QEL_ConverterLine(&c);
    return r;
}

// The model's view of the whole input: output, status, and for a refusal
// where the refused piece starts and its line.
Result expected(bool decoding, bool force, const std::string &src) {
    const qel_ref::Outcome o = decoding ? qel_ref::decode_stream(src) : qel_ref::encode_stream(src, force, kShift);
    Result r;
    r.out = o.out;
    // An empty input is no error for memory to memory.
    r.status = o.status == QEL_RTN_EMPTY_SOURCE ? QEL_RTN_SUCCESSFUL : o.status;
    r.offset = r.status == QEL_RTN_SUCCESSFUL ? src.size() : o.piece_start;
    r.line = r.status == QEL_RTN_SUCCESSFUL ? o.line + (src.empty() || src.back() == '\n' ? 1 : 0) : o.line;
    return r;
}

class ConverterFeeding : public ::testing::TestWithParam<Feeding> {};

TEST_P(ConverterFeeding, GivesTheModelsOutputStatusAndPosition) {
    const Feeding &f = GetParam();
    std::mt19937 rng(4242);
    for (int round = 0; round < 160; ++round) {
        const bool decoding = round % 2 == 1;
        const bool force = !decoding && rng() % 3 == 0;
        std::string src = decoding ? streamio::random_records(rng)
                                   : streamio::random_text(rng, rng() % 30, rng() % 3 == 0);
        if (rng() % 12 == 0 && !src.empty()) src[rng() % src.size()] = '\0';
        SCOPED_TRACE(std::string(decoding ? "decode" : "encode") + " round " + std::to_string(round));
        const Result want = expected(decoding, force, src);
        const Result got = convert(decoding ? QEL_DECODE : (force ? QEL_FORCE : 0u), src, f, rng);
        ASSERT_EQ(want.out, got.out);
        ASSERT_EQ(want.status, got.status);
        EXPECT_EQ(want.offset, got.offset);
        EXPECT_EQ(want.line, got.line);
    }
}

INSTANTIATE_TEST_SUITE_P(Feedings, ConverterFeeding, ::testing::ValuesIn(kFeedings), [](const auto &p) {
    std::string name;
    for (const char *c = p.param.name; *c != '\0'; ++c)
        name += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
});

// The hand-worked record of a text, from the shared vectors.
std::string record_of(const std::string &text) {
    for (const qel_ref::Vector &v : qel_ref::vectors("encode-line"))
        if (v.s == kShift && v.text == text) return v.record;
    return {};
}

TEST(Converter, RefusalStandsAtItsPieceAndRepeats) {
    // "ok\n" is encoded; "OP..." carries the encoded mark (79 + 80 = 159)
    // and is refused at offset 3, line 2, once its piece has ended, whether
    // it arrives with the first bytes or after them.
    const std::string ok = qel_ref::encode_text("ok", kShift);
    const std::string src = "ok\nOP looks encoded\n";
    for (size_t split : {size_t{0}, size_t{2}, size_t{3}, size_t{5}, src.size()}) {
        SCOPED_TRACE("split at " + std::to_string(split));
        QEL_Converter c;
        ASSERT_EQ(1, QEL_ConverterInit(&c, 0));
        char out[64];
        int32_t status = QEL_STATUS_INIT;
        size_t produced = 0, consumed = 0;
        std::string got;
        QEL_ConverterPut(&c, out, sizeof out, &produced, src.data(), split, &consumed, 0, &status);
        got.append(out, produced);
        const bool whole = split == src.size();
        ASSERT_EQ(status, whole ? QEL_RTN_SOURCE_ENCODED : QEL_RTN_SUCCESSFUL);
        if (status == QEL_RTN_SUCCESSFUL) {
            EXPECT_EQ(consumed, split);
            EXPECT_EQ(0, QEL_ConverterPut(&c, out, sizeof out, &produced, src.data() + split, src.size() - split,
                                          &consumed, QEL_LAST, &status));
            got.append(out, produced);
            EXPECT_EQ(status, QEL_RTN_SOURCE_ENCODED);
            // src + consumed is the refused piece, or src when it began in
            // the earlier call.
            EXPECT_EQ(consumed, split <= 3 ? 3u - split : 0u);
        } else {
            EXPECT_EQ(consumed, 3u);
        }
        EXPECT_EQ(got, ok);
        EXPECT_EQ(QEL_ConverterOffset(&c), 3u);
        EXPECT_EQ(QEL_ConverterLine(&c), 2u);
        // Every later call repeats the refusal and takes nothing.
        status = QEL_STATUS_INIT;
        produced = consumed = 7;
        EXPECT_EQ(0, QEL_ConverterPut(&c, out, sizeof out, &produced, "x\n", 2, &consumed, QEL_LAST, &status));
        EXPECT_EQ(status, QEL_RTN_SOURCE_ENCODED);
        EXPECT_EQ(produced, 0u);
        EXPECT_EQ(consumed, 0u);
        EXPECT_EQ(QEL_ConverterOffset(&c), 3u);
        EXPECT_EQ(QEL_ConverterLine(&c), 2u);
    }
}

TEST(Converter, HandWorkedRecordThroughAOneByteRoom) {
    const std::string want = record_of("A\n");
    if (want.empty()) GTEST_SKIP() << "no hand-worked record of \"A\\n\" for this build's shift";
    QEL_Converter enc, dec;
    ASSERT_EQ(1, QEL_ConverterInit(&enc, 0));
    ASSERT_EQ(1, QEL_ConverterInit(&dec, QEL_DECODE));
    int32_t status = QEL_STATUS_INIT;
    std::string records, text;
    size_t produced = 0, consumed = 0;
    // "A\n" in one call, then the record one byte a call; each byte goes
    // straight on into the decoder, also through one byte of room.
    const char *in = "A\n";
    size_t left = 2;
    do {
        char byte;
        ASSERT_EQ(1, QEL_ConverterPut(&enc, &byte, 1, &produced, in, left, &consumed, QEL_LAST, &status));
        in += consumed;
        left -= consumed;
        if (produced == 0) break;
        records += byte;
        size_t dproduced = 0, dconsumed = 0;
        char back;
        ASSERT_EQ(1, QEL_ConverterPut(&dec, &back, 1, &dproduced, &byte, 1, &dconsumed, 0, &status));
        EXPECT_EQ(dconsumed, 1u);
        text.append(&back, dproduced);
    } while (true);
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(records, want);
    for (;;) {
        char back;
        ASSERT_EQ(1, QEL_ConverterPut(&dec, &back, 1, &produced, nullptr, 0, nullptr, QEL_LAST, &status));
        if (produced == 0) break;
        text += back;
    }
    EXPECT_EQ(text, "A\n");
    EXPECT_EQ(QEL_ConverterOffset(&enc), 2u);
    EXPECT_EQ(QEL_ConverterLine(&enc), 2u);
    EXPECT_EQ(QEL_ConverterOffset(&dec), want.size());
}

TEST(Converter, PositionWhileInputIsHeld) {
    // Offsets and lines count the pieces converted: a piece that may go on
    // is not counted until it ends, and a line cut into pieces counts once.
    struct Case {
        const char *what;
        std::string input;
        uint64_t offset, line;
    };
    const std::vector<Case> cases = {
        {"nothing yet", "", 0, 1},
        {"a line and the start of the next", "ab\ncd", 3, 2},
        {"a full piece of a long line", std::string(600, 'x'), 507, 1},
        {"a long line ended", std::string(600, 'x') + "\nz", 601, 2},
        {"a full piece with its line feed", std::string(507, 'x') + "\n", 508, 2},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        QEL_Converter c;
        ASSERT_EQ(1, QEL_ConverterInit(&c, 0));
        std::vector<char> out(QEL_EncodeBound(k.input.size()));
        int32_t status = QEL_STATUS_INIT;
        size_t produced = 0, consumed = 0;
        ASSERT_EQ(1, QEL_ConverterPut(&c, out.data(), out.size(), &produced, k.input.data(), k.input.size(),
                                      &consumed, 0, &status));
        EXPECT_EQ(consumed, k.input.size());
        EXPECT_EQ(QEL_ConverterOffset(&c), k.offset);
        EXPECT_EQ(QEL_ConverterLine(&c), k.line);
    }
}

TEST(Converter, ACopyGoesOnAsTheOriginal) {
    std::mt19937 rng(77);
    const std::string src = streamio::random_text(rng, 40, false);
    QEL_Converter a;
    ASSERT_EQ(1, QEL_ConverterInit(&a, 0));
    std::vector<char> out(QEL_EncodeBound(src.size()));
    int32_t status = QEL_STATUS_INIT;
    size_t produced = 0, consumed = 0;
    const size_t half = src.size() / 2;
    ASSERT_EQ(1, QEL_ConverterPut(&a, out.data(), 5, &produced, src.data(), half, &consumed, 0, &status));
    const std::string head(out.data(), produced);
    const size_t taken = consumed;
    QEL_Converter b;
    memcpy(&b, &a, sizeof a);
    std::string tails[2];
    QEL_Converter *both[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        size_t pos = taken;
        for (;;) {
            ASSERT_EQ(1, QEL_ConverterPut(both[i], out.data(), out.size(), &produced, src.data() + pos,
                                          src.size() - pos, &consumed, QEL_LAST, &status));
            tails[i].append(out.data(), produced);
            pos += consumed;
            if (produced == 0 && pos == src.size()) break;
        }
    }
    EXPECT_EQ(tails[0], tails[1]);
    EXPECT_EQ(head + tails[0], qel_ref::encode_stream(src, false, kShift).out);
}

TEST(Converter, StatusChainAndArgumentsRefusedUpFront) {
    QEL_Converter ready, garbage;
    ASSERT_EQ(1, QEL_ConverterInit(&ready, 0));
    memset(&garbage, 0xab, sizeof garbage);
    char out[8];
    struct Case {
        const char *what;
        QEL_Converter *c;
        int32_t status_in;
        char *dest;
        size_t dest_size;
        const char *src;
        size_t src_size;
        int32_t status_out;
    };
    const std::vector<Case> cases = {
        {"chain already broken", &ready, QEL_RTN_WRITE_ERROR, out, sizeof out, "a\n", 2, QEL_RTN_WRITE_ERROR},
        {"chain never opened", &ready, 0, out, sizeof out, "a\n", 2, 0},
        {"no converter", nullptr, 1, out, sizeof out, "a\n", 2, QEL_RTN_NO_SOURCE},
        {"converter never initialised", &garbage, 1, out, sizeof out, "a\n", 2, QEL_RTN_NO_SOURCE},
        {"null dest with room", &ready, 1, nullptr, 8, "a\n", 2, QEL_RTN_NO_DESTINATION},
        {"null src with bytes", &ready, 1, out, sizeof out, nullptr, 2, QEL_RTN_NO_SOURCE},
        {"nothing at all", &ready, 1, nullptr, 0, nullptr, 0, QEL_RTN_SUCCESSFUL},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        int32_t status = k.status_in;
        size_t produced = 77, consumed = 77;
        const int32_t ret =
            QEL_ConverterPut(k.c, k.dest, k.dest_size, &produced, k.src, k.src_size, &consumed, 0, &status);
        EXPECT_EQ(status, k.status_out);
        EXPECT_EQ(ret, k.status_out == QEL_RTN_SUCCESSFUL ? 1 : 0);
        const bool skipped = k.status_in != QEL_RTN_SUCCESSFUL;
        EXPECT_EQ(produced, skipped ? 77u : 0u);
        EXPECT_EQ(consumed, skipped ? 77u : 0u);
    }
    // A refused argument leaves the converter as it was.
    int32_t status = QEL_STATUS_INIT;
    size_t produced = 0, consumed = 0;
    ASSERT_EQ(1, QEL_ConverterPut(&ready, out, sizeof out, &produced, "a\n", 2, &consumed, QEL_LAST, &status));
    EXPECT_EQ(consumed, 2u);
    EXPECT_EQ(0, QEL_ConverterInit(nullptr, 0));
    EXPECT_EQ(QEL_ConverterOffset(nullptr), 0u);
    EXPECT_EQ(QEL_ConverterLine(&garbage), 0u);
}

TEST(Converter, SizeAndAlignmentAreTheSameOnEveryTarget) {
    EXPECT_EQ(sizeof(QEL_Converter), 1152u);
    EXPECT_EQ(size_t{QEL_CONVERTER_SIZE}, 1152u);
    EXPECT_EQ(alignof(QEL_Converter), 4u);
}

}  // namespace
