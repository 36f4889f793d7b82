#!/usr/bin/env bash
# Throughput benchmark: builds the library and the bench programs (Release,
# a build folder of their own, no tests), makes or reuses the corpus, runs
# the measurements in rounds, appending one tab-separated row per measurement
# to the rows file, and has bench/report.py turn the rows into Markdown
# tables and the chart.
#
#   bench/run.sh
#
# Environment:
#   QEL_BENCH_MIB      size of each corpus file in MiB (default 256)
#   QEL_BENCH_CACHE    where the corpus is kept
#                      (default ${XDG_CACHE_HOME:-$HOME/.cache}/qelcode-bench)
#   QEL_BENCH_BUILD    build folder (default build-bench in the source tree)
#   QEL_BENCH_REPEATS  runs per measurement, the best one counts (default 3)
#   QEL_BENCH_MEM_ROUNDS  timed calls of each in-memory run, after one left
#                      out (default 5); every round times memcpy of the same
#                      bytes too, so that each in-memory row is a ratio to
#                      memcpy within one process
#   QEL_BENCH_SHAPES   which tables (default "text short long overlong")
#   QEL_BENCH_BUFFERS  stdio buffer sizes the library calls get, 0 for stdio's
#                      own (one file-system block) (default "0 65536")
#   QEL_BENCH_KERNELS  kernels to build and measure, each in a library of its
#                      own (default: those of portable avx2 avx512vbmi that
#                      this processor runs)
#   QEL_BENCH_CHART    where the chart of the summary goes (default
#                      bench/speed.svg in the source tree; empty for none);
#                      drawn with gnuplot (Debian: gnuplot-nox) when it is
#                      installed
#   QEL_BENCH_ROWS     the rows file (default bench/rows.tsv in the source
#                      tree); its columns are described in bench/report.py
# Progress goes to standard error; standard output gets report.py's Markdown:
# the summary table (every kernel and shape, each way of calling), then one
# detailed table per shape.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
build=${QEL_BENCH_BUILD:-$root/build-bench}
repeats=${QEL_BENCH_REPEATS:-3}
mem_rounds=${QEL_BENCH_MEM_ROUNDS:-5}
shapes=" ${QEL_BENCH_SHAPES:-text short long overlong} "
buffers=${QEL_BENCH_BUFFERS:-0 65536}
chart=${QEL_BENCH_CHART-$here/speed.svg}
rows=${QEL_BENCH_ROWS:-$here/rows.tsv}
export LC_ALL=C

# The kernels this processor runs, from the flags the kernel table asks for.
cpu_has() { grep -qw "$1" /proc/cpuinfo 2>/dev/null; }
if [[ -z ${QEL_BENCH_KERNELS:-} ]]; then
    kernels=portable
    if cpu_has avx2 && cpu_has bmi1; then kernels+=" avx2"; fi
    if cpu_has avx512vbmi && cpu_has avx512_vbmi2 && cpu_has avx512bw && cpu_has bmi2; then kernels+=" avx512vbmi"; fi
else
    kernels=$QEL_BENCH_KERNELS
fi

say() { echo "run.sh: $*" >&2; }

# --- build -------------------------------------------------------------------
say "building in $build"
mkdir -p "$build"
if ! { cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_BENCH=ON &&
       cmake --build "$build" -j2; } > "$build/bench-build.log" 2>&1; then
    cat "$build/bench-build.log" >&2
    say "build failed"
    exit 1
fi
# One library per kernel, chosen at build time (QEL_KERNEL), so that each
# row measures that kernel and no other.
for k in $kernels; do
    say "building the $k kernel in $build-$k"
    mkdir -p "$build-$k"
    if ! { cmake -S "$root" -B "$build-$k" -DCMAKE_BUILD_TYPE=Release -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_TOOL=OFF \
               -DQEL_BUILD_BENCH=ON -DQEL_KERNEL="$k" &&
           cmake --build "$build-$k" -j2 --target qelbench; } > "$build-$k/bench-build.log" 2>&1; then
        cat "$build-$k/bench-build.log" >&2
        say "build of the $k kernel failed"
        exit 1
    fi
