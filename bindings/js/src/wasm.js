// The WebAssembly instance, its memory and the room the library converts in.
// The memory never grows (the module is built with a fixed size), so these
// views stay valid.

import { loadModule } from "./load.js";

export const SUCCESSFUL = 1;
export const FORCE = 1;
export const LAST = 2;

const wasm = await loadModule();
export const ex = wasm.exports;
const arenaAt = ex.QEL_WasmArena();
export const inputRoom = ex.QEL_WasmInputRoom();
export const inputAt = arenaAt + ex.QEL_WasmInputOffset();
export const outputAt = arenaAt + ex.QEL_WasmOutputOffset();
export const memory = new Uint8Array(ex.memory.buffer);
export const words = new Uint32Array(ex.memory.buffer, arenaAt, 3);   // produced, consumed, line feeds
const textDecoder = new TextDecoder("latin1");

/** The NUL-terminated string at address in the module's memory. */
export function cString(address) {
    let end = address;
    while (memory[end] !== 0) end++;
    return textDecoder.decode(memory.subarray(address, end));
}
