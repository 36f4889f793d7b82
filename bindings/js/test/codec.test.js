// The package against the reference vectors, and its split, refusal and
// stream behaviour against the whole call.
import { test } from "node:test";
import assert from "node:assert/strict";
import { readFileSync, existsSync, writeFileSync, mkdtempSync, linkSync, symlinkSync } from "node:fs";
import { spawnSync } from "node:child_process";
import { createRequire } from "node:module";
import { tmpdir } from "node:os";
import { join, dirname } from "node:path";
import { fileURLToPath } from "node:url";
import vm from "node:vm";
import * as qel from "qelcode";

// The source tree (for the reference vectors): QEL_REPO when the tests run
// against an installed copy of the package, else the tree they lie in.
const repo = process.env.QEL_REPO ? new URL(`file://${process.env.QEL_REPO.replace(/\/?$/, "/")}`) : new URL("../../../", import.meta.url);
const bytes = (s) => Uint8Array.from(s, (c) => c.charCodeAt(0));
const text = (b) => String.fromCharCode(...b);

function unquote(field) {
    const out = [];
    for (let i = 1; i < field.length - 1; i++) {
        let c = field[i];
        if (c === "\\") {
            const e = field[++i];
            if (e === "x") {
                out.push(parseInt(field.slice(i + 1, i + 3), 16));
                i += 2;
                continue;
            }
            c = { n: "\n", r: "\r", t: "\t", "\\": "\\", '"': '"' }[e];
        }
        out.push(c.charCodeAt(0));
    }
    return Uint8Array.from(out);
}

function vectors() {
    const path = new URL("tests/reference/vectors.txt", repo);
    const field = /"(?:[^"\\]|\\.)*"/g;
    const out = [];
    for (const line of readFileSync(path, "latin1").split("\n")) {
        if (!line.trim() || line.startsWith("#")) continue;
        const [op, s] = line.split(/\s+/);
        const [t, r] = line.match(field);
        out.push({ op, s: Number(s), text: unquote(t), record: unquote(r), line });
    }
    return out;
}

test("every reference vector", () => {
    const all = vectors();
    assert.ok(all.length > 30);
    for (const v of all) {
        switch (v.op) {
            case "encode-line": assert.deepEqual(qel.encodeRecord(v.text), v.record, v.line); break;
            case "decode-line": assert.deepEqual(qel.decodeRecord(v.record), v.text, v.line); break;
            case "encode-file": assert.deepEqual(qel.encode(v.text), v.record, v.line); break;
            case "decode-file": assert.deepEqual(qel.decode(v.record), v.text, v.line); break;
            default: assert.fail(`unknown operation in ${v.line}`);
        }
    }
});

test("version and messages come from the library", () => {
    assert.equal(qel.version, "1.2.0");
    assert.equal(qel.message(9), "Source encoded");
    assert.equal(qel.message(0), "UNKNOWN RETURN CODE ????");
});

test("strings and other non-bytes are refused with TypeError", () => {
    for (const bad of ["abc\n", 42, null, undefined, {}, [65, 10]]) {
        assert.throws(() => qel.encode(bad), TypeError);
        assert.throws(() => qel.decode(bad), TypeError);
        assert.throws(() => new qel.Encoder().feed(bad), TypeError);
    }
    assert.deepEqual(qel.encode(Buffer.from("A\n")), bytes("!~5(\n"));
    assert.deepEqual(qel.encode(bytes("A\n").buffer), bytes("!~5(\n"));
});

// A text with every kind of line end, a long line (several pieces), a line
// of exactly 507 bytes with CR LF, and a last line with no line feed.
const sample = bytes("Hello\r\nabc\n\n" + "x".repeat(1300) + "\n" + "y".repeat(507) + "\r\n~ tilde\tTab\x80\xff\nend");

function allSplits(input, make) {
    const whole = make === "encode" ? qel.encode(input) : qel.decode(input);
    const Cls = make === "encode" ? qel.Encoder : qel.Decoder;
    for (let a = 0; a <= input.length; a += 7) {
        for (const b of [a, Math.min(input.length, a + 1), Math.min(input.length, a + 509)]) {
            const c = new Cls();
            const parts = [c.feed(input.subarray(0, a)), c.feed(input.subarray(a, b)), c.feed(input.subarray(b)), c.close()];
            assert.deepEqual(Buffer.concat(parts), Buffer.from(whole), `split at ${a}, ${b}`);
        }
    }
    // byte by byte
    const c = new Cls();
    const parts = [];
    for (let i = 0; i < input.length; i++) parts.push(c.feed(input.subarray(i, i + 1)));
    parts.push(c.close());
    assert.deepEqual(Buffer.concat(parts), Buffer.from(whole));
    return whole;
}

