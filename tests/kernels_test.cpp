// Every kernel of the table, each on its own, against the plain model in
// tests/reference: body mapping for every shift, length and kind of byte, and
// the line engine fed in every way a caller can feed it (whole, in random
// windows, with too little room, one piece at a time), compared with the
// stream model for output, status and line. Buffers are exactly the size a
// call is told, so a sanitizer build catches any access past them; guard
// bytes catch a write past what a kernel may write.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "kernels/kernel.h"
#include "qelcode.h"
#include "qel_reference.h"
#include "window.h"

namespace {

const int kShift = qel_ref::build_shift();

std::vector<const qel::Kernel *> all_kernels() {
    std::vector<const qel::Kernel *> k;
    for (size_t i = 0; i < qel::kKernelCount; ++i) k.push_back(&qel::kKernels[i]);
    return k;
}

class EachKernel : public ::testing::TestWithParam<const qel::Kernel *> {
protected:
    void SetUp() override {
        if (!GetParam()->runs()) GTEST_SKIP() << GetParam()->name << " does not run on this processor";
    }
    const qel::KernelOps &ops() const { return GetParam()->ops; }
};

const size_t kLengths[] = {0, 1, 2, 15, 16, 17, 31, 32, 33, 63, 64, 65, 93, 94, 95, 127, 128, 129,
                           187, 188, 189, 255, 256, 300, 507, 508, 511, 512, 1000, 4097};

// Bytes of a few kinds: graphic text; any byte value; text with a space.
std::string make_bytes(std::mt19937 &rng, size_t n, int kind) {
    std::string v(n, '\0');
    for (char &b : v) b = static_cast<char>(kind == 1 ? rng() % 256 : 33 + rng() % 94);
    if (n > 0 && kind == 2) v[rng() % n] = ' ';
    return v;
}

// The body of a text, from the record model: the record less its header
// and the line feed it adds.
std::string model_body(const std::string &text, int s) {
    const std::string r = qel_ref::encode_text(text, s);
    return r.substr(3, text.size());
}

TEST_P(EachKernel, EncodesBodiesAsTheModel) {
    std::mt19937 rng(7);
    for (size_t n : kLengths)
        for (int kind = 0; kind < 2; ++kind) {
            const std::string text = make_bytes(rng, n, kind);
            std::vector<unsigned char> out(n + 64, 0xA5);
            ops().encode_body(reinterpret_cast<const unsigned char *>(text.data()), out.data() + 32, n);
            ASSERT_EQ(model_body(text, kShift), std::string(out.begin() + 32, out.begin() + 32 + n)) << "n=" << n;
            ASSERT_TRUE(std::all_of(out.begin(), out.begin() + 32, [](unsigned char b) { return b == 0xA5; }));
            ASSERT_TRUE(std::all_of(out.end() - 32, out.end(), [](unsigned char b) { return b == 0xA5; }));
        }
}

TEST_P(EachKernel, DecodesBodiesOfEveryShiftOverThemselves) {
    std::mt19937 rng(11);
    for (int s = 1; s <= 9; ++s)
        for (size_t n : kLengths) {
            std::string text = make_bytes(rng, n, 1);
            std::replace(text.begin(), text.end(), ' ', '!');
            std::replace(text.begin(), text.end(), '~', '!');  // a tilde comes back as a space
            const std::string body = model_body(text, s);
            // As QEL_DecodeRecord does: the text lands three bytes before the body.
            std::vector<unsigned char> buf(3 + n + 32, 0xA5);
            std::copy(body.begin(), body.end(), buf.begin() + 3);
            ASSERT_FALSE(ops().decode_body(buf.data() + 3, buf.data(), n, s)) << "s=" << s << " n=" << n;
            ASSERT_EQ(text, std::string(buf.begin(), buf.begin() + n)) << "s=" << s << " n=" << n;
            ASSERT_TRUE(std::all_of(buf.begin() + 3 + n, buf.end(), [](unsigned char b) { return b == 0xA5; }));
        }
}

TEST_P(EachKernel, BodyWithASpaceIsRefusedUntouched) {
    std::mt19937 rng(13);
    for (size_t n : kLengths) {
        if (n == 0) continue;
        const std::string body = make_bytes(rng, n, 2);
        std::vector<unsigned char> buf(3 + n);
        std::copy(body.begin(), body.end(), buf.begin() + 3);
        const std::vector<unsigned char> before = buf;
        ASSERT_TRUE(ops().decode_body(buf.data() + 3, buf.data(), n, kShift)) << "n=" << n;
        ASSERT_EQ(before, buf) << "n=" << n;
    }
}

// --- the line engine ---------------------------------------------------------

// "PREFIX N", built by appending (GCC 12 gives a false -Wrestrict for
// "literal" + std::string on some targets).
std::string labelled(const char *prefix, size_t n) {
    std::string s(prefix);
    s += std::to_string(n);
    return s;
}

struct Feed {
    size_t window;    // how many input bytes a call is shown at most (0: all)
    size_t room;      // output room a call gets
    bool one_piece;
};

// Drives a job function as a host would: input shown in windows, the
// unconsumed bytes carried over, output in rooms of the given size, each
// in a window of exactly that size. Ends like the stream functions:
// 6 for no input at all, 1 with the number of lines, or the refusal.
qel_ref::Outcome drive(qel::JobFn fn, const std::string &src, bool force, const Feed &f) {
    qel_ref::Outcome o;
    qel::LineCount count{0, true};
    size_t pos = 0, window = f.window == 0 ? src.size() + 1 : f.window, room = f.room;
    testwindow::Window in_window, out_window;
    for (int guard = 0; guard < 1000000; ++guard) {
        const size_t avail = std::min(window, src.size() - pos);
        const bool at_end = pos + avail == src.size();
        auto *const in = reinterpret_cast<unsigned char *>(in_window.last(avail));
        auto *const out = reinterpret_cast<unsigned char *>(out_window.last(room));
        std::copy(src.begin() + static_cast<long>(pos), src.begin() + static_cast<long>(pos + avail), in);
        const qel::JobResult r = fn(qel::Job{.in = in, .avail = avail, .at_end = at_end, .out = out, .room = room,
                                               .force = force, .one_piece = f.one_piece},
                                     &count);
        EXPECT_LE(r.consumed + r.refused, avail);
        EXPECT_LE(r.produced, room);
        if (r.produced <= room) o.out.append(reinterpret_cast<const char *>(out), r.produced);
        pos += r.consumed;
        if (r.code != QEL_RTN_SUCCESSFUL) {
            o.status = r.code;
            o.line = count.lines;
            return o;
        }
        if (pos == src.size() && at_end) {
            o.status = count.lines == 0 ? QEL_RTN_EMPTY_SOURCE : QEL_RTN_SUCCESSFUL;
            o.line = count.lines;
            return o;
        }
        if (r.consumed == 0) {
            if (r.stop == qel::JobStop::kNeedRoom) room = std::max<size_t>(room * 2, 512);
            else if (r.stop == qel::JobStop::kNeedInput) window *= 2;
            else ADD_FAILURE() << "no progress";
        }
    }
    ADD_FAILURE() << "the engine never finished";
    return o;
}

// Texts that meet every line rule: lines around 507 and 1014 bytes, CR LF,
// lone CRs, control and high bytes, the encoded mark, and now and then a NUL.
std::string random_text(std::mt19937 &rng, bool with_nul) {
    static const size_t kLens[] = {0, 1, 2, 10, 44, 93, 94, 505, 506, 507, 508, 509, 1013, 1014, 1015, 1500};
    std::string t;
    const int lines = static_cast<int>(rng() % 40);
    for (int l = 0; l < lines; ++l) {
        const size_t n = rng() % 3 == 0 ? kLens[rng() % 16] : rng() % 80;
        std::string line(n, 'x');
        for (char &c : line) {
            const auto r = rng() % 100;
            c = static_cast<char>(r < 85 ? 32 + rng() % 95 : r < 95 ? rng() % 32 : 128 + rng() % 128);
            if (c == '\n' || (!with_nul && c == '\0')) c = 'q';
        }
        if (n >= 2 && rng() % 25 == 0) line[0] = 'O', line[1] = 'P';
        t += line;
        const auto end = rng() % 10;
        t += end < 6 ? "\n" : end < 8 ? "\r\n" : end < 9 ? "\r" : "";
    }
    if (with_nul && !t.empty() && rng() % 3 == 0) t[rng() % t.size()] = '\0';
    return t;
}

// Records of such texts from the model, now and then damaged, or a line of
// more than 512 bytes, or a record with an overlong body.
std::string random_records(std::mt19937 &rng) {
    std::string text = random_text(rng, false);
    std::string recs;
    size_t i = 0;
    while (i < text.size()) {
        size_t lf = text.find('\n', i);
        size_t take = lf == std::string::npos ? text.size() - i : lf - i + 1;
        take = std::min(take, qel_ref::kEncodePiece);
        std::string piece = text.substr(i, take);
        i += take;
        if (!piece.empty() && piece.back() != '\n' && i < text.size() && text[i] == '\n') piece += '\n', ++i;
        std::string rec = qel_ref::encode_text(qel_ref::trim(piece), 1 + static_cast<int>(rng() % 9));
        const auto d = rng() % 30;
        if (d == 0) rec[rng() % rec.size()] = ' ';
        if (d == 1) rec.erase(rng() % rec.size(), 1);
        if (d == 2) rec.insert(rec.size() - 1, std::string(rng() % 600, 'c'));
        if (d == 3) rec[rng() % rec.size()] = '\0';
        if (d == 4 && rec.size() > 2) rec.pop_back(), rec += "\r\n";
        recs += rec;
    }
    if (rng() % 4 == 0) recs += "GX5" + std::string(509 - rng() % 3, 'c');  // a body no encoder writes
    return recs;
}

const Feed kFeeds[] = {
    {0, 1 << 20, false},  // everything in one call
    {0, 700, false},      // little room
    {0, 1 << 20, true},   // one piece a call
    {1, 1 << 20, false},  // one more byte each time it asks
    {513, 4096, false},   // windows that end inside lines
    {4096, 4096, false},
};

TEST_P(EachKernel, EncodingSpansAgreeWithTheStreamModel) {
    std::mt19937 rng(17);
    for (int round = 0; round < 300; ++round) {
        const std::string src = random_text(rng, true);
        const bool force = rng() % 2 == 0;
        const qel_ref::Outcome want = qel_ref::encode_stream(src, force, kShift);
        for (const Feed &f : kFeeds) {
            const qel_ref::Outcome got = drive(ops().encode_job, src, force, f);
            ASSERT_EQ(want.status, got.status) << "round " << round << " window " << f.window << " room " << f.room;
            ASSERT_EQ(want.line, got.line) << "round " << round << " window " << f.window;
            ASSERT_EQ(want.out, got.out) << "round " << round << " window " << f.window;
        }
    }
}

TEST_P(EachKernel, DecodingSpansAgreeWithTheStreamModel) {
    std::mt19937 rng(19);
    for (int round = 0; round < 300; ++round) {
        const std::string src = random_records(rng);
        const qel_ref::Outcome want = qel_ref::decode_stream(src);
        for (const Feed &f : kFeeds) {
            const qel_ref::Outcome got = drive(ops().decode_job, src, false, f);
            ASSERT_EQ(want.status, got.status) << "round " << round << " window " << f.window << " room " << f.room;
            ASSERT_EQ(want.line, got.line) << "round " << round << " window " << f.window;
            ASSERT_EQ(want.out, got.out) << "round " << round << " window " << f.window;
        }
    }
}

// Pieces whose length decides how they are cut, refused or taken, each
// alone and after a line that the engine takes first.
TEST_P(EachKernel, LengthLimitsHoldWhereverAPieceStands) {
    const std::string lead = "a leading line\n";
    struct Shape {
        const char *name;
        std::string src;
        bool decode;
    };
    const std::string body507 = qel_ref::encode_text(std::string(507, 'b'), kShift);
    const std::vector<Shape> shapes = {
        {"text_507_lf", std::string(507, 'a') + "\nz\n", false},
        {"text_507_crlf", std::string(507, 'a') + "\r\nz\n", false},
        {"text_508_lf", std::string(508, 'a') + "\n", false},
        {"text_507_end", std::string(507, 'a'), false},
        {"record_507_body", body507 + body507, true},
        {"record_507_body_crlf", body507.substr(0, body507.size() - 1) + "\r\n", true},
        {"record_509_body_no_lf", "GX5" + std::string(509, 'c'), true},
        {"record_508_body_lf", "GX5" + std::string(508, 'c') + "\n", true},
        {"line_512_no_lf_then_more", std::string(512, 'c') + "x\n", true},
        {"line_512_no_lf_at_end", "GX5" + std::string(509, 'c'), true},
        {"line_513", "OP" + std::string(511, 'c'), true},
    };
    for (const Shape &sh : shapes)
        for (const std::string &before : {std::string(), sh.decode ? qel_ref::encode_text("x", kShift) : lead}) {
            const std::string src = before + sh.src;
            const qel_ref::Outcome want = sh.decode ? qel_ref::decode_stream(src)
                                                      : qel_ref::encode_stream(src, false, kShift);
            for (const Feed &f : kFeeds) {
                const qel_ref::Outcome got = drive(sh.decode ? ops().decode_job : ops().encode_job, src, false, f);
                EXPECT_EQ(want.status, got.status) << sh.name << " after " << before.size() << " window " << f.window;
                EXPECT_EQ(want.line, got.line) << sh.name << " window " << f.window;
                EXPECT_EQ(want.out, got.out) << sh.name << " window " << f.window;
            }
        }
}

// --- batches of whole lines ----------------------------------------------------
//
// The engine takes the whole lines of a scanned chunk in one batch and
// leaves any other line to the one-piece path. These texts are several
// chunks long, so that batches start and stop at every kind of line.

// Lines of the given lengths, each with its line end, graphic bytes only.
std::string lines_of(const std::vector<size_t> &lengths, const char *end = "\n") {
    std::string t;
    for (size_t i = 0; i < lengths.size(); ++i) {
        for (size_t j = 0; j < lengths[i]; ++j) t += static_cast<char>(33 + (i * 7 + j * 13) % 94);
        t += end;
    }
    return t;
}

// Records of a text, one per line, from the model.
std::string records_of(const std::string &text, int s) {
    std::string recs;
    for (size_t i = 0; i < text.size();) {
        const size_t lf = text.find('\n', i);
        recs += qel_ref::encode_text(qel_ref::trim(text.substr(i, lf + 1 - i)), s);
        i = lf + 1;
    }
    return recs;
}

// The feeds that show a batch many lines: everything, tight room, and
// windows that end inside lines. 64 KiB hold the output of any text here.
const Feed kBatchFeeds[] = {
    {0, 1 << 16, false},
    {0, 700, false},
    {4096, 4096, false},
    {1000, 1 << 16, false},
};

void expect_batches_agree(const qel::KernelOps &ops, const std::string &src, bool decode, const std::string &what) {
    const qel_ref::Outcome want = decode ? qel_ref::decode_stream(src) : qel_ref::encode_stream(src, false, kShift);
    for (const Feed &f : kBatchFeeds) {
        const qel_ref::Outcome got = drive(decode ? ops.decode_job : ops.encode_job, src, false, f);
        ASSERT_EQ(want.status, got.status) << what << " window " << f.window << " room " << f.room;
        ASSERT_EQ(want.line, got.line) << what << " window " << f.window << " room " << f.room;
        ASSERT_EQ(want.out, got.out) << what << " window " << f.window << " room " << f.room;
    }
}

TEST_P(EachKernel, BatchesTakeLinesEndingAtEveryOffsetOfAVector) {
    // Lengths 0 to 130 in turn move each line feed through every offset of
    // a 64-byte vector and past it; a leading line of every length from 0
    // to 63 shifts the whole pattern.
    std::vector<size_t> rising;
    for (size_t n = 0; n <= 130; ++n) rising.push_back(n);
    for (size_t lead = 0; lead < 64; ++lead) {
        std::vector<size_t> lengths{lead};
        lengths.insert(lengths.end(), rising.begin(), rising.end());
        const std::string text = lines_of(lengths);
        expect_batches_agree(ops(), text, false, labelled("encode lead ", lead));
        expect_batches_agree(ops(), records_of(text, kShift), true, labelled("decode lead ", lead));
    }
}

TEST_P(EachKernel, BatchesOfShortLinesAndCrLfAtEveryOffset) {
    std::mt19937 rng(23);
    std::vector<size_t> shortest(3000);
    for (size_t &n : shortest) n = rng() % 6;
    const std::string text = lines_of(shortest);
    expect_batches_agree(ops(), text, false, "short lines");
    expect_batches_agree(ops(), records_of(text, kShift), true, "short records");
    // Records of another build's shift decode through the batch all the same.
    expect_batches_agree(ops(), records_of(text, kShift % 9 + 1), true, "short records, other shift");

    std::vector<size_t> rising;
    for (size_t n = 0; n <= 130; ++n) rising.push_back(n);
    const std::string crlf = lines_of(rising, "\r\n");
    expect_batches_agree(ops(), crlf, false, "CR LF lines");
    // Records that passed through a CR LF text stream.
    std::string recs;
    for (char c : records_of(lines_of(rising), kShift)) recs += c == '\n' ? std::string("\r\n") : std::string(1, c);
    expect_batches_agree(ops(), recs, true, "CR LF records");
}

// A kernel may map a line's body by what the lines before it were like:
// a line of every length from 0 to 130, each after a run of short lines
// and before another, and a space in the body of such a line, at its end
// or just past its first 32 bytes, which a decoder must refuse.
TEST_P(EachKernel, LinesOfEveryLengthAfterRunsOfShortLines) {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 130; ++n) {
        for (size_t k = 0; k < 24; ++k) lengths.push_back(1 + (n + k) % 31);
        lengths.push_back(n);
    }
    const std::string text = lines_of(lengths);
    expect_batches_agree(ops(), text, false, "after short lines");
    expect_batches_agree(ops(), records_of(text, kShift), true, "after short records");

