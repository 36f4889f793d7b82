// QEL_EncodeBuffer and QEL_DecodeBuffer: memory to memory, through the very
// line engine that the stream functions use, so that pieces are cut,
// refused and mapped alike.
#include <stdint.h>

#include "kernels/kernel.h"
#include "qelcode.h"
#include "format/record_format.h"
#include "status/status_chain.h"

using namespace qel;

namespace {

int32_t run_buffer(JobFn job, char *dest, size_t dest_size, size_t *produced, const char *src, size_t src_size,
                   size_t *consumed, uint32_t flags, int32_t *status) {
    if (!chain_open(status)) return 0;
    if (produced != nullptr) *produced = 0;
    if (consumed != nullptr) *consumed = 0;
    if (dest == nullptr && dest_size != 0) return finish(status, QEL_RTN_NO_DESTINATION);
    if (src == nullptr && src_size != 0) return finish(status, QEL_RTN_NO_SOURCE);

    JobResult r{0, 0, QEL_RTN_SUCCESSFUL, 0, JobStop::kInputUsed};
    if (src_size != 0) {
        LineCount count{0, true};
        const Job s{.in = reinterpret_cast<const unsigned char *>(src),
                     .avail = src_size,
                     .at_end = (flags & QEL_LAST) != 0,
                     .out = reinterpret_cast<unsigned char *>(dest),
                     .room = dest_size,
                     .force = (flags & QEL_FORCE) != 0,
                     .one_piece = false};
        r = job(s, &count);
    }
    if (produced != nullptr) *produced = r.produced;
    if (consumed != nullptr) *consumed = r.consumed;
    return finish(status, r.code);
}

}  // namespace

extern "C" QEL_API int32_t QEL_CALL QEL_EncodeBuffer(char *dest, size_t dest_size, size_t *produced, const char *src,
                                                     size_t src_size, size_t *consumed, uint32_t flags,
                                                     int32_t *status) {
    return run_buffer(conversion_kernel().encode_job, dest, dest_size, produced, src, src_size, consumed, flags, status);
}

extern "C" QEL_API int32_t QEL_CALL QEL_DecodeBuffer(char *dest, size_t dest_size, size_t *produced, const char *src,
                                                     size_t src_size, size_t *consumed, uint32_t flags,
                                                     int32_t *status) {
    return run_buffer(conversion_kernel().decode_job, dest, dest_size, produced, src, src_size, consumed,
                      flags & QEL_LAST, status);
}

// Every piece of n text bytes becomes n + 4 bytes; a piece takes at least
// n + 1 bytes of input when it ends with a line feed, so four bytes of room
// per input byte always suffice, and one more for a last piece without one.
extern "C" QEL_API size_t QEL_CALL QEL_EncodeBound(size_t src_size) {
    return src_size > (SIZE_MAX - 4) / 4 ? SIZE_MAX : src_size * 4 + 4;
}

// A record's text, with its line feed, is always shorter than the record.
extern "C" QEL_API size_t QEL_CALL QEL_DecodeBound(size_t src_size) { return src_size; }