test("every split through Encoder and Decoder equals the whole call", () => {
    const records = allSplits(sample, "encode");
    const back = allSplits(records, "decode");
    assert.equal(text(back).split("\n").length, text(qel.decode(qel.encode(sample))).split("\n").length);
});

async function throughStream(stream, chunks) {
    const source = new ReadableStream({
        start(c) {
            for (const x of chunks) c.enqueue(x);
            c.close();
        },
    });
    const out = [];
    for await (const piece of source.pipeThrough(stream)) out.push(piece);
    return Buffer.concat(out);
}

test("splits through the TransformStreams equal the whole call", async () => {
    const records = qel.encode(sample);
    for (const size of [1, 2, 3, 50, 508, 509, 4096]) {
        const chunks = (input) => Array.from({ length: Math.ceil(input.length / size) }, (_, i) => input.subarray(i * size, (i + 1) * size));
        assert.deepEqual(await throughStream(qel.encodeStream(), chunks(sample)), Buffer.from(records), `size ${size}`);
        assert.deepEqual(await throughStream(qel.decodeStream(), chunks(records)), Buffer.from(qel.decode(records)));
    }
});

// Each refusal: code, the library's message, byte offset and 1-based line of
// the refused piece, and the output of the pieces before it.
const refusals = [
    // [what, input, code, offset, line, output]
    ["encode", bytes("A\n\x80\x1f\nA\n \x7f5\n"), 9, 7, 4, bytes("!~5(\n\"}5\x80\x1f\n!~5(\n")],
    ["encode", bytes(" \x7fmarked"), 9, 0, 1, bytes("")],
    ["encode", bytes("A\nB\0C\nD\n"), 12, 2, 2, bytes("!~5(\n")],
    ["decode", bytes("!~5(\nplain text\n"), 10, 5, 2, bytes("A\n")],
    ["decode", bytes("!~5(\n!~5(x\n"), 13, 5, 2, bytes("A\n")],
    // 'O' + 'P' add up to the mark's sum, as ' ' + DEL do
    ["encode", bytes("abc\nHi\nOP three\n"), 9, 7, 3, bytes("#|51ru\n\"}5P$\n")],
];

test("each refusal carries code, message, offset, line and output", () => {
    for (const [what, input, code, offset, line, output] of refusals) {
        const check = (e) => {
            assert.ok(e instanceof qel.QelError);
            assert.equal(e.code, code);
            assert.equal(e.message, qel.message(code));
            assert.equal(e.offset, offset);
            assert.equal(e.line, line);
            return true;
        };
        assert.throws(() => (what === "encode" ? qel.encode(input) : qel.decode(input)), (e) => check(e) && (assert.deepEqual(e.output, output), true));
        // Fed byte by byte, the same refusal at the same place; the output
        // before it came out of earlier feeds.
        const c = what === "encode" ? new qel.Encoder() : new qel.Decoder();
        const got = [];
        assert.throws(() => {
            for (let i = 0; i < input.length; i++) got.push(c.feed(input.subarray(i, i + 1)));
            got.push(c.close());
        }, (e) => check(e) && (got.push(e.output), true));
        assert.deepEqual(Buffer.concat(got), Buffer.from(output));
        assert.throws(() => c.feed(bytes("A\n")), /stopped/);
    }
    // force encodes a line that carries the mark; it decodes back.
    assert.deepEqual(qel.decode(qel.encode(bytes(" \x7fmarked\n"), { force: true })), bytes(" \x7fmarked\n"));
});

test("a refusal errors the stream, with what came before it", async () => {
    for (const [what, input, code, offset, line, output] of refusals) {
        for (const size of [1, 3, 1000]) {
            const source = new ReadableStream({
                start(c) {
                    for (let i = 0; i < input.length; i += size) c.enqueue(input.slice(i, i + size));
                    c.close();
                },
            });
            const got = [];
            const stream = source.pipeThrough(what === "encode" ? qel.encodeStream() : qel.decodeStream());
            await assert.rejects(async () => {
                for await (const piece of stream) got.push(piece);
            }, (e) => {
                assert.ok(e instanceof qel.QelError);
                assert.deepEqual([e.code, e.offset, e.line], [code, offset, line]);
                got.push(e.output);
                return true;
            });
            assert.deepEqual(Buffer.concat(got), Buffer.from(output), `${what} in chunks of ${size}`);
        }
    }
});

