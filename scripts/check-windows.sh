#!/usr/bin/env bash
# Cross-builds qelcode.dll for 32- and 64-bit Windows, once for each C
# runtime (msvcrt and ucrt), and for each of the four:
#   - checks its export table (the plain QEL_ names of src/qelcode.def), its
#     imports (KERNEL32 and its own runtime, nothing else) and its version
#     resource;
#   - runs win_host, built against the same runtime, under Wine, and a host
#     of the other runtime through the buffer functions;
#   - compares the records it writes, and the text it decodes, with the
#     Linux build's, byte for byte;
#   - runs the stream cases against the portable DLL of its runtime;
#   - makes its zip with cpack and lists it against the expected contents,
#     and builds the zip's example with CMake from the unpacked zip.
# Then it builds win_host as a Visual Studio user would, with clang-cl and
# lld-link against the import library qelcode.lib, from each ucrt zip, and
# runs it under Wine; and it times a 64 MiB encode under Wine
# (bench/wine_timing.sh).
#
# Where the kernel runs no 32-bit x86 program (Wine's 32-bit loader is one),
# the 32-bit DLLs run under qemu-i386, every check of a DLL in one win_host
# process; without binfmt_misc they are built and checked but not run, and
# the stage says so (scripts/windows/wine.sh).
#
# This file is the stage's plan; each job is a file of scripts/windows/:
#   wine.sh           which Wine runs which DLLs (qemu-i386 for the 32-bit
#                     loader where need be), time-outs, the Wine prefix
#   build.sh          the native build and the cross builds
#   dll_tables.sh     export, import and version resource tables
#   reference.sh      the sample and Linux's results, which all are compared with
#   hosts.sh          win_host's batch under Wine, compared with Linux's and
#                     the portable DLL's results
#   zips.sh           the zips: contents, unpacked, debug information apart
#   consumers.sh      CMake projects built against the unpacked zips
#   clang_cl_host.sh  win_host built with clang-cl against qelcode.lib
#   timing.sh         the timed encode
#
#   scripts/check-windows.sh
#
# Environment:
#   QEL_STEP_SELECTOR     step selector of every build (default 2)
#   QEL_WIN_BUILD_PREFIX  cross build directories, PREFIX-win32-msvcrt and so
#                         on (default build-check)
#   QEL_LINUX_BUILD_DIR   native build directory (default build-check-linux)
#   QEL_WINE_TIMEOUT      seconds allowed for each Wine call (default 120)
#   QEL_WINE_TIMING       0 skips the timed encode (default 1)
#
# Installs the cross compilers, clang, lld, llvm and Wine with apt when they
# are missing (as root, or through sudo). Exits non-zero on any failure.
set -euo pipefail

start=$SECONDS
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$repo/scripts/lib.sh"
selector=${QEL_STEP_SELECTOR:-2}
win_prefix=${QEL_WIN_BUILD_PREFIX:-$repo/build-check}
linux_build=${QEL_LINUX_BUILD_DIR:-$repo/build-check-linux}
wine_timeout=${QEL_WINE_TIMEOUT:-120}
timing=${QEL_WINE_TIMING:-1}
version=$(sed -n 's/^project(qelcode VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
configs=(win32-msvcrt win32-ucrt win64-msvcrt win64-ucrt)
triple_of() { case $1 in win32-*) echo i686-w64-mingw32 ;; *) echo x86_64-w64-mingw32 ;; esac; }

for job in wine build dll_tables reference hosts zips consumers clang_cl_host timing; do
    . "$repo/scripts/windows/$job.sh"
done

# ---- tools, and which Wine runs what -----------------------------------------
step "tools"
mapfile -t packages < <(stage_packages windows)
apt_install "${packages[@]}"
pick_wine

# ---- builds ------------------------------------------------------------------
step "native build ($linux_build)"
native_build
for config in "${configs[@]}"; do
    step "cross build $config ($win_prefix-$config)"
    cross_build "$win_prefix-$config" "$config"
done
# The portable DLL of each runtime that runs here.
for config in "${run_configs[@]}"; do
    step "cross build $config, portable ($win_prefix-$config-portable)"
    cross_build "$win_prefix-$config-portable" "$config" -DQEL_DIRECT_STDIO=OFF -DQEL_KERNEL=portable
done

# ---- export, import and resource tables --------------------------------------
for config in "${configs[@]}"; do
    step "$config: tables"
    check_tables "$config"
done

# ---- Wine --------------------------------------------------------------------
# The scratch folder: the Wine prefix, the sample, every program's output.
work=$(mktemp -d)
wine_env "$work/wineprefix"
trap cleanup EXIT
step "Wine prefix ($WINEPREFIX)"
make_wine_prefix

cd "$work"
make_sample
step "stream cases: Linux"
linux_stream_cases
# Every DLL's batch at once: a 32-bit one spends most of a minute starting
# under the emulator, on one processor.
step "every DLL's checks, each in one win_host process under Wine, all at once"
batches_started=$SECONDS
for config in "${run_configs[@]}"; do
    run_host_batch "$config" &
done
wait
[ "$emulated_32bit" = 0 ] || secs_32bit=$((secs_32bit + SECONDS - batches_started))
echo "$((SECONDS - batches_started)) s"
for config in "${run_configs[@]}"; do
    step "$config: the batch's outcome"
    check_host_batch "$config"
    compare_records "$config"
    compare_stream_cases "$config"
done

# ---- zips and their consumers ------------------------------------------------
for config in "${configs[@]}"; do
    step "$config: zip"
    check_zip "$config"
done
for config in "${configs[@]}"; do
    step "$config: a CMake project built against the unpacked zip with MinGW-w64"
    mingw_consumer "$config"
done
for config in win64-ucrt win32-ucrt; do
    step "$config: a CMake project built against the unpacked zip with clang-cl and lld-link"
    clang_cl_consumer "$config"
done

# ---- a Visual Studio user's host ---------------------------------------------
for config in win64-ucrt win32-ucrt; do
    step "$config: win_host built with clang-cl, linked with lld-link against qelcode.lib"
    clang_cl_host "$config"
done

# ---- timing ------------------------------------------------------------------
if [ "$timing" != 0 ]; then
    wine_timing
fi

if [ "$runs_32bit" = 0 ]; then
    echo "note: the 32-bit DLLs were built and checked (exports, imports, resource, zip, clang-cl link) but not run:"
    echo "      this machine runs no 32-bit x86 program, and Wine's 32-bit loader is one"
fi
if [ "$emulated_32bit" = 1 ]; then
    echo "the 32-bit DLLs ran under Wine's 32-bit loader through qemu-i386: $secs_32bit s of the stage's $((SECONDS - start)) s"
fi
step "all Windows checks passed in $((SECONDS - start)) s"