    for (size_t n : {33, 40, 63, 64, 65, 97, 130}) {
        const std::string run = lines_of(std::vector<size_t>(24, 10));
        const std::string record = records_of(lines_of({n}), kShift);
        for (size_t at : {size_t{32}, n - 1}) {
            std::string damaged = record;
            damaged[3 + at] = ' ';
            expect_batches_agree(ops(), records_of(run, kShift) + damaged + records_of(run, kShift), true,
                                 labelled("space in body of length ", n) + labelled(" at ", at));
        }
    }
}

TEST_P(EachKernel, BatchesOfEmptyLinesWithMoreLineFeedsThanHalfAVector) {
    // Runs of empty and 1-byte lines put 64, about 43 and 32 line feeds in
    // a 64-byte vector; a leading line of every length from 0 to 63 moves
    // where the runs start, and a longer line between runs lets the line
    // feeds of one vector fall either side of it.
    const struct {
        const char *name;
        std::vector<size_t> run;
    } kRuns[] = {
        {"empty lines", {0}},
        {"empty and 1-byte lines", {0, 1}},
        {"1-byte lines", {1}},
    };
    for (const auto &r : kRuns)
        for (size_t lead = 0; lead < 64; ++lead) {
            std::vector<size_t> lengths{lead};
            for (int part = 0; part < 2; ++part) {
                for (int i = 0; i < 150; ++i) lengths.insert(lengths.end(), r.run.begin(), r.run.end());
                lengths.push_back(70);
            }
            const std::string text = lines_of(lengths);
            const std::string what = std::string(r.name) + labelled(", lead ", lead);
            expect_batches_agree(ops(), text, false, "encode " + what);
            expect_batches_agree(ops(), records_of(text, kShift), true, "decode " + what);
        }
}

