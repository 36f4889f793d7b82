// The page in a real browser (Debian's chromium, headless): it encodes a
// pasted text, decodes the records back, and shows a refusal with its line.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { createServer } from "node:http";
import { readFile, mkdtemp, rm } from "node:fs/promises";
import { existsSync, readFileSync } from "node:fs";
import { inflateSync } from "node:zlib";
import { tmpdir } from "node:os";
import { join, normalize } from "node:path";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";

// The package's folder: QEL_PAGE_ROOT (an installed copy), else the source.
const root = normalize((process.env.QEL_PAGE_ROOT ?? fileURLToPath(new URL("../", import.meta.url))) + "/");
// The folder of the browser bundle and the page that loads it, served at /bundle/.
const bundleRoot = process.env.QEL_BUNDLE_ROOT && normalize(process.env.QEL_BUNDLE_ROOT + "/");
const { version } = JSON.parse(readFileSync(join(root, "package.json"), "utf8"));
const types = { ".html": "text/html", ".js": "text/javascript", ".wasm": "application/wasm" };
const screenshot = process.env.QEL_SCREENSHOT ?? join(tmpdir(), "qelcode-page.png");
let server, browser, profile, base;

before(async () => {
    // The package folder as static files, on the loopback interface only.
    server = createServer(async (req, res) => {
        const url = decodeURIComponent(new URL(req.url, "http://x").pathname);
        const [top, name] = bundleRoot && url.startsWith("/bundle/") ? [bundleRoot, url.slice(8)] : [root, url];
        const path = normalize(join(top, name));
        if (!path.startsWith(top)) return res.writeHead(403).end();
        try {
            const body = await readFile(path);
            res.writeHead(200, { "content-type": types[path.slice(path.lastIndexOf("."))] ?? "application/octet-stream" }).end(body);
        } catch {
            res.writeHead(404).end();
        }
    });
    await new Promise((ok) => server.listen(0, "127.0.0.1", ok));
    base = `http://127.0.0.1:${server.address().port}`;
    profile = await mkdtemp(join(tmpdir(), "qelcode-chromium-"));
    // A fresh profile each run (playwright passes it as --user-data-dir).
    browser = await chromium.launchPersistentContext(profile, {
        executablePath: process.env.QEL_CHROMIUM ?? "/usr/bin/chromium",
        headless: true,
        args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
               "--disable-background-networking", "--disable-component-update", "--disable-sync"],
        viewport: { width: 1000, height: 800 },
    });
});

after(async () => {
    await browser?.close();
    server?.close();
    if (profile) await rm(profile, { recursive: true, force: true });
});

// Whether a PNG shows more than one flat colour: its pixel rows inflated,
// and the bytes among them counted.
function pngHasContent(png) {
    assert.deepEqual([...png.subarray(0, 8)], [137, 80, 78, 71, 13, 10, 26, 10]);
    const idat = [];
    for (let at = 8; at < png.length;) {
        const len = png.readUInt32BE(at);
        const type = png.toString("latin1", at + 4, at + 8);
        if (type === "IDAT") idat.push(png.subarray(at + 8, at + 8 + len));
        at += 12 + len;
    }
    const pixels = inflateSync(Buffer.concat(idat));
    return new Set(pixels).size;
}

test("the page encodes pasted text, decodes it back and shows a refusal", async () => {
    const page = await browser.newPage();
    const failures = [];
    page.on("pageerror", (e) => failures.push(e));
    await page.goto(`${base}/web/index.html`);
    await page.waitForSelector("body[data-ready]");
    assert.equal(await page.textContent("#status"), `qelcode ${version} ready.`);

    const text = "Hello\nabc\nA\n";
    await page.fill("#input", text);
    await page.click("#encode");
    // Worked out by hand: the records of these lines at shift 5.
    assert.equal(await page.inputValue("#output"), "%z5PIzv[\n#|51ru\n!~5(\n");
    assert.match(await page.textContent("#status"), /^Encoded/);

    await page.fill("#input", await page.inputValue("#output"));
    await page.click("#decode");
    assert.equal(await page.inputValue("#output"), text);

    await page.fill("#input", "!~5(\nthis is not a record\n");
    await page.click("#decode");
    const status = await page.textContent("#status");
    assert.match(status, /Refused: Source not encoded \(code 10\) on line 2, at byte 5/);
    assert.equal(await page.inputValue("#output"), "A\n");

    await page.screenshot({ path: screenshot, fullPage: true });
    assert.ok(existsSync(screenshot));
    assert.ok(pngHasContent(readFileSync(screenshot)) > 8, "the screenshot is blank");
    assert.deepEqual(failures, []);
    await page.close();
});

