#!/usr/bin/env bash
# Checks the shared library's ABI against the committed baseline
# abi/libqelcode.so.1.abi: builds the library with debug information, takes
# its ABI with abidw (the public header only) and compares with abidiff.
#
# Fails when the interface the baseline records changed in any way: a
# function removed, its symbol version or its type changed, a type it uses
# changed. Functions added (under a new version node) are shown and pass;
# --update then records them in the baseline.
#
# usage: scripts/check-abi.sh [--update] [BUILD_DIR]   (default: build-abi)
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
update=false
if [ "${1:-}" = "--update" ]; then update=true; shift; fi
build=${1:-$repo/build-abi}
baseline=$repo/abi/libqelcode.so.1.abi
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_SHARED_LIBS=ON \
    -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_TOOL=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target qelcode >/dev/null
library=$build/src/libqelcode.so.1

# Only what the public header declares; no build paths, so that the
# baseline is the same from any checkout.
current=$build/libqelcode.so.1.abi
abidw --headers-dir "$repo/include" --drop-private-types --drop-undefined-syms \
    --no-corpus-path --no-comp-dir-path --short-locs "$library" >"$current"

if $update; then
    mkdir -p "$(dirname "$baseline")"
    cp "$current" "$baseline"
    echo "baseline written: ${baseline#"$repo"/}"
    exit 0
fi
[ -f "$baseline" ] || { echo "no baseline: run $0 --update" >&2; exit 1; }

# Both sides come from abidw with the same options. (abidiff's own
# --drop-private-types would hide changes to int32_t or FILE, which the
# public header uses but does not define.)
# abidiff's status is a bit set: 1 error, 2 usage, 4 ABI change,
# 8 incompatible change. Without the added functions, any change at all
# breaks what the baseline's users rely on.
diff_args=("$baseline" "$current")
rc=0
abidiff --no-added-syms "${diff_args[@]}" >"$build/abidiff.txt" 2>&1 || rc=$?
if [ "$rc" -ne 0 ]; then
    cat "$build/abidiff.txt" >&2
    if [ $((rc & 3)) -ne 0 ]; then
        echo "abidiff failed (status $rc)" >&2
    else
        echo "FAIL: the ABI of libqelcode.so.1 changed against ${baseline#"$repo"/}" >&2
    fi
    exit 1
fi
rc=0
abidiff "${diff_args[@]}" >"$build/abidiff.txt" 2>&1 || rc=$?
if [ "$rc" -ne 0 ]; then
    cat "$build/abidiff.txt"
    echo "functions added, none changed: compatible; '$0 --update' records them"
else
    echo "ABI of libqelcode.so.1 as in ${baseline#"$repo"/}"
fi
