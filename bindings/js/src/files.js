// Files in Node.js: converted in chunks, in constant memory.
import { constants, open } from "node:fs/promises";
import { QelError } from "./errors.js";
import { Decoder, Encoder } from "./incremental.js";

const CHUNK = 65536;

// dest opened for writing without truncating it first, so that dest that is
// src (the same file by another name too) is refused before it is emptied.
async function openDest(dest, source) {
    const output = await open(dest, constants.O_WRONLY | constants.O_CREAT, 0o666);
    try {
        const st = await output.stat();
        if (st.isFile()) {
            if (source.isFile() && st.dev === source.dev && st.ino === source.ino) {
                throw new Error(`dest is the same file as src (${dest}): it would be destroyed`);
            }
            await output.truncate(0);
        }
        return output;
    } catch (e) {
        await output.close();
        throw e;
    }
}

async function convertFile(converter, src, dest) {
    const input = await open(src, "r");
    try {
        const output = await openDest(dest, await input.stat());
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
export function encodeFile(src, dest, options) {
    return convertFile(new Encoder(options), src, dest);
}

/** Decodes the file src into dest, as encodeFile encodes. */
export function decodeFile(src, dest) {
    return convertFile(new Decoder(), src, dest);
}
