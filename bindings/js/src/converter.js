// One conversion carried over as many library calls as its input needs, its
// output gathered in one growing buffer.

import { QelError, message } from "./errors.js";
import { firstRoom, grownRoom, outputBound } from "./sizing.js";
import * as wasm from "./wasm.js";

const { FORCE, LAST, SUCCESSFUL } = wasm;

/** Output of one call, gathered in one buffer that grows as it fills. */
class Output {
    constructor(room) {
        this.bytes = new Uint8Array(room);
        this.length = 0;
    }

    // n more bytes from the module's memory; most is the most the whole
    // output can come to.
    append(from, n, most) {
        if (this.length + n > this.bytes.length) {
            const grown = new Uint8Array(grownRoom(this.bytes.length, this.length + n, most));
            grown.set(this.bytes.subarray(0, this.length));
            this.bytes = grown;
        }
        this.bytes.set(wasm.memory.subarray(from, from + n), this.length);
        this.length += n;
    }

    // The bytes, without the spare room (copied when the room is large).
    take() {
        if (this.length === this.bytes.length) return this.bytes;
        return this.length + 65536 < this.bytes.length / 8 * 7 ? this.bytes.slice(0, this.length) : this.bytes.subarray(0, this.length);
    }

    // The bytes in a buffer of their own, exactly their length.
    own() {
        if (this.length === this.bytes.length) return this.bytes;
        const buffer = this.bytes.buffer;
        if (typeof buffer.transfer === "function") return new Uint8Array(buffer.transfer(this.length));
        return this.bytes.slice(0, this.length);
    }
}

/** One conversion carried over as many calls as its input needs. */
export class Converter {
    constructor(encoding, force) {
        wasm.ready();
        this.encoding = encoding ? 1 : 0;
        this.flags = encoding && force ? FORCE : 0;
        this.carry = new Uint8Array(0);   // the start of a piece that may go on
        this.taken = 0;                   // input bytes converted so far
        this.lines = 0;                   // line feeds among them
        this.finished = false;
        this.failed = false;
    }

    // Converts input (a plain Uint8Array: nothing here calls back into the
    // caller's code while the module's memory is in use); exact gives the
    // output a buffer of its own.
    run(input, last, exact = false) {
        if (this.failed) throw new Error("this conversion stopped at a refused piece");
        if (this.finished) throw new Error("this conversion is closed");
        const { memory, inputAt, inputRoom, outputAt, words, ex } = wasm;
        const out = new Output(firstRoom(this.encoding, input.length + this.carry.length));
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
            if (produced) out.append(outputAt, produced, out.length + produced + outputBound(this.encoding, n - consumed + input.length - pos));
            this.taken += consumed;
            this.lines += lfs;
            if (status !== SUCCESSFUL) {
                this.failed = true;
                this.carry = new Uint8Array(0);
                throw new QelError(status, message(status), this.taken, this.lines + 1, exact ? out.own() : out.take());
            }
            this.carry = window.slice(consumed, n);
            if (end) break;
            if (consumed === 0) throw new Error("qelcode: a piece longer than the input room");
        }
        if (last) {
            if (this.carry.length) throw new Error(`qelcode: the library left ${this.carry.length} bytes of the last input`);
            this.finished = true;
        }
        return exact ? out.own() : out.take();
    }
}