test("a refusal in a chunk passes on the output of the pieces before it, then errors the stream", async () => {
    for (const [what, input, code, offset, line, output] of refusals) {
        for (const size of [input.length, 3]) {
            const source = new ReadableStream({
                start(c) {
                    for (let i = 0; i < input.length; i += size) c.enqueue(input.slice(i, i + size));
                    c.close();
                },
            });
            const got = [];
            const sink = new WritableStream({ write(piece) { got.push(piece); } });
            await assert.rejects(source.pipeThrough(what === "encode" ? qel.encodeStream() : qel.decodeStream()).pipeTo(sink),
                                 (e) => e instanceof qel.QelError && e.code === code && e.offset === offset && e.line === line);
            assert.deepEqual(Buffer.concat(got), Buffer.from(output), `${what} in chunks of ${size}`);
        }
    }
});

test("after a refusal, offset is where the refused piece starts", () => {
    for (const [what, input, , offset] of refusals) {
        for (const [prefix, cut] of [[bytes(""), input.length], [bytes(what === "encode" ? "x\n" : "!~5(\n"), 1]]) {
            const c = what === "encode" ? new qel.Encoder() : new qel.Decoder();
            c.feed(prefix);
            let error;
            try {
                c.feed(input.subarray(0, cut));
                c.feed(input.subarray(cut));
                c.close();
            } catch (e) {
                error = e;
            }
            assert.ok(error instanceof qel.QelError);
            assert.equal(error.offset, prefix.length + offset);
            assert.equal(c.offset, error.offset, `${what} ${JSON.stringify(text(input))} after ${prefix.length}`);
        }
    }
});

// The package's own files, by the path the installed entry resolves to.
const packageFile = (name) => new URL(name, import.meta.resolve("qelcode"));

test("output room is sized in whole numbers past 4 GiB, and grows no further than the output can go", async () => {
    const { firstRoom, grownRoom, outputBound } = await import(packageFile("sizing.js"));
    const GiB = 2 ** 30;
    // [function, arguments, result], the results worked out by hand
    const cases = [
        [firstRoom, [true, 0], 4],
        [firstRoom, [true, 1000], 1189],
        [firstRoom, [true, 2.25 * GiB], 2717909056],    // 2415919104 + 301989888 + 64
        [firstRoom, [true, 3 * GiB], 3623878720],       // 3221225472 + 402653184 + 64
        [firstRoom, [true, 2 ** 33], 9663676480],       // 8 GiB + 1 GiB + 64
        [firstRoom, [false, 5 * GiB], 5368709120],
        [outputBound, [true, 2 ** 33], 34359738372],
        [outputBound, [false, 2 ** 33], 8589934592],
        [grownRoom, [1024, 1500, 10 ** 6], 2048],
        [grownRoom, [1024, 5000, 10 ** 6], 5000],
        [grownRoom, [1024, 1500, 1800], 1800],
        [grownRoom, [1024, 1500, 1200], 1500],          // never less than needed
        [grownRoom, [2.47e9, 2.47e9 + 1, 2.6e9], 2.6e9],   // not 4.94e9
        [grownRoom, [3 * GiB, 3 * GiB + 5, 12 * GiB], 6 * GiB],
    ];
    for (const [f, args, result] of cases) assert.equal(f(...args), result, `${f.name}(${args})`);
});

// Past 2 GiB of text for real: several GiB of memory, so only on request.
test("encode() of more than 2 GiB", { skip: !process.env.QEL_JS_HUGE && "QEL_JS_HUGE not set" }, () => {
    const line = bytes("x".repeat(63) + "\n");    // its record: 64 + 3 bytes
    const lines = 2.25 * 2 ** 30 / 64;
    const input = new Uint8Array(lines * 64);
    input.set(line);
    for (let filled = 64; filled < input.length; filled *= 2) input.copyWithin(filled, 0, Math.min(filled, input.length - filled));
    const records = qel.encode(input);
    assert.equal(records.length, lines * 67);
    assert.equal(records.buffer.byteLength, records.length);
    const one = qel.encodeRecord(line);
    assert.deepEqual(records.subarray(records.length - 67), one);
    assert.deepEqual(records.subarray(0, 67), one);
});

