// qelcode for JavaScript: the library's buffer and record functions,
// compiled to WebAssembly from the same C++ sources as the native library.
// Runs in Node.js 18+ and in browsers; no dependency.

import { cString, ex } from "./wasm.js";

/** The library's version, "MAJOR.MINOR.PATCH". */
export const version = cString(ex.QEL_Version());

export { message, QelError } from "./errors.js";
export { encode, decode } from "./oneshot.js";
export { Encoder, Decoder } from "./incremental.js";
export { encodeRecord, decodeRecord } from "./records.js";
export { encodeStream, decodeStream } from "./streams.js";
