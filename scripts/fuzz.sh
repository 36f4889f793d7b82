#!/bin/sh
# Builds the libFuzzer targets (fuzz/) in a build directory of their own and
# runs each for a bounded time, starting from the seed corpus in
# fuzz/corpus/<target>/. Fails when any target finds a crash, a sanitizer
# report, a failed check, a time-out or a leak.
set -eu

usage() {
    cat <<'USAGE'
usage: scripts/fuzz.sh [-h] [TARGET...]

Builds the fuzz targets with clang (ASan + UBSan + libFuzzer) and runs
each TARGET (default: all) for FUZZ_SECONDS seconds.

Environment:
  FUZZ_SECONDS    time per target in seconds (default 60)
  FUZZ_BUILD_DIR  build directory (default build-fuzz in the source tree)
  CC, CXX         clang compilers (default clang-14 and clang++-14 when
                  present, else clang and clang++)

Longer runs: raise FUZZ_SECONDS, e.g.
  FUZZ_SECONDS=3600 scripts/fuzz.sh fuzz_roundtrip
or run a built target by hand with libFuzzer's own options, several
processes at once, until stopped:
  build-fuzz/fuzz/fuzz_stream -jobs=4 -workers=4 -max_len=4096 \
      build-fuzz/corpus/fuzz_stream fuzz/corpus/fuzz_stream
New inputs collect in build-fuzz/corpus/<target>/ (seed the repository's
corpus from it with -merge=1 when they add coverage); findings are written
to build-fuzz/findings/ and can be replayed with
  build-fuzz/fuzz/<target> <finding file>
USAGE
}

case ${1:-} in -h|--help) usage; exit 0 ;; esac

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
all="fuzz_record_encode fuzz_record_decode fuzz_stream fuzz_roundtrip fuzz_kernels fuzz_buffer fuzz_converter"
targets=${*:-$all}

case $seconds in ''|*[!0-9]*) echo "FUZZ_SECONDS must be a number of seconds" >&2; exit 2 ;; esac
for t in $targets; do
    case " $all " in *" $t "*) ;; *) echo "unknown target '$t'" >&2; usage >&2; exit 2 ;; esac
done

if [ -z "${CC:-}" ] || [ -z "${CXX:-}" ]; then
    if command -v clang++-14 >/dev/null; then CC=clang-14 CXX=clang++-14; else CC=clang CXX=clang++; fi
fi
export CC CXX

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_BUILD_FUZZ=ON -DQEL_SANITIZE=ON \
    -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_TOOL=OFF -DQEL_WERROR=ON >/dev/null
# shellcheck disable=SC2086  # one word per target
cmake --build "$build" -j2 --target $targets

mkdir -p "$build/findings"
failed=""
for t in $targets; do
    mkdir -p "$build/corpus/$t"
    echo "=== $t: $seconds s"
    # libFuzzer stops itself after max_total_time; the outer time-out only
    # guards against a hang outside its control.
    if timeout --kill-after=10 $((seconds + 120)) "$build/fuzz/$t" \
        -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/findings/$t-" \
        "$build/corpus/$t" "$root/fuzz/corpus/$t" >"$build/$t.log" 2>&1; then
        grep -E '^(Done|stat::number_of_executed_units)' "$build/$t.log" | head -1
    else
        echo "!!! $t failed; log: $build/$t.log" >&2
        grep -E 'check failed|round trip|ERROR:|SUMMARY:|runtime error|Test unit written' "$build/$t.log" | head -10 >&2 || true
        failed="$failed $t"
    fi
done

if [ -n "$failed" ]; then
    echo "fuzzing found problems in:$failed" >&2
    exit 1
fi
echo "fuzzing: no findings in$(printf ' %s' $targets)"
