#!/usr/bin/env bash
# Builds and runs every check of the project, as CI does, in the order of
# the stages' names below:
#   plain portable avx2 clang   the test suite built with gcc, warnings as
#       errors, again with each kernel alone, and with clang;
#   sanitize nodirect tsan      the test suite under AddressSanitizer and
#       UndefinedBehaviorSanitizer, again with the direct stdio buffer access
#       turned off, and the threading tests under ThreadSanitizer;
#   fuzz      every fuzz target for a bounded time (FUZZ_SECONDS, default 60);
#   cross     the test suite cross-built for aarch64, armhf, s390x and i686
#       Linux and run under qemu;
#   windows   the Windows DLLs (32- and 64-bit, msvcrt and ucrt), cross-built
#       and run under Wine, and their zips;
#   abi       the ABI against the committed baseline (abidiff);
#   package   the Debian packages, built through debian/ (the source package,
#       this machine's and, cross-built, arm64's): lintian, installed with
#       dpkg -i and used;
#   python    the Python package: the wheel built offline, installed into a
#       fresh virtual environment and tested there;
#   rust-go   the Rust crate and the Go module, offline: cargo test over the
#       static library the crate builds and over the installed one, go test
#       over the installed library (found with pkg-config);
#   js        the JavaScript package: the WebAssembly module built with emcc,
#       the npm package packed, installed offline and tested in Node.js and
#       in headless chromium.
# Installs what it needs with apt when it is missing (as root, or through
# sudo): the test suite's packages first, every later stage's in the
# background while the suite builds (scripts/lib.sh lists each stage's).
# Exits non-zero at the first failure.
#
# Environment: QEL_CHECK_STAGES picks stages by name, e.g.
#   QEL_CHECK_STAGES="plain sanitize" scripts/check.sh
# (default: all of the names above).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
stages=${QEL_CHECK_STAGES:-plain portable avx2 clang sanitize nodirect tsan fuzz cross windows abi package python rust-go js}
jobs=$(nproc 2>/dev/null || echo 2)

. "$repo/scripts/lib.sh"
wants() { [[ " $stages " == *" $1 "* ]]; }

# ---- What the stages need -----------------------------------------------------
# The suite's own packages now; those of the later stages in the background,
# while the suite builds and runs. Each later stage installs its packages
# again, which waits for the background install (apt_install's lock) and
# then finds them there, or installs what it could not.
packages=(cmake make g++ libgtest-dev libgmock-dev pkg-config binutils python3 file groff-base)
if wants clang || wants fuzz; then packages+=(clang-14 libclang-rt-14-dev); fi
apt_install "${packages[@]}"
later=()
for s in cross windows abi package python rust-go js; do
    if wants "$s"; then mapfile -t -O "${#later[@]}" later < <(stage_packages "$s"); fi
