// Scratch memory for a WebAssembly host. The library allocates nothing, and
// a JavaScript host can pass it only addresses inside the module's linear
// memory, so the WebAssembly build keeps one fixed arena there: the results
// of a call (produced, consumed, status), then room for input, then room for
// the output of a full input (its encode bound), at whose start the host
// keeps the converter of the call under way. Built only for WebAssembly.
#include <stddef.h>
#include <stdint.h>

#include "qelcode.h"

namespace {

constexpr size_t kInputRoom = 64 * 1024;
// QEL_EncodeBound(kInputRoom) is 4 * kInputRoom + 4; decoding never grows.
constexpr size_t kOutputRoom = 4 * kInputRoom + 64;

struct Arena {
    size_t produced;
    size_t consumed;
    int32_t status;
    unsigned char input[kInputRoom];
    unsigned char output[kOutputRoom];
};

Arena arena;

}  // namespace

extern "C" {

// Layout, for the host: the addresses of each field and the sizes of the rooms.
__attribute__((used, visibility("default"))) void *QEL_WasmArena(void) { return &arena; }
__attribute__((used, visibility("default"))) size_t QEL_WasmInputRoom(void) { return kInputRoom; }
__attribute__((used, visibility("default"))) size_t QEL_WasmOutputRoom(void) { return kOutputRoom; }
__attribute__((used, visibility("default"))) size_t QEL_WasmInputOffset(void) { return offsetof(Arena, input); }
__attribute__((used, visibility("default"))) size_t QEL_WasmOutputOffset(void) { return offsetof(Arena, output); }

// One line or record in the input room, converted in place by the record
// functions (the input room is far larger than QEL_RECORD_BUFFER_SIZE).
__attribute__((used, visibility("default"))) int32_t QEL_WasmRecord(int32_t encoding) {
    arena.status = QEL_STATUS_INIT;
    char *text = reinterpret_cast<char *>(arena.input);
    if (encoding)
        QEL_EncodeRecord(NULL, text, &arena.status);
    else
        QEL_DecodeRecord(NULL, text, &arena.status);
    return arena.status;
}

}  // extern "C"
