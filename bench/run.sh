#!/usr/bin/env bash
# Throughput benchmark: builds the library and the bench programs (Release,
# a build folder of their own, no tests), makes or reuses the corpus, and
# prints one Markdown table per shape of text.
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
# Progress goes to standard error; standard output gets the summary table
# (every kernel and shape, each way of calling), then one detailed table per
# shape.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
build=${QEL_BENCH_BUILD:-$root/build-bench}
repeats=${QEL_BENCH_REPEATS:-3}
mem_rounds=${QEL_BENCH_MEM_ROUNDS:-5}
shapes=" ${QEL_BENCH_SHAPES:-text short long overlong} "
buffers=${QEL_BENCH_BUFFERS:-0 65536}
chart=${QEL_BENCH_CHART-$here/speed.svg}
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

# What a buffer size is called in the tables.
buffer_name() {
    if [[ $1 == 0 ]]; then echo "stdio's own buffers ($(stat -f -c %S "$root") bytes here)"; else echo "$1-byte buffers"; fi
}
# Its size, short: "4 KiB", or "N bytes" where it is no whole number of KiB.
buffer_size() {
    local b=$1
    [[ $b == 0 ]] && b=$(stat -f -c %S "$root")
    if (( b % 1024 == 0 )); then echo "$((b / 1024)) KiB"; else echo "$b bytes"; fi
}

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
# Results of the current shape, by row key: best time, its MB/s, least CPU time, largest RSS.
declare -A secs mbps cpus rss note per_memcpy memcpy_secs
# The rows of the current shape: key, then how to run it once.
declare -a keys
declare -A runner

# add KEY lib KERNEL BUFFER MODE INPUT, or add KEY cmd INPUT COMMAND...: a row to measure.
add() {
    local key=$1; shift
    keys+=("$key")
    runner[$key]=$(printf '%q ' "$@")
}

# Runs every row once per round, $repeats rounds, so that every command sees
# the same spread of machine load; the best round counts.
measure_all() {
    local round key out
    for ((round = 0; round < repeats; ++round)); do
        for key in "${keys[@]}"; do
            [[ -z ${note[$key]:-} ]] || continue
            if out=$(eval "run_once ${runner[$key]}" 2>&1); then
                keep "$key" "$out"
            else
                note[$key]="failed: ${out//$'\n'/ }"
            fi
        done
    done
}

run_once() {
    local kind=$1; shift
    if [[ $kind == lib ]]; then
        # lib KERNEL BUFFER MODE INPUT
        "$build-$1/bench/qelbench" -n 1 -b "$2" "$3" "$4"
    elif [[ $kind == mem ]]; then
        # mem KERNEL MODE INPUT [-w]: calls in one process, the first left
        # out, memcpy of the same bytes timed beside them
        "$build-$1/bench/qelbench" -n "$mem_rounds" ${4:+"$4"} "$2" "$3"
    else
        local input=$1; shift
        "$tools/qelrun" -n 1 -i "$input" -o /dev/null -- "$@"
    fi
}

keep() {
    local key=$1 kv s="" m="" c="" r="" q="" ms=""
    for kv in $2; do
        case $kv in
            per_memcpy=*) q=${kv#*=} ;;
            memcpy_s=*) ms=${kv#*=} ;;
            best_s=*) s=${kv#*=} ;;
            mb_per_s=*) m=${kv#*=} ;;
            cpu_s=*) c=${kv#*=} ;;
            max_rss_kib=*) r=${kv#*=} ;;
        esac
    done
    if [[ -z ${secs[$key]:-} ]] || awk -v a="$s" -v b="${secs[$key]}" 'BEGIN { exit !(a < b) }'; then
        secs[$key]=$s
        mbps[$key]=$m
        per_memcpy[$key]=$q
        memcpy_secs[$key]=$ms
    fi
    if [[ -z ${cpus[$key]:-} ]] || awk -v a="$c" -v b="${cpus[$key]}" 'BEGIN { exit !(a < b) }'; then
        cpus[$key]=$c
    fi
    if [[ -z ${rss[$key]:-} || $r -gt ${rss[$key]} ]]; then rss[$key]=$r; fi
}

