// Text or records that arrive in pieces, split anywhere.

import { Converter } from "./converter.js";
import { bytesOf } from "./input.js";

class Conversion {
    constructor(encoding, force) {
        this._converter = new Converter(encoding, force);
    }

    /** Bytes of input converted so far; after a refusal, where the refused piece starts. */
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
export class Encoder extends Conversion {
    constructor(options) {
        super(true, Boolean(options?.force));
    }
}

/** Decodes records that arrive in pieces, split anywhere. */
export class Decoder extends Conversion {
    constructor() {
        super(false, false);
    }
}
