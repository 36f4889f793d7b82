// Type-checked under a bundler's resolution, which takes the browser's
// declarations: the file functions are Node.js's only.
// @ts-expect-error encodeFile is declared for the Node.js entry only
import { encodeFile } from "qelcode";
import { init, encode } from "qelcode/init";

await init(new URL("https://example.org/qelcode.wasm"));
console.log(encodeFile, encode(new Uint8Array([65, 10])));
