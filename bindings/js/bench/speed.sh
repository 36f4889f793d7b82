#!/usr/bin/env bash
# encode() in Node against the native library's portable kernel in memory
# (qelbench encode-buffer), on the same real text, in the same run.
#   bindings/js/bench/speed.sh [BUILD_DIR]   (default: build-js-bench; QEL_BENCH_MIB, default 100)
# Needs emscripten (the WebAssembly module is built into BUILD_DIR/wasm).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../../.." && pwd)
top=$(mkdir -p "${1:-$repo/build-js-bench}" && cd "${1:-$repo/build-js-bench}" && pwd)
mib=${QEL_BENCH_MIB:-100}
cmake -S "$repo" -B "$top/native" -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_BENCH=ON -DQEL_KERNEL=portable \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$top/native" -j2 --target qelcorpus qelbench >/dev/null
corpus=$(QEL_BENCH_MIB=$mib bash "$repo/bench/make_corpus.sh" "$top/native/bench" "$top/corpus" | tail -n 1)
cmake -S "$repo/bindings/js" -B "$top/wasm" --toolchain "$repo/cmake/toolchains/wasm32-emscripten.cmake" >/dev/null
NODE_PATH=${NODE_PATH:-/usr/share/nodejs} cmake --build "$top/wasm" >/dev/null
native=$("$top/native/bench/qelbench" -n 3 encode-buffer "$corpus/text.txt")
js=$(node "$here/speed.mjs" "$top/wasm/dist/qelcode.wasm" "$corpus/text.txt" 3)
echo "native portable: $native"
echo "node (wasm):     $js"
n=$(sed -E 's/.*best_s=([0-9.]+).*/\1/' <<<"$native")
j=$(sed -E 's/.*mode=js-encode bytes=[0-9]+ best_s=([0-9.]+).*/\1/' <<<"$js")
f=$(sed -E 's/.*feed_best_s=([0-9.]+).*/\1/' <<<"$js")
awk -v n="$n" -v j="$j" -v f="$f" 'BEGIN {
    printf "node encode() (whole output in memory) / native portable in-memory encode: %.2f x\n", j / n
    printf "node Encoder.feed (output dropped, as native) / native portable in-memory encode: %.2f x\n", f / n }'