# row KEY WHAT COMMAND INPUT TR_KEY: one line of the table.
row() {
    local key=$1 what=$2 command=$3 input=$4 base=$5
    if [[ -n ${note[$key]:-} ]]; then
        # shellcheck disable=SC2016  # the backticks are Markdown
        printf '| %s | `%s` | %s | | | | | %s |\n' "$what" "$command" "$input" "${note[$key]}"
        return
    fi
    awk -v what="$what" -v cmd="$command" -v input="$input" -v s="${secs[$key]}" -v m="${mbps[$key]}" \
        -v t="${mbps[$base]:-0}" -v c="${cpus[$key]}" -v r="${rss[$key]}" 'BEGIN {
            ratio = m > 0 && t > 0 ? sprintf("%.2f", t / m) : "n/a"
            printf "| %s | `%s` | %s | %.3f | %.3f | %.1f | %s | %.1f MiB |\n", what, cmd, input, s, c, m, ratio, r / 1024
        }'
}

# mem_row KEY WHAT COMMAND INPUT: one line of an in-memory table.
mem_row() {
    local key=$1 what=$2 command=$3 input=$4
    if [[ -n ${note[$key]:-} ]]; then
        # shellcheck disable=SC2016  # the backticks are Markdown
        printf '| %s | `%s` | %s | | | | | %s |\n' "$what" "$command" "$input" "${note[$key]}"
        return
    fi
    awk -v what="$what" -v cmd="$command" -v input="$input" -v s="${secs[$key]}" -v m="${mbps[$key]}" \
        -v ms="${memcpy_secs[$key]}" -v q="${per_memcpy[$key]}" -v r="${rss[$key]}" 'BEGIN {
            printf "| %s | `%s` | %s | %.4f | %.2f | %.4f | %s | %.1f MiB |\n", what, cmd, input, s, m / 1000, ms, q, r / 1024
        }'
}

describe() {
    local file=$1
    awk -v bytes="$(stat -c %s "$file")" -v lines="$(wc -l < "$file")" 'BEGIN {
        printf "%.1f MB (%.1f MiB), %d lines, %.1f bytes a line with its line feed", bytes / 1e6, bytes / 1048576, lines, bytes / lines
    }'
}

# --- the summary -----------------------------------------------------------------
# One line per shape, kernel (or the floor) and way of calling, tab-separated:
#   shape label kernel way enc_tr dec_tr enc_floor dec_floor enc_gbps dec_gbps
# where ÷ tr and ÷ floor are time per byte of input over tr's (on the same
# input) and over the floor's (the block copy through the same streams, or
# memcpy in the same process).
summary=$build/summary.tsv
details=$build/details.md
: > "$summary"
: > "$details"

# over ROW BASE: ROW's time per byte of input over BASE's, from their MB/s.
over() {
    if [[ -n ${note[$1]:-} || -n ${note[$2]:-} || -z ${mbps[$1]:-} || -z ${mbps[$2]:-} ]]; then echo n/a; return; fi
    awk -v a="${mbps[$1]}" -v b="${mbps[$2]}" 'BEGIN { if (a > 0 && b > 0) printf "%.2f", b / a; else print "n/a" }'
}
gbps() {
    if [[ -n ${note[$1]:-} || -z ${mbps[$1]:-} ]]; then echo n/a; return; fi
    awk -v m="${mbps[$1]}" 'BEGIN { printf "%.2f", m / 1000 }'
}
memcpy_ratio() { if [[ -n ${note[$1]:-} || -z ${per_memcpy[$1]:-} ]]; then echo n/a; else echo "${per_memcpy[$1]}"; fi; }

# summarize SHAPE: the summary lines of the shape just measured.
summarize() {
    local shape=$1 label k b
    label=$(awk -v bytes="$(stat -c %s "$plain")" -v lines="$(wc -l < "$plain")" -v s="$shape" 'BEGIN {
        name = s == "text" ? "real text" : s == "short" ? "short lines" : s == "long" ? "long lines" : s == "overlong" ? "overlong lines" : s
        printf "%s, %.1f bytes a line", name, bytes / lines }')
    {
        for b in $buffers; do
            printf '%s\t%s\tfloor\t%s\t%s\t%s\t1.00\t1.00\t%s\t%s\n' "$shape" "$label" "$b" \
                "$(over "copy_$b" tr_text)" "$(over "copy_$b" tr_enc)" "$(gbps "copy_$b")" "$(gbps "copy_$b")"
            for k in $kernels; do
                printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$shape" "$label" "$k" "$b" \
                    "$(over "enc_${k}_$b" tr_text)" "$(over "dec_${k}_$b" tr_enc)" \
                    "$(over "enc_${k}_$b" "copy_$b")" "$(over "dec_${k}_$b" "copy_$b")" \
                    "$(gbps "enc_${k}_$b")" "$(gbps "dec_${k}_$b")"
            done
        done
        printf '%s\t%s\tfloor\tmem\t%s\t%s\t1.00\t1.00\t%s\t%s\n' "$shape" "$label" \
            "$(over mem_copy tr_text)" "$(over mem_copy tr_enc)" "$(gbps mem_copy)" "$(gbps mem_copy)"
        for k in $kernels; do
            printf '%s\t%s\t%s\tmem\t%s\t%s\t%s\t%s\t%s\t%s\n' "$shape" "$label" "$k" \
                "$(over "benc_$k" tr_text)" "$(over "bdec_$k" tr_enc)" \
                "$(memcpy_ratio "benc_$k")" "$(memcpy_ratio "bdec_$k")" "$(gbps "benc_$k")" "$(gbps "bdec_$k")"
        done
    } >> "$summary"
}

