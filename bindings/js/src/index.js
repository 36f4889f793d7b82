// qelcode for JavaScript: the library's buffer and record functions,
// compiled to WebAssembly from the same C++ sources as the native library.
// Runs in browsers and Node.js 18+; no dependency. This entry loads
// qelcode.wasm from beside this package's src/ folder by its URL before it
// answers; "qelcode/init" leaves that to the host.

import { init } from "./init.js";

export * from "./init.js";

await init(new URL("../dist/qelcode.wasm", import.meta.url));