test("one-shot results own exactly their bytes", () => {
    const empty = " \x7f5\n";   // the record of an empty line: four times its text
    const cases = [
        // [call, input, expected]
        [qel.encode, bytes("A\n"), bytes("!~5(\n")],
        [qel.encode, bytes("\n".repeat(300000)), bytes(empty.repeat(300000))],
        [qel.encode, bytes(""), bytes("")],
        [qel.decode, bytes(empty.repeat(300000)), bytes("\n".repeat(300000))],
        [qel.decode, bytes("!~5(\n"), bytes("A\n")],
        [qel.encodeRecord, bytes("A\n"), bytes("!~5(\n")],
        [qel.decodeRecord, bytes("!~5(\n"), bytes("A\n")],
    ];
    for (const [call, input, expected] of cases) {
        const out = call(input);
        assert.deepEqual(out, expected);
        assert.equal(out.byteOffset, 0);
        assert.equal(out.buffer.byteLength, out.length, `${call.name} of ${input.length} bytes`);
    }
    assert.throws(() => qel.encode(bytes("A\nA\n \x7f\n")), (e) => e.output.buffer.byteLength === 10 && e.output.length === 10);
});

test("buffers of every kind and realm are taken, through a plain view of their own", () => {
    const other = vm.createContext({});
    const shared = new SharedArrayBuffer(2);
    new Uint8Array(shared).set([65, 10]);
    const cases = [
        ["SharedArrayBuffer", shared],
        ["Uint8Array over a SharedArrayBuffer", new Uint8Array(shared)],
        ["ArrayBuffer of a vm context", vm.runInContext("new Uint8Array([65, 10]).buffer", other)],
        ["Uint8Array of a vm context", vm.runInContext("new Uint8Array([65, 10])", other)],
        ["DataView of a vm context", vm.runInContext("new DataView(new Uint8Array([0, 65, 10, 0]).buffer, 1, 2)", other)],
        ["Uint16Array", new Uint16Array(new Uint8Array([65, 10]).buffer)],
        ["Uint8Array that lies about its bounds", Object.defineProperties(new Uint8Array([65, 10]), {
            length: { value: 1 }, byteLength: { value: 1 }, byteOffset: { value: 1 }, buffer: { value: new ArrayBuffer(9) } })],
    ];
    for (const [what, data] of cases) {
        assert.deepEqual(qel.encode(data), bytes("!~5(\n"), what);
        const c = new qel.Encoder();
        assert.deepEqual(Buffer.concat([c.feed(data), c.close()]), Buffer.from("!~5(\n"), what);
    }
    for (const fake of [{ [Symbol.toStringTag]: "ArrayBuffer", byteLength: 2 }, Object.create(ArrayBuffer.prototype), { length: 2, 0: 65, 1: 10 }]) {
        assert.throws(() => qel.encode(fake), TypeError);
    }
    // A subclass whose methods call the package while an Encoder holds a
    // partial line in the module's memory: the Encoder uses none of them.
    class Reentrant extends Uint8Array {
        subarray(...a) { qel.encode(bytes("z".repeat(70000) + "\n")); return super.subarray(...a); }
        slice(...a) { qel.decode(bytes("!~5(\n")); return super.slice(...a); }
    }
    const c = new qel.Encoder();
    const parts = [c.feed(bytes("abc".repeat(200))), c.feed(Reentrant.from(bytes("def\nghi\n"))), c.close()];
    assert.deepEqual(Buffer.concat(parts), Buffer.from(qel.encode(bytes("abc".repeat(200) + "def\nghi\n"))));
    assert.deepEqual(qel.encode(Reentrant.from(bytes("A\n"))), bytes("!~5(\n"));
});

test("options may be null; messages of anything but an integer code are unknown; the package's own files", async () => {
    const A = bytes("A\n");
    assert.deepEqual(qel.encode(A, null), bytes("!~5(\n"));
    assert.deepEqual(new qel.Encoder(null).feed(A), bytes("!~5(\n"));
    assert.deepEqual(await throughStream(qel.encodeStream(null), [A]), Buffer.from("!~5(\n"));
    const unknown = qel.message(0);
    for (const code of [1.5, 9.5, NaN, Infinity, -Infinity, 2 ** 32 + 9, -(2 ** 32) + 1, "9", 9n, null, undefined, { valueOf: () => 9 }]) {
        assert.equal(qel.message(code), unknown, String(code));
    }
    assert.equal(qel.message(1), "SUCCESSFUL");
    const require = createRequire(import.meta.url);
    assert.equal(require("qelcode/package.json").version, qel.version);
    assert.deepEqual(readFileSync(fileURLToPath(import.meta.resolve("qelcode/wasm"))).subarray(0, 4), Buffer.from("\0asm"));
});

