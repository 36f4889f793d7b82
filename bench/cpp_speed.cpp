// The C++ interface against the C calls it wraps, on one text file, in one
// run (best of N each, the rows' rounds taken in turn):
//   memory   qel::encode (a fresh std::string) and qel::encode_append (a
//            reused one) next to one QEL_EncodeBuffer call into fresh
//            (malloc) and reused memory of the bound's size;
//   streams  qel::encode(std::istream &, std::ostream &) between two
//            std::fstreams, file to file, next to the tool TOOL run as
//            "TOOL FILE > OUT_FILE" (fork and exec counted, as qelrun does)
//            when it is given;
//   pieces   qel::encoder fed 64 KiB pieces (all of the file) and 1-byte
//            pieces (its first 8 MiB), its output appended to a reused
//            string, next to the C call into reused memory.
//
//   cpp_speed FILE OUT_FILE [REPEATS [TOOL]]
#include <qelcode.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

double seconds(const std::function<void()> &f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
    return d.count();
}

// The best of repeats rounds of each of fs, run in turn (a, b, a, b, ...)
// so that a neighbour's load falls on both sides of a comparison alike.
std::vector<double> best_interleaved(int repeats, const std::vector<std::function<void()>> &fs) {
    std::vector<double> best(fs.size(), 1e300);
    for (int i = 0; i < repeats; ++i)
        for (std::size_t k = 0; k < fs.size(); ++k) best[k] = std::min(best[k], seconds(fs[k]));
    return best;
}

// Runs "tool file > out" and waits for it.
void run_tool(const char *tool, const char *file, const char *out) {
    const pid_t pid = fork();
    if (pid < 0) std::abort();
    if (pid == 0) {
        const int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0) _exit(127);
        close(fd);
        execlp(tool, tool, file, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "cpp_speed: %s %s failed\n", tool, file);
        std::exit(1);
    }
}

void row(const char *name, double seconds, double base, std::size_t bytes) {
    std::printf("| %s | %.3f | %.0f | %.2f |\n", name, seconds, static_cast<double>(bytes) / seconds / 1048576.0,
                seconds / base);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: cpp_speed FILE OUT_FILE [REPEATS [TOOL]]\n");
        return 2;
    }
    const int repeats = argc > 3 ? std::atoi(argv[3]) : 3;
    const char *tool = argc > 4 ? argv[4] : nullptr;
    std::ifstream file(argv[1], std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t bound = qel::encode_bound(text.size());
    std::size_t sink = 0;

    auto c_call = [&](char *dest) {
        std::size_t produced = 0, consumed = 0;
        std::int32_t status = QEL_STATUS_INIT;
        QEL_EncodeBuffer(dest, bound, &produced, text.data(), text.size(), &consumed, QEL_LAST, &status);
        if (status != QEL_RTN_SUCCESSFUL || consumed != text.size()) std::abort();
        sink += produced;
        return produced;
    };
    char *reused = static_cast<char *>(std::malloc(bound));
    const std::size_t produced = c_call(reused);
    std::string out;
    qel::encode_append(out, text);
    if (out.size() != produced || out.compare(0, produced, reused, produced) != 0) {
        std::fprintf(stderr, "cpp_speed: qel::encode_append and QEL_EncodeBuffer differ\n");
        return 1;
    }
    std::vector<std::function<void()>> rounds = {
        [&] {
            char *dest = static_cast<char *>(std::malloc(bound));
            c_call(dest);
            std::free(dest);
        },
        [&] { sink += qel::encode(text).size(); },
        [&] { c_call(reused); },
        [&] {
            out.clear();
            qel::encode_append(out, text);
        },
        [&] {
            std::ifstream in(argv[1], std::ios::binary);
            std::ofstream dest(argv[2], std::ios::binary | std::ios::trunc);
            qel::encode(in, dest);
        }};
    const std::size_t small = std::min<std::size_t>(text.size(), 8u << 20);
    auto fed = [&](std::size_t piece, std::size_t size) {
        qel::encoder enc;
        out.clear();
        for (std::size_t at = 0; at < size; at += piece)
            out += enc.feed(std::string_view(text).substr(at, std::min(piece, size - at)));
        out += enc.finish();
        sink += out.size();
    };
    rounds.push_back([&] { fed(65536, text.size()); });
    rounds.push_back([&] { fed(1, small); });
    if (tool) rounds.push_back([&] { run_tool(tool, argv[1], argv[2]); });
    const std::vector<double> best = best_interleaved(repeats, rounds);
    std::free(reused);
    const double c_fresh = best[0], cpp_fresh = best[1], c_reused = best[2], cpp_reused = best[3], streams = best[4];
    const double pieces_64k = best[5], pieces_1 = best[6];
    const double tool_s = tool ? best[7] : 0;

    std::printf("%zu bytes of text, best of %d\n\n", text.size(), repeats);
    std::printf("| what | s | MiB/s | x the C call (the tool) |\n|---|---|---|---|\n");
    row("QEL_EncodeBuffer, fresh memory", c_fresh, c_fresh, text.size());
    row("qel::encode -> std::string", cpp_fresh, c_fresh, text.size());
    row("QEL_EncodeBuffer, reused memory", c_reused, c_reused, text.size());
    row("qel::encode_append, reused string", cpp_reused, c_reused, text.size());
    row("qel::encoder, 64 KiB pieces, reused string", pieces_64k, c_reused, text.size());
    row("qel::encoder, 1-byte pieces (8 MiB)", pieces_1, c_reused * static_cast<double>(small) /
                                                          static_cast<double>(text.size()), small);
    if (tool) {
        row("the tool, file to file", tool_s, tool_s, text.size());
        row("qel::encode(ifstream, ofstream)", streams, tool_s, text.size());
    } else {
        row("qel::encode(ifstream, ofstream)", streams, streams, text.size());
    }
    return sink == 0;
}
