#!/usr/bin/env bash
# Builds the benchmark's text files, and their encoded versions.
#
#   bench/make_corpus.sh TOOLS_DIR [CACHE_DIR]
#
# TOOLS_DIR holds the built qelcorpus and qelbench (build-dir/bench).
# CACHE_DIR defaults to $QEL_BENCH_CACHE, else ${XDG_CACHE_HOME:-$HOME/.cache}/qelcode-bench.
# QEL_BENCH_MIB (default 256) is the size of each file in MiB;
# QEL_BENCH_SOURCES (default "/usr/include /usr/share/doc") where the text comes from.
#
# Writes, each file at least QEL_BENCH_MIB MiB:
#   CACHE_DIR/base-v1.txt               every usable line of the sources, once
#   CACHE_DIR/v1-<MIB>mib/text.txt      real text, repeated up to the size
#   CACHE_DIR/v1-<MIB>mib/short.txt     the same bytes cut into 10-byte lines
#   CACHE_DIR/v1-<MIB>mib/long.txt      ... 500-byte lines
#   CACHE_DIR/v1-<MIB>mib/overlong.txt  ... 2000-byte lines (4 pieces each)
# (v1-<checksum> in place of v1 when QEL_BENCH_SOURCES is set)
# and next to each NAME.txt its records NAME.qel, made with the library
# (QEL_Encode through qelbench) on every run. Plain files are reused once made.
# Prints the folder of the files as its last line.
set -euo pipefail

tools=${1:?usage: make_corpus.sh TOOLS_DIR [CACHE_DIR]}
cache=${2:-${QEL_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qelcode-bench}}
mib=${QEL_BENCH_MIB:-256}
sources=${QEL_BENCH_SOURCES:-/usr/include /usr/share/doc}
qelcorpus=$tools/qelcorpus
qelbench=$tools/qelbench

[[ $mib =~ ^[1-9][0-9]*$ ]] || { echo "make_corpus.sh: QEL_BENCH_MIB must be a whole number of MiB" >&2; exit 2; }
[[ -x $qelcorpus ]] || { echo "make_corpus.sh: $qelcorpus is not built" >&2; exit 1; }

mkdir -p "$cache"
# Other source folders give other files, kept under names of their own.
tag=v1
if [[ -n ${QEL_BENCH_SOURCES:-} ]]; then tag=v1-$(printf '%s' "$sources" | cksum | cut -d' ' -f1); fi
base=$cache/base-$tag.txt
dir=$cache/$tag-${mib}mib
target=$((mib * 1048576))
export LC_ALL=C

# Writes a file through a temporary name so that an interrupted run leaves nothing half-made.
make_file() {
    local out=$1; shift
    if [[ -s $out ]]; then return; fi
    echo "make_corpus.sh: making $out" >&2
    "$@" > "$out.tmp"
    mv "$out.tmp" "$out"
}

collect() {
    # shellcheck disable=SC2086  # the source folders are a list
    find $sources -type f -print0 | sort -z | "$qelcorpus" collect
}

make_file "$base" collect
mkdir -p "$dir"
make_file "$dir/text.txt" "$qelcorpus" cycle "$base" "$target"
make_file "$dir/short.txt" "$qelcorpus" reshape "$base" 10 "$target"
make_file "$dir/long.txt" "$qelcorpus" reshape "$base" 500 "$target"
make_file "$dir/overlong.txt" "$qelcorpus" reshape "$base" 2000 "$target"

if [[ -x $qelbench ]]; then
    for name in text short long overlong; do
        "$qelbench" -n 1 -o "$dir/$name.qel.tmp" encode "$dir/$name.txt" > /dev/null
        mv "$dir/$name.qel.tmp" "$dir/$name.qel"
    done
else
    echo "make_corpus.sh: $qelbench is not built, so no encoded files" >&2
fi

echo "$dir"
