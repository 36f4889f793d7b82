// qelcode for JavaScript without loading its module: call init() with the
// .wasm ("qelcode/wasm") before anything else. For bundlers and hosts that
// place the .wasm themselves; no top-level await, nothing of Node.js.

export { init, version } from "./wasm.js";
export { message, QelError, SOURCE_ENCODED, SOURCE_NOT_ENCODED, LINE_TOO_LONG, NUL_IN_SOURCE, RECORD_DAMAGED } from "./errors.js";
export { encode, decode } from "./oneshot.js";
export { Encoder, Decoder } from "./incremental.js";
export { encodeRecord, decodeRecord } from "./records.js";
export { encodeStream, decodeStream } from "./streams.js";
