// The C++ interface (qelcode.hpp) against the reference model and the
// hand-worked vectors. Built as C++17, as C++20 and as C++20 without
// exceptions, where only the std::error_code forms exist.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qelcode.hpp"
#include "qel_reference.h"
#if defined(QEL_TEST_HIDDEN_LIBRARY)
#include "hidden_category_library.h"
#endif

namespace {

const int kShift = qel_ref::build_shift();

std::string model_encode(std::string_view text, bool force = false) {
    return qel_ref::encode_stream(text, force, kShift).out;
}

// Text with what the pieces turn on: empty lines, CR LF, a lone CR, tildes,
// control and high bytes, lines of 506 to 509 bytes and one of 1200 bytes
// (cut into records), and a last line without its line end.
std::string mixed_text() {
    std::string t = "first\n\r\nA\r\n~ tilde\ttab\x01\x7f\x80\xff\n\n";
    for (size_t n : {506, 507, 508, 509, 1200}) {
        for (size_t i = 0; i < n; ++i) t += static_cast<char>(' ' + (i * 7 + n) % 95);
        t += n == 508 ? "\r\n" : "\n";
    }
    std::string long_line(507, 'x');
    t += long_line + "\n" + long_line + "\r\n";  // the LF after a full piece joins it
    return t + "last line";
}

// --- the hand-worked vectors ---------------------------------------------------------

TEST(CppVectors, RecordsAndWholeFiles) {
    const auto encode_lines = qel_ref::vectors("encode-line");
    const auto decode_lines = qel_ref::vectors("decode-line");
    const auto encode_files = qel_ref::vectors("encode-file");
    const auto decode_files = qel_ref::vectors("decode-file");
    ASSERT_FALSE(encode_lines.empty());
    ASSERT_FALSE(decode_lines.empty());
    ASSERT_FALSE(encode_files.empty());
    ASSERT_FALSE(decode_files.empty());
    std::error_code ec;
    for (const auto &v : encode_lines) {
        if (v.s != kShift) continue;  // records of another shift are written by other builds
        EXPECT_EQ(qel::encode_record(v.text, ec), v.record) << v.text;
        EXPECT_FALSE(ec);
    }
    for (const auto &v : decode_lines) {  // records of any shift decode
        EXPECT_EQ(qel::decode_record(v.record, ec), v.text) << v.record;
        EXPECT_FALSE(ec);
    }
    for (const auto &v : encode_files) {
        if (v.s != kShift) continue;
        EXPECT_EQ(qel::encode(v.text, ec), v.record) << v.text;
        EXPECT_FALSE(ec);
        std::istringstream in(v.text);
        std::ostringstream out;
        qel::encode(in, out, ec);
        EXPECT_FALSE(ec);
        EXPECT_EQ(out.str(), v.record);
    }
    for (const auto &v : decode_files) {
        EXPECT_EQ(qel::decode(v.record, ec), v.text) << v.record;
        EXPECT_FALSE(ec);
        std::istringstream in(v.record);
        std::ostringstream out;
        qel::decode(in, out, ec);
        EXPECT_FALSE(ec);
        EXPECT_EQ(out.str(), v.text);
    }
}

// --- whole buffers, every input form ---------------------------------------------------

TEST(CppWhole, EveryFormGivesTheModelsOutput) {
    const std::string text = mixed_text();
    const std::string records = model_encode(text);
    ASSERT_EQ(qel_ref::decode_stream(records).status, QEL_RTN_SUCCESSFUL);
    const std::string decoded = qel_ref::decode_stream(records).out;
    std::error_code ec;
    EXPECT_EQ(qel::encode(text, ec), records);
    EXPECT_FALSE(ec);
    EXPECT_EQ(qel::decode(records, ec), decoded);
    EXPECT_FALSE(ec);
    std::string appended = "kept";
    qel::encode_append(appended, text, ec);
    EXPECT_EQ(appended, "kept" + records);
    qel::decode_append(appended, records, ec);
    EXPECT_EQ(appended, "kept" + records + decoded);
    EXPECT_EQ(qel::encode(std::string_view(), ec), "");
    EXPECT_FALSE(ec);
#if QEL_CPP_EXCEPTIONS
    EXPECT_EQ(qel::encode(text), records);
    EXPECT_EQ(qel::decode(records), decoded);
    EXPECT_EQ(qel::encode("A\n"), model_encode("A\n"));  // a literal takes the string_view form
#endif
#if defined(__cpp_lib_span)
    const std::vector<char> chars(text.begin(), text.end());
    std::vector<std::byte> bytes(text.size());
    std::memcpy(bytes.data(), text.data(), text.size());
    EXPECT_EQ(qel::encode(std::span<const char>(chars), ec), records);
    EXPECT_EQ(qel::encode(chars, ec), records);
    EXPECT_EQ(qel::encode(bytes, ec), records);
    std::vector<std::byte> room(qel::encode_bound(bytes.size()));
    const size_t n = qel::encode_into(room, bytes, ec);
    EXPECT_FALSE(ec);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(room.data()), n), records);