// One refusal or one line the batch must leave to the one-piece path, at
// every offset of the first few chunks of a text of short lines.
TEST_P(EachKernel, ARefusalAtEveryOffsetOfABatch) {
    std::vector<size_t> lengths;
    for (size_t i = 0; i < 120; ++i) lengths.push_back(i * 37 % 61);
    const std::string text = lines_of(lengths);  // about 3.6 KB
    const std::string recs = records_of(text, kShift);
    // Every offset of the first chunk and a vector past it, then a sample.
    for (size_t at = 0; at < 2700; at += at < 640 ? 1 : 13) {
        if (at < text.size() && text[at] != '\n') {
            std::string nul = text;
            nul[at] = '\0';
            expect_batches_agree(ops(), nul, false, labelled("NUL at ", at));
            if (at + 1 < text.size() && text[at + 1] != '\n') {
                std::string mark = text;
                mark[at] = 'O', mark[at + 1] = 'P';  // the encoded mark where a line starts there
                expect_batches_agree(ops(), mark, false, labelled("mark at ", at));
            }
        }
        if (at < recs.size() && recs[at] != '\n') {
            for (char bad : {' ', '\0', '\r', 'x'}) {
                std::string damaged = recs;
                damaged[at] = bad;
                expect_batches_agree(ops(), damaged, true, std::string("byte ") + bad + labelled(" at ", at));
            }
        }
    }
}

