#!/usr/bin/env bash
# Builds the packages: the library twice (shared with the tool, and static)
# with the distribution's compiler flags (dpkg-buildflags) for the prefix
# /usr, then CPack's .deb packages and .tar.gz archives of the components
# libqelcode1, libqelcode-dev and qelcode.
#
# usage: scripts/package.sh [DIR]   (default: build-package)
#   DIR/shared and DIR/static are the build trees, DIR/out the packages.
#   The shared tree keeps its debug information (the packages are stripped),
#   for scripts/check-abi.sh.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
top=$(mkdir -p "${1:-$repo/build-package}" && cd "${1:-$repo/build-package}" && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

# The flags Debian builds packages with: optimisation, debug information,
# every hardening option (stack protector, _FORTIFY_SOURCE, RELRO and
# immediate binding, control-flow protection) and paths mapped
# out of the build directory.
export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
cppflags=$(cd "$repo" && dpkg-buildflags --get CPPFLAGS)
cflags="$(cd "$repo" && dpkg-buildflags --get CFLAGS) $cppflags"
cxxflags="$(cd "$repo" && dpkg-buildflags --get CXXFLAGS) $cppflags"
ldflags=$(cd "$repo" && dpkg-buildflags --get LDFLAGS)

configure() {  # DIR CMAKE-ARGS...
    local dir=$1; shift
    rm -rf "$dir"
    cmake -S "$repo" -B "$dir" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
        -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
        -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
        -DQEL_BUILD_TESTS=OFF -DQEL_DEBIAN_DOCS=ON "$@" >/dev/null
    cmake --build "$dir" -j"$jobs" >/dev/null
}

configure "$top/static" -DBUILD_SHARED_LIBS=OFF -DQEL_BUILD_TOOL=OFF
configure "$top/shared" -DBUILD_SHARED_LIBS=ON -DQEL_PACKAGE_STATIC_BUILD="$top/static"

rm -rf "$top/out"
(cd "$top/shared" && cpack -G "DEB;TGZ" -B "$top/out" >"$top/cpack.log") || {
    cat "$top/cpack.log" >&2; exit 1; }
rm -rf "$top/out/_CPack_Packages"
ls -1 "$top/out"
