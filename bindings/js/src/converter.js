// One conversion carried over as many calls as its input needs, through the
// library's converter, its output gathered in one growing buffer.

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

// The module has one converter slot, at the start of its output room (the
// rest is the room of a call). Each Converter keeps its state here in
// JavaScript and brings it into the slot for the length of a call: a
// QEL_Converter may be copied byte for byte, and any number of conversions
// may be under way at once.
const STATE_SIZE = 1152;      // QEL_CONVERTER_SIZE
const DECODE = 4;
const HELD = 4096;            // more than a converter holds: input of a piece that may go on, output of one record

/** One conversion carried over as many calls as its input needs: the library's converter. */
export class Converter {
    constructor(encoding, force) {
        wasm.ready();
        this.encoding = encoding ? 1 : 0;
        const slot = wasm.outputAt;
        wasm.ex.QEL_ConverterInit(slot, encoding ? (force ? FORCE : 0) : DECODE);
        this.state = wasm.memory.slice(slot, slot + STATE_SIZE);
        this.taken = 0;                   // input bytes of the pieces converted so far
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
        const slot = outputAt;
        const room = outputAt + STATE_SIZE;
        const roomSize = wasm.outputRoom - STATE_SIZE;
        const out = new Output(firstRoom(this.encoding, input.length));
        memory.set(this.state, slot);
        const [producedAt, consumedAt, statusAt] = [words.byteOffset, words.byteOffset + 4, words.byteOffset + 8];
        let pos = 0;
        for (;;) {
            const n = Math.min(inputRoom, input.length - pos);
            memory.set(input.subarray(pos, pos + n), inputAt);
            const end = pos + n === input.length;
            let at = 0;
            for (;;) {
                words[2] = SUCCESSFUL;
                ex.QEL_ConverterPut(slot, room, roomSize, producedAt, inputAt + at, n - at,
                                    consumedAt, last && end ? LAST : 0, statusAt);
                const produced = words[0];
                at += words[1];
                if (produced) out.append(room, produced, out.length + produced + outputBound(this.encoding, input.length - pos - at + HELD) + HELD);
                if (words[2] !== SUCCESSFUL) {
                    const code = words[2];
                    this.failed = true;
                    this.taken = Number(ex.QEL_ConverterOffset(slot));
                    const line = Number(ex.QEL_ConverterLine(slot));
                    throw new QelError(code, message(code), this.taken, line, exact ? out.own() : out.take());
                }
                // Taken whole, and room to spare: nothing is held back.
                if (at === n && produced < roomSize) break;
            }
            pos += n;
            if (end) break;
        }
        this.taken = Number(ex.QEL_ConverterOffset(slot));
        this.state.set(memory.subarray(slot, slot + STATE_SIZE));
        if (last) this.finished = true;
        return exact ? out.own() : out.take();
    }
}
