// The vector kernels and line batches against the portable kernel, which is
// their oracle: byte for byte, flag for flag, for every shift increment, in
// exact-size heap buffers so that a read or write past either end is caught.
// Input: byte 0 picks the shift, whether to stop at a line end, how far
// before its input a decode writes, and the room a batch gets.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "alphabet.h"
#include "body_map.h"
#include "fuzz_support.h"
#include "line_batch.h"
#include "record_format.h"

namespace {

struct Kernel {
    qel::BodyKernel encode, decode;
};

std::vector<Kernel> running_kernels() {
    std::vector<Kernel> k;
#if defined(QEL_VECTOR_KERNELS)
    if (qel::cpu_runs_avx512vbmi()) k.push_back({qel::encode_body_avx512vbmi, qel::decode_body_avx512vbmi});
    if (qel::cpu_runs_avx2()) k.push_back({qel::encode_body_avx2, qel::decode_body_avx2});
#endif
    return k;
}

unsigned char *exact(size_t n) {
    unsigned char *b = static_cast<unsigned char *>(malloc(n > 0 ? n : 1));
    FUZZ_CHECK(b != nullptr);
    return b;
}

bool same(const qel::Mapped &a, const qel::Mapped &b) {
    return a.len == b.len && a.seen == b.seen && a.line_end == b.line_end;
}

void check_kernel(qel::BodyKernel tested, qel::BodyKernel oracle, const unsigned char *in, size_t n, int s,
                  bool to_line_end) {
    unsigned char *want = exact(n), *got = exact(n);
    const qel::Mapped w = oracle(in, want, n, s, to_line_end);
    const qel::Mapped g = tested(in, got, n, s, to_line_end);
    FUZZ_CHECK(same(w, g));
    FUZZ_CHECK(memcmp(want, got, w.len) == 0);
    free(got);
    free(want);
}

#if defined(QEL_VECTOR_KERNELS)
// What the one-piece path makes of the whole lines a batch took.
std::vector<unsigned char> encoded_lines(const unsigned char *in, size_t consumed) {
    std::vector<unsigned char> out;
    for (size_t start = 0; start < consumed;) {
        const size_t len = static_cast<const unsigned char *>(memchr(in + start, '\n', consumed - start)) - in - start + 1;
        FUZZ_CHECK(len <= qel::kMaxText + 1);  // a longer line is cut into pieces, never batched
        const size_t n = qel::trim_line_end(in + start, len);
        std::vector<unsigned char> rec(n + 4);
        qel::put_header(rec.data(), n);
        FUZZ_CHECK(qel::encode_body_scalar(in + start, rec.data() + 3, n, qel::kShift, false).seen == 0);
        rec[3 + n] = '\n';
        out.insert(out.end(), rec.begin(), rec.end());
        start += len;
    }
    return out;
}

std::vector<unsigned char> decoded_lines(const unsigned char *in, size_t consumed) {
    std::vector<unsigned char> out;
    for (size_t start = 0; start < consumed;) {
        const size_t len = static_cast<const unsigned char *>(memchr(in + start, '\n', consumed - start)) - in - start + 1;
        FUZZ_CHECK(len <= qel::kRecordBufferSize);
        qel::RecordShape shape;
        FUZZ_CHECK(qel::parse_record(in + start, len, &shape) == QEL_RTN_SUCCESSFUL);
        std::vector<unsigned char> text(shape.body_len + 1);
        FUZZ_CHECK(qel::decode_body_scalar(in + start + 3, text.data(), shape.body_len, shape.shift, false).seen == 0);
        text[shape.body_len] = '\n';
        out.insert(out.end(), text.begin(), text.end());
        start += len;
    }
    return out;
}

size_t line_feeds(const unsigned char *p, size_t n) {
    size_t count = 0;
    for (size_t i = 0; i < n; ++i) count += p[i] == '\n';
    return count;
}

template <class Batch, class Oracle>
void check_batch(Batch batch, Oracle oracle, const unsigned char *in, size_t n, size_t room) {
    unsigned char *out = exact(room);
    const qel::LineBatch b = batch(in, n, out, room);
    FUZZ_CHECK(b.consumed <= n && b.produced <= room);
    FUZZ_CHECK(b.consumed == 0 || in[b.consumed - 1] == '\n');
    FUZZ_CHECK(b.lines == line_feeds(in, b.consumed));
    const std::vector<unsigned char> want = oracle(in, b.consumed);
    FUZZ_CHECK(want.size() == b.produced && memcmp(want.data(), out, b.produced) == 0);
    free(out);
}

#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const int s = data[0] % 9 + 1;
    const bool to_line_end = (data[0] / 9) % 2 != 0;
    const size_t before = (data[0] / 18) % 4;  // how far before its input a decode writes
    const size_t n = size - 1;
    unsigned char *in = exact(n);
    memcpy(in, data + 1, n);

    for (const Kernel &k : running_kernels()) {
        check_kernel(k.encode, qel::encode_body_scalar, in, n, s, to_line_end);
        check_kernel(k.decode, qel::decode_body_scalar, in, n, s, to_line_end);

        // A record decoded over itself: the output starts before the input.
        unsigned char *want = exact(n), *shared = exact(n + before);
        memcpy(shared + before, in, n);
        qel::decode_body_scalar(in, want, n, s, false);
        k.decode(shared + before, shared, n, s, false);
        FUZZ_CHECK(memcmp(want, shared, n) == 0);
        free(shared);
        free(want);
    }

#if defined(QEL_VECTOR_KERNELS)
    if (qel::cpu_runs_avx512vbmi()) {
        const size_t room = 64 + size_t{data[0]} * 16;  // from a little to a few records
        for (bool force : {false, true}) {
            check_batch([force](const unsigned char *i, size_t a, unsigned char *o,
                                size_t r) { return qel::encode_lines_avx512vbmi(i, a, o, r, force); },
                        encoded_lines, in, n, room);
        }
        check_batch(qel::decode_lines_avx512vbmi, decoded_lines, in, n, room);
    }
#endif
    free(in);
    return 0;
}
