#!/bin/sh
# Installs a build tree into a scratch prefix and uses it as another project
# would: builds consumer.c once with pkg-config and once through
# find_package(qelcode), runs both, and checks the installed library's
# SONAME, its symlinks and the package versions.
#
# usage: check_install.sh BUILD_DIR CMAKE C_COMPILER VERSION SHIFT
#   SHIFT is the build's shift increment s; the record is compared byte for
#   byte when s = 5 (the default build), otherwise only its header.
set -eu

if [ $# -ne 5 ]; then
    echo "usage: $0 BUILD_DIR CMAKE C_COMPILER VERSION SHIFT" >&2
    exit 2
fi
build=$1 cmake=$2 cc=$3 version=$4 shift_s=$5
here=$(cd "$(dirname "$0")" && pwd)
major=${version%%.*}

fail() { echo "FAIL: $*" >&2; exit 1; }

command -v pkg-config >/dev/null || fail "pkg-config is not installed"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" || {
    cat "$work/install.log" >&2; fail "cmake --install"; }

# --- the installed files ------------------------------------------------------
[ -f "$prefix/include/qelcode.h" ] || fail "header not installed"
real=$(find "$prefix" -name "libqelcode.so.$version" -type f)
[ -n "$real" ] || fail "libqelcode.so.$version not installed"
libdir=$(dirname "$real")
[ "$(readlink "$libdir/libqelcode.so.$major")" = "libqelcode.so.$version" ] ||
    fail "libqelcode.so.$major does not point to libqelcode.so.$version"
[ "$(readlink "$libdir/libqelcode.so")" = "libqelcode.so.$major" ] ||
    fail "libqelcode.so does not point to libqelcode.so.$major"
soname=$(readelf -d "$real" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libqelcode.so.$major" ] || fail "SONAME is '$soname', not libqelcode.so.$major"

# --- what the consumer must print ---------------------------------------------
# "Hello" has n = 5: length mark '%' (5 + 32), complement 'z' (127 - 5).
# With s = 5 the step mark is alphabet entry 21, '5', and the body bytes are
# entries (40+5, 69+10, 76+15, 76+20, 79+25) mod 94 = 45, 79, 91, 2, 10,
# that is P I z v [.
check_output() {  # $1: output file, $2: which build
    [ "$(sed -n 1p "$1")" = "$version $version" ] ||
        fail "$2: header version macros say '$(sed -n 1p "$1")', package is $version"
    record=$(sed -n 2p "$1")
    if [ "$shift_s" = 5 ]; then
        [ "$record" = '%z5PIzv[' ] || fail "$2: record is '$record', expected '%z5PIzv['"
    else
        case $record in '%z'??????) ;; *) fail "$2: record '$record' has the wrong shape" ;; esac
    fi
    [ "$(sed -n 3p "$1")" = "Hello" ] || fail "$2: decoded text is '$(sed -n 3p "$1")'"
    [ "$(wc -l <"$1")" -eq 3 ] || fail "$2: expected 3 lines of output"
}

# --- pkg-config ---------------------------------------------------------------
export PKG_CONFIG_LIBDIR="$libdir/pkgconfig"  # only the scratch prefix is searched
unset PKG_CONFIG_PATH || true
pc_version=$(pkg-config --modversion qelcode) || fail "pkg-config does not find qelcode"
[ "$pc_version" = "$version" ] || fail "qelcode.pc has Version $pc_version, not $version"
# shellcheck disable=SC2046  # the flags are meant to split
"$cc" -o "$work/consumer_pc" "$here/consumer.c" $(pkg-config --cflags --libs qelcode) ||
    fail "building the consumer with pkg-config"
LD_LIBRARY_PATH="$libdir" "$work/consumer_pc" >"$work/pc.out" || fail "the pkg-config consumer failed"
check_output "$work/pc.out" pkg-config

# --- find_package ---------------------------------------------------------------
"$cmake" -S "$here" -B "$work/consumer_build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_COMPILER="$cc" >"$work/configure.log" 2>&1 || {
    cat "$work/configure.log" >&2; fail "configuring the find_package consumer"; }
grep -q "found qelcode $version" "$work/configure.log" ||
    fail "find_package did not report version $version"
grep -q "^qelcode_DIR:PATH=$prefix/" "$work/consumer_build/CMakeCache.txt" ||
    fail "find_package found a qelcode outside the scratch prefix"
"$cmake" --build "$work/consumer_build" >"$work/build.log" 2>&1 || {
    cat "$work/build.log" >&2; fail "building the find_package consumer"; }
# No LD_LIBRARY_PATH here: the imported target gives the build an rpath.
env -u LD_LIBRARY_PATH "$work/consumer_build/consumer" >"$work/cmake.out" ||
    fail "the find_package consumer failed"
check_output "$work/cmake.out" find_package

echo "install tree serves pkg-config and find_package (qelcode $version)"
