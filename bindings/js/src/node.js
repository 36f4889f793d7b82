// Files in Node.js: converted in chunks, in constant memory.
import { open } from "node:fs/promises";
import { Decoder, Encoder, QelError } from "./index.js";

export * from "./index.js";

const CHUNK = 65536;

async function convertFile(converter, src, dest) {
    const input = await open(src, "r");
    try {
        const output = await open(dest, "w");
        try {
            const buffer = new Uint8Array(CHUNK);
            for (;;) {
                const { bytesRead } = await input.read(buffer, 0, CHUNK, null);
                let out;
                try {
                    out = bytesRead ? converter.feed(buffer.subarray(0, bytesRead)) : converter.close();
                } catch (e) {
                    if (e instanceof QelError) await output.write(e.output);
                    throw e;
                }
                if (out.length) await output.write(out);
                if (!bytesRead) return converter.offset;
            }
        } finally {
            await output.close();
        }
    } finally {
        await input.close();
    }
}

/** Encodes the file src into dest; answers the bytes read. Records before a refused line stay in dest. */
export function encodeFile(src, dest, { force = false } = {}) {
    return convertFile(new Encoder({ force }), src, dest);
}

/** Decodes the file src into dest, as encodeFile encodes. */
export function decodeFile(src, dest) {
    return convertFile(new Decoder(), src, dest);
}