// A fresh instance of the package's loader (a module of its own, by its
// URL with a query), loaded from each kind of source init() takes.
test("init() loads the module from bytes, a Response or a compiled module, once", async () => {
    const wasmFile = readFileSync(fileURLToPath(import.meta.resolve("qelcode/wasm")));
    const sources = {
        Uint8Array: () => new Uint8Array(wasmFile),
        ArrayBuffer: () => new Uint8Array(wasmFile).buffer,
        "WebAssembly.Module": () => new WebAssembly.Module(wasmFile),
        Response: () => new Response(wasmFile, { headers: { "content-type": "application/wasm" } }),
        "promise of a Response": () => Promise.resolve(new Response(wasmFile)),
    };
    for (const [what, make] of Object.entries(sources)) {
        const fresh = await import(`${packageFile("wasm.js")}?${encodeURIComponent(what)}`);
        assert.throws(() => fresh.ready(), /await init\(\) first/, what);
        assert.equal(await fresh.init(make()), qel.version, what);
        assert.equal(fresh.version, qel.version, what);
        assert.equal(await fresh.init(new Uint8Array(1)), qel.version, `${what}: the second call loads nothing`);
    }
    const fresh = await import(`${packageFile("wasm.js")}?bad`);
    await assert.rejects(fresh.init(), TypeError);
    await assert.rejects(fresh.init({}), TypeError);
    await assert.rejects(fresh.init(new Response("", { status: 404 })), /HTTP 404/);
    assert.equal(await fresh.init(wasmFile), qel.version, "after failures, a good source loads");
});

test("qelcode/init in a fresh Node.js: nothing before init(), then init() with no argument or a file: URL", () => {
    const app = join(dirname(fileURLToPath(import.meta.url)), "..");
    const script = `
        import { init, encode, version } from "qelcode/init";
        try { encode(new Uint8Array([65, 10])); process.exit(3); } catch (e) { if (!/init\\(\\) first/.test(e.message)) throw e; }
        if (version !== "") process.exit(4);
        await init(process.argv[1] === "file" ? new URL(import.meta.resolve("qelcode/wasm")) : undefined);
        if (version !== ${JSON.stringify(qel.version)} || encode(new Uint8Array([65, 10])).length !== 5) process.exit(5);`;
    for (const how of ["default", "file"]) {
        const run = spawnSync(process.execPath, ["--input-type=module", "-e", script, how], { cwd: app, encoding: "utf8" });
        assert.equal(run.status, 0, `${how}: ${run.stderr}`);
    }
});

test("conversions under way at once keep their own state", () => {
    // Two encoders and a decoder fed in turns, a byte at a time, each
    // holding a partial piece between turns.
    const texts = [sample, bytes("one\r\ntwo\n" + "w".repeat(600) + "\nlast"), bytes("")];
    const records = qel.encode(texts[0]);
    const conversions = [new qel.Encoder(), new qel.Encoder(), new qel.Decoder()];
    const inputs = [texts[0], texts[1], records];
    const got = [[], [], []];
    for (let i = 0; i < Math.max(...inputs.map((x) => x.length)); i++) {
        for (let k = 0; k < 3; k++) if (i < inputs[k].length) got[k].push(conversions[k].feed(inputs[k].subarray(i, i + 1)));
    }
    for (let k = 0; k < 3; k++) got[k].push(conversions[k].close());
    assert.deepEqual(Buffer.concat(got[0]), Buffer.from(records));
    assert.deepEqual(Buffer.concat(got[1]), Buffer.from(qel.encode(texts[1])));
    assert.deepEqual(Buffer.concat(got[2]), Buffer.from(qel.decode(records)));
});

