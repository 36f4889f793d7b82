#!/usr/bin/env bash
# The Debian packages as Debian makes them and a user gets them, from a
# clean copy of the source (the files git knows, committed or not):
#   - the source package (dpkg-buildpackage -S);
#   - the binary packages for this machine (dpkg-buildpackage -b), the test
#     suite run by dh_auto_test;
#   - the binary packages for arm64, cross-built
#     (dpkg-buildpackage -a arm64 -Pcross,nocheck -b), their files checked to
#     be aarch64 objects;
#   - lintian on all of them (a warning or error fails);
#   - dpkg -i of every package of this machine with the debug symbols, and
#     libqelcode1 and libqelcode-dev of arm64 beside them (Multi-Arch: same);
#   - the installed files used: consumer.c built against /usr through
#     pkg-config and through find_package (shared and static), the tool
#     run, both manual pages read with man, the Python module imported.
# The packages are removed at the end. Needs root: it installs what it
# needs with apt (adding the arm64 architecture to dpkg) and the packages
# with dpkg -i.
#
# Environment: QEL_PACKAGE_NOCHECK=1 builds the packages of this machine
# without running the test suite (DEB_BUILD_OPTIONS=nocheck).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
top=$repo/build-check-package
consumer=$repo/tests/install/consumer.c
jobs=$(nproc 2>/dev/null || echo 2)
start=$SECONDS

. "$repo/scripts/lib.sh"
fail() { die "$@"; }
# has PATTERN TEXT: grep -E on a captured text (a pipe into grep -q could
# end the writer with SIGPIPE, which pipefail reports as a failure).
has() { grep -Eq -- "$1" <<<"$2"; }
timed_step() { step "$* ($((SECONDS - start)) s into the stage)"; }
apt_get() { DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -qq --no-install-recommends "$@"; }

[ "$(id -u)" -eq 0 ] || fail "needs root (apt-get, dpkg -i)"
version=$(sed -n 's/^project(qelcode VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
[ -n "$version" ] || fail "no version in CMakeLists.txt"
host_arch=$(dpkg --print-architecture)
[ "$host_arch" != arm64 ] || fail "the cross build needs a machine other than arm64"
arch_packages=(libqelcode1 libqelcode-dev qelcode libqelcode1-dbgsym qelcode-dbgsym)
packages=("${arch_packages[@]}" python3-qelcode)

# ---- the source ---------------------------------------------------------------
rm -rf "$top"
src=$top/native/qelcode-$version
mkdir -p "$src"
(cd "$repo" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf -) | tar -C "$src" -xf -
[ -x "$src/debian/rules" ] || fail "no debian/rules in the copy of the source"
cross_src=$top/arm64/qelcode-$version
mkdir -p "$top/arm64" && cp -a "$src" "$cross_src"

# ---- what the builds need -------------------------------------------------------
# The tools and build dependencies (scripts/lib.sh lists them); whatever
# debian/control asks for beyond them comes with apt-get build-dep below.
mapfile -t tools < <(stage_packages package)
apt_install "${tools[@]}"
deps_ok() {
    (cd "$src" && dpkg-checkbuilddeps) >/dev/null 2>&1 &&
        (cd "$cross_src" && dpkg-checkbuilddeps -a arm64 -P cross,nocheck) >/dev/null 2>&1
}
if ! deps_ok; then
    timed_step "installing the build dependencies"
    apt_get update
    (cd "$src" && apt_get build-dep ./) >/dev/null
    (cd "$cross_src" && apt_get build-dep -a arm64 -P cross,nocheck ./) >/dev/null
    deps_ok || fail "build dependencies still unmet"
fi

# ---- the builds ------------------------------------------------------------------
changelog_version=$(dpkg-parsechangelog -l "$repo/debian/changelog" -S Version)
[ "$changelog_version" = "$version" ] ||
    fail "debian/changelog is at version '$changelog_version', CMakeLists.txt at $version"
build() {  # DIR LOG ARGS...: dpkg-buildpackage in DIR
    local dir=$1 log=$2; shift 2
    (cd "$dir" && dpkg-buildpackage -us -uc "$@") >"$log" 2>&1 || {
        tail -60 "$log" >&2; fail "dpkg-buildpackage $* (whole log: $log)"; }
}
timed_step "dpkg-buildpackage -S"
build "$src" "$top/source.log" -S
[ -f "$top/native/qelcode_$version.dsc" ] || fail "no qelcode_$version.dsc"

native_options="parallel=$jobs"
tests_ran=true
if [ "${QEL_PACKAGE_NOCHECK:-0}" = 1 ]; then native_options+=" nocheck"; tests_ran=false; fi
timed_step "dpkg-buildpackage -b ($host_arch, DEB_BUILD_OPTIONS=$native_options)"
DEB_BUILD_OPTIONS=$native_options build "$src" "$top/native.log" -b
if $tests_ran; then
    has '^100% tests passed' "$(cat "$top/native.log")" || fail "dh_auto_test ran no test suite"
fi

timed_step "dpkg-buildpackage -a arm64 -Pcross,nocheck -b"
DEB_BUILD_OPTIONS="parallel=$jobs" build "$cross_src" "$top/arm64.log" -a arm64 -Pcross,nocheck -b

deb() {  # DIR PACKAGE ARCH: the path of the package file
    local f=$1/${2}_${version}_$3.deb
    [ -f "$f" ] || fail "no $(basename "$f")"
    echo "$f"
}
native_debs=() arm64_debs=()
for p in "${arch_packages[@]}"; do
    native_debs+=("$(deb "$top/native" "$p" "$host_arch")")
    arm64_debs+=("$(deb "$top/arm64" "$p" arm64)")
done
native_debs+=("$(deb "$top/native" python3-qelcode all)")

timed_step "package contents and fields"
# Multi-Arch: same for the library and its development files, foreign for
# the tool.
for p in libqelcode1 libqelcode-dev qelcode; do
    ma=$(dpkg-deb -f "$(deb "$top/native" "$p" "$host_arch")" Multi-Arch)
    case $p in qelcode) want=foreign ;; *) want=same ;; esac
    [ "$ma" = "$want" ] || fail "$p has Multi-Arch '$ma', expected '$want'"