TEST_P(EachKernel, BatchesStopAtOverlongLinesAndCuts) {
    // Lines around the longest piece and the longest record among short ones.
    for (size_t n : {size_t{506}, size_t{507}, size_t{508}, size_t{510}, size_t{511}, size_t{512}, size_t{1100}}) {
        std::vector<size_t> lengths(60, 9);
        lengths[30] = n;
        const std::string text = lines_of(lengths);
        expect_batches_agree(ops(), text, false, labelled("line of ", n));
        const std::string recs = records_of(lines_of(std::vector<size_t>(60, 9)), kShift);
        const size_t middle = recs.size() / 2;
        const size_t start = recs.find('\n', middle) + 1;
        std::string long_rec = recs;
        long_rec.insert(start, "GX5" + std::string(n, 'c') + "\n");
        expect_batches_agree(ops(), long_rec, true, labelled("record line of ", n));
    }
}

// Every room from a little below a chunk's output to well past it, so that
// the room runs out just before, at and just after the last line a batch
// can take whole, in both directions.
TEST_P(EachKernel, BatchesFillEveryRoomToItsLastByte) {
    std::vector<size_t> lengths;
    for (size_t i = 0; i < 200; ++i) lengths.push_back(i * 7 % 23);
    const std::string text = lines_of(lengths);  // about 2.4 KB
    const std::string recs = records_of(text, kShift);
    const qel_ref::Outcome want_recs = qel_ref::encode_stream(text, false, kShift);
    const qel_ref::Outcome want_text = qel_ref::decode_stream(recs);
    for (size_t room = 500; room < 3300; room += room < 900 ? 1 : 7) {
        const Feed f{0, room, false};
        const qel_ref::Outcome enc = drive(ops().encode_job, text, false, f);
        ASSERT_EQ(want_recs.out, enc.out) << "encode room " << room;
        ASSERT_EQ(want_recs.status, enc.status) << "encode room " << room;
        const qel_ref::Outcome dec = drive(ops().decode_job, recs, false, f);
        ASSERT_EQ(want_text.out, dec.out) << "decode room " << room;
        ASSERT_EQ(want_text.status, dec.status) << "decode room " << room;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, EachKernel, ::testing::ValuesIn(all_kernels()),
                         [](const auto &p) { return std::string(p.param->name); });

TEST(KernelTable, EndsWithThePortableKernelWhichRunsEverywhere) {
    ASSERT_GE(qel::kKernelCount, 1u);
    EXPECT_STREQ("portable", qel::kKernels[qel::kKernelCount - 1].name);
    EXPECT_TRUE(qel::kKernels[qel::kKernelCount - 1].runs());
    EXPECT_STREQ(qel::best_kernel().name, [] {
        for (size_t i = 0; i < qel::kKernelCount; ++i)
            if (qel::kKernels[i].runs()) return qel::kKernels[i].name;
        return "none";
    }());
}

}  // namespace
