// Whole inputs converted in one call.

import { Converter } from "./converter.js";
import { bytesOf } from "./input.js";

/** The records of the text data, one per line (several for a line of more than 507 bytes), in a buffer of their own. */
export function encode(data, options) {
    const force = Boolean(options?.force);
    return new Converter(true, force).run(bytesOf(data, "encode() data"), true, true);
}

/** The text of the records data, in a buffer of their own. */
export function decode(data) {
    return new Converter(false, false).run(bytesOf(data, "decode() data"), true, true);
}