done
tools=$build/bench
tool=$build/cli/qelcode
[[ -x $tool ]] || tool=$(find "$build" -maxdepth 3 -type f -name qelcode -perm -u+x -print -quit)

# --- corpus ------------------------------------------------------------------
corpus=$("$here/make_corpus.sh" "$tools" | tail -n 1)

# --- measuring ---------------------------------------------------------------
# The rows file, tab-separated, two kinds of line:
#   info SCOPE NAME VALUE   a fact about the run ("-") or about one shape
#   row SHAPE KEY ROUND mode bytes best_s mb_per_s cpu_s max_rss_kib runs memcpy_s per_memcpy NOTE
# where the nine columns from mode on are what `qelbench -t` and `qelrun -t`
# print, and NOTE is empty or says why the row has no figures.
: > "$rows"
info() { printf 'info\t%s\t%s\t%s\n' "$1" "$2" "$3" >> "$rows"; }
# put_row KEY NINE_COLUMNS NOTE
put_row() { printf 'row\t%s\t%s\t%s\t%s\t%s\n' "$shape" "$1" "$round" "$2" "$3" >> "$rows"; }
no_figures=$'\t\t\t\t\t\t\t\t'

# run_once lib KERNEL BUFFER MODE INPUT | mem KERNEL MODE INPUT [-w] | cmd INPUT COMMAND...
run_once() {
    local kind=$1; shift
    if [[ $kind == lib ]]; then
        "$build-$1/bench/qelbench" -t -n 1 -b "$2" "$3" "$4"
    elif [[ $kind == mem ]]; then
        # calls in one process, the first left out, memcpy of the same bytes
        # timed beside them
        "$build-$1/bench/qelbench" -t -n "$mem_rounds" ${4:+"$4"} "$2" "$3"
    else
        local input=$1; shift
        "$tools/qelrun" -t -n 1 -i "$input" -o /dev/null -- "$@"
    fi
}