#if QEL_CPP_EXCEPTIONS
    EXPECT_EQ(qel::encode(chars), records);
    EXPECT_EQ(qel::encode(bytes), records);
    EXPECT_EQ(qel::decode(std::vector<char>(records.begin(), records.end())), decoded);
#endif
#endif
}

// An input that is (part of) the string appended to is read as it was,
// as s.append(s) reads it, though the string grows and moves meanwhile.
TEST(CppWhole, AppendingAStringToItself) {
    const std::string text = mixed_text();
    const std::string records = model_encode(text);
    const struct {
        const char *name;
        bool encoding;
        std::string start;
        size_t from, count;  // the part of start appended
        std::string want;
    } cases[] = {
        {"whole text", true, text, 0, text.size(), text + records},
        {"a short text", true, "ab\n", 0, 3, "ab\n" + model_encode("ab\n")},
        {"its tail", true, text, 6, text.size() - 6, text + model_encode(text.substr(6))},
        {"whole records", false, records, 0, records.size(), records + qel_ref::decode_stream(records).out},
    };
    for (const auto &c : cases) {
        std::string s = c.start;
        s.reserve(s.size());  // no spare room: the first growth moves it
        std::error_code ec;
        const std::string_view part = std::string_view(s).substr(c.from, c.count);
        c.encoding ? qel::encode_append(s, part, ec) : qel::decode_append(s, part, ec);
        EXPECT_FALSE(ec) << c.name;
        EXPECT_EQ(s, c.want) << c.name;
#if QEL_CPP_EXCEPTIONS
        s = c.start;
        s.shrink_to_fit();
        c.encoding ? qel::encode_append(s, std::string_view(s).substr(c.from, c.count))
                   : qel::decode_append(s, std::string_view(s).substr(c.from, c.count));
        EXPECT_EQ(s, c.want) << c.name;
#endif
    }
}

// Every call that takes a std::string_view takes bytes in a container too:
// char, signed char, unsigned char (std::uint8_t) and std::byte, in a
// vector, an array or (C++20) a span; encode_into and decode_into also
// write into one.
template <class Byte>
void check_byte_forms(const char *name) {
    const std::string text = mixed_text();
    const std::string records = model_encode(text);
    const std::string decoded = qel_ref::decode_stream(records).out;
    auto bytes_of = [](const std::string &s) {
        std::vector<Byte> v(s.size());
        std::memcpy(v.data(), s.data(), s.size());
        return v;
    };
    auto string_of = [](const Byte *p, size_t n) { return std::string(reinterpret_cast<const char *>(p), n); };
    const std::vector<Byte> in = bytes_of(text), recs = bytes_of(records);
    std::error_code ec;
    EXPECT_EQ(qel::encode(in, ec), records) << name;
    EXPECT_EQ(qel::decode(recs, ec), decoded) << name;
    std::string appended = "kept";
    qel::encode_append(appended, in, ec);
    qel::decode_append(appended, recs, ec);
    EXPECT_EQ(appended, "kept" + records + decoded) << name;
    std::vector<Byte> room(qel::encode_bound(in.size()));
    size_t n = qel::encode_into(room, in, ec);
    EXPECT_FALSE(ec) << name;
    EXPECT_EQ(string_of(room.data(), n), records) << name;
    n = qel::decode_into(room, recs, ec);
    EXPECT_EQ(string_of(room.data(), n), decoded) << name;
    n = qel::encode_into(room, text, ec);  // a string into bytes
    EXPECT_EQ(string_of(room.data(), n), records) << name;
    const std::array<Byte, 3> line = {Byte('a'), Byte('b'), Byte('\n')};
    EXPECT_EQ(qel::encode_record(line, ec), model_encode("ab\n")) << name;
    EXPECT_EQ(qel::decode_record(bytes_of(model_encode("ab\n")), ec), "ab\n") << name;
    qel::encoder enc;
    qel::decoder dec;
    std::string pieces = enc.feed(in, ec);
    pieces += enc.finish(ec);
    EXPECT_EQ(pieces, records) << name;
    pieces = dec.feed(recs, ec);
    pieces += dec.finish(ec);
    EXPECT_EQ(pieces, decoded) << name;
    EXPECT_FALSE(ec) << name;
#if defined(__cpp_lib_span)
    EXPECT_EQ(qel::encode(std::span<const Byte>(in), ec), records) << name;
    EXPECT_EQ(qel::encode_into(std::span<Byte>(room), std::span<const Byte>(in), ec), records.size()) << name;
    qel::encoder span_enc;
    pieces = span_enc.feed(std::span<const Byte>(in), ec);
    pieces += span_enc.finish(ec);
    EXPECT_EQ(pieces, records) << name;
#endif
#if QEL_CPP_EXCEPTIONS
    EXPECT_EQ(qel::encode(in), records) << name;
    EXPECT_EQ(qel::decode(recs), decoded) << name;
    appended.clear();
    qel::encode_append(appended, in);
    qel::decode_append(appended, recs);
    EXPECT_EQ(appended, records + decoded) << name;
    EXPECT_EQ(string_of(room.data(), qel::encode_into(room, in)), records) << name;
    EXPECT_EQ(string_of(room.data(), qel::decode_into(room, recs)), decoded) << name;
    EXPECT_EQ(qel::encode_record(line), model_encode("ab\n")) << name;
    EXPECT_EQ(qel::decode_record(bytes_of(model_encode("ab\n"))), "ab\n") << name;
    qel::encoder thrown_enc;
    pieces = thrown_enc.feed(in);
    pieces += thrown_enc.finish();
    EXPECT_EQ(pieces, records) << name;
    try {
        qel::encode(bytes_of("ok\n" + qel_ref::encode_text("A", kShift)));
        ADD_FAILURE() << name << ": no exception";
    } catch (const qel::error &e) {
        EXPECT_EQ(e.code(), qel::errc::source_encoded) << name;
        EXPECT_EQ(e.offset(), 3u) << name;
    }
#endif
}