done
contents() { dpkg -c "$1" | awk '{print $6}'; }
has '^\./usr/lib/python3/dist-packages/qelcode/__init__\.py$' \
    "$(contents "$(deb "$top/native" python3-qelcode all)")" || fail "python3-qelcode holds no module qelcode"
has '^libqelcode1 ' "$(dpkg-deb -f "$(deb "$top/native" python3-qelcode all)" Depends)" ||
    fail "python3-qelcode does not depend on libqelcode1"
# The symbols file came through: a program that calls the 1.1 functions
# needs libqelcode1 1.1.0.
has '^ QEL_EncodeBuffer@QEL_1\.1 1\.1\.0$' \
    "$(dpkg-deb --ctrl-tarfile "$(deb "$top/native" libqelcode1 "$host_arch")" | tar -xOf - ./symbols)" ||
    fail "libqelcode1 carries no symbols file with the 1.1 functions"

# The arm64 packages: their paths name aarch64, and every object in them is
# one (the libraries, the tool, the static library's members, the debug
# files), checked with file and readelf on the extracted packages.
arm64_tree=$top/arm64/extracted
for d in "${arm64_debs[@]}"; do
    case $d in *dbgsym*) ;; *)
        has '^\./usr/(lib/aarch64-linux-gnu/|bin/)' "$(contents "$d")" ||
            fail "$(basename "$d") has no files in /usr/lib/aarch64-linux-gnu or /usr/bin" ;;
    esac
    if has 'x86_64|i386-linux-gnu' "$(contents "$d")"; then fail "$(basename "$d") lists files of another architecture"; fi
    dpkg-deb -x "$d" "$arm64_tree"
done
lib=$arm64_tree/usr/lib/aarch64-linux-gnu/libqelcode.so.$version
for f in "$lib" "$arm64_tree/usr/bin/qelcode"; do
    [ -f "$f" ] || fail "the arm64 packages have no ${f#"$arm64_tree"}"
    has 'ELF 64-bit LSB .*ARM aarch64' "$(file -b "$f")" || fail "${f#"$arm64_tree"} is $(file -b "$f")"
done
machines=$(find "$arm64_tree" -type f \( -name '*.so.*' -o -name '*.a' -o -name '*.debug' -o -path '*/bin/*' \) \
    -exec readelf -h {} + 2>/dev/null | sed -n 's/^ *Machine: *//p' | sort | uniq -c)
[ "$(awk '{print $2}' <<<"$machines" | sort -u)" = AArch64 ] ||
    fail "the arm64 packages hold objects for other machines: $machines"
echo "arm64 objects (readelf):" $machines

