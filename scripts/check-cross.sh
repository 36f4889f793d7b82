#!/usr/bin/env bash
# Cross-builds the library, the tool and the test suite for other Linux
# architectures with Debian's cross compilers, and runs the suite there under
# qemu user-mode emulation (cmake/toolchains/TRIPLE.cmake):
#   aarch64-linux-gnu     64-bit ARM
#   arm-linux-gnueabihf   32-bit ARM, where plain char is unsigned
#   s390x-linux-gnu       64-bit big-endian
#   i686-linux-gnu        32-bit x86
#
#   scripts/check-cross.sh [TRIPLE...]      (default: all four)
#
# GoogleTest is built for each target from Debian's source package
# (/usr/src/googletest), once per build directory. Tests that need this
# machine to run the target's code (the install consumers, the Python
# differential host) report themselves skipped.
#
# Environment:
#   QEL_CROSS_BUILD_DIR   where the builds go (default build-check-cross)
#
# Installs the cross compilers, qemu-user and the GoogleTest source with apt
# when they are missing (as root, or through sudo). Exits non-zero on any
# failure.
set -euo pipefail

start=$SECONDS
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QEL_CROSS_BUILD_DIR:-$repo/build-check-cross}
jobs=$(nproc 2>/dev/null || echo 2)
. "$repo/scripts/lib.sh"
if [ $# -gt 0 ]; then targets=("$@"); else targets=("${cross_targets[@]}"); fi

# ---- packages ----------------------------------------------------------------
for t in "${targets[@]}"; do
    [ -f "$repo/cmake/toolchains/$t.cmake" ] || die "no toolchain file cmake/toolchains/$t.cmake"
done
mapfile -t packages < <(stage_packages cross "${targets[@]}")
apt_install "${packages[@]}"

# ---- one target ----------------------------------------------------------------
for t in "${targets[@]}"; do
    t_start=$SECONDS
    toolchain=$repo/cmake/toolchains/$t.cmake
    gtest=$build/$t/googletest-install
    step "$t: GoogleTest"
    if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
        cmake -S /usr/src/googletest -B "$build/$t/googletest" --toolchain "$toolchain" \
            -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF \
            -DCMAKE_INSTALL_PREFIX="$gtest" -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
        cmake --build "$build/$t/googletest" -j"$jobs" >/dev/null
        cmake --install "$build/$t/googletest" >/dev/null
    fi

    step "$t: build and test under qemu"
    # Each test program runs whole under qemu: a process start per
    # GoogleTest case costs more there than the cases themselves.
    cmake -S "$repo" -B "$build/$t/qelcode" --toolchain "$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DQEL_WERROR=ON -DQEL_TEST_EACH_CASE=OFF \
        -DGTest_DIR="$gtest/lib/cmake/GTest" >/dev/null
    cmake --build "$build/$t/qelcode" -j"$jobs"
    file -L "$build/$t/qelcode/src/libqelcode.so"
    ctest --test-dir "$build/$t/qelcode" -j"$jobs" --output-on-failure --timeout 600
    echo "$t: $((SECONDS - t_start)) s"
done

echo "cross builds passed under qemu: ${targets[*]} ($((SECONDS - start)) s)"