TEST(CppWhole, BytesInContainers) {
    check_byte_forms<char>("char");
    check_byte_forms<signed char>("signed char");
    check_byte_forms<std::uint8_t>("std::uint8_t");
    check_byte_forms<std::byte>("std::byte");
    const unsigned char array[] = {'h', 'i', '\n'};  // all of it: an array of bytes is not a string
    std::error_code ec;
    EXPECT_EQ(qel::encode(array, ec), model_encode("hi\n"));
}

TEST(CppWhole, ForceEncodesMarkedLines) {
    const std::string marked = qel_ref::encode_text("A", kShift);  // carries the mark
    std::error_code ec;
    EXPECT_EQ(qel::encode(marked, ec, qel::flags::force), model_encode(marked, true));
    EXPECT_FALSE(ec);
    qel::encoder enc(qel::flags::force);
    std::string out = enc.feed(marked, ec);
    out += enc.finish(ec);
    EXPECT_FALSE(ec);
    EXPECT_EQ(out, model_encode(marked, true));
}

// The bound never too small: the worst inputs for each direction, and
// random ones, each through a buffer of exactly the bound.
TEST(CppWhole, BoundAlwaysSuffices) {
    std::vector<std::string> texts = {"", "\n", std::string(1000, '\n'), std::string(3000, 'a'),
                                      std::string(507, 'b') + "\n", std::string(508, 'c'), "x"};
    std::mt19937 rng(29);
    for (int i = 0; i < 40; ++i) {
        std::string t(rng() % 3000, '\0');
        for (char &c : t) c = static_cast<char>(rng() % 6 == 0 ? '\n' : 1 + rng() % 255);
        texts.push_back(t);
    }
    std::error_code ec;
    for (const std::string &t : texts) {
        const std::string records = model_encode(t);
        if (qel_ref::encode_stream(t, false, kShift).status != QEL_RTN_SUCCESSFUL &&
            qel_ref::encode_stream(t, false, kShift).status != QEL_RTN_EMPTY_SOURCE)
            continue;  // a refusal (a NUL, a marked line) is checked elsewhere
        std::vector<char> room(qel::encode_bound(t.size()) + 1);
        size_t n = qel::encode_into(room.data(), room.size() - 1, t, ec);
        EXPECT_FALSE(ec) << ec.message();
        EXPECT_EQ(std::string(room.data(), n), records);
        std::vector<char> back(qel::decode_bound(records.size()) + 1);
        n = qel::decode_into(back.data(), back.size() - 1, records, ec);
        EXPECT_FALSE(ec) << ec.message();
        EXPECT_EQ(std::string(back.data(), n), qel_ref::decode_stream(records).out);
    }
}

TEST(CppWhole, TooSmallBufferFailsWithWhatFits) {
    const std::string text = "one\ntwo\nthree\n";
    const std::string first = model_encode("one\n");
    std::vector<char> room(first.size() + 2);
    std::error_code ec;
    qel::position at;
    const size_t n = qel::encode_into(room.data(), room.size(), text, ec, qel::flags::none, &at);
    EXPECT_EQ(ec, std::errc::no_buffer_space);
    EXPECT_EQ(std::string(room.data(), n), first);
    EXPECT_EQ(at.offset, 4u);
    EXPECT_EQ(at.line, 2u);
}

// --- input split anywhere ------------------------------------------------------------

template <class Object>
std::string in_pieces(Object &&obj, std::string_view input, const std::vector<size_t> &cuts, std::error_code &ec) {
    std::string out;
    size_t from = 0;
    for (size_t cut : cuts) {
        out += obj.feed(input.substr(from, cut - from), ec);
        EXPECT_FALSE(ec) << "cut at " << cut;
        from = cut;
    }
    out += obj.feed(input.substr(from), ec);
    out += obj.finish(ec);
    EXPECT_FALSE(ec);
    return out;
}

