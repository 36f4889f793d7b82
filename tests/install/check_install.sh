#!/bin/sh
# Installs a build tree into scratch prefixes and uses it as another project
# would. The build's companion of the other kind (static for a shared build,
# shared for a static one) is built from the same source with the same
# options, so that both kinds are always checked:
#   - shared prefix: consumer.c built with pkg-config and through
#     find_package(qelcode), both linked to libqelcode.so.1; the SONAME,
#     the symlinks and the package versions;
#   - static prefix: consumer.c built with pkg-config (with and without
#     --static, as qelcode and as qelcode-static) and through find_package,
#     all with QEL_STATIC, libqelcode.a linked into a dynamic program, the
#     kernel choice still made at run time;
#   - in each prefix, consumer.cpp (the C++ interface, qelcode.hpp) built
#     the same ways as consumer.c, printing the same;
#   - both kinds in one prefix, as the -dev package has them:
#     find_package gives the shared library unless asked for the static one;
#     pkg-config qelcode the kind installed last, qelcode-static the static
#     one, each with its own flags, in either order;
#   - the source taken into another project with add_subdirectory, with
#     GoogleTest out of reach: the library builds and serves the consumer.
#
# A build for the prefix /usr (as the Debian packages are made) names its
# directories plainly in qelcode.pc, so its trees are installed under a
# scratch root with DESTDIR and pkg-config gets that root as its sysroot.
#
# usage: check_install.sh BUILD_DIR CMAKE C_COMPILER VERSION SHIFT VECTORS CXX_COMPILER
#   SHIFT is the build's shift increment s; the record is compared byte for
#   byte with the hand-worked one in the VECTORS file when it has one for s,
#   otherwise only its header.
set -eu

if [ $# -ne 7 ]; then
    echo "usage: $0 BUILD_DIR CMAKE C_COMPILER VERSION SHIFT VECTORS CXX_COMPILER" >&2
    exit 2
fi
build=$1 cmake=$2 cc=$3 version=$4 shift_s=$5 vectors=$6 cxx=$7
here=$(cd "$(dirname "$0")" && pwd)
major=${version%%.*}

fail() { echo "FAIL: $*" >&2; exit 1; }
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }

command -v pkg-config >/dev/null || fail "pkg-config is not installed"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- the companion build ----------------------------------------------------------
if [ "$(cached BUILD_SHARED_LIBS)" = OFF ]; then
    static_build=$build shared_build=$work/companion companion=ON
else
    shared_build=$build static_build=$work/companion companion=OFF
fi
"$cmake" -S "$(cached CMAKE_HOME_DIRECTORY)" -B "$work/companion" -DBUILD_SHARED_LIBS=$companion \
    -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_TOOL=OFF -DCMAKE_BUILD_TYPE="$(cached CMAKE_BUILD_TYPE)" \
    -DCMAKE_INSTALL_PREFIX="$(cached CMAKE_INSTALL_PREFIX)" -DCMAKE_INSTALL_LIBDIR="$(cached CMAKE_INSTALL_LIBDIR)" \
    -DQEL_STEP_SELECTOR="$(cached QEL_STEP_SELECTOR)" -DQEL_SIMD="$(cached QEL_SIMD)" \
    -DCMAKE_C_COMPILER="$(cached CMAKE_C_COMPILER)" -DCMAKE_CXX_COMPILER="$(cached CMAKE_CXX_COMPILER)" \
    >"$work/companion.log" 2>&1 && "$cmake" --build "$work/companion" >>"$work/companion.log" 2>&1 || {
    cat "$work/companion.log" >&2; fail "building the companion library (BUILD_SHARED_LIBS=$companion)"; }