timed_step "lintian"
# Warnings and errors fail; the README lists the informational tags left.
lint=("$top/native/qelcode_$version.dsc" "${native_debs[@]}" "${arm64_debs[@]}")
lint_rc=0
lintian --pedantic --display-info --fail-on error,warning "${lint[@]}" >"$top/lintian.log" 2>&1 || lint_rc=$?
grep -v '^running with root privileges' "$top/lintian.log" || true
[ "$lint_rc" -eq 0 ] || fail "lintian reports warnings or errors"

# ---- installed and used -----------------------------------------------------------
timed_step "dpkg -i"
work=$(mktemp -d)
# arm64's packages first: while both architectures are installed, a bare
# name is ambiguous and dpkg would purge nothing.
purge() {
    local p
    dpkg --purge libqelcode-dev:arm64 libqelcode1:arm64 >/dev/null 2>&1 || true
    dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
    for p in "${packages[@]}" libqelcode1:arm64 libqelcode-dev:arm64; do
        if installed "$p"; then echo "FAIL: $p is still installed" >&2; return 1; fi
    done
}
trap 'rc=$?; rm -rf "$work"; purge || rc=1; exit $rc' EXIT
purge
dpkg -i "${native_debs[@]}" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i"; }
for p in "${packages[@]}"; do
    has 'install ok installed' "$(dpkg-query -W -f='${Status}' "$p")" || fail "$p is not installed"
done
# The arm64 library and its development files beside this machine's: the
# files both architectures hold (header, manual page, documents) are the same.
dpkg -i "$(deb "$top/arm64" libqelcode1 arm64)" "$(deb "$top/arm64" libqelcode-dev arm64)" \
    >"$work/dpkg-arm64.log" 2>&1 || { cat "$work/dpkg-arm64.log" >&2; fail "dpkg -i of arm64 beside $host_arch"; }
[ -f "/usr/lib/aarch64-linux-gnu/libqelcode.so.$version" ] || fail "libqelcode1:arm64 is not installed"

timed_step "installed files"
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=/usr/lib/$triplet/libqelcode.so.$version
for f in "$lib" /usr/bin/qelcode; do
    [ -f "$f" ] || fail "$f is missing"
    if has '\((RPATH|RUNPATH)\)' "$(readelf -d "$f")"; then fail "$f has an RPATH or RUNPATH"; fi
    # The debug symbols package has the file that the build ID names.
    id=$(readelf -n "$f" | sed -n 's/^ *Build ID: *//p')
    [ -n "$id" ] || fail "$f has no build ID"
    [ -f "/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ] || fail "no debug symbols installed for $f"
done
[ -f "/usr/lib/$triplet/libqelcode.a" ] || fail "libqelcode.a is missing"

# The record of "Hello" worked out by hand in tests/install/check_install.sh
# (the packages are built with the default step selector, s = 5).
expect_output() {  # $1: output file, $2: which consumer, $3: first line
    printf '%s\n%s\n%s\n' "$3" '%z5PIzv[' 'Hello' | cmp -s - "$1" ||
        { cat "$1" >&2; fail "$2: unexpected output"; }
}

timed_step "the tool"
[ "$(printf 'Hello\n' | qelcode)" = '%z5PIzv[' ] || fail "qelcode does not encode 'Hello' as expected"
[ "$(printf 'Hello\n' | qelcode | qelcode -d)" = 'Hello' ] || fail "qelcode -d does not give 'Hello' back"
[ "$(qelcode --version)" = "qelcode $version" ] || fail "qelcode --version says '$(qelcode --version)'"

timed_step "consumer.c through pkg-config"
(
    unset PKG_CONFIG_PATH PKG_CONFIG_LIBDIR
    [ "$(pkg-config --modversion qelcode)" = "$version" ] || fail "pkg-config does not give version $version"
    # shellcheck disable=SC2046  # the flags are meant to split
    cc -o "$work/consumer_pc" "$consumer" $(pkg-config --cflags --libs qelcode) || fail "building with pkg-config"
)
env -u LD_LIBRARY_PATH "$work/consumer_pc" >"$work/pc.out" || fail "the pkg-config consumer failed"
expect_output "$work/pc.out" "pkg-config" "$version $version"
(
    unset PKG_CONFIG_PATH PKG_CONFIG_LIBDIR
    # shellcheck disable=SC2046  # the flags are meant to split
    c++ -std=c++17 -o "$work/consumer_cpp_pc" "$repo/tests/install/consumer.cpp" $(pkg-config --cflags --libs qelcode) ||
        fail "building the C++ consumer (qelcode.hpp) with pkg-config"
)
env -u LD_LIBRARY_PATH "$work/consumer_cpp_pc" >"$work/pc_cpp.out" || fail "the pkg-config C++ consumer failed"
expect_output "$work/pc_cpp.out" "pkg-config, C++" "$version $version"
has "libqelcode\.so\.1 => (/usr)?/lib/$triplet/libqelcode\.so\.1 " "$(ldd "$work/consumer_pc")" ||
    fail "the pkg-config consumer does not load /usr/lib/$triplet/libqelcode.so.1"

# A program built against the package depends on the release that brought
# the functions it calls (the symbols file of libqelcode1).
mkdir -p "$work/deps/debian" && : >"$work/deps/debian/control"
deps=$(cd "$work/deps" && dpkg-shlibdeps -O "$work/consumer_pc" 2>&1) || fail "dpkg-shlibdeps: $deps"
case $deps in *"libqelcode1 (>= 1.0.0)"*) ;; *) fail "dpkg-shlibdeps gives '$deps'" ;; esac