TEST(CppIncremental, EverySplitGivesTheWholeOutput) {
    const std::string text = mixed_text();
    const std::string records = model_encode(text);
    const std::string decoded = qel_ref::decode_stream(records).out;
    std::error_code ec;
    for (size_t cut = 0; cut <= text.size(); ++cut)
        ASSERT_EQ(in_pieces(qel::encoder(), text, {cut}, ec), records) << "cut at " << cut;
    for (size_t cut = 0; cut <= records.size(); ++cut)
        ASSERT_EQ(in_pieces(qel::decoder(), records, {cut}, ec), decoded) << "cut at " << cut;
    // Two cuts close together, around the long lines, and one byte at a time.
    for (size_t a = 1500; a < 2200; a += 7)
        for (size_t b = a; b < a + 600 && b <= text.size(); b += 61)
            ASSERT_EQ(in_pieces(qel::encoder(), text, {a, b}, ec), records) << a << " " << b;
    std::vector<size_t> every(text.size());
    for (size_t i = 0; i < every.size(); ++i) every[i] = i;
    EXPECT_EQ(in_pieces(qel::encoder(), text, every, ec), records);
    every.resize(records.size());
    for (size_t i = 0; i < every.size(); ++i) every[i] = i;
    EXPECT_EQ(in_pieces(qel::decoder(), records, every, ec), decoded);
}

TEST(CppIncremental, OffsetCountsTheConvertedBytes) {
    qel::encoder enc;
    std::error_code ec;
    EXPECT_EQ(enc.feed("ab\ncd", ec), model_encode("ab\n"));
    EXPECT_EQ(enc.offset(), 3u);  // "cd" may go on
    EXPECT_EQ(enc.finish(ec), model_encode("cd"));
    EXPECT_EQ(enc.offset(), 5u);
    enc.feed("more", ec);
    EXPECT_EQ(ec, std::errc::operation_not_permitted);
}

// --- refusals ------------------------------------------------------------------------

struct Refusal {
    const char *name;
    bool encoding;
    std::string good, bad;  // the input is good + bad: the refusal is at good.size()
    qel::errc code;
    uint64_t line;
};

std::vector<Refusal> refusals() {
    const std::string rec = qel_ref::encode_text("fine", kShift);
    std::string damaged = qel_ref::encode_text("abc", kShift);
    damaged[4] = ' ';  // no body byte is a space
    return {
        {"marked line", true, "one\ntwo\n", qel_ref::encode_text("A", kShift), qel::errc::source_encoded, 3},
        {"NUL in text", true, "one\n", std::string("t\0o\n", 4), qel::errc::nul_in_source, 2},
        {"NUL after a long line", true, std::string(507, 'a') + "\n", std::string("\0", 1), qel::errc::nul_in_source, 2},
        {"text to decode", false, rec + rec, "plain text\n", qel::errc::source_not_encoded, 3},
        {"damaged record", false, rec, damaged, qel::errc::record_damaged, 2},
        {"NUL in a record", false, rec, std::string("\0\n", 2), qel::errc::nul_in_source, 2},
        {"overlong record", false, rec, std::string(600, 'a') + "\n", qel::errc::record_damaged, 2},
    };
}

std::string good_output(const Refusal &r) {
    return r.encoding ? model_encode(r.good) : qel_ref::decode_stream(r.good).out;
}

TEST(CppRefusals, ModelAgreesWithTheTable) {
    for (const Refusal &r : refusals()) {
        const qel_ref::Outcome o = r.encoding ? qel_ref::encode_stream(r.good + r.bad, false, kShift)
                                              : qel_ref::decode_stream(r.good + r.bad);
        EXPECT_EQ(o.status, static_cast<int32_t>(r.code)) << r.name;
        EXPECT_EQ(o.line, r.line) << r.name;
    }
}

TEST(CppRefusals, ErrorCodeForm) {
    for (const Refusal &r : refusals()) {
        const std::string input = r.good + r.bad;
        std::error_code ec;
        qel::position at;
        const std::string out = r.encoding ? qel::encode(input, ec, qel::flags::none, &at) : qel::decode(input, ec, &at);
        EXPECT_EQ(ec, r.code) << r.name;
        EXPECT_EQ(&ec.category(), &qel::category()) << r.name;
        EXPECT_EQ(ec.message(), QEL_RtnCodeStr(static_cast<int32_t>(r.code))) << r.name;
        EXPECT_EQ(at.offset, r.good.size()) << r.name;
        EXPECT_EQ(at.line, r.line) << r.name;
        EXPECT_EQ(out, good_output(r)) << r.name;
        // The same through a stream: what came before stays written.
        std::istringstream in(input);
        std::ostringstream sink;
        if (r.encoding)
            qel::encode(in, sink, ec, qel::flags::none, &at);
        else
            qel::decode(in, sink, ec, &at);
        EXPECT_EQ(ec, r.code) << r.name;
        EXPECT_EQ(at.offset, r.good.size()) << r.name;
        EXPECT_EQ(at.line, r.line) << r.name;
        EXPECT_EQ(sink.str(), good_output(r)) << r.name;
    }
}

