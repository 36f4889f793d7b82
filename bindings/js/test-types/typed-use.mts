// Type-checked (tsc --noEmit) against the installed package's declarations:
// the uses a TypeScript host writes compile, the wrong ones do not.
import { encode, decode, Encoder, Decoder, encodeStream, decodeStream, QelError, encodeFile, version, message } from "qelcode";

const records: Uint8Array = encode(new Uint8Array([65, 10]), { force: true });
const text: Uint8Array = decode(records.buffer);
const encoder = new Encoder();
const parts: Uint8Array[] = [encoder.feed(text), encoder.close(), new Decoder().feed(new DataView(records.buffer))];
const streams: TransformStream<Uint8Array | ArrayBufferView | ArrayBuffer, Uint8Array>[] = [encodeStream({ force: false }), decodeStream()];
const done: Promise<number> = encodeFile("a.txt", "a.qel");
try {
    decode(records);
} catch (e) {
    if (e instanceof QelError) {
        const fields: [number, string, number, number, Uint8Array] = [e.code, e.message, e.offset, e.line, e.output];
        console.log(fields, version, message(e.code), parts, streams, done);
    }
}
// @ts-expect-error strings are not bytes
encode("text");
// @ts-expect-error force is a boolean
encode(records, { force: 1 });