# install_into ROOT TREE...: installs the build trees in this order; sets
# prefix to where their files are, and sysroot for pkg-config.
install_into() {
    root=$1; shift
    for b in "$@"; do
        if [ "$(cached CMAKE_INSTALL_PREFIX)" = /usr ]; then
            DESTDIR=$root "$cmake" --install "$b" >"$work/install.log"
        else
            "$cmake" --install "$b" --prefix "$root" >"$work/install.log"
        fi || { cat "$work/install.log" >&2; fail "cmake --install $b"; }
    done
    if [ "$(cached CMAKE_INSTALL_PREFIX)" = /usr ]; then
        prefix=$root/usr sysroot=$root
    else
        prefix=$root sysroot=
    fi
}
use_pkg_config() {  # the scratch prefix's qelcode.pc and nothing else
    export PKG_CONFIG_LIBDIR="$libdir/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$sysroot"
    export PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 PKG_CONFIG_ALLOW_SYSTEM_LIBS=1
    unset PKG_CONFIG_PATH || true
}

# --- what the consumer must print -----------------------------------------------
# Line 1: the header's version macros, and QEL_STATIC when it was defined.
# Line 2: the record of "Hello", as the vectors file has it for this shift.
[ -r "$vectors" ] || fail "no vectors file $vectors"
hello=$(sed -n 's/^encode-line '"$shift_s"' "Hello\\n" "\([^"\\]*\)\\n".*/\1/p' "$vectors")
check_output() {  # $1: output file, $2: which build, $3: expected first line
    [ "$(sed -n 1p "$1")" = "$3" ] ||
        fail "$2: first line '$(sed -n 1p "$1")', expected '$3'"
    record=$(sed -n 2p "$1")
    if [ -n "$hello" ]; then
        [ "$record" = "$hello" ] || fail "$2: record is '$record', expected '$hello'"
    else
        case $record in '%z'??????) ;; *) fail "$2: record '$record' has the wrong shape" ;; esac
    fi
    [ "$(sed -n 3p "$1")" = "Hello" ] || fail "$2: decoded text is '$(sed -n 3p "$1")'"
    [ "$(wc -l <"$1")" -eq 3 ] || fail "$2: expected 3 lines of output"
}

needs_libqelcode() { readelf -d "$1" | grep -q "(NEEDED).*\[libqelcode\.so\.$major\]"; }

# A static consumer: libqelcode.a is inside the program, and where the
# library has indirect functions (nm's "i") the program keeps them as
# IRELATIVE relocations, so the dynamic linker still picks the kernels for
# the processor it runs on.
check_static_program() {  # $1: program, $2: which build, $3: the static library
    ! needs_libqelcode "$1" || fail "$2: linked to the shared library, not libqelcode.a"
    if nm "$3" 2>/dev/null | grep -q ' i '; then
        readelf -rW "$1" | grep -q IRELATIVE || fail "$2: the kernel choice did not survive static linking"
    fi
}

pkg_consumer() {  # $1: prefix, $2: name, $3: pkg-config options, $4: module (qelcode)
    use_pkg_config
    module=${4:-qelcode}
    pc_version=$(pkg-config --modversion "$module") || fail "$2: pkg-config does not find $module"
    [ "$pc_version" = "$version" ] || fail "$2: $module.pc has Version $pc_version, not $version"
    # shellcheck disable=SC2046,SC2086  # the flags are meant to split
    "$cc" -o "$work/$2" "$here/consumer.c" $(pkg-config $3 --cflags --libs "$module") ||
        fail "$2: building the consumer with pkg-config $3 $module"
    LD_LIBRARY_PATH="$libdir" "$work/$2" >"$work/$2.out" || fail "$2: the consumer failed"
    # shellcheck disable=SC2046,SC2086
    "$cxx" -std=c++17 -o "$work/$2_cpp" "$here/consumer.cpp" $(pkg-config $3 --cflags --libs "$module") ||
        fail "$2: building the C++ consumer with pkg-config $3"
    LD_LIBRARY_PATH="$libdir" "$work/$2_cpp" >"$work/$2_cpp.out" || fail "$2: the C++ consumer failed"
    cmp -s "$work/$2.out" "$work/$2_cpp.out" || fail "$2: the C++ consumer printed other lines than the C one"
}

