// Stream calls from several threads at once. Meant to run under
// ThreadSanitizer too (CTest label "threads").
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qelcode.h"
#include "stream_io.h"
#include "qel_reference.h"

using streamio::File;

namespace {

const int kShift = qel_ref::build_shift();

// Runs fn on its own thread and waits at most `limit` for it. A thread that
// is still stuck then can't be joined, so the whole program stops with a
// message instead of hanging.
template <class Fn>
void run_with_time_out(const char *what, std::chrono::seconds limit, Fn fn) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread t([&] {
        fn();
        std::lock_guard<std::mutex> g(m);
        done = true;
        cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(m);
    if (!cv.wait_for(lock, limit, [&] { return done; })) {
        fprintf(stderr, "%s: still running after %lld s, taken as a deadlock\n", what,
                static_cast<long long>(limit.count()));
        fflush(stderr);
        _Exit(1);
    }
    lock.unlock();
    t.join();
}

struct Job {
    std::string plain;
    std::string encoded;  // what the model says the encoder writes
    std::string decoded;  // what the model says decoding `encoded` gives
};

TEST(StreamThreads, DifferentFilesAtOnceMatchTheReference) {
    constexpr int kThreads = 6;
    constexpr int kRounds = 4;
    std::mt19937 rng(424242);
    std::vector<Job> jobs(kThreads);
    for (Job &j : jobs) {
        j.plain = streamio::random_text(rng, 120, true);
        const qel_ref::Outcome enc = qel_ref::encode_stream(j.plain, true, kShift);
        ASSERT_EQ(enc.status, QEL_RTN_SUCCESSFUL);
        j.encoded = enc.out;
        j.decoded = qel_ref::decode_stream(j.encoded).out;
    }

    std::vector<std::string> failures(kThreads);
    run_with_time_out("parallel encode and decode", std::chrono::seconds(60), [&] {
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                const Job &j = jobs[static_cast<size_t>(t)];
                ready.fetch_add(1);
                while (ready.load() < kThreads) std::this_thread::yield();
                for (int r = 0; r < kRounds && failures[static_cast<size_t>(t)].empty(); ++r) {
                    File in = streamio::temp_file(j.plain);
                    File mid = streamio::temp_file();
                    File back = streamio::temp_file();
                    int32_t st = QEL_RTN_SUCCESSFUL;
                    uint64_t line = 0;
                    QEL_EncodeStream(mid, in, QEL_FORCE, &line, &st);
                    if (st != QEL_RTN_SUCCESSFUL) failures[static_cast<size_t>(t)] = "encode status";
                    if (streamio::contents(mid) != j.encoded) failures[static_cast<size_t>(t)] = "encoded bytes";
                    rewind(mid);
                    QEL_DecodeStream(back, mid, 0, &line, &st);
                    if (st != QEL_RTN_SUCCESSFUL) failures[static_cast<size_t>(t)] = "decode status";
                    if (streamio::contents(back) != j.decoded) failures[static_cast<size_t>(t)] = "decoded bytes";
                }
            });
        }
        for (auto &th : threads) th.join();
    });
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[static_cast<size_t>(t)], "") << "thread " << t;
}

// Two calls copying A to B and B to A at the same time each hold both
// streams; they must not wait on each other.
TEST(StreamThreads, OppositeDirectionsOnOneStreamPairDoNotDeadlock) {
    std::string text;
    for (int i = 0; i < 20; ++i) text += "line " + std::to_string(i) + "\n";

    // The window in which two calls could each hold one stream is short, so
    // many small rounds give it many chances.
    for (int round = 0; round < 500; ++round) {
        // A holds plain text and B a copy; both are read from their start and
        // written wherever the other call leaves them.
        File a = streamio::temp_file(text);
        File b = streamio::temp_file(text);
        int32_t st_ab = QEL_RTN_SUCCESSFUL, st_ba = QEL_RTN_SUCCESSFUL;
        run_with_time_out("A->B and B->A", std::chrono::seconds(30), [&] {
            std::atomic<int> ready{0};
            std::thread ab([&] {
                ready.fetch_add(1);
                while (ready.load() < 2) std::this_thread::yield();
                QEL_EncodeStream(b, a, 0, nullptr, &st_ab);
            });
            std::thread ba([&] {
                ready.fetch_add(1);
                while (ready.load() < 2) std::this_thread::yield();
                QEL_EncodeStream(a, b, 0, nullptr, &st_ba);
            });
            ab.join();
            ba.join();
        });
        // Whichever ran first read plain text and succeeded; the other then
        // met either the records just written (encoded mark) or the end.
        const bool ab_first = st_ab == QEL_RTN_SUCCESSFUL;
        const bool ba_first = st_ba == QEL_RTN_SUCCESSFUL;
        EXPECT_TRUE(ab_first || ba_first) << "A->B " << st_ab << ", B->A " << st_ba;
        for (int32_t st : {st_ab, st_ba}) {
            EXPECT_TRUE(st == QEL_RTN_SUCCESSFUL || st == QEL_RTN_SOURCE_ENCODED || st == QEL_RTN_EMPTY_SOURCE)
                << st;
        }
    }
}

