// Type-checked with a current TypeScript (typed arrays generic over their
// buffer), under Node's and a bundler's resolution: results are
// Uint8Array<ArrayBuffer>, which the web's byte-taking APIs accept, and
// inputs may be any buffer.
import { encode, decode, encodeRecord, decodeRecord, Encoder, encodeStream, init, QelError, SOURCE_ENCODED, type Bytes } from "qelcode";

await init(new URL("https://example.org/qelcode.wasm"));
const records: Uint8Array<ArrayBuffer> = encode(new Uint8Array([65, 10]));
const text: Uint8Array<ArrayBuffer> = decode(records.buffer);
const fromShared = encode(new SharedArrayBuffer(8));
const fromSharedView = decodeRecord(new Uint8Array(new SharedArrayBuffer(8)));
const blob = new Blob([encode(text), records.buffer, new Encoder().close()]);
const digest: Promise<ArrayBuffer> = crypto.subtle.digest("SHA-256", encode(text));
const body = new Response(encodeRecord(text));
const pieces: ReadableStream<Bytes> = new ReadableStream<Uint8Array>().pipeThrough(encodeStream());
try {
    decode(records);
} catch (e) {
    if (e instanceof QelError && e.code === SOURCE_ENCODED) new Blob([e.output]);
}
console.log(fromShared, fromSharedView, blob, digest, body, pieces);
// @ts-expect-error a result is never over a SharedArrayBuffer
const shared: Uint8Array<SharedArrayBuffer> = encode(records);
console.log(shared);