// Split anywhere, the refusal stands at the same offset and line of the
// whole input, and the output of every call up to it is the good part's.
TEST(CppRefusals, IncrementalAtEverySplit) {
    for (const Refusal &r : refusals()) {
        const std::string input = r.good + r.bad;
        for (size_t cut = 0; cut <= input.size(); ++cut) {
            std::error_code ec;
            qel::position at;
            std::string out;
            auto run = [&](auto &&obj) {
                out += obj.feed(std::string_view(input).substr(0, cut), ec, &at);
                if (!ec) out += obj.feed(std::string_view(input).substr(cut), ec, &at);
                if (!ec) out += obj.finish(ec, &at);
                if (ec) {  // the object stands at the refusal and takes nothing more
                    EXPECT_EQ(obj.offset(), r.good.size()) << r.name << " cut " << cut;
                    std::error_code again;
                    qel::position there;
                    obj.feed("more\n", again, &there);
                    EXPECT_EQ(again, std::errc::operation_not_permitted);
                    EXPECT_EQ(there.offset, r.good.size()) << r.name << " cut " << cut;
                    EXPECT_EQ(there.line, r.line) << r.name << " cut " << cut;
                    obj.finish(again, &there);
                    EXPECT_EQ(again, std::errc::operation_not_permitted);
                    EXPECT_EQ(there.offset, r.good.size()) << r.name << " cut " << cut;
                    EXPECT_EQ(obj.offset(), r.good.size()) << r.name << " cut " << cut;
                }
            };
            if (r.encoding)
                run(qel::encoder());
            else
                run(qel::decoder());
            ASSERT_EQ(ec, r.code) << r.name << " cut " << cut;
            ASSERT_EQ(at.offset, r.good.size()) << r.name << " cut " << cut;
            ASSERT_EQ(at.line, r.line) << r.name << " cut " << cut;
            ASSERT_EQ(out, good_output(r)) << r.name << " cut " << cut;
        }
    }
}

TEST(CppRefusals, Records) {
    const struct {
        bool encoding;
        std::string input;
        qel::errc code;
    } cases[] = {
        {true, qel_ref::encode_text("A", kShift), qel::errc::source_encoded},
        {true, std::string(508, 'a') + "\n", qel::errc::line_too_long},
        {true, std::string("a\0b", 3), qel::errc::nul_in_source},
        {false, "plain\n", qel::errc::source_not_encoded},
        {false, qel_ref::encode_text("AB", kShift).substr(0, 4), qel::errc::record_damaged},
        {false, qel_ref::encode_text("A", kShift).substr(0, 3) + std::string("\0", 1), qel::errc::record_damaged},
    };
    for (const auto &c : cases) {
        std::error_code ec;
        qel::position at;
        const std::string out = c.encoding ? qel::encode_record(c.input, ec, &at) : qel::decode_record(c.input, ec, &at);
        EXPECT_EQ(ec, c.code) << c.input;
        EXPECT_EQ(out, "");
        EXPECT_EQ(at.line, 1u);
#if QEL_CPP_EXCEPTIONS
        try {
            c.encoding ? qel::encode_record(c.input) : qel::decode_record(c.input);
            ADD_FAILURE() << "no exception for " << c.input;
        } catch (const qel::error &e) {
            EXPECT_EQ(e.code(), c.code);
        }
#endif
    }
    std::error_code ec;
    EXPECT_EQ(qel::encode_record(std::string(507, 'a') + "\r\n", ec), model_encode(std::string(507, 'a')));
    EXPECT_FALSE(ec);
}

