// WHATWG TransformStreams over the incremental objects, for browsers and Node.js.

import { Decoder, Encoder } from "./incremental.js";

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
