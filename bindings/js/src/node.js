// qelcode for Node.js: the package, its module read from this package's
// qelcode.wasm before it answers, and files converted in constant memory.
import { init } from "./node-init.js";

export * from "./node-init.js";

await init();