// Decoding in one direction while encoding in the other, on the same pair.
TEST(StreamThreads, EncodeAndDecodeCrosswiseDoNotDeadlock) {
    std::string text;
    for (int i = 0; i < 20; ++i) text += "row " + std::to_string(i) + "\n";
    const std::string encoded = qel_ref::encode_stream(text, false, kShift).out;
    for (int round = 0; round < 500; ++round) {
        File a = streamio::temp_file(text);
        File b = streamio::temp_file(encoded);
        int32_t st_enc = QEL_RTN_SUCCESSFUL, st_dec = QEL_RTN_SUCCESSFUL;
        run_with_time_out("encode A->B, decode B->A", std::chrono::seconds(30), [&] {
            std::atomic<int> ready{0};
            std::thread enc([&] {
                ready.fetch_add(1);
                while (ready.load() < 2) std::this_thread::yield();
                QEL_EncodeStream(b, a, 0, nullptr, &st_enc);
            });
            std::thread dec([&] {
                ready.fetch_add(1);
                while (ready.load() < 2) std::this_thread::yield();
                QEL_DecodeStream(a, b, 0, nullptr, &st_dec);
            });
            enc.join();
            dec.join();
        });
        // Whichever ran first met an intact source and succeeded.
        EXPECT_TRUE(st_enc == QEL_RTN_SUCCESSFUL || st_dec == QEL_RTN_SUCCESSFUL)
            << "encode " << st_enc << ", decode " << st_dec;
    }
}

}  // namespace

namespace {

// One converter's whole run over src, handed 1 to 97 bytes a call into
// rooms of 1 to 300 bytes.
std::string through_converter(uint32_t flags, const std::string &src, unsigned seed) {
    std::mt19937 rng(seed);
    QEL_Converter c;
    QEL_ConverterInit(&c, flags);
    std::string out;
    std::vector<char> room(300);
    int32_t status = QEL_STATUS_INIT;
    size_t pos = 0;
    for (;;) {
        const size_t shown = std::min<size_t>(src.size() - pos, 1 + rng() % 97);
        const size_t size = 1 + rng() % room.size();
        size_t produced = 0, consumed = 0;
        QEL_ConverterPut(&c, room.data(), size, &produced, src.data() + pos, shown, &consumed,
                         pos + shown == src.size() ? QEL_LAST : 0u, &status);
        out.append(room.data(), produced);
        pos += consumed;
        if (status != QEL_RTN_SUCCESSFUL || (pos == src.size() && produced == 0)) return out;
    }
}

}  // namespace

TEST(StreamThreads, ConvertersOnDifferentThreadsShareNothing) {
    constexpr int kThreads = 6;
    std::mt19937 rng(5150);
    std::vector<Job> jobs(kThreads);
    for (Job &j : jobs) {
        j.plain = streamio::random_text(rng, 60, false);
        j.encoded = qel_ref::encode_stream(j.plain, false, kShift).out;
        j.decoded = qel_ref::decode_stream(j.encoded).out;
    }
    std::vector<std::string> encoded(kThreads), decoded(kThreads);
    run_with_time_out("converters", std::chrono::seconds(120), [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                encoded[t] = through_converter(0, jobs[t].plain, static_cast<unsigned>(t));
                decoded[t] = through_converter(QEL_DECODE, encoded[t], static_cast<unsigned>(t) + 100);
            });
        for (std::thread &th : threads) th.join();
    });
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(encoded[t], jobs[t].encoded) << "thread " << t;
        EXPECT_EQ(decoded[t], jobs[t].decoded) << "thread " << t;
    }
}
