#!/usr/bin/env bash
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
  FUZZ_JOBS       targets run at once, each for its full time (default:
                  the number of processors)
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

# fuzz_one TARGET: runs one target; its summary line, or what it found,
# goes to $build/TARGET.result, and "ok" or "failed" to $build/TARGET.status.
fuzz_one() {
    local t=$1
    mkdir -p "$build/corpus/$t"
    # libFuzzer stops itself after max_total_time; the outer time-out only
    # guards against a hang outside its control.
    if timeout --kill-after=10 $((seconds + 120)) "$build/fuzz/$t" \
        -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/findings/$t-" \
        "$build/corpus/$t" "$root/fuzz/corpus/$t" >"$build/$t.log" 2>&1; then
        grep -E '^(Done|stat::number_of_executed_units)' "$build/$t.log" | head -1 >"$build/$t.result"
        echo ok >"$build/$t.status"
    else
        {
            echo "!!! $t failed; log: $build/$t.log"
            grep -E 'check failed|round trip|ERROR:|SUMMARY:|runtime error|Test unit written' "$build/$t.log" | head -10 || true
        } >"$build/$t.result"
        echo failed >"$build/$t.status"
    fi
}

# As many targets at once as FUZZ_JOBS says, each for its full time; the
# summaries follow in the targets' order.
jobs=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 1)}
case $jobs in ''|*[!0-9]*|0) echo "FUZZ_JOBS must be a positive number" >&2; exit 2 ;; esac
running=0
for t in $targets; do
    if [ "$running" -ge "$jobs" ]; then wait -n || true; running=$((running - 1)); fi
    echo "=== $t: $seconds s"
    rm -f "$build/$t.status"
    fuzz_one "$t" &
    running=$((running + 1))
done
wait
failed=""
for t in $targets; do
    if [ "$(cat "$build/$t.status" 2>/dev/null)" = ok ]; then
        echo "$t: $(cat "$build/$t.result")"
    else
        cat "$build/$t.result" >&2 2>/dev/null || echo "!!! $t: no result" >&2
        failed="$failed $t"
    fi
done

if [ -n "$failed" ]; then
    echo "fuzzing found problems in:$failed" >&2
    exit 1
fi
echo "fuzzing: no findings in$(printf ' %s' $targets)"
