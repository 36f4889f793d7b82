// QEL_EncodeStream and QEL_DecodeStream on arbitrary streams. The first
// input byte chooses the function, the flags and where the output goes; the
// rest is the source, read through fmemopen.
//
//   bit 0    0: QEL_EncodeStream, 1: QEL_DecodeStream
//   bit 1    QEL_FORCE
//   bit 2    a line counter, or NULL
//   bits 3-4 dest: open_memstream, fmemopen of a big buffer, fmemopen of a
//            16-byte buffer (writes fail), NULL
//   bit 5    unknown flag bits as well (they are ignored)
//   bit 6    the status chain is already broken on entry
//   bit 7    src is NULL
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

// Lines in a source: line feeds, plus one for a last line without one.
uint64_t count_lines(const uint8_t *p, size_t n) {
    uint64_t lines = 0;
    for (size_t i = 0; i < n; ++i) lines += p[i] == '\n';
    if (n > 0 && p[n - 1] != '\n') ++lines;
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const unsigned ctl = data[0];
    const bool decode = ctl & 1u;
    uint32_t flags = (ctl & 2u) ? QEL_FORCE : 0u;
    if (ctl & 32u) flags |= 0xfffffff0u;
    const bool want_line = ctl & 4u;
    const unsigned dest_kind = (ctl >> 3) & 3u;
    const bool broken_chain = ctl & 64u;
    const bool null_src = ctl & 128u;

    // The source, copied so that fmemopen reads from a buffer of its own
    // (fmemopen can't open a zero-size buffer: one spare byte, not exposed).
    const size_t src_len = size - 1;
    std::vector<char> src_buf(data + 1, data + size);
    src_buf.push_back('\0');
    FILE *src = nullptr;
    if (!null_src) {
        src = src_len > 0 ? fmemopen(src_buf.data(), src_len, "rb") : fopen("/dev/null", "rb");
        FUZZ_CHECK(src != nullptr);
    }

    // Encoding at worst turns an empty line (one byte) into a four-byte
    // record; decoding never grows.
    std::vector<char> big(4 * src_len + 64);
    char small[16];
    MemSink sink;
    FILE *dest = nullptr;
    switch (dest_kind) {
        case 0: dest = sink.file(); break;
        case 1: dest = fmemopen(big.data(), big.size(), "wb"); break;
        case 2: dest = fmemopen(small, sizeof small, "wb"); break;
        default: break;
    }
    if (dest_kind == 1 || dest_kind == 2) {
        FUZZ_CHECK(dest != nullptr);
        setvbuf(dest, nullptr, _IONBF, 0);  // so a full buffer shows at once
    }

    const uint64_t untouched = 0xdeadbeefull;
    uint64_t line = untouched;
    const int32_t entry = broken_chain ? QEL_RTN_READ_ERROR : QEL_RTN_SUCCESSFUL;
    int32_t status = entry;
    const int32_t result = decode ? QEL_DecodeStream(dest, src, flags, want_line ? &line : nullptr, &status)
                                  : QEL_EncodeStream(dest, src, flags, want_line ? &line : nullptr, &status);

    if (broken_chain) {
        FUZZ_CHECK(result == 0 && status == entry && line == untouched);
        if (src != nullptr) FUZZ_CHECK(ftell(src) == 0);
    } else {
        check_result(result, status);
        if (dest == nullptr) {
            FUZZ_CHECK(status == QEL_RTN_NO_DESTINATION && line == untouched);
        } else if (src == nullptr) {
            FUZZ_CHECK(status == QEL_RTN_NO_SOURCE && line == untouched);
        } else {
            const uint64_t lines = count_lines(data + 1, src_len);
            if (src_len == 0) FUZZ_CHECK(status == QEL_RTN_EMPTY_SOURCE);
            if (want_line) {
                if (status == QEL_RTN_SUCCESSFUL) {
                    FUZZ_CHECK(line == lines);
                } else {
                    FUZZ_CHECK(status == QEL_RTN_EMPTY_SOURCE ? line == 0 : line >= 1 && line <= lines);
                }
            } else {
                FUZZ_CHECK(line == untouched);
            }
            if (memchr(data + 1, '\0', src_len) == nullptr) FUZZ_CHECK(status != QEL_RTN_NUL_IN_SOURCE);
            if (dest_kind == 0 || dest_kind == 1) FUZZ_CHECK(status != QEL_RTN_WRITE_ERROR);
            if (decode) {
                FUZZ_CHECK(status != QEL_RTN_SOURCE_ENCODED && status != QEL_RTN_LINE_TOO_LONG);
            } else {
                FUZZ_CHECK(status != QEL_RTN_SOURCE_NOT_ENCODED && status != QEL_RTN_RECORD_DAMAGED &&
                           status != QEL_RTN_LINE_TOO_LONG);
                if (flags & QEL_FORCE) FUZZ_CHECK(status != QEL_RTN_SOURCE_ENCODED);
            }

            // What an encoding wrote decodes again, one line per record.
            if (!decode && dest_kind == 0 && status == QEL_RTN_SUCCESSFUL) {
                const std::string out = sink.contents();
                FILE *again = fmemopen(const_cast<char *>(out.data()), out.size(), "rb");
                FUZZ_CHECK(again != nullptr);
                MemSink plain;
                int32_t st = QEL_RTN_SUCCESSFUL;
                FUZZ_CHECK(QEL_DecodeStream(plain.file(), again, 0, nullptr, &st) == 1);
                fclose(again);
            }
        }
    }

    if (dest_kind == 1 || dest_kind == 2) fclose(dest);
    if (src != nullptr) fclose(src);
    return 0;
}
