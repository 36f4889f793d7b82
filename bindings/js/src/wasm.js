// The WebAssembly instance, its memory and the room the library converts in.
// init() instantiates the module once; the functions of the package use
// these bindings only after it. The memory never grows (the module is built
// with a fixed size), so the views stay valid.

export const SUCCESSFUL = 1;
export const FORCE = 1;
export const LAST = 2;

export let ex = null;
export let inputRoom = 0;
export let inputAt = 0;
export let outputAt = 0;
export let outputRoom = 0;
export let memory = null;
export let words = null;   // produced, consumed, status
/** The library's version, "MAJOR.MINOR.PATCH" (empty until init()). */
export let version = "";

const textDecoder = new TextDecoder("latin1");
let started = null;

/** Throws unless init() has finished. */
export function ready() {
    if (ex === null) throw new Error("qelcode: the module is not loaded yet: await init() first");
}

/** The NUL-terminated string at address in the module's memory. */
export function cString(address) {
    let end = address;
    while (memory[end] !== 0) end++;
    return textDecoder.decode(memory.subarray(address, end));
}

const tag = (x) => Object.prototype.toString.call(x);

// The compiled module from what a host hands over: a WebAssembly.Module, a
// Response (or a promise of one), bytes, or a URL (a string or URL object)
// that fetch() loads.
async function compile(source) {
    source = await source;
    if (tag(source) === "[object WebAssembly.Module]") return source;
    if (typeof source === "string" || tag(source) === "[object URL]") source = await fetch(source);
    if (typeof Response !== "undefined" && tag(source) === "[object Response]") {
        if (!source.ok) throw new Error(`qelcode: can't load ${source.url}: HTTP ${source.status}`);
        const type = source.headers.get("content-type") ?? "";
        if (typeof WebAssembly.compileStreaming === "function" && type.startsWith("application/wasm")) {
            return WebAssembly.compileStreaming(source);
        }
        source = await source.arrayBuffer();
    }
    if (ArrayBuffer.isView(source) || /^\[object (Shared)?ArrayBuffer\]$/.test(tag(source))) {
        return WebAssembly.compile(source);
    }
    throw new TypeError("qelcode: init() takes the .wasm as bytes, a URL, a Response or a WebAssembly.Module");
}

function bind(instance) {
    instance.exports._initialize?.();   // a reactor module's constructors
    const e = instance.exports;
    const arenaAt = e.QEL_WasmArena();
    inputRoom = e.QEL_WasmInputRoom();
    inputAt = arenaAt + e.QEL_WasmInputOffset();
    outputAt = arenaAt + e.QEL_WasmOutputOffset();
    outputRoom = e.QEL_WasmOutputRoom();
    memory = new Uint8Array(e.memory.buffer);
    words = new Uint32Array(e.memory.buffer, arenaAt, 3);
    ex = e;
    version = cString(e.QEL_Version());
}

/**
 * Loads the module from source (see compile); answers the library's
 * version. Only the first call loads: later calls answer the same promise
 * whatever they pass. The module imports nothing.
 */
export function init(source) {
    if (started === null) {
        if (source === undefined) {
            return Promise.reject(new TypeError("qelcode: init() needs the .wasm: bytes, a URL, a Response or a WebAssembly.Module"));
        }
        started = compile(source)
            .then((module) => WebAssembly.instantiate(module, {}))
            .then((instance) => {
                bind(instance);
                return version;
            });
        started.catch(() => { started = null; });   // a failed load may be tried again
    }
    return started;
}