// The bytes the page offers as its result's file.
const saved = (page) => page.evaluate(async () => [...new Uint8Array(await (await fetch(document.getElementById("save").href)).arrayBuffer())]);
const codes = (s) => Array.from(s, (c) => c.charCodeAt(0));

test("a dropped file's lone CRs survive encoding, the records box and decoding", async () => {
    const page = await browser.newPage();
    const failures = [];
    page.on("pageerror", (e) => failures.push(e));
    await page.goto(`${base}/web/index.html`);
    await page.waitForSelector("body[data-ready]");
    // [file, its records], the records from the reference lines
    const cases = [
        ["A\r", "\"}5(\r\n"],
        ["abc\nA\r", "#|51ru\n\"}5(\r\n"],
    ];
    for (const [file, records] of cases) {
        const drop = await page.evaluateHandle((bytes) => {
            const dt = new DataTransfer();
            dt.items.add(new File([new Uint8Array(bytes)], "in.txt"));
            return dt;
        }, codes(file));
        await page.dispatchEvent("#drop", "drop", { dataTransfer: drop });
        await page.waitForFunction(() => document.getElementById("input").value.length > 0);
        await page.click("#encode");
        assert.match(await page.textContent("#status"), /^Encoded/);
        assert.deepEqual(await saved(page), codes(records), JSON.stringify(file));
        // The records as shown, pasted back, decode to the text.
        await page.fill("#input", await page.inputValue("#output"));
        await page.click("#decode");
        assert.match(await page.textContent("#status"), /^Decoded/, JSON.stringify(file));
        assert.deepEqual(await saved(page), codes(file.endsWith("\r") ? file + "\n" : file), JSON.stringify(file));
        await page.fill("#input", "");
    }
    assert.deepEqual(failures, []);
    await page.close();
});

test("characters that are no byte are refused in the records box, not masked", async () => {
    const page = await browser.newPage();
    await page.goto(`${base}/web/index.html`);
    await page.waitForSelector("body[data-ready]");
    // U+20AC masked to a byte would be 0xAC; U+0121 would be '!'.
    for (const [records, at] of [["!~5(\n\u20ac", "character 6 \\(U\\+20AC\\)"], ["\u0121~5(\n", "character 1 \\(U\\+0121\\)"]]) {
        await page.fill("#input", records);
        await page.click("#decode");
        assert.match(await page.textContent("#status"), new RegExp(`^Refused: ${at} is not a byte`));
        assert.equal(await page.inputValue("#output"), "");
    }
    await page.close();
});

test("the package bundled by esbuild for the browser loads its .wasm through init() and converts", { skip: !bundleRoot && "QEL_BUNDLE_ROOT not set" }, async () => {
    const page = await browser.newPage();
    const failures = [];
    page.on("pageerror", (e) => failures.push(e));
    await page.goto(`${base}/bundle/index.html`);
    await page.waitForSelector("body[data-done]", { state: "attached" });
    assert.equal(await page.getAttribute("body", "data-error"), null);
    assert.equal(await page.getAttribute("body", "data-version"), version);
    // Worked out by hand, as in the page's test.
    assert.equal(await page.getAttribute("body", "data-records"), "%z5PIzv[\n#|51ru\n!~5(\n");
    assert.equal(await page.getAttribute("body", "data-text"), "Hello\nabc\nA\n");
    assert.equal(await page.getAttribute("body", "data-refused"), "10 2 5");
    assert.deepEqual(failures, []);
    await page.close();
});