# The summary as one Markdown table: a row per shape and kernel, encode /
# decode in every cell.
summary_table() {
    local b header="| lines | kernel |" rule="| --- | --- |"
    for b in $buffers; do
        if [[ $b == 0 ]]; then header+=" stdio's own buffers ($(buffer_size 0)): ÷ tr | ÷ block copy |"
        else header+=" $(buffer_size "$b") buffers: ÷ tr | ÷ block copy |"; fi
        rule+=" ---: | ---: |"
    done
    header+=" in memory: GB/s | ÷ memcpy | ÷ tr |"
    rule+=" ---: | ---: | ---: |"
    echo
    echo "## Summary"
    echo
    echo "Encode / decode in every cell. ÷ tr and ÷ block copy: time per byte of input over that of \`tr '!-~' 'P-~!-O'\` on the same input, and over that of the block copy through the same streams, in the same run (below 1 is faster). In memory: \`QEL_EncodeBuffer\`/\`QEL_DecodeBuffer\` with 64 KiB of output room a call; ÷ memcpy is over memcpy of the same bytes timed in the same process. The floor rows are the block copy and memcpy themselves."
    echo
    echo "$header"
    echo "$rule"
    awk -F'\t' -v buffers="$buffers" -v kernels="floor $kernels" '
        { key = $1 SUBSEP $3 SUBSEP $4; shape_label[$1] = $2
          if (!($1 in seen)) { seen[$1] = 1; order[++n] = $1 }
          tr[key] = $5 " / " $6; fl[key] = $7 " / " $8; gb[key] = $9 " / " $10 }
        END {
            nb = split(buffers, bs, " "); nk = split(kernels, ks, " ")
            for (i = 1; i <= n; ++i) for (j = 1; j <= nk; ++j) {
                s = order[i]; k = ks[j]
                line = "| " shape_label[s] " | " (k == "floor" ? "block copy, memcpy" : k) " |"
                for (x = 1; x <= nb; ++x) { key = s SUBSEP k SUBSEP bs[x]; line = line " " tr[key] " | " fl[key] " |" }
                key = s SUBSEP k SUBSEP "mem"
                line = line " " gb[key] " | " fl[key] " | " tr[key] " |"
                print line
            }
        }' "$summary"
}

# The chart of the summary: time per byte over tr's, a panel per direction
# and shape, the ways of calling side by side, a bar per kernel and the floor.
draw_chart() {
    [[ -n $chart ]] || return 0
    if ! command -v gnuplot > /dev/null; then
        say "no chart: gnuplot is not installed (Debian: apt-get install gnuplot-nox)"
        return 0
    fi
    local data=$build/chart.dat shapes_seen ways="" b
    # The ways' names under their bars (words joined by _ until they are
    # written): the stdio buffers' sizes, then memory.
    for b in $buffers; do ways+=" $(buffer_size "$b" | tr ' ' _)_stdio"; done
    ways+=" in_memory"
    shapes_seen=$(cut -f1 "$summary" | uniq | tr '\n' ' ')
    # Blocks for gnuplot's index: encode for every shape, then decode; in a
    # block a line per way: its name, then the floor and each kernel.
    awk -F'\t' -v buffers="$buffers" -v kernels="floor $kernels" -v ways="$ways" -v shapes="$shapes_seen" '
        { v[$1, $3, $4, "enc"] = $5; v[$1, $3, $4, "dec"] = $6 }
        END {
            nb = split(buffers, bs, " "); nk = split(kernels, ks, " "); split(ways, ws, " "); ns = split(shapes, ss, " ")
            bs[nb + 1] = "mem"
            split("enc dec", ds, " ")
            for (d = 1; d <= 2; ++d) for (i = 1; i <= ns; ++i) {
                for (x = 1; x <= nb + 1; ++x) {
                    name = ws[x]; gsub(/_/, " ", name); line = "\"" name "\""
                    for (j = 1; j <= nk; ++j) { val = v[ss[i], ks[j], bs[x], ds[d]]; line = line " " (val == "n/a" || val == "" ? "NaN" : val) }
                    print line
                }
                print ""; print ""
            }
        }' "$summary" > "$data"
    local titles
    titles=$(cut -f1,2 "$summary" | uniq | cut -f2 | sed 's/,.*//' | paste -sd '|')
    if gnuplot -c "$here/chart.gp" "$data" "$chart" "floor $kernels" "$titles" \
            "$(date -u '+%Y-%m-%d'), $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')" 2> "$build/chart.log"; then
        say "chart written to $chart"
    else
        cat "$build/chart.log" >&2
        say "the chart failed"
    fi
}

