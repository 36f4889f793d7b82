// The library's status messages, and the error a refused piece raises.

import * as wasm from "./wasm.js";

// The codes of the refusals, as QelError.code gives them.
/** A line that already carries the encoded mark (encoding without force). */
export const SOURCE_ENCODED = 9;
/** Text where records were expected (decoding). */
export const SOURCE_NOT_ENCODED = 10;
/** A line or record longer than a record function takes. */
export const LINE_TOO_LONG = 11;
/** A NUL byte in the input. */
export const NUL_IN_SOURCE = 12;
/** A record that is not whole or not well formed (decoding). */
export const RECORD_DAMAGED = 13;

/** The library's fixed English message for a status code; anything but a 32-bit integer is an unknown code. */
export function message(code) {
    wasm.ready();
    return wasm.cString(wasm.ex.QEL_RtnCodeStr(Number.isInteger(code) && code === (code | 0) ? code : 0));
}

/** A piece of input the library refused. */
export class QelError extends Error {
    constructor(code, message, offset, line, output = new Uint8Array(0)) {
        super(message);
        this.name = "QelError";
        this.code = code;
        this.offset = offset;
        this.line = line;
        this.output = output;
    }

    toString() {
        return `${this.message} (code ${this.code}) at byte ${this.offset}, line ${this.line}`;
    }
}
