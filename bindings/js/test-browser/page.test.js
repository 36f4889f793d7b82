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
const types = { ".html": "text/html", ".js": "text/javascript", ".wasm": "application/wasm" };
const screenshot = process.env.QEL_SCREENSHOT ?? join(tmpdir(), "qelcode-page.png");
let server, browser, profile, base;

before(async () => {
    // The package folder as static files, on the loopback interface only.
    server = createServer(async (req, res) => {
        const path = normalize(join(root, decodeURIComponent(new URL(req.url, "http://x").pathname)));
        if (!path.startsWith(root)) return res.writeHead(403).end();
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
    assert.match(await page.textContent("#status"), /qelcode 1\.1\.0 ready/);

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