timed_step "consumer.c through find_package, shared and static"
for want in shared static; do
    cmake -S "$repo/tests/install" -B "$work/cmake_$want" -DQEL_WANT=$want >"$work/configure.log" 2>&1 || {
        cat "$work/configure.log" >&2; fail "configuring the find_package consumer ($want)"; }
    grep -q "^qelcode_DIR:PATH=/usr/lib/$triplet/cmake/qelcode$" "$work/cmake_$want/CMakeCache.txt" ||
        fail "find_package found another qelcode than the installed package"
    cmake --build "$work/cmake_$want" >"$work/build.log" 2>&1 || {
        cat "$work/build.log" >&2; fail "building the find_package consumer ($want)"; }
    env -u LD_LIBRARY_PATH "$work/cmake_$want/consumer" >"$work/$want.out" || fail "the $want consumer failed"
    env -u LD_LIBRARY_PATH "$work/cmake_$want/consumer_cpp" >"$work/${want}_cpp.out" ||
        fail "the $want C++ consumer failed"
    cmp -s "$work/$want.out" "$work/${want}_cpp.out" || fail "the $want C++ consumer printed other lines"
done
expect_output "$work/shared.out" "find_package, shared" "$version $version"
expect_output "$work/static.out" "find_package, static" "$version $version QEL_STATIC"
if has 'libqelcode\.so' "$(readelf -d "$work/cmake_static/consumer")"; then
    fail "the static consumer loads libqelcode.so"
fi

timed_step "manual pages"
[ "$(man -w qelcode)" = /usr/share/man/man1/qelcode.1.gz ] || fail "man -w qelcode: '$(man -w qelcode 2>&1)'"
[ "$(man -w 3 qelcode)" = /usr/share/man/man3/qelcode.3.gz ] || fail "man -w 3 qelcode: '$(man -w 3 qelcode 2>&1)'"
[ "$(man -w 3 qelcode.hpp)" = /usr/share/man/man3/qelcode.hpp.3.gz ] ||
    fail "man -w 3 qelcode.hpp: '$(man -w 3 qelcode.hpp 2>&1)'"
has '--output FILE' "$(MANPAGER=cat MANWIDTH=80 man qelcode 2>"$work/man.err")" || fail "man qelcode"
has 'QEL_EncodeRecord' "$(MANPAGER=cat MANWIDTH=80 man 3 qelcode 2>>"$work/man.err")" || fail "man 3 qelcode"
[ ! -s "$work/man.err" ] || { cat "$work/man.err" >&2; fail "man printed messages"; }

timed_step "the Python module"
# Debian's Python, run from an empty folder, so that only the installed
# module can be found; it loads the installed libqelcode.so.1.
out=$(cd "$work" && env -u PYTHONPATH -u LD_LIBRARY_PATH /usr/bin/python3 -c '
import qelcode
print(qelcode.__file__)
records = qelcode.encode(b"Hello\n")
print(records.decode("ascii"), end="")
print(qelcode.decode(records).decode("ascii"), end="")
') || fail "python3 could not use the installed module: $out"
[ "$out" = "$(printf '%s\n' "$(sed -n 1p <<<"$out")" '%z5PIzv[' 'Hello')" ] || fail "python3 printed: $out"
has '^/usr/lib/python3/dist-packages/qelcode' "$out" || fail "python3 imported another qelcode: $out"

echo "packages ${packages[*]} $version: source and binary packages ($host_arch, arm64) built through debian/, lintian clean, installed and used ($((SECONDS - start)) s)"