#if QEL_CPP_EXCEPTIONS
TEST(CppRefusals, ExceptionForm) {
    for (const Refusal &r : refusals()) {
        const std::string input = r.good + r.bad;
        try {
            r.encoding ? qel::encode(input) : qel::decode(input);
            ADD_FAILURE() << "no exception for " << r.name;
        } catch (const std::system_error &se) {
            const auto *e = dynamic_cast<const qel::error *>(&se);
            ASSERT_NE(e, nullptr) << r.name;
            EXPECT_EQ(e->code(), r.code) << r.name;
            EXPECT_EQ(e->code().value(), static_cast<int>(r.code)) << r.name;
            EXPECT_NE(std::string(e->what()).find(QEL_RtnCodeStr(static_cast<int32_t>(r.code))), std::string::npos);
            EXPECT_EQ(e->offset(), r.good.size()) << r.name;
            EXPECT_EQ(e->line(), r.line) << r.name;
            EXPECT_EQ(e->output(), good_output(r)) << r.name;
        }
        std::string appended = "kept";
        try {
            r.encoding ? qel::encode_append(appended, input) : qel::decode_append(appended, input);
            ADD_FAILURE() << "no exception for " << r.name;
        } catch (const qel::error &e) {
            EXPECT_EQ(e.output(), good_output(r)) << r.name;
            EXPECT_EQ(appended, "kept" + good_output(r)) << r.name;
        }
        std::istringstream in(input);
        std::ostringstream sink;
        try {
            r.encoding ? qel::encode(in, sink) : qel::decode(in, sink);
            ADD_FAILURE() << "no exception for " << r.name;
        } catch (const qel::error &e) {  // the output before it is in the stream, not in output()
            EXPECT_EQ(e.offset(), r.good.size()) << r.name;
            EXPECT_EQ(e.output(), "") << r.name;
            EXPECT_EQ(sink.str(), good_output(r)) << r.name;
        }
        qel::encoder enc;
        qel::decoder dec;
        try {
            std::string out = r.encoding ? enc.feed(input) : dec.feed(input);
            out += r.encoding ? enc.finish() : dec.finish();
            ADD_FAILURE() << "no exception for " << r.name;
        } catch (const qel::error &e) {
            EXPECT_EQ(e.code(), r.code) << r.name;
            EXPECT_EQ(e.offset(), r.good.size()) << r.name;
            EXPECT_EQ(e.line(), r.line) << r.name;
        }
    }
}
#endif

// --- streams that fail -----------------------------------------------------------------

// Hands out its bytes up to fail_at, then marks its stream bad.
class FailingReader : public std::streambuf {
public:
    FailingReader(std::string data, size_t fail_at) : data_(std::move(data)), fail_at_(fail_at) {}
    std::istream *owner = nullptr;

protected:
    int_type underflow() override {
        if (pos_ >= fail_at_) {
            owner->setstate(std::ios_base::badbit);
            return traits_type::eof();
        }
        if (pos_ >= data_.size()) return traits_type::eof();
        const size_t n = std::min<size_t>({1000, fail_at_ - pos_, data_.size() - pos_});
        setg(&data_[pos_], &data_[pos_], &data_[pos_] + n);
        pos_ += n;
        return traits_type::to_int_type(*gptr());
    }

private:
    std::string data_;
    size_t fail_at_;
    size_t pos_ = 0;
};

// Takes bytes up to its limit, then refuses them.
class FailingWriter : public std::streambuf {
public:
    explicit FailingWriter(size_t limit) : limit_(limit) {}
    std::string taken;

protected:
    std::streamsize xsputn(const char *s, std::streamsize n) override {
        const size_t room = limit_ - taken.size();
        const size_t k = std::min(room, static_cast<size_t>(n));
        taken.append(s, k);
        return static_cast<std::streamsize>(k);
    }
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()) || taken.size() >= limit_) return traits_type::eof();
        taken += traits_type::to_char_type(c);
        return c;
    }

private:
    size_t limit_;
};

std::string big_text() {
    std::string t;
    for (int i = 0; t.size() < 300000; ++i) t += "line " + std::to_string(i) + " of some text\n";
    return t;
}

TEST(CppStreams, ReadFailsMidway) {
    const std::string text = big_text();
    for (size_t fail_at : std::vector<size_t>{0, 10, 70000, 200003}) {
        FailingReader reader(text, fail_at);
        std::istream in(&reader);
        reader.owner = &in;
        std::ostringstream out;
        std::error_code ec;
        qel::position at;
        qel::encode(in, out, ec, qel::flags::none, &at);
        const qel_ref::Outcome want = qel_ref::encode_stream(text, false, kShift, fail_at);
        EXPECT_EQ(ec, qel::errc::read_error) << fail_at;
        EXPECT_EQ(want.status, QEL_RTN_READ_ERROR);
        EXPECT_EQ(out.str(), want.out) << fail_at;
        EXPECT_EQ(at.line, want.line) << fail_at;
    }
}

TEST(CppStreams, WriteFailsMidway) {
    const std::string text = big_text();
    const std::string records = model_encode(text);
    for (size_t limit : std::vector<size_t>{0, 5, 100000, records.size() - 1}) {
        std::istringstream in(text);
        FailingWriter writer(limit);
        std::ostream out(&writer);
        std::error_code ec;
        qel::encode(in, out, ec);
        EXPECT_EQ(ec, qel::errc::write_error) << limit;
        EXPECT_EQ(writer.taken, records.substr(0, limit)) << limit;
    }
#if QEL_CPP_EXCEPTIONS
    std::istringstream in(text);
    FailingWriter writer(100);
    std::ostream out(&writer);
    out.exceptions(std::ios_base::badbit);  // the stream's own exception is caught
    try {
        qel::encode(in, out);
        ADD_FAILURE() << "no exception";
    } catch (const qel::error &e) {
        EXPECT_EQ(e.code(), qel::errc::write_error);
    }
#endif
}

