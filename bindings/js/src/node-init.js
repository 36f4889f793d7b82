// qelcode for Node.js without loading its module: init() with no argument
// reads this package's qelcode.wasm; a file: URL is read as a file. Also the
// file functions.
import { readFile } from "node:fs/promises";
import { init as load } from "./wasm.js";

export * from "./init.js";
export { encodeFile, decodeFile } from "./files.js";

/** Loads the module (by default this package's qelcode.wasm); answers the library's version. */
export function init(source = new URL("../dist/qelcode.wasm", import.meta.url)) {
    const file = source instanceof URL ? source.protocol === "file:" : typeof source === "string" && source.startsWith("file:");
    return load(file ? readFile(new URL(source)) : source);
}
