// QEL_EncodeBuffer and QEL_DecodeBuffer against the stream functions on the
// same bytes, with the input split where the fuzzer says and rooms it
// chooses. Each call's buffers are heap blocks of exactly the size the call
// is told, between guard bytes that must come out untouched.
//
// Byte 0: bit 0 decode, bit 1 QEL_FORCE, bits 2-7 the room (scaled).
// Byte 1: how many split points follow (at most 8), each one byte, as a
// share of the input. The rest is the input.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

constexpr size_t kGuard = 16;
constexpr unsigned char kGuardByte = 0xA5;

// A block of n bytes between guard bytes.
struct Guarded {
    explicit Guarded(size_t n) : n_(n), block_(static_cast<unsigned char *>(malloc(n + 2 * kGuard))) {
        FUZZ_CHECK(block_ != nullptr);
        memset(block_, kGuardByte, n + 2 * kGuard);
    }
    ~Guarded() {
        for (size_t i = 0; i < kGuard; ++i) FUZZ_CHECK(block_[i] == kGuardByte && block_[kGuard + n_ + i] == kGuardByte);
        free(block_);
    }
    Guarded(const Guarded &) = delete;
    Guarded &operator=(const Guarded &) = delete;
    char *data() { return reinterpret_cast<char *>(block_ + kGuard); }

private:
    size_t n_;
    unsigned char *block_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const bool decode = data[0] & 1u;
    const uint32_t flags = (data[0] & 2u) ? QEL_FORCE : 0u;
    size_t room = 1 + (data[0] >> 2) * size_t{16};
    const size_t splits = std::min<size_t>(data[1] % 9, size - 2);
    const uint8_t *src = data + 2 + splits;
    const size_t n = size - 2 - splits;
    std::vector<size_t> cuts;
    for (size_t i = 0; i < splits; ++i) cuts.push_back(n * data[2 + i] / 256);
    cuts.push_back(n);
    std::sort(cuts.begin(), cuts.end());

    // The stream function on the same bytes.
    FILE *in = fmemopen(const_cast<uint8_t *>(src), n, "rb");
    if (n == 0 || in == nullptr) {
        if (in != nullptr) fclose(in);
        return 0;  // fmemopen can't open an empty buffer
    }
    MemSink sink;
    int32_t want_status = QEL_RTN_SUCCESSFUL;
    uint64_t want_line = 0;
    if (decode) {
        QEL_DecodeStream(sink.file(), in, flags, &want_line, &want_status);
    } else {
        QEL_EncodeStream(sink.file(), in, flags, &want_line, &want_status);
    }
    const long want_pos = ftell(in);
    fclose(in);
    const std::string want = sink.contents();

    // The host's loop over the buffer function.
    std::string got;
    int32_t status = QEL_RTN_SUCCESSFUL;
    size_t pos = 0, cut = 0;
    for (int guard = 0; guard < 100000; ++guard) {
        while (cuts[cut] <= pos && cut + 1 < cuts.size()) ++cut;
        const size_t shown = cuts[cut] - pos;
        const bool last = cuts[cut] == n;
        Guarded ib(shown), ob(room);
        memcpy(ib.data(), src + pos, shown);
        size_t produced = 0, consumed = 0;
        const int32_t ret = (decode ? QEL_DecodeBuffer : QEL_EncodeBuffer)(
            ob.data(), room, &produced, ib.data(), shown, &consumed, flags | (last ? QEL_LAST : 0u), &status);
        check_result(ret, status);
        FUZZ_CHECK(produced <= room && consumed <= shown);
        got.append(ob.data(), produced);
        pos += consumed;
        if (status != QEL_RTN_SUCCESSFUL || (last && pos == n)) break;
        if (consumed == 0) {
            if (last) {
                room += 512;  // a whole piece is there, it wants room
            } else {
                ++cut;  // show more
            }
        }
    }
    FUZZ_CHECK(got == want);
    if (want_status == QEL_RTN_EMPTY_SOURCE) {
        FUZZ_CHECK(status == QEL_RTN_SUCCESSFUL && pos == n);
    } else {
        FUZZ_CHECK(status == want_status);
        if (status == QEL_RTN_SUCCESSFUL) {
            FUZZ_CHECK(pos == n);
        } else {
            // The stream stands after the refused piece, the buffer at its start, on the same line.
            FUZZ_CHECK(static_cast<size_t>(want_pos) > pos && static_cast<size_t>(want_pos) <= pos + 513);
            const uint64_t line = 1 + static_cast<uint64_t>(std::count(src, src + pos, '\n'));
            FUZZ_CHECK(line == want_line);
        }
    }
    return 0;
}