done
install_log=$(mktemp)
if [ ${#later[@]} -gt 0 ]; then
    echo "installing the later stages' packages in the background"
    ( started=$SECONDS
      if apt_install "${later[@]}"; then echo "done in $((SECONDS - started)) s"
      else echo "failed after $((SECONDS - started)) s; the stages install what they need"; fi
    ) >"$install_log" 2>&1 &
fi
stage_install() {
    local p
    mapfile -t p < <(stage_packages "$1")
    apt_install "${p[@]}"
}

# build_and_test DIR [--target TARGET] [--ctest CTEST ARGS... --] [CMAKE ARGS...]
# Builds everything, or only TARGET, and runs the tests.
build_and_test() {
    local dir=$1; shift
    local ctest_args=() build_args=()
    if [ "${1:-}" = "--target" ]; then build_args=(--target "$2"); shift 2; fi
    if [ "${1:-}" = "--ctest" ]; then
        shift
        while [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
        shift
    fi
    cmake -S "$repo" -B "$dir" -DQEL_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j"$jobs" "${build_args[@]}"
    ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 600 "${ctest_args[@]}"
}

# The plain stage registers each GoogleTest case as a test of its own; the
# stages that repeat the suite run each test program whole, which saves a
# process start per case: dear under the sanitizers, dearer under qemu.
whole=-DQEL_TEST_EACH_CASE=OFF

# ---- The library and its tests on this machine -------------------------------
if wants plain; then
    stage "gcc: build and test"
    build_and_test "$repo/build-check" -DCMAKE_BUILD_TYPE=Release
fi

if wants portable; then
    stage "gcc, portable kernel only: build and test"
    build_and_test "$repo/build-check-portable" -DCMAKE_BUILD_TYPE=Release -DQEL_KERNEL=portable "$whole"
fi

# The AVX2 kernel alone, where the processor runs it (the library would
# otherwise fall back to the portable kernel and test that twice).
if wants avx2; then
    if grep -qw avx2 /proc/cpuinfo 2>/dev/null; then
        stage "gcc, AVX2 kernel only: build and test"
        build_and_test "$repo/build-check-avx2" -DCMAKE_BUILD_TYPE=Release -DQEL_KERNEL=avx2 "$whole"
    else
        stage "AVX2 kernel only: skipped, this processor has no AVX2"
    fi
fi

if wants clang; then
    stage "clang: build and test"
    CC=clang-14 CXX=clang++-14 build_and_test "$repo/build-check-clang" -DCMAKE_BUILD_TYPE=Release "$whole"
fi

# ---- Under the sanitizers ----------------------------------------------------
if wants sanitize; then
    stage "AddressSanitizer + UndefinedBehaviorSanitizer: build and test"
    build_and_test "$repo/build-check-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_SANITIZE=ON "$whole"
fi

# Every stream through stdio's own calls, as on C libraries whose buffers
# the library does not reach, with the sanitizers and the differential check.
if wants nodirect; then
    stage "direct stdio buffer access off, AddressSanitizer + UndefinedBehaviorSanitizer: build and test"
    build_and_test "$repo/build-check-nodirect" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_SANITIZE=ON \
        -DQEL_DIRECT_STDIO=OFF "$whole"
fi

if wants tsan; then
    stage "ThreadSanitizer: threading tests"
    build_and_test "$repo/build-check-tsan" --target stream_threads_test --ctest -L threads -- \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_TSAN=ON
fi

# ---- Fuzzing -----------------------------------------------------------------
if wants fuzz; then
    stage "fuzzing, ${FUZZ_SECONDS:-60} s a target"
    FUZZ_BUILD_DIR="$repo/build-check-fuzz" bash "$repo/scripts/fuzz.sh"
fi

# ---- Other platforms: Linux architectures under qemu, Windows under Wine -----
if wants cross; then
    stage "other Linux architectures under qemu: aarch64, armhf, s390x, i686"
    bash "$repo/scripts/check-cross.sh"
fi

if wants windows; then
    stage "Windows DLLs under Wine"
    bash "$repo/scripts/check-windows.sh"
fi

# ---- What ships: the ABI, the Debian packages --------------------------------
if wants abi; then
    stage "ABI of libqelcode.so.1 against abi/libqelcode.so.1.abi"
    stage_install abi
    bash "$repo/scripts/check-abi.sh" "$repo/build-check-abi"
fi

if wants package; then
    stage "Debian packages: dpkg-buildpackage (source, native, arm64), lintian, dpkg -i, use"
    as_root bash "$repo/scripts/check-package.sh"
fi

# ---- Hosts in other languages ------------------------------------------------
if wants python; then
    stage "Python package: wheel built offline, installed into a fresh venv, tested there"
    stage_install python
    bash "$repo/scripts/check-python.sh" "$repo/build-check-python"
fi

if wants rust-go; then
    stage "Rust crate and Go module: built and tested offline"
    stage_install rust-go
    bash "$repo/scripts/check-rust-go.sh" "$repo/build-check-rust-go"
fi

if wants js; then
    stage "JavaScript package: WebAssembly built with emcc, npm pack, installed offline, tested in Node and headless chromium"
    stage_install js
    # A nodejs that is not Debian's may bring its own npm (and conflict with Debian's).
    command -v npm >/dev/null || apt_install npm
    bash "$repo/scripts/check-js.sh" "$repo/build-check-js"
fi

wait
if [ -s "$install_log" ]; then echo; echo "the background install: $(tail -n 1 "$install_log")"; fi
rm -f "$install_log"
stage "all checks passed: $stages"