test("the refusal codes are named", () => {
    const names = {
        SOURCE_ENCODED: [9, "Source encoded"],
        SOURCE_NOT_ENCODED: [10, "Source not encoded"],
        LINE_TOO_LONG: [11, "Line too long"],
        NUL_IN_SOURCE: [12, "NUL byte in source"],
        RECORD_DAMAGED: [13, "Damaged record"],
    };
    for (const [name, [code, text]] of Object.entries(names)) {
        assert.equal(qel[name], code, name);
        assert.equal(qel.message(qel[name]), text, name);
    }
    assert.throws(() => qel.decode(bytes("plain\n")), { code: qel.SOURCE_NOT_ENCODED });
});

test("encodeFile and decodeFile", async () => {
    const dir = mkdtempSync(join(tmpdir(), "qelcode-"));
    writeFileSync(join(dir, "a.txt"), sample);
    assert.equal(await qel.encodeFile(join(dir, "a.txt"), join(dir, "a.qel")), sample.length);
    assert.deepEqual(readFileSync(join(dir, "a.qel")), Buffer.from(qel.encode(sample)));
    await qel.decodeFile(join(dir, "a.qel"), join(dir, "b.txt"));
    assert.deepEqual(readFileSync(join(dir, "b.txt")), Buffer.from(qel.decode(qel.encode(sample))));
    writeFileSync(join(dir, "bad.qel"), bytes("!~5(\nplain\n"));
    await assert.rejects(qel.decodeFile(join(dir, "bad.qel"), join(dir, "bad.txt")), { code: 10, line: 2, offset: 5 });
    assert.deepEqual(readFileSync(join(dir, "bad.txt")), Buffer.from("A\n"));
    // dest that is src, by its name or through a hard link or a symbolic
    // link, is refused and the file stays whole.
    linkSync(join(dir, "a.txt"), join(dir, "hard.txt"));
    symlinkSync("a.txt", join(dir, "soft.txt"));
    for (const dest of ["a.txt", "hard.txt", "soft.txt"]) {
        await assert.rejects(qel.encodeFile(join(dir, "a.txt"), join(dir, dest)), /same file/, dest);
        assert.deepEqual(readFileSync(join(dir, "a.txt")), Buffer.from(sample), dest);
    }
    // A dest that held more than the output is cut to the output's length.
    writeFileSync(join(dir, "long.qel"), Buffer.alloc(4 * sample.length + 100, 0x41));
    await qel.encodeFile(join(dir, "a.txt"), join(dir, "long.qel"));
    assert.deepEqual(readFileSync(join(dir, "long.qel")), Buffer.from(qel.encode(sample)));
});

test("large input through the streams in constant memory", async () => {
    const mib = Number(process.env.QEL_JS_LARGE_MIB ?? 256);
    const line = bytes("The quick brown fox jumps over the lazy dog; 0123456789 !@#$%^&*()\n");
    const block = new Uint8Array(line.length * Math.floor((1 << 20) / line.length));
    for (let i = 0; i < block.length; i += line.length) block.set(line, i);
    let sent = 0;
    const source = new ReadableStream({
        pull(c) {
            if (sent === mib) return c.close();
            sent++;
            c.enqueue(block.slice());
        },
    }, { highWaterMark: 1 });
    const { createHash } = await import("node:crypto");
    const expected = createHash("sha256");
    for (let i = 0; i < mib; i++) expected.update(block);
    const got = createHash("sha256");
    let size = 0;
    let peak = 0;
    const base = process.memoryUsage().rss;
    for await (const piece of source.pipeThrough(qel.encodeStream()).pipeThrough(qel.decodeStream())) {
        got.update(piece);
        size += piece.length;
        if ((size & 0xffffff) < piece.length) peak = Math.max(peak, process.memoryUsage().rss - base);
    }
    // The lines end in LF and hold no tilde, so decoding gives the text back.
    assert.equal(size, mib * block.length);
    assert.equal(got.digest("hex"), expected.digest("hex"));
    assert.ok(peak < 96 << 20, `memory grew by ${peak >> 20} MiB for ${mib} MiB of input`);
});

test("byte-identical to the native library on the benchmark's real text", { skip: !process.env.QEL_CORPUS_DIR && "QEL_CORPUS_DIR not set" }, () => {
    const dir = process.env.QEL_CORPUS_DIR;
    for (const name of ["text", "short", "long", "overlong"]) {
        const src = join(dir, `${name}.txt`);
        if (!existsSync(src)) continue;
        const records = qel.encode(readFileSync(src));
        assert.ok(Buffer.from(records).equals(readFileSync(join(dir, `${name}.qel`))), `${name}.txt`);
    }
});
