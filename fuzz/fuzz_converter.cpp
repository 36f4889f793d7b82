// QEL_Converter against one QEL_EncodeBuffer (QEL_DecodeBuffer) call on the
// whole input: the input split where the fuzzer says, output rooms of the
// sizes it chooses (down to one byte), and the output, the status, and
// where a refusal stands compared. Each call's buffers are heap blocks of
// exactly the size the call is told.
//
// Byte 0: bit 0 decode, bit 1 QEL_FORCE, bits 2-7 the largest room.
// Byte 1: how many split points follow (at most 8), each one byte, as a
// share of the input. The rest is the input.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

// A heap block of exactly n bytes (one byte when n is 0), so that the
// sanitizer catches any access past it.
struct Block {
    explicit Block(size_t n) : p(static_cast<char *>(malloc(n == 0 ? 1 : n))) { FUZZ_CHECK(p != nullptr); }
    ~Block() { free(p); }
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;
    char *p;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const bool decode = data[0] & 1u;
    const uint32_t force = (data[0] & 2u) ? QEL_FORCE : 0u;
    const size_t max_room = 1 + (data[0] >> 2) * size_t{11};
    const size_t splits = std::min<size_t>(data[1] % 9, size - 2);
    const char *src = reinterpret_cast<const char *>(data + 2 + splits);
    const size_t n = size - 2 - splits;
    std::vector<size_t> cuts;
    for (size_t i = 0; i < splits; ++i) cuts.push_back(n * data[2 + i] / 256);
    cuts.push_back(n);
    std::sort(cuts.begin(), cuts.end());

    // One whole-buffer call.
    const size_t bound = decode ? QEL_DecodeBound(n) : QEL_EncodeBound(n);
    Block whole(bound);
    size_t want_produced = 0, want_consumed = 0;
    int32_t want_status = QEL_RTN_SUCCESSFUL;
    (decode ? QEL_DecodeBuffer : QEL_EncodeBuffer)(whole.p, bound, &want_produced, src, n, &want_consumed,
                                                   force | QEL_LAST, &want_status);
    const std::string want(whole.p, want_produced);

    // The converter, fed piece by piece into rooms that cycle from one byte
    // up to the largest.
    QEL_Converter c;
    FUZZ_CHECK(QEL_ConverterInit(&c, decode ? QEL_DECODE : force) == 1);
    std::string got;
    int32_t status = QEL_RTN_SUCCESSFUL;
    size_t pos = 0, calls = 0;
    auto put = [&](size_t end, uint32_t flags) {
        const size_t shown = end - pos;
        const size_t room = 1 + (calls++ * 7) % max_room;
        Block in(shown), out(room);
        if (shown != 0) memcpy(in.p, src + pos, shown);
        size_t produced = 0, consumed = 0;
        const int32_t ret = QEL_ConverterPut(&c, out.p, room, &produced, shown == 0 ? nullptr : in.p, shown,
                                             &consumed, flags, &status);
        check_result(ret, status);
        FUZZ_CHECK(produced <= room && consumed <= shown);
        got.append(out.p, produced);
        pos += consumed;
        return produced != 0 || consumed != 0;
    };
    for (size_t cut : cuts) {
        while (pos < cut && status == QEL_RTN_SUCCESSFUL) FUZZ_CHECK(put(cut, 0) || status != QEL_RTN_SUCCESSFUL);
    }
    while (status == QEL_RTN_SUCCESSFUL && put(n, QEL_LAST)) FUZZ_CHECK(calls < 4 * n + 64);

    FUZZ_CHECK(got == want);
    FUZZ_CHECK(status == want_status);
    const uint64_t offset = QEL_ConverterOffset(&c);
    FUZZ_CHECK(offset == (status == QEL_RTN_SUCCESSFUL ? n : want_consumed));
    const uint64_t lines = 1 + static_cast<uint64_t>(std::count(src, src + offset, '\n'));
    // A line cut into pieces counts once: the line of the offset is the
    // line feeds before it plus one, whatever the pieces.
    FUZZ_CHECK(QEL_ConverterLine(&c) == lines);
    return 0;
}