cmake_consumer() {  # $1: prefix, $2: name, $3: kind asked for (or empty), $4: kind expected
    "$cmake" -S "$here" -B "$work/$2" -DCMAKE_PREFIX_PATH="$1" -DQEL_WANT="$3" \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >"$work/configure.log" 2>&1 || {
        cat "$work/configure.log" >&2; fail "$2: configuring the find_package consumer"; }
    grep -q "found qelcode $version $4" "$work/configure.log" ||
        fail "$2: find_package did not report version $version, $4"
    grep -q "^qelcode_DIR:PATH=$1/" "$work/$2/CMakeCache.txt" ||
        fail "$2: find_package found a qelcode outside the scratch prefix"
    "$cmake" --build "$work/$2" >"$work/build.log" 2>&1 || {
        cat "$work/build.log" >&2; fail "$2: building the find_package consumer"; }
    # No LD_LIBRARY_PATH here: the imported target gives the build an rpath.
    env -u LD_LIBRARY_PATH "$work/$2/consumer" >"$work/$2.out" || fail "$2: the find_package consumer failed"
    env -u LD_LIBRARY_PATH "$work/$2/consumer_cpp" >"$work/$2_cpp.out" ||
        fail "$2: the find_package C++ consumer failed"
    cmp -s "$work/$2.out" "$work/$2_cpp.out" || fail "$2: the C++ consumer printed other lines than the C one"
}

# --- shared ------------------------------------------------------------------------
install_into "$work/shared" "$shared_build"
[ -f "$prefix/include/qelcode.h" ] || fail "header not installed"
[ -f "$prefix/include/qelcode.hpp" ] || fail "C++ header not installed"
real=$(find "$prefix" -name "libqelcode.so.$version" -type f)
[ -n "$real" ] || fail "libqelcode.so.$version not installed"
libdir=$(dirname "$real")
[ "$(readlink "$libdir/libqelcode.so.$major")" = "libqelcode.so.$version" ] ||
    fail "libqelcode.so.$major does not point to libqelcode.so.$version"
[ "$(readlink "$libdir/libqelcode.so")" = "libqelcode.so.$major" ] ||
    fail "libqelcode.so does not point to libqelcode.so.$major"
soname=$(readelf -d "$real" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libqelcode.so.$major" ] || fail "SONAME is '$soname', not libqelcode.so.$major"
[ ! -e "$libdir/libqelcode.a" ] || fail "a shared build installed libqelcode.a"

pkg_consumer "$prefix" shared_pc ""
check_output "$work/shared_pc.out" "shared, pkg-config" "$version $version"
needs_libqelcode "$work/shared_pc" || fail "shared, pkg-config: not linked to libqelcode.so.$major"
cmake_consumer "$prefix" shared_cmake "" SHARED_LIBRARY
check_output "$work/shared_cmake.out" "shared, find_package" "$version $version"
needs_libqelcode "$work/shared_cmake/consumer" || fail "shared, find_package: not linked to libqelcode.so.$major"

# --- static ------------------------------------------------------------------------
install_into "$work/static" "$static_build"
archive=$(find "$prefix" -name libqelcode.a -type f)
[ -n "$archive" ] || fail "libqelcode.a not installed"
libdir=$(dirname "$archive")
[ -z "$(find "$prefix" -name 'libqelcode.so*')" ] || fail "a static build installed a shared library"

for how in "--static qelcode" " qelcode" " qelcode-static"; do
    name=static_pc_$(echo "$how" | tr -c 'a-z\n' _)
    pkg_consumer "$prefix" "$name" "${how% *}" "${how##* }"
    check_output "$work/$name.out" "static, pkg-config$how" "$version $version QEL_STATIC"
    check_static_program "$work/$name" "static, pkg-config$how" "$archive"
    check_static_program "$work/${name}_cpp" "static, pkg-config$how, C++" "$archive"
done
cmake_consumer "$prefix" static_cmake "" STATIC_LIBRARY
check_output "$work/static_cmake.out" "static, find_package" "$version $version QEL_STATIC"
check_static_program "$work/static_cmake/consumer" "static, find_package" "$archive"

# --- both, the shared tree installed last as in the packages ----------------------
install_into "$work/both" "$static_build" "$shared_build"
libdir=$(dirname "$(find "$prefix" -name libqelcode.a)")
use_pkg_config
# qelcode is the shared build's, also with --static (its flags and its
# library agree); qelcode-static gives the static library.
for how in " qelcode" "--static qelcode"; do
    case " $(pkg-config ${how% *} --cflags qelcode) " in *" -DQEL_STATIC "*)
        fail "both: pkg-config$how gives QEL_STATIC to a shared consumer" ;; esac
    name=both_pc_$(echo "$how" | tr -c 'a-z\n' _)
    pkg_consumer "$prefix" "$name" "${how% *}" qelcode
    check_output "$work/$name.out" "both, pkg-config$how" "$version $version"
    needs_libqelcode "$work/$name" || fail "both, pkg-config$how: not linked to libqelcode.so.$major"