# --- the report ----------------------------------------------------------------
commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
if [[ -n $(git -C "$root" status --porcelain --untracked-files=no 2>/dev/null) ]]; then commit="$commit (with uncommitted changes)"; fi

echo "# qelcode throughput"
echo
echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "- Machine: $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo) memory, $(uname -sr)"
echo "- Load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
cc_path=$(sed -n 's/^CMAKE_C_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
echo "- Compiler: $("${cc_path:-cc}" --version | head -n 1); $(ldd --version 2>&1 | head -n 1); $(tr --version | head -n 1)"
echo "- Library: commit $commit, Release build"
command=bench/run.sh
for var in QEL_BENCH_SOURCES QEL_BENCH_SHAPES QEL_BENCH_REPEATS QEL_BENCH_MEM_ROUNDS QEL_BENCH_MIB QEL_BENCH_BUFFERS QEL_BENCH_KERNELS; do
    if [[ -n ${!var:-} ]]; then command="$var=$(printf '%q' "${!var}") $command"; fi
done
echo "- Command: \`$command\`; best of $repeats rounds (every command once a round), output to /dev/null, files in the page cache"
echo "- best s = least wall-clock time; CPU s = least user + system time (far below best s means the machine was busy); MB = 10^6 bytes of the command's input, over best s; ÷ tr = best s over that of \`tr\` on the same input (below 1 is faster than \`tr\`); peak RSS = largest resident set of the process"
echo "- Kernels: $kernels, each measured in a library built with \`-DQEL_KERNEL=\` it alone; the library calls' stdio buffers: $(for b in $buffers; do printf '%s; ' "$(buffer_name "$b")"; done)the tool gives itself 64 KiB buffers"
[[ -n $tool ]] || echo "- The \`qelcode\` tool is not built in this tree, so its rows are empty."

titles=(
    "text:Real text (C headers and documentation from /usr/include and /usr/share/doc, repeated)"
    "short:Short lines (10 bytes)"
    "long:Long lines (500 bytes)"
    "overlong:Overlong lines (2000 bytes, each encoded as 4 records)"
)
trmap=("!-~" "P-~!-O")

for entry in "${titles[@]}"; do
    shape=${entry%%:*}
    title=${entry#*:}
    [[ $shapes == *" $shape "* ]] || continue
    plain=$corpus/$shape.txt
    enc=$corpus/$shape.qel
    secs=() mbps=() cpus=() rss=() note=() keys=() runner=()
    say "measuring $shape"
    cat "$plain" "$enc" > /dev/null  # into the page cache

    # The library's records must be those of the plain reference encoder.
    if "$tools/ref_fgets_fprintf" < "$plain" | cmp -s - "$enc"; then
        check="the library's records are byte-identical to the reference encoder's"
    else
        check="**MISMATCH: the library's records differ from the reference encoder's**"
    fi

    add tr_text cmd "$plain" tr "${trmap[@]}"
    add tr_enc cmd "$enc" tr "${trmap[@]}"
    if [[ -n $tool ]]; then
        add tool_enc cmd "$plain" "$tool"
        add tool_dec cmd "$enc" "$tool" -d
    else
        note[tool_enc]="not built"
        note[tool_dec]="not built"
    fi
    for b in $buffers; do
        add "copy_$b" lib "${kernels%% *}" "$b" copy "$plain"
        for k in $kernels; do
            add "enc_${k}_$b" lib "$k" "$b" encode "$plain"
            add "dec_${k}_$b" lib "$k" "$b" decode "$enc"
        done
    done
    add mem_copy mem "${kernels%% *}" memcpy "$plain"
    for k in $kernels; do
        add "benc_$k" mem "$k" encode-buffer "$plain"
        add "bdec_$k" mem "$k" decode-buffer "$enc"
    done
    if [[ $shape == text ]]; then
        for k in $kernels; do
            add "wenc_$k" mem "$k" encode-buffer "$plain" -w
            add "wdec_$k" mem "$k" decode-buffer "$enc" -w
        done
    fi
    add base64 cmd "$plain" base64
    add cat cmd "$plain" cat
    add ref cmd "$plain" "$tools/ref_fgets_fprintf"
    measure_all
    summarize "$shape"

    {
    echo
    echo "## $title"
    echo
    echo "Text: $(describe "$plain"). Records: $(describe "$enc"). Check: $check."
    echo
    echo "| what | command | input | best s | CPU s | MB/s | ÷ tr | peak RSS |"
    echo "| --- | --- | --- | ---: | ---: | ---: | ---: | ---: |"
    for b in $buffers; do
        bname=$(buffer_name "$b")
        row "copy_$b" "block copy, the floor ($bname)" "qelbench -b $b copy" text tr_text
        for k in $kernels; do
            row "enc_${k}_$b" "QEL_Encode, $k ($bname)" "qelbench -b $b encode" text tr_text
            row "dec_${k}_$b" "QEL_Decode, $k ($bname)" "qelbench -b $b decode" records tr_enc
        done
    done
    row tool_enc "qelcode encode (tool)" "qelcode" text tr_text
    row tool_dec "qelcode decode (tool)" "qelcode -d" records tr_enc
    row tr_text "tr" "tr '!-~' 'P-~!-O'" text tr_text
    row tr_enc "tr" "tr '!-~' 'P-~!-O'" records tr_enc
    row base64 "base64" "base64" text tr_text
    row cat "cat" "cat" text tr_text
    row ref "fgets/fprintf reference encoder" "ref_fgets_fprintf" text tr_text

    echo
    echo "In memory, no stdio: $mem_rounds calls in one process after one left out, the best counts; memcpy s is memcpy of the same input bytes into the same output room the same way, timed in each round of the same process, and ÷ memcpy is best s over it (1 is memcpy's speed). 64 KiB of reused output room a call, or one call into room for all (qelbench -w)."
    echo
    echo "| what | command | input | best s | GB/s | memcpy s | ÷ memcpy | peak RSS |"
    echo "| --- | --- | --- | ---: | ---: | ---: | ---: | ---: |"
    mem_row mem_copy "memcpy, the floor (64 KiB room)" "qelbench -n $mem_rounds memcpy" text
    for k in $kernels; do
        mem_row "benc_$k" "QEL_EncodeBuffer, $k (64 KiB room)" "qelbench -n $mem_rounds encode-buffer" text
        mem_row "bdec_$k" "QEL_DecodeBuffer, $k (64 KiB room)" "qelbench -n $mem_rounds decode-buffer" records
    done
    if [[ $shape == text ]]; then
        for k in $kernels; do
            mem_row "wenc_$k" "QEL_EncodeBuffer, $k (one call)" "qelbench -n $mem_rounds -w encode-buffer" text
            mem_row "wdec_$k" "QEL_DecodeBuffer, $k (one call)" "qelbench -n $mem_rounds -w decode-buffer" records
        done
    fi
    } >> "$details"
done

summary_table
draw_chart
cat "$details"

# Memory stays flat: QEL_Encode's peak on 1 MiB of the text and on all of it.
small=$corpus/text-1mib.txt
[[ -s $small ]] || { "$tools/qelcorpus" cycle "$corpus/text.txt" 1048576 > "$small.tmp" && mv "$small.tmp" "$small"; }
rss_small=$("$tools/qelbench" -n 1 encode "$small" | sed 's/.*max_rss_kib=\([0-9]*\).*/\1/')
rss_full=$("$tools/qelbench" -n 1 encode "$corpus/text.txt" | sed 's/.*max_rss_kib=\([0-9]*\).*/\1/')
echo
echo "Peak RSS of \`qelbench encode\`: $rss_small KiB on 1 MiB of the text, $rss_full KiB on all $(( $(stat -c %s "$corpus/text.txt") / 1048576 )) MiB."
echo
echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)."
