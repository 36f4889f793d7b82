#!/usr/bin/env bash
# The JavaScript package as a user gets it: builds the WebAssembly module
# with Debian's emscripten, packs the package (npm pack), installs the
# tarball into an empty folder offline and runs the package's tests against
# that copy, the reference vectors and the native library's records of the
# benchmark's real text included, and type-checks a TypeScript use of it;
# then the page in headless chromium, driven by playwright-core.
#
#   scripts/check-js.sh [BUILD_DIR]     (default: build-check-js)
#
# Needs emscripten, nodejs, npm, chromium, node-typescript (tsc), cmake
# (scripts/check.sh installs them) and the npm registry for playwright-core, the browser test's driver.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
top=$(mkdir -p "${1:-$repo/build-check-js}" && cd "${1:-$repo/build-check-js}" && pwd)
corpus_mib=${QEL_JS_CORPUS_MIB:-16}

. "$repo/scripts/lib.sh"

export NODE_PATH=/usr/share/nodejs
rm -rf "$top/wasm" "$top/pack" "$top/app"
mkdir -p "$top/pack" "$top/app"

step "WebAssembly module (emcc, portable kernel)"
cmake -S "$repo/bindings/js" -B "$top/wasm" --toolchain "$repo/cmake/toolchains/wasm32-emscripten.cmake" >/dev/null
cmake --build "$top/wasm"
wasm=$repo/bindings/js/dist/qelcode.wasm
node -e '
const m = new WebAssembly.Module(require("fs").readFileSync(process.argv[1]));
const imports = WebAssembly.Module.imports(m);
if (imports.length) { console.error("the module imports", imports); process.exit(1); }' "$wasm"
echo "qelcode.wasm: $(stat -c %s "$wasm") bytes, no imports"

step "native records of the benchmark's real text ($corpus_mib MiB a file)"
cmake -S "$repo" -B "$top/native" -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_BENCH=ON -DQEL_KERNEL=portable \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$top/native" -j2 --target qelcorpus qelbench >/dev/null
corpus=$(QEL_BENCH_MIB=$corpus_mib bash "$repo/bench/make_corpus.sh" "$top/native/bench" "$top/corpus" | tail -n 1)

step "npm pack, and npm install of the tarball into an empty folder, offline"
(cd "$repo/bindings/js" && npm pack --silent --pack-destination "$top/pack" >/dev/null)
tarball=$(ls "$top/pack"/qelcode-*.tgz)
tar -tzf "$tarball" | grep -qx 'package/dist/qelcode.wasm' || die "qelcode.wasm is not in $tarball"
(cd "$top/app" && npm install --offline --no-audit --no-fund "$tarball" >/dev/null)
(cd "$top/app" && node --input-type=module -e '
import { encode, decode, version } from "qelcode";
const text = new TextEncoder().encode("Hello\n");
if (new TextDecoder().decode(decode(encode(text))) !== "Hello\n" || version !== "1.2.0") process.exit(1);
console.log(`import "qelcode" ${version} from the installed tarball: works`);')

step "node --test against the installed package"
cp -r "$repo/bindings/js/test" "$top/app/test"
(cd "$top/app" && QEL_REPO=$repo QEL_CORPUS_DIR=$corpus node --test test/)

step "the TypeScript declarations (tsc --noEmit --strict) against the installed package"
cp "$repo/bindings/js/test-types/typed-use.mts" "$top/app/"
(cd "$top/app" && tsc --noEmit --strict --target es2022 --module nodenext --moduleResolution nodenext \
     --lib es2022,dom typed-use.mts)
echo "typed-use.mts: types check"

step "the page in headless chromium (playwright-core)"
(cd "$repo/bindings/js/test-browser" && npm ci --no-audit --no-fund >/dev/null)
QEL_PAGE_ROOT=$top/app/node_modules/qelcode QEL_SCREENSHOT=$top/page.png \
    node --test "$repo/bindings/js/test-browser/page.test.js"
echo "screenshot: $top/page.png"
