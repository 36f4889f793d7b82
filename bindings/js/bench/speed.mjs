// encode() of a whole file in Node, timed: the best of REPEATS calls; the
// same through an Encoder fed 1 MiB at a time with its output dropped (as
// the native in-memory benchmark drops its output); and a plain copy of
// the same bytes in the same run for scale.
//   node bench/speed.mjs WASM FILE [REPEATS]     (WASM: the built qelcode.wasm)
import { readFileSync, statSync } from "node:fs";
import { encode, Encoder, init } from "qelcode/init";

const [wasm, file, repeats = "3"] = process.argv.slice(2);
if (!file) {
    console.error("usage: node bench/speed.mjs WASM FILE [REPEATS]");
    process.exit(2);
}
await init(readFileSync(wasm));
const text = readFileSync(file);

function best(f) {
    let least = Infinity;
    for (let i = 0; i < Number(repeats); i++) {
        const t = process.hrtime.bigint();
        f();
        least = Math.min(least, Number(process.hrtime.bigint() - t) / 1e9);
    }
    return least;
}

const encodeS = best(() => encode(text));
const feedS = best(() => {
    const e = new Encoder();
    for (let i = 0; i < text.length; i += 1 << 20) e.feed(text.subarray(i, i + (1 << 20)));
    e.close();
});
const copyS = best(() => Uint8Array.prototype.slice.call(text));
const mb = text.length / 1e6;
console.log(`mode=js-encode bytes=${text.length} best_s=${encodeS.toFixed(4)} mb_per_s=${(mb / encodeS).toFixed(1)} ` +
            `feed_best_s=${feedS.toFixed(4)} copy_best_s=${copyS.toFixed(4)} ratio_to_copy=${(encodeS / copyS).toFixed(2)} wasm_bytes=${statSync(wasm).size}`);
