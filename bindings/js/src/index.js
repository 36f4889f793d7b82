// qelcode for JavaScript: the library's buffer and record functions,
// compiled to WebAssembly from the same C++ sources as the native library.
// Runs in Node.js 18+ and in browsers; no dependency.

import { loadModule } from "./load.js";

const SUCCESSFUL = 1;
const FORCE = 1;
const LAST = 2;

const wasm = await loadModule();
const ex = wasm.exports;
const arenaAt = ex.QEL_WasmArena();
const inputRoom = ex.QEL_WasmInputRoom();
const inputAt = arenaAt + ex.QEL_WasmInputOffset();
const outputAt = arenaAt + ex.QEL_WasmOutputOffset();
// The memory never grows (the module is built with a fixed size), so these
// views stay valid.
const memory = new Uint8Array(ex.memory.buffer);
const words = new Uint32Array(ex.memory.buffer, arenaAt, 3);   // produced, consumed, line feeds
const textDecoder = new TextDecoder("latin1");

function cString(address) {
    let end = address;
    while (memory[end] !== 0) end++;
    return textDecoder.decode(memory.subarray(address, end));
}

/** The library's version, "MAJOR.MINOR.PATCH". */
export const version = cString(ex.QEL_Version());

/** The library's fixed English message for a status code. */
export function message(code) {
    return cString(ex.QEL_RtnCodeStr(code | 0));
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

function bytesOf(data, what) {
    if (data instanceof Uint8Array) return data;
    if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
    if (data instanceof ArrayBuffer) return new Uint8Array(data);
    const kind = data === null ? "null" : typeof data === "object" ? data.constructor?.name ?? "object" : typeof data;
    throw new TypeError(`${what} must be a Uint8Array, Buffer, ArrayBuffer or typed array, not ${kind}`);
}

/** Output of one call, gathered in one buffer that grows as it fills. */
class Output {
    constructor(expected) {
        this.bytes = new Uint8Array(Math.max(expected, 1024));
        this.length = 0;
    }

    append(from, n) {
        if (this.length + n > this.bytes.length) {
            const grown = new Uint8Array(Math.max(this.length + n, this.bytes.length * 2));
            grown.set(this.bytes.subarray(0, this.length));
            this.bytes = grown;
        }
        this.bytes.set(memory.subarray(from, from + n), this.length);
        this.length += n;
    }

    // The bytes, without the spare room (copied when the room is large).
    take() {
        if (this.length === this.bytes.length) return this.bytes;
        return this.length + 65536 < this.bytes.length / 8 * 7 ? this.bytes.slice(0, this.length) : this.bytes.subarray(0, this.length);
    }
}

/** One conversion carried over as many calls as its input needs. */
class Converter {
    constructor(encoding, force) {
        this.encoding = encoding ? 1 : 0;
        this.flags = encoding && force ? FORCE : 0;
        this.carry = new Uint8Array(0);   // the start of a piece that may go on
        this.taken = 0;                   // input bytes converted so far
        this.lines = 0;                   // line feeds among them
        this.finished = false;
        this.failed = false;
    }

    run(input, last) {
        if (this.failed) throw new Error("this conversion stopped at a refused piece");
        if (this.finished) throw new Error("this conversion is closed");
        // Records are a little longer than their text; text is shorter.
        const out = new Output(this.encoding ? input.length + (input.length >> 3) + 64 : input.length + 64);
        let pos = 0;
        for (;;) {
            const window = memory.subarray(inputAt, inputAt + inputRoom);
            window.set(this.carry);
            const copied = Math.min(inputRoom - this.carry.length, input.length - pos);
            window.set(input.subarray(pos, pos + copied), this.carry.length);
            pos += copied;
            const n = this.carry.length + copied;
            const end = pos === input.length;
            if (n === 0) break;
            const status = ex.QEL_WasmConvert(this.encoding, n, this.flags | (last && end ? LAST : 0));
            const produced = words[0];
            const consumed = words[1];
            const lfs = words[2];
            if (produced) out.append(outputAt, produced);
            if (status !== SUCCESSFUL) {
                this.failed = true;
                throw new QelError(status, message(status), this.taken + consumed,
                                   this.lines + lfs + 1, out.take());
            }
            this.taken += consumed;
            this.lines += lfs;
            this.carry = window.slice(consumed, n);
            if (end) break;
            if (consumed === 0) throw new Error("qelcode: a piece longer than the input room");
        }
        if (last) {
            if (this.carry.length) throw new Error(`qelcode: the library left ${this.carry.length} bytes of the last input`);
            this.finished = true;
        }
        return out.take();
    }
}

class Stream {
    constructor(encoding, force) {
        this._converter = new Converter(encoding, force);
    }

    /** Bytes of input converted so far. */
    get offset() {
        return this._converter.taken;
    }

    /** Takes the next bytes of input; returns the output of every piece now complete. */
    feed(data) {
        return this._converter.run(bytesOf(data, "feed() data"), false);
    }

    /** Ends the input; returns the output of what is left. */
    close() {
        return this._converter.run(new Uint8Array(0), true);
    }
}

/** Encodes text that arrives in pieces, split anywhere. */
export class Encoder extends Stream {
    constructor({ force = false } = {}) {
        super(true, force);
    }
}

/** Decodes records that arrive in pieces, split anywhere. */
export class Decoder extends Stream {
    constructor() {
        super(false, false);
    }
}

/** The records of the text data, one per line (several for a line of more than 507 bytes). */
export function encode(data, { force = false } = {}) {
    return new Converter(true, force).run(bytesOf(data, "encode() data"), true);
}

/** The text of the records data. */
export function decode(data) {
    return new Converter(false, false).run(bytesOf(data, "decode() data"), true);
}

function recordCall(encoding, data, what) {
    const bytes = bytesOf(data, what);
    if (bytes.includes(0)) throw new QelError(12, message(12), bytes.indexOf(0), 1);
    if (bytes.length > inputRoom - 8) throw new QelError(11, message(11), 0, 1);
    memory.set(bytes, inputAt);
    memory[inputAt + bytes.length] = 0;
    const status = ex.QEL_WasmRecord(encoding);
    if (status !== SUCCESSFUL) throw new QelError(status, message(status), 0, 1);
    let end = inputAt;
    while (memory[end] !== 0) end++;
    return memory.slice(inputAt, end);
}

/** The record of one line (its line end, if any, included), as QEL_EncodeRecord gives it. */
export function encodeRecord(line) {
    return recordCall(1, line, "encodeRecord() line");
}

/** The text of one record plus a line feed, as QEL_DecodeRecord gives it. */
export function decodeRecord(record) {
    return recordCall(0, record, "decodeRecord() record");
}

// A refused piece errors the stream with the QelError: its offset and line
// count from the start of the whole input, and its output holds the records
// (or text) that the refused chunk gave before the refused piece, which the
// stream did not pass on.
function transform(converter) {
    return new TransformStream({
        transform(chunk, controller) {
            const out = converter.feed(chunk);
            if (out.length) controller.enqueue(out);
        },
        flush(controller) {
            const out = converter.close();
            if (out.length) controller.enqueue(out);
        },
    });
}

/** A TransformStream of text chunks to records. */
export function encodeStream({ force = false } = {}) {
    return transform(new Encoder({ force }));
}

/** A TransformStream of record chunks to text. */
export function decodeStream() {
    return transform(new Decoder());
}
