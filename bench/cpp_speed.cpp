// The C++ interface against the C calls it wraps, on one text file, in one
// run (best of N each):
//   memory   qel::encode (a fresh std::string) and qel::encode_append (a
//            reused one) next to one QEL_EncodeBuffer call into fresh
//            (malloc) and reused memory of the bound's size;
//   streams  qel::encode(std::istream &, std::ostream &) between two
//            std::fstreams, file to file.
// The tool's time on the same file is measured by the caller (qelrun).
//
//   cpp_speed FILE OUT_FILE [REPEATS]
#include <qelcode.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace {

template <class F>
double best_seconds(int repeats, F &&f) {
    double best = 1e300;
    for (int i = 0; i < repeats; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
        if (d.count() < best) best = d.count();
    }
    return best;
}

void row(const char *name, double seconds, double base, std::size_t bytes) {
    std::printf("| %s | %.3f | %.0f | %.2f |\n", name, seconds, static_cast<double>(bytes) / seconds / 1048576.0,
                seconds / base);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: cpp_speed FILE OUT_FILE [REPEATS]\n");
        return 2;
    }
    const int repeats = argc > 3 ? std::atoi(argv[3]) : 3;
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
    };
    const double c_fresh = best_seconds(repeats, [&] {
        char *dest = static_cast<char *>(std::malloc(bound));
        c_call(dest);
        std::free(dest);
    });
    const double cpp_fresh = best_seconds(repeats, [&] { sink += qel::encode(text).size(); });
    char *reused = static_cast<char *>(std::malloc(bound));
    c_call(reused);
    const double c_reused = best_seconds(repeats, [&] { c_call(reused); });
    std::free(reused);
    std::string out;
    qel::encode_append(out, text);
    const double cpp_reused = best_seconds(repeats, [&] {
        out.clear();
        qel::encode_append(out, text);
    });
    const double streams = best_seconds(repeats, [&] {
        std::ifstream in(argv[1], std::ios::binary);
        std::ofstream dest(argv[2], std::ios::binary | std::ios::trunc);
        qel::encode(in, dest);
    });

    std::printf("%zu bytes of text, best of %d\n\n", text.size(), repeats);
    std::printf("| what | s | MiB/s | x the C call |\n|---|---|---|---|\n");
    row("QEL_EncodeBuffer, fresh memory", c_fresh, c_fresh, text.size());
    row("qel::encode -> std::string", cpp_fresh, c_fresh, text.size());
    row("QEL_EncodeBuffer, reused memory", c_reused, c_reused, text.size());
    row("qel::encode_append, reused string", cpp_reused, c_reused, text.size());
    row("qel::encode(ifstream, ofstream)", streams, streams, text.size());
    return sink == 0;
}