# measure KEY HOW...: runs HOW (as run_once takes it) once and appends its
# row; a key that failed once is not run again, its row says why.
failed=" "
measure() {
    local key=$1 out err; shift
    [[ $failed != *" $key "* ]] || return 0
    err=$build/measure.err
    if out=$(run_once "$@" 2> "$err"); then
        put_row "$key" "$out" ""
    else
        failed+="$key "
        out="$(cat "$err") $out"
        out=${out//$'\n'/ }
        out=${out# }
        put_row "$key" "$no_figures" "failed: ${out% }"
    fi
}

# The matrix of one shape: every row in the order it runs, once a round.
plan() {
    local b k
    measure tr_text cmd "$plain" tr "${trmap[@]}"
    measure tr_enc cmd "$enc" tr "${trmap[@]}"
    if [[ -n $tool ]]; then
        measure tool_enc cmd "$plain" "$tool"
        measure tool_dec cmd "$enc" "$tool" -d
    fi
    for b in $buffers; do
        measure "copy_$b" lib "${kernels%% *}" "$b" copy "$plain"
        for k in $kernels; do
            measure "enc_${k}_$b" lib "$k" "$b" encode "$plain"
            measure "dec_${k}_$b" lib "$k" "$b" decode "$enc"
        done
    done
    measure mem_copy mem "${kernels%% *}" memcpy "$plain"
    for k in $kernels; do
        measure "benc_$k" mem "$k" encode-buffer "$plain"
        measure "bdec_$k" mem "$k" decode-buffer "$enc"
    done
    if [[ $shape == text ]]; then
        for k in $kernels; do
            measure "wenc_$k" mem "$k" encode-buffer "$plain" -w
            measure "wdec_$k" mem "$k" decode-buffer "$enc" -w
        done
    fi
    measure base64 cmd "$plain" base64
    measure cat cmd "$plain" cat
    measure ref cmd "$plain" "$tools/ref_fgets_fprintf"
}

# --- the run -------------------------------------------------------------------
commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
# Changes to the files this run writes itself (the published rows and chart)
# don't count.
if [[ -n $(git -C "$root" status --porcelain --untracked-files=no -- . \
        ':(exclude,top)bench/rows.tsv' ':(exclude,top)bench/speed.svg' 2>/dev/null) ]]; then
    commit="$commit (with uncommitted changes)"
fi
cc_path=$(sed -n 's/^CMAKE_C_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
command=bench/run.sh
for var in QEL_BENCH_SOURCES QEL_BENCH_SHAPES QEL_BENCH_REPEATS QEL_BENCH_MEM_ROUNDS QEL_BENCH_MIB QEL_BENCH_BUFFERS QEL_BENCH_KERNELS; do
    if [[ -n ${!var:-} ]]; then command="$var=$(printf '%q' "${!var}") $command"; fi
done
shape=- round=0
info - date "$(date -u '+%Y-%m-%d %H:%M UTC')"
info - cpu "$(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')"
info - cores "$(nproc)"
info - memory_kib "$(sed -n 's/^MemTotal: *\([0-9]*\).*/\1/p' /proc/meminfo)"
info - system "$(uname -sr)"
info - load_start "$(cut -d' ' -f1-3 /proc/loadavg)"
info - compiler "$("${cc_path:-cc}" --version | head -n 1); $(ldd --version 2>&1 | head -n 1); $(tr --version | head -n 1)"
info - commit "$commit"
info - command "$command"
info - repeats "$repeats"
info - mem_rounds "$mem_rounds"
info - kernels "$kernels"
info - buffers "$buffers"
info - block "$(stat -f -c %S "$root")"
info - tool "$([[ -n $tool ]] && echo built || echo none)"

trmap=("!-~" "P-~!-O")
for shape in text short long overlong; do
    [[ $shapes == *" $shape "* ]] || continue
    plain=$corpus/$shape.txt
    enc=$corpus/$shape.qel
    say "measuring $shape"
    cat "$plain" "$enc" > /dev/null  # into the page cache

    # The library's records must be those of the plain reference encoder.
    if "$tools/ref_fgets_fprintf" < "$plain" | cmp -s - "$enc"; then check=same; else check=differs; fi
    info "$shape" text_bytes "$(stat -c %s "$plain")"
    info "$shape" text_lines "$(wc -l < "$plain")"
    info "$shape" records_bytes "$(stat -c %s "$enc")"
    info "$shape" records_lines "$(wc -l < "$enc")"
    info "$shape" check "$check"

    failed=" " round=0
    if [[ -z $tool ]]; then
        put_row tool_enc "$no_figures" "not built"
        put_row tool_dec "$no_figures" "not built"
    fi
    # Every row once a round, $repeats rounds, so that every command sees
    # the same spread of machine load; the report keeps the best round.
    for ((round = 1; round <= repeats; ++round)); do plan; done
done

# Memory stays flat: QEL_Encode's peak on 1 MiB of the text and on all of it.
shape=text round=1
small=$corpus/text-1mib.txt
[[ -s $small ]] || { "$tools/qelcorpus" cycle "$corpus/text.txt" 1048576 > "$small.tmp" && mv "$small.tmp" "$small"; }
put_row rss_1mib "$("$tools/qelbench" -t -n 1 encode "$small")" ""
put_row rss_all "$("$tools/qelbench" -t -n 1 encode "$corpus/text.txt")" ""
shape=-
info - load_end "$(cut -d' ' -f1-3 /proc/loadavg)"
say "rows written to $rows"

# --- the report ----------------------------------------------------------------
python3 "$here/report.py" ${chart:+--chart "$chart"} "$rows"
