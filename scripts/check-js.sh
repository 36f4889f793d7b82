#!/usr/bin/env bash
# The JavaScript package as a user gets it: builds the WebAssembly module
# with Debian's emscripten (into the build folder: nothing is written into
# the source tree), puts the package together and packs it (npm pack),
# installs the tarball into an empty folder offline and runs the package's
# tests against that copy, the reference vectors and the native library's
# records of the benchmark's real text included; type-checks a TypeScript
# use of it with Debian's tsc and a current one; bundles it with esbuild for
# the browser and for Node.js; then the page and the bundle in headless
# chromium, driven by playwright-core.
#
#   scripts/check-js.sh [BUILD_DIR]     (default: build-check-js)
#
# Needs emscripten, nodejs, npm, chromium, node-typescript (tsc), cmake
# (scripts/check.sh installs them) and the npm registry for playwright-core,
# esbuild and typescript (test-browser/ and test-types/ pin them).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
top=$(mkdir -p "${1:-$repo/build-check-js}" && cd "${1:-$repo/build-check-js}" && pwd)
corpus_mib=${QEL_JS_CORPUS_MIB:-16}
js=$repo/bindings/js

. "$repo/scripts/lib.sh"

export NODE_PATH=/usr/share/nodejs
rm -rf "$top/wasm" "$top/stage" "$top/pack" "$top/app" "$top/tools" "$top/bundle"
mkdir -p "$top/pack" "$top/app" "$top/tools" "$top/bundle"

step "WebAssembly module (emcc, portable kernel), built outside the source tree"
stamp=$top/build-started
touch "$stamp"
cmake -S "$js" -B "$top/wasm" --toolchain "$repo/cmake/toolchains/wasm32-emscripten.cmake" >/dev/null
cmake --build "$top/wasm"
# Files the build wrote into the source tree (the tree's own files, which
# someone may be editing meanwhile, left aside).
written=$(cd "$repo" && find bindings src include cmake -type f -newer "$stamp" -print |
          grep -vxF -f <(git -C "$repo" ls-files bindings src include cmake) || true)
[ -z "$written" ] || die "building the module wrote into the source tree: $written"
wasm=$top/wasm/dist/qelcode.wasm
node -e '
const m = new WebAssembly.Module(require("fs").readFileSync(process.argv[1]));
const imports = WebAssembly.Module.imports(m);
if (imports.length) { console.error("the module imports", imports); process.exit(1); }' "$wasm"
size=$(stat -c %s "$wasm")
echo "qelcode.wasm: $size bytes, no imports"
# The JavaScript guide gives the module's size in KiB, rounded.
figure=$(sed -n 's/.*`qelcode.wasm` (\([0-9.]*\) KiB.*/\1/p' "$repo/docs/javascript.md")
[ "$figure" = "$(( (size + 512) / 1024 ))" ] ||
    die "docs/javascript.md says qelcode.wasm is ${figure:-?} KiB; it is $(( (size + 512) / 1024 )) KiB ($size bytes)"

step "native records of the benchmark's real text ($corpus_mib MiB a file)"
cmake -S "$repo" -B "$top/native" -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_BENCH=ON -DQEL_KERNEL=portable \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$top/native" -j2 --target qelcorpus qelbench >/dev/null
corpus=$(QEL_BENCH_MIB=$corpus_mib bash "$repo/bench/make_corpus.sh" "$top/native/bench" "$top/corpus" | tail -n 1)