done
pkg_consumer "$prefix" both_pc_static "" qelcode-static
check_output "$work/both_pc_static.out" "both, pkg-config qelcode-static" "$version $version QEL_STATIC"
check_static_program "$work/both_pc_static" "both, pkg-config qelcode-static" "$libdir/libqelcode.a"
check_static_program "$work/both_pc_static_cpp" "both, pkg-config qelcode-static, C++" "$libdir/libqelcode.a"
cmake_consumer "$prefix" both_default "" SHARED_LIBRARY
check_output "$work/both_default.out" "both, find_package" "$version $version"
cmake_consumer "$prefix" both_static static STATIC_LIBRARY
check_output "$work/both_static.out" "both, find_package COMPONENTS static" "$version $version QEL_STATIC"
check_static_program "$work/both_static/consumer" "both, find_package COMPONENTS static" "$libdir/libqelcode.a"

# --- both, the static tree installed last -----------------------------------------
# qelcode.pc is then the static build's: its flags and its library agree,
# with or without --static, though libqelcode.so is beside the archive.
install_into "$work/static_last" "$shared_build" "$static_build"
libdir=$(dirname "$(find "$prefix" -name libqelcode.a)")
for how in "--static qelcode" " qelcode" " qelcode-static"; do
    name=static_last_pc_$(echo "$how" | tr -c 'a-z\n' _)
    pkg_consumer "$prefix" "$name" "${how% *}" "${how##* }"
    check_output "$work/$name.out" "static installed last, pkg-config$how" "$version $version QEL_STATIC"
    check_static_program "$work/$name" "static installed last, pkg-config$how" "$libdir/libqelcode.a"
done

# --- add_subdirectory, without GoogleTest -----------------------------------------
"$cmake" -S "$here/subdirectory" -B "$work/subdirectory" -DQEL_SOURCE_DIR="$(cached CMAKE_HOME_DIRECTORY)" \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_BUILD_TYPE="$(cached CMAKE_BUILD_TYPE)" \
    -DCMAKE_C_COMPILER="$(cached CMAKE_C_COMPILER)" -DCMAKE_CXX_COMPILER="$(cached CMAKE_CXX_COMPILER)" \
    >"$work/subdirectory.log" 2>&1 || {
    cat "$work/subdirectory.log" >&2; fail "add_subdirectory: configuring the parent project"; }
grep -q '^QEL_BUILD_TESTS:BOOL=OFF$' "$work/subdirectory/CMakeCache.txt" ||
    fail "add_subdirectory: QEL_BUILD_TESTS is not OFF in the parent project"
"$cmake" --build "$work/subdirectory" --target consumer >>"$work/subdirectory.log" 2>&1 || {
    cat "$work/subdirectory.log" >&2; fail "add_subdirectory: building the consumer"; }
"$work/subdirectory/consumer" >"$work/subdirectory.out" || fail "add_subdirectory: the consumer failed"
check_output "$work/subdirectory.out" "add_subdirectory" "$version $version"

echo "install trees serve pkg-config and find_package, C and C++, shared and static; add_subdirectory builds without GoogleTest (qelcode $version)"
