// WHATWG TransformStreams over the incremental objects, for browsers and Node.js.

import { QelError } from "./errors.js";
import { Decoder, Encoder } from "./incremental.js";

// A refused piece errors the stream with the QelError, its offset and line
// count from the start of the whole input. The output of the pieces before
// it in the same chunk is passed on first, so the error's output is empty.
function transform(converter) {
    const pass = (controller, call) => {
        let out;
        try {
            out = call();
        } catch (e) {
            if (!(e instanceof QelError)) throw e;
            if (e.output.length) controller.enqueue(e.output);
            e.output = new Uint8Array(0);
            throw e;
        }
        if (out.length) controller.enqueue(out);
    };
    return new TransformStream({
        transform(chunk, controller) {
            pass(controller, () => converter.feed(chunk));
        },
        flush(controller) {
            pass(controller, () => converter.close());
        },
    });
}

/** A TransformStream of text chunks to records. */
export function encodeStream(options) {
    return transform(new Encoder(options));
}

/** A TransformStream of record chunks to text. */
export function decodeStream() {
    return transform(new Decoder());
}