step "the package put together, npm pack, and npm install of the tarball into an empty folder, offline"
mkdir -p "$top/stage/dist"
cp -r "$js/package.json" "$js/README.md" "$js/src" "$js/web" "$top/stage/"
cp "$wasm" "$top/stage/dist/"
(cd "$top/stage" && npm pack --silent --pack-destination "$top/pack" >/dev/null)
tarball=$(ls "$top/pack"/qelcode-*.tgz)
tar -tzf "$tarball" | grep -qx 'package/dist/qelcode.wasm' || die "qelcode.wasm is not in $tarball"
(cd "$top/app" && npm install --offline --no-audit --no-fund "$tarball" >/dev/null)
(cd "$top/app" && node --input-type=module -e '
import { encode, decode, version } from "qelcode";
const text = new TextEncoder().encode("Hello\n");
if (new TextDecoder().decode(decode(encode(text))) !== "Hello\n" || version !== "1.2.0") process.exit(1);
console.log(`import "qelcode" ${version} from the installed tarball: works`);')
# The README's example as it stands, against the installed package.
sed -n '/^<!-- js-example -->$/,/^```$/p' "$repo/README.md" | sed '1,2d;$d' >"$top/app/readme-example.mjs"
readme_out=$(cd "$top/app" && node readme-example.mjs)
[ "$readme_out" = "$(printf 'Hello\nworld\n\nSource encoded 5 2')" ] ||
    die "the README's JavaScript example printed: $readme_out"
echo "the README's JavaScript example runs as written"
# From CommonJS, as the README shows it: the package is ES modules only.
(cd "$top/app" && node -e '
import("qelcode").then(({ encode, version }) => {
    if (encode(new Uint8Array([65, 10])).length !== 5) process.exit(1);
    console.log(`await import("qelcode") from CommonJS: ${version}`);
});')

step "node --test against the installed package"
cp -r "$repo/bindings/js/test" "$top/app/test"
(cd "$top/app" && QEL_REPO=$repo QEL_CORPUS_DIR=$corpus node --test test/)

step "the TypeScript declarations (tsc --noEmit --strict) against the installed package: Debian's, and a current one"
cp "$js/test-types/package.json" "$js/test-types/package-lock.json" "$top/tools/"
(cd "$top/tools" && npm ci --no-audit --no-fund >/dev/null)
cp "$js/test-types/"*.mts "$top/app/"
tsc_flags=(--noEmit --strict --target es2022 --module nodenext --moduleResolution nodenext --lib es2022,dom)
(cd "$top/app" && tsc "${tsc_flags[@]}" typed-use.mts)
echo "typed-use.mts: types check with tsc $(tsc --version)"
current=$top/tools/node_modules/.bin/tsc
(cd "$top/app" && "$current" "${tsc_flags[@]}" typed-use.mts typed-use-current.mts)
# A bundler's resolution, which takes the browser's declarations.
(cd "$top/app" && "$current" --noEmit --strict --target es2022 --module preserve --moduleResolution bundler \
     --lib es2022,dom typed-use-current.mts typed-use-browser.mts)
echo "typed-use.mts, typed-use-current.mts, typed-use-browser.mts: types check with tsc $("$current" --version)"

step "esbuild bundles of the package: for the browser (iife, the .wasm as a file) and for Node.js (cjs, the .wasm inlined)"
cp "$js/test-browser/package.json" "$js/test-browser/package-lock.json" "$top/bundle/"
(cd "$top/bundle" && npm ci --no-audit --no-fund --loglevel=error >/dev/null && npm install --offline --loglevel=error --no-audit --no-fund "$tarball" >/dev/null)
cp "$js/test-browser/bundle/"*.js "$top/bundle/"
mkdir -p "$top/bundle/web" && cp "$js/test-browser/bundle/index.html" "$top/bundle/web/"
esbuild=$top/bundle/node_modules/.bin/esbuild
(cd "$top/bundle" && "$esbuild" app.js --bundle --platform=browser --format=iife --loader:.wasm=file \
     --outdir=web --log-level=warning)
ls "$top/bundle/web"/*.wasm >/dev/null || die "the browser bundle has no .wasm beside it"
(cd "$top/bundle" && "$esbuild" node-app.js --bundle --platform=node --target=node18 --format=cjs --loader:.wasm=binary \
     --outfile=node-app.cjs --log-level=warning)
(cd /tmp && node "$top/bundle/node-app.cjs")

step "the page and the browser bundle in headless chromium (playwright-core)"
cp "$js/test-browser/page.test.js" "$top/bundle/"
QEL_PAGE_ROOT=$top/app/node_modules/qelcode QEL_BUNDLE_ROOT=$top/bundle/web QEL_SCREENSHOT=$top/page.png \
    node --test "$top/bundle/page.test.js"
echo "screenshot: $top/page.png"
