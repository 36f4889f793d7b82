#!/usr/bin/env bash
# The packages as a user gets them: builds them (scripts/package.sh),
# checks them with lintian, installs them into this machine with dpkg -i,
# and uses the installed files: consumer.c built against /usr through
# pkg-config and through find_package (shared and static), the tool run,
# both manual pages read with man. The packages are removed at the end.
# Needs root (dpkg -i).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
top=$repo/build-check-package
consumer=$repo/tests/install/consumer.c

fail() { echo "FAIL: $*" >&2; exit 1; }
# has PATTERN TEXT: grep -E on a captured text (a pipe into grep -q could
# end the writer with SIGPIPE, which pipefail reports as a failure).
has() { grep -Eq -- "$1" <<<"$2"; }
step() { printf -- '-- %s\n' "$*"; }

version=$(sed -n 's/^project(qelcode VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
[ -n "$version" ] || fail "no version in CMakeLists.txt"
packages=(libqelcode1 libqelcode-dev qelcode)

step "building the packages"
bash "$repo/scripts/package.sh" "$top"
debs=()
for p in "${packages[@]}"; do
    deb=$(find "$top/out" -maxdepth 1 -name "${p}_${version}_*.deb")
    [ -n "$deb" ] || fail "no .deb for $p"
    debs+=("$deb")
done

step "lintian"
# Warnings and errors fail; the README lists the informational tags left.
lintian --fail-on error,warning --display-info --pedantic "${debs[@]}" 2>&1 |
    grep -v '^running with root privileges' || true
lintian --fail-on error,warning "${debs[@]}" >/dev/null 2>&1 || fail "lintian reports warnings or errors"

step "dpkg -i"
work=$(mktemp -d)
cleanup() {
    dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
dpkg -i "${debs[@]}" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i"; }
for p in "${packages[@]}"; do
    has 'install ok installed' "$(dpkg-query -W -f='${Status}' "$p")" || fail "$p is not installed"
done

step "installed files"
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=/usr/lib/$triplet/libqelcode.so.$version
for f in "$lib" /usr/bin/qelcode; do
    [ -f "$f" ] || fail "$f is missing"
    if has '\((RPATH|RUNPATH)\)' "$(readelf -d "$f")"; then fail "$f has an RPATH or RUNPATH"; fi
done
[ -f "/usr/lib/$triplet/libqelcode.a" ] || fail "libqelcode.a is missing"

# The record of "Hello" worked out by hand in tests/install/check_install.sh
# (the packages are built with the default step selector, s = 5).
expect_output() {  # $1: output file, $2: which consumer, $3: first line
    printf '%s\n%s\n%s\n' "$3" '%z5PIzv[' 'Hello' | cmp -s - "$1" ||
        { cat "$1" >&2; fail "$2: unexpected output"; }
}

step "the tool"
[ "$(printf 'Hello\n' | qelcode)" = '%z5PIzv[' ] || fail "qelcode does not encode 'Hello' as expected"
[ "$(printf 'Hello\n' | qelcode | qelcode -d)" = 'Hello' ] || fail "qelcode -d does not give 'Hello' back"
[ "$(qelcode --version)" = "qelcode $version" ] || fail "qelcode --version says '$(qelcode --version)'"

step "consumer.c through pkg-config"
(
    unset PKG_CONFIG_PATH PKG_CONFIG_LIBDIR
    [ "$(pkg-config --modversion qelcode)" = "$version" ] || fail "pkg-config does not give version $version"
    # shellcheck disable=SC2046  # the flags are meant to split
    cc -o "$work/consumer_pc" "$consumer" $(pkg-config --cflags --libs qelcode) || fail "building with pkg-config"
)
env -u LD_LIBRARY_PATH "$work/consumer_pc" >"$work/pc.out" || fail "the pkg-config consumer failed"
expect_output "$work/pc.out" "pkg-config" "$version $version"
has "libqelcode\.so\.1 => (/usr)?/lib/$triplet/libqelcode\.so\.1 " "$(ldd "$work/consumer_pc")" ||
    fail "the pkg-config consumer does not load /usr/lib/$triplet/libqelcode.so.1"

# A program built against the package depends on the release that brought
# the functions it calls (the symbols file of libqelcode1).
mkdir -p "$work/deps/debian" && : >"$work/deps/debian/control"
deps=$(cd "$work/deps" && dpkg-shlibdeps -O "$work/consumer_pc" 2>&1) || fail "dpkg-shlibdeps: $deps"
case $deps in *"libqelcode1 (>= 1.0.0)"*) ;; *) fail "dpkg-shlibdeps gives '$deps'" ;; esac

step "consumer.c through find_package, shared and static"
for want in shared static; do
    cmake -S "$repo/tests/install" -B "$work/cmake_$want" -DQEL_WANT=$want >"$work/configure.log" 2>&1 || {
        cat "$work/configure.log" >&2; fail "configuring the find_package consumer ($want)"; }
    grep -q "^qelcode_DIR:PATH=/usr/lib/$triplet/cmake/qelcode$" "$work/cmake_$want/CMakeCache.txt" ||
        fail "find_package found another qelcode than the installed package"
    cmake --build "$work/cmake_$want" >"$work/build.log" 2>&1 || {
        cat "$work/build.log" >&2; fail "building the find_package consumer ($want)"; }
    env -u LD_LIBRARY_PATH "$work/cmake_$want/consumer" >"$work/$want.out" || fail "the $want consumer failed"
done
expect_output "$work/shared.out" "find_package, shared" "$version $version"
expect_output "$work/static.out" "find_package, static" "$version $version QEL_STATIC"
if has 'libqelcode\.so' "$(readelf -d "$work/cmake_static/consumer")"; then
    fail "the static consumer loads libqelcode.so"
fi

step "manual pages"
[ "$(man -w qelcode)" = /usr/share/man/man1/qelcode.1.gz ] || fail "man -w qelcode: '$(man -w qelcode 2>&1)'"
[ "$(man -w 3 qelcode)" = /usr/share/man/man3/qelcode.3.gz ] || fail "man -w 3 qelcode: '$(man -w 3 qelcode 2>&1)'"
has '--output FILE' "$(MANPAGER=cat MANWIDTH=80 man qelcode 2>"$work/man.err")" || fail "man qelcode"
has 'QEL_EncodeRecord' "$(MANPAGER=cat MANWIDTH=80 man 3 qelcode 2>>"$work/man.err")" || fail "man 3 qelcode"
[ ! -s "$work/man.err" ] || { cat "$work/man.err" >&2; fail "man printed messages"; }

echo "packages ${packages[*]} $version: lintian clean, installed and used"
