// The package as a browser app bundles it (esbuild, iife): the .wasm is the
// "qelcode/wasm" file, placed beside the bundle, whose URL init() fetches.
import { init, encode, decode, QelError } from "qelcode/init";
import wasmUrl from "qelcode/wasm";

const latin1 = (b) => String.fromCharCode(...b);
const body = document.body.dataset;
init(wasmUrl)
    .then((version) => {
        body.version = version;
        const records = encode(new TextEncoder().encode("Hello\nabc\nA\n"));
        body.records = latin1(records);
        body.text = latin1(decode(records));
        try {
            decode(new TextEncoder().encode("!~5(\nplain\n"));
        } catch (e) {
            if (e instanceof QelError) body.refused = `${e.code} ${e.line} ${e.offset}`;
        }
    })
    .catch((e) => { body.error = String(e); })
    .finally(() => { body.done = "1"; });
