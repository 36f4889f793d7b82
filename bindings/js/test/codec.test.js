// The package against the reference vectors, and its split, refusal and
// stream behaviour against the whole call.
import { test } from "node:test";
import assert from "node:assert/strict";
import { readFileSync, existsSync, writeFileSync, mkdtempSync, linkSync, symlinkSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
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
