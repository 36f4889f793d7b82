// The library's status messages, and the error a refused piece raises.

import * as wasm from "./wasm.js";

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
