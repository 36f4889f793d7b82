// Every kernel of the table against the portable one, which is their
// oracle (and is itself checked against a plain model by the tests): the
// body functions, and the line engine fed the input in windows and rooms
// the fuzzer chooses, in exact-size heap buffers so that a read or write
// past either end is caught. Within every kernel, the engine's batches of
// whole lines against its one-piece path (one piece a call, which never
// batches).
//
// Byte 0: bit 0 decode, bit 1 force, bit 2 one piece a call, bits 3-7 the
// shift for the body functions. Byte 1: the window (0: everything). Byte 2:
// the room. The rest is the input.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "kernels/kernel.h"

namespace {

unsigned char *exact(size_t n) {
    unsigned char *b = static_cast<unsigned char *>(malloc(n > 0 ? n : 1));
    FUZZ_CHECK(b != nullptr);
    return b;
}

struct Outcome {
    std::string out;
    int32_t code = 0;
    uint64_t lines = 0;
    std::vector<size_t> stops;  // input offsets where each call ended
};

// Feeds the job function as a host would, carrying unconsumed bytes over.
Outcome drive(qel::JobFn fn, const uint8_t *src, size_t size, size_t window, size_t room, bool force,
              bool one_piece) {
    Outcome o;
    qel::LineCount count{0, true};
    size_t pos = 0;
    for (;;) {
        const size_t avail = size - pos < window ? size - pos : window;
        const bool at_end = pos + avail == size;
        unsigned char *in = exact(avail), *out = exact(room);
        memcpy(in, src + pos, avail);
        const qel::Job job{.in = in, .avail = avail, .at_end = at_end, .out = out, .room = room, .force = force,
                             .one_piece = one_piece};
        const qel::JobResult r = fn(job, &count);
        FUZZ_CHECK(r.consumed + r.refused <= avail && r.produced <= room);
        o.out.append(reinterpret_cast<const char *>(out), r.produced);
        free(out);
        free(in);
        pos += r.consumed;
        o.stops.push_back(pos);
        if (r.code != QEL_RTN_SUCCESSFUL || (at_end && pos == size)) {
            o.code = r.code;
            o.lines = count.lines;
            return o;
        }
        if (r.consumed == 0) {
            if (r.stop == qel::JobStop::kNeedRoom) {
                room = room * 2 + 512;
            } else {
                FUZZ_CHECK(r.stop == qel::JobStop::kNeedInput);
                window = window * 2 + 1;
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const bool decode = data[0] & 1u, force = data[0] & 2u, one_piece = data[0] & 4u;
    const int s = (data[0] >> 3) % 9 + 1;
    const size_t window = data[1] == 0 ? size : data[1] * size_t{9};
    const size_t room = 16 + data[2] * size_t{12};
    const uint8_t *src = data + 3;
    const size_t n = size - 3;

    const qel::Kernel &oracle = qel::kKernels[qel::kKernelCount - 1];
    const Outcome want = drive(decode ? oracle.ops.decode_job : oracle.ops.encode_job, src, n, window, room,
                               force, one_piece);
    std::string want_body(n, '\0'), want_text(n, '\0');
    oracle.ops.encode_body(src, reinterpret_cast<unsigned char *>(want_body.data()), n);
    const bool want_space = oracle.ops.decode_body(src, reinterpret_cast<unsigned char *>(want_text.data()), n, s);

    for (size_t k = 0; k < qel::kKernelCount; ++k) {
        const qel::Kernel &kernel = qel::kKernels[k];
        if (!kernel.runs()) continue;
        const qel::JobFn fn = decode ? kernel.ops.decode_job : kernel.ops.encode_job;
        const bool is_oracle = k + 1 == qel::kKernelCount;
        const Outcome got = is_oracle ? want : drive(fn, src, n, window, room, force, one_piece);
        FUZZ_CHECK(got.code == want.code && got.lines == want.lines && got.stops == want.stops);
        FUZZ_CHECK(got.out == want.out);
        if (!one_piece) {
            // The same stream one piece a call: the same records, status and line.
            const Outcome alone = drive(fn, src, n, window, room, force, true);
            FUZZ_CHECK(alone.code == got.code && alone.lines == got.lines && alone.out == got.out);
        }
        if (is_oracle) continue;

        unsigned char *body = exact(n);
        kernel.ops.encode_body(src, body, n);
        FUZZ_CHECK(memcmp(body, want_body.data(), n) == 0);
        free(body);

        // Decoded over itself, as a record is: the text lands before its body.
        unsigned char *shared = exact(n + 3);
        memcpy(shared + 3, src, n);
        FUZZ_CHECK(kernel.ops.decode_body(shared + 3, shared, n, s) == want_space);
        if (!want_space) FUZZ_CHECK(memcmp(shared, want_text.data(), n) == 0);
        free(shared);
    }
    return 0;
}