// An input stream whose exceptions() are set converts clean input whole:
// reaching its end is no failure. Its mask is the same afterwards.
TEST(CppStreams, InputWithExceptionsSet) {
    const std::string small = "one\ntwo\nthree";
    const std::string big = big_text() + mixed_text();  // more than one read
    // A file of its own: the programs built for each C++ standard run this
    // test at the same time.
    std::string path = ::testing::TempDir() + "qel_cpp_exceptions_input_XXXXXX";
    const int fd = mkstemp(path.data());
    ASSERT_GE(fd, 0);
    close(fd);
    const std::ios::iostate masks[] = {std::ios::failbit | std::ios::badbit, std::ios::eofbit, std::ios::failbit,
                                       std::ios::badbit, std::ios::eofbit | std::ios::failbit | std::ios::badbit};
    for (const std::string *text : {&small, &big}) {
        {
            std::ofstream file(path, std::ios::binary);
            file << *text;
        }
        const std::string records = model_encode(*text);
        for (const std::ios::iostate mask : masks) {
            for (const bool from_file : {false, true}) {
                std::istringstream string_in(*text);
                std::ifstream file_in(path, std::ios::binary);
                std::istream &in = from_file ? static_cast<std::istream &>(file_in) : string_in;
                in.exceptions(mask);
                std::ostringstream out;
                std::error_code ec;
                qel::encode(in, out, ec);
                EXPECT_FALSE(ec) << ec.message() << " mask " << mask << " file " << from_file;
                EXPECT_EQ(out.str(), records) << "mask " << mask << " file " << from_file;
                EXPECT_EQ(in.exceptions(), mask);
                std::istringstream records_in(records);
                records_in.exceptions(mask);
                std::ostringstream back;
                qel::decode(records_in, back, ec);
                EXPECT_FALSE(ec) << "mask " << mask;
                EXPECT_EQ(back.str(), qel_ref::round_trip_text(*text)) << "mask " << mask;
            }
        }
    }
    std::remove(path.c_str());
    std::istringstream empty;
    empty.exceptions(std::ios::failbit | std::ios::badbit);
    std::ostringstream out;
    std::error_code ec;
    qel::encode(empty, out, ec);
    EXPECT_EQ(ec, qel::errc::empty_source);
#if QEL_CPP_EXCEPTIONS
    std::istringstream in(big);
    in.exceptions(std::ios::failbit | std::ios::badbit);
    std::ostringstream thrown_out;
    qel::encode(in, thrown_out);  // throws nothing
    EXPECT_EQ(thrown_out.str(), model_encode(big));
#endif
}

#if QEL_CPP_EXCEPTIONS
// Hands out its bytes a few at a time up to fail_at, then throws.
class ThrowingReader : public std::streambuf {
public:
    ThrowingReader(std::string data, size_t fail_at) : data_(std::move(data)), fail_at_(fail_at) {}

protected:
    int_type underflow() override {
        if (pos_ >= fail_at_) throw std::runtime_error("the device is gone");
        if (pos_ >= data_.size()) return traits_type::eof();
        const size_t n = std::min<size_t>({700, fail_at_ - pos_, data_.size() - pos_});
        setg(&data_[pos_], &data_[pos_], &data_[pos_] + n);
        pos_ += n;
        return traits_type::to_int_type(*gptr());
    }

private:
    std::string data_;
    size_t fail_at_;
    size_t pos_ = 0;
};

// The whole pieces of what arrived before the stream buffer threw are
// converted and written, then the read error is told, with or without the
// stream's exceptions().
TEST(CppStreams, ThrowingReaderKeepsWhatArrived) {
    const std::string text = big_text();
    for (size_t fail_at : std::vector<size_t>{0, 5000, 70001, 262144 + 900}) {
        for (const std::ios::iostate mask : {std::ios::goodbit, std::ios::badbit}) {
            ThrowingReader reader(text, fail_at);
            std::istream in(&reader);
            in.exceptions(mask);
            std::ostringstream out;
            std::error_code ec;
            qel::position at;
            qel::encode(in, out, ec, qel::flags::none, &at);
            const qel_ref::Outcome want = qel_ref::encode_stream(text, false, kShift, fail_at);
            ASSERT_EQ(want.status, QEL_RTN_READ_ERROR);
            EXPECT_EQ(ec, qel::errc::read_error) << fail_at << " mask " << mask;
            EXPECT_EQ(out.str(), want.out) << fail_at << " mask " << mask;
            EXPECT_EQ(at.line, want.line) << fail_at << " mask " << mask;
            EXPECT_EQ(in.exceptions(), mask);
        }
    }
}
#endif

