// The package as a Node.js program bundles it (esbuild, cjs): the .wasm
// inlined as bytes and handed to init().
import { init, encode, decode } from "qelcode/init";
import wasm from "qelcode/wasm";

init(wasm).then((version) => {
    const text = new TextEncoder().encode("Hello\nabc\nA\n");
    const records = encode(text);
    if (String.fromCharCode(...records) !== "%z5PIzv[\n#|51ru\n!~5(\n") throw new Error("wrong records");
    if (String.fromCharCode(...decode(records)) !== "Hello\nabc\nA\n") throw new Error("no round trip");
    console.log(`the Node.js bundle (cjs, .wasm inlined): qelcode ${version} works`);
});
