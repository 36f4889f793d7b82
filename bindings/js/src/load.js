// Loads qelcode.wasm, which lies beside this package's dist/ folder: from
// the file in Node.js (no network), by its URL relative to this module in a
// browser. The module imports nothing.
const url = new URL("../dist/qelcode.wasm", import.meta.url);

export async function loadModule() {
    let bytes;
    if (url.protocol === "file:" && typeof process !== "undefined" && process.versions?.node) {
        const { readFile } = await import("node:fs/promises");
        bytes = await readFile(url);
    } else {
        const response = await fetch(url);
        if (!response.ok) throw new Error(`qelcode: can't load ${url}: HTTP ${response.status}`);
        bytes = await response.arrayBuffer();
    }
    const { instance } = await WebAssembly.instantiate(bytes, {});
    instance.exports._initialize?.();   // a reactor module's constructors
    return instance;
}