// A failing write is found at the same place whatever the output stream's
// exceptions(); an output stream that is already failed is found before
// anything is read.
TEST(CppStreams, WriteFailureWithExceptionsSet) {
    const std::string text = big_text();
    const std::string records = model_encode(text);
    for (size_t limit : std::vector<size_t>{0, 5, 100000, 262200, records.size() - 1}) {
        qel::position plain_at;
        std::error_code plain_ec;
        {
            std::istringstream in(text);
            FailingWriter writer(limit);
            std::ostream out(&writer);
            qel::encode(in, out, plain_ec, qel::flags::none, &plain_at);
        }
        EXPECT_EQ(plain_ec, qel::errc::write_error) << limit;
        EXPECT_LE(plain_at.offset, text.size());
        for (const std::ios::iostate mask : {std::ios::badbit, std::ios::badbit | std::ios::failbit}) {
            std::istringstream in(text);
            FailingWriter writer(limit);
            std::ostream out(&writer);
            out.exceptions(mask);
            std::error_code ec;
            qel::position at;
            qel::encode(in, out, ec, qel::flags::none, &at);
            EXPECT_EQ(ec, qel::errc::write_error) << limit;
            EXPECT_EQ(at.offset, plain_at.offset) << limit << " mask " << mask;
            EXPECT_EQ(at.line, plain_at.line) << limit << " mask " << mask;
            EXPECT_EQ(writer.taken, records.substr(0, limit)) << limit;
            EXPECT_EQ(out.exceptions(), mask);
        }
    }
    for (const std::ios::iostate state : {std::ios::badbit, std::ios::failbit, std::ios::eofbit}) {
        std::istringstream in(text);
        std::ostringstream out;
        out.setstate(state);
        std::error_code ec;
        qel::position at;
        qel::encode(in, out, ec, qel::flags::none, &at);
        EXPECT_EQ(ec, qel::errc::write_error) << state;
        EXPECT_EQ(at.offset, 0u) << state;
        EXPECT_EQ(at.line, 1u) << state;
        EXPECT_EQ(in.tellg(), 0) << state << ": input was read";
    }
}

TEST(CppStreams, EmptySourceAndRoundTrip) {
    std::istringstream empty;
    std::ostringstream out;
    std::error_code ec;
    qel::encode(empty, out, ec);
    EXPECT_EQ(ec, qel::errc::empty_source);
    const std::string text = mixed_text() + big_text();
    std::istringstream in(text);
    std::stringstream records;
    qel::encode(in, records, ec);
    EXPECT_FALSE(ec);
    EXPECT_EQ(records.str(), model_encode(text));
    std::ostringstream back;
    qel::decode(records, back, ec);
    EXPECT_FALSE(ec);
    EXPECT_EQ(back.str(), qel_ref::round_trip_text(text));
}

TEST(CppStreams, FileCallsWrapped) {
    const std::string text = "one\ntwo\n" + qel_ref::encode_text("A", kShift) + "four\n";
    FILE *in = tmpfile();
    FILE *out = tmpfile();
    ASSERT_TRUE(in && out);
    ASSERT_EQ(fwrite(text.data(), 1, text.size(), in), text.size());
    rewind(in);
    std::error_code ec;
    qel::position at;
    qel::encode(in, out, ec, qel::flags::none, &at);
    EXPECT_EQ(ec, qel::errc::source_encoded);
    EXPECT_EQ(at.line, 3u);
    rewind(in);
    rewind(out);
    qel::encode(in, out, ec, qel::flags::force, &at);
    EXPECT_FALSE(ec);
    EXPECT_EQ(at.line, 4u);  // the lines read, as the C call counts them
    rewind(out);
    std::string written(text.size() * 2, '\0');
    written.resize(fread(&written[0], 1, written.size(), out));
    EXPECT_EQ(written, model_encode(text, true));
    qel::encode(static_cast<FILE *>(nullptr), out, ec);
    EXPECT_EQ(ec, qel::errc::no_source);
#if QEL_CPP_EXCEPTIONS
    EXPECT_THROW(qel::decode(in, static_cast<FILE *>(nullptr)), qel::error);
#endif
    fclose(in);
    fclose(out);
}

TEST(CppErrors, CategoryAndComparisons) {
    const std::error_code ec = qel::errc::record_damaged;
    EXPECT_EQ(ec.value(), QEL_RTN_RECORD_DAMAGED);
    EXPECT_STREQ(ec.category().name(), "qelcode");
    EXPECT_EQ(ec.message(), "Damaged record");
    EXPECT_NE(ec, qel::errc::source_not_encoded);
    EXPECT_NE(ec, std::errc::io_error);
    EXPECT_EQ(qel::category().message(0), QEL_RtnCodeStr(0));
}

#if defined(QEL_TEST_HIDDEN_LIBRARY)
// A library built with -fvisibility=hidden shares the program's category.
TEST(CppErrors, OneCategoryAcrossSharedLibraries) {
    EXPECT_EQ(hidden_library_category(), &qel::category());
    const std::error_code ec = hidden_library_decode("plain text\n");
    EXPECT_EQ(ec, qel::errc::source_not_encoded);
    EXPECT_EQ(&ec.category(), &qel::category());
    EXPECT_FALSE(hidden_library_decode(qel_ref::encode_text("fine", kShift)));
}
#endif

}  // namespace
