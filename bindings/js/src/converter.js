// One conversion carried over as many library calls as its input needs, its
// output gathered in one growing buffer.

import { QelError, message } from "./errors.js";
import { FORCE, LAST, SUCCESSFUL, ex, inputAt, inputRoom, memory, outputAt, words } from "./wasm.js";

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
export class Converter {
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
