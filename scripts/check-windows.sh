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
# Wine runs 32-bit Windows programs through its 32-bit loader, itself a
# 32-bit x86 Linux program, and some kernels run no such program. There the
# script registers qemu-i386 in binfmt_misc as the interpreter of 32-bit x86
# programs (when nothing is registered for them yet), so that the loader
# runs under emulation. Each 32-bit process then costs tens of seconds to
# start, so every check of a DLL runs in one win_host process (its batch
# command), with one result line per case. Where even that is impossible
# (no binfmt_misc), the 64-bit DLLs run under wine64, and the 32-bit ones
# are built and checked (tables, zips, the clang-cl link) but not run; the
# script says so.
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

# ---- packages ----------------------------------------------------------------
step "tools"
apt_install cmake make gcc libc6-dev g++ binutils g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 \
    clang-14 lld-14 llvm-14 wine wine64 wine32:i386
# clang-cl is clang's driver in its cl mode: the clang-cl link of another
# package is that same program.
clang_cl=(clang-14 --driver-mode=cl)

# Which Windows programs this machine runs: the 32-bit loader either starts
# or fails with "Exec format error"; then qemu-i386 is given the 32-bit x86
# programs, where binfmt_misc can be had.
wine64_loader=/usr/lib/wine/wine64
i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
binfmt=/proc/sys/fs/binfmt_misc
emulated_32bit=0
loader_runs() { /usr/lib/wine/wine --version >/dev/null 2>&1; }
# The binfmt_misc entry, enabled, whose magic is that of 32-bit x86 programs.
i386_entry() {
    local f
    for f in "$binfmt"/*; do
        [ "$(head -n1 "$f" 2>/dev/null)" = enabled ] &&
            grep -qx "magic 7f454c4601010100000000000000000002000300" "$f" 2>/dev/null && echo "$f" && return
    done
    return 0
}
if ! loader_runs; then
    step "Wine's 32-bit loader through qemu-i386"
    if [ ! -e "$binfmt/register" ]; then
        as_root mount -t binfmt_misc binfmt_misc "$binfmt" && echo "mounted binfmt_misc on $binfmt" ||
            echo "binfmt_misc can't be mounted here"
    fi
    if [ -e "$binfmt/register" ]; then
        apt_install qemu-user
        taken=$(i386_entry)
        if [ -n "$taken" ]; then
            echo "32-bit x86 programs already have an interpreter in binfmt_misc: $(echo $taken)"
        elif printf ':qemu-i386:M::%s:%s:/usr/bin/qemu-i386:F' "$i386_magic" "$i386_mask" |
                as_root tee "$binfmt/register" >/dev/null; then
            echo "registered /usr/bin/qemu-i386 in binfmt_misc for 32-bit x86 programs (flag F)"
        else
            echo "qemu-i386 could not be registered in binfmt_misc"
        fi
    fi
fi
# An interpreter in binfmt_misc for 32-bit x86 programs, registered here or
# before: the loader runs emulated.
i386_entry=$(i386_entry)
if loader_runs && [ -n "$i386_entry" ]; then emulated_32bit=1; fi
if loader_runs; then
    runs_32bit=1
    wine=$(command -v wine)
    if [ "$emulated_32bit" = 1 ]; then
        # Only the 32-bit programs go through the emulated loader.
        wine=$wine64_loader
        export WINELOADER=$wine64_loader
    fi
    run_configs=("${configs[@]}")
    run_archs=(win32 win64)
else
    runs_32bit=0
    [ -x "$wine64_loader" ] || die "no $wine64_loader"
    wine=$wine64_loader
    export WINELOADER=$wine64_loader
    run_configs=(win64-msvcrt win64-ucrt)
    run_archs=(win64)
fi
echo "$(i686-w64-mingw32-gcc-win32 --version | head -n1); $(clang-14 --version | head -n1); $("$wine" --version)"
if [ "$emulated_32bit" = 1 ]; then
    echo "Wine's 32-bit loader runs under qemu-i386: every DLL runs under Wine, the 32-bit ones emulated"
elif [ "$runs_32bit" = 1 ]; then
    echo "this machine runs 32-bit x86 programs: every DLL runs under Wine"
else
    echo "this machine runs no 32-bit x86 program (/usr/lib/wine/wine: $(/usr/lib/wine/wine --version 2>&1 | tail -n1)):"
    echo "the 64-bit DLLs run under $wine64_loader; the 32-bit DLLs are built and checked, not run"
fi

# ---- builds ------------------------------------------------------------------
step "native build ($linux_build)"
cmake -S "$repo" -B "$linux_build" \
    -DCMAKE_BUILD_TYPE=Release -DQEL_WERROR=ON -DQEL_STEP_SELECTOR="$selector" \
    -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_TOOL=OFF -DQEL_BUILD_WINHOST=ON >/dev/null
cmake --build "$linux_build" -j2
linux_lib=$linux_build/src/libqelcode.so
linux_host=$linux_build/tests/host/win/win_host

# The Wine that runs a config's programs: the 64-bit loader where 32-bit
# programs don't run (a 32-bit build's tests are then not run at all).
wine_for() { case $1 in win32-*) command -v wine ;; *) command -v "$wine" ;; esac; }
runs() { [[ " ${run_configs[*]} " == *" $1 "* ]]; }

# cross_build DIR CONFIG [CMAKE ARGS...]
cross_build() {
    local dir=$1 config=$2; shift 2
    cmake -S "$repo" -B "$dir" --toolchain "$repo/cmake/toolchains/$(triple_of "$config").cmake" \
        -DCMAKE_BUILD_TYPE=Release -DQEL_WERROR=ON -DQEL_STEP_SELECTOR="$selector" \
        -DQEL_WINDOWS_CRT="${config#*-}" -DQEL_WINE="$(wine_for "$config")" "$@" >/dev/null
    cmake --build "$dir" -j2
}
for config in "${configs[@]}"; do
    step "cross build $config ($win_prefix-$config)"
    cross_build "$win_prefix-$config" "$config"
done
# The portable DLL of each runtime that runs here: the portable kernel
# alone, through stdio calls only. The stream cases compare each DLL
# against it, and the timing measures it.
for config in "${run_configs[@]}"; do
    step "cross build $config, portable ($win_prefix-$config-portable)"
    cross_build "$win_prefix-$config-portable" "$config" -DQEL_DIRECT_STDIO=OFF -DQEL_KERNEL=portable
done

# ---- export, import and resource tables --------------------------------------
# The DLLs a file imports, lower case, one a line.
imports_of() { "$(triple_of "$2")-objdump" -p "$1" | awk '/DLL Name:/ {print tolower($3)}'; }

# check_imports FILE CONFIG ALLOWED_REGEX: every import matches, the runtime's is there.
check_imports() {
    local file=$1 config=$2 allowed=$3 dlls
    dlls=$(imports_of "$file" "$config")
    echo "$(basename "$file"): $(echo $dlls)"
    while read -r name; do
        [[ $name =~ ^($allowed)$ ]] || die "$config: $(basename "$file") imports $name"
    done <<<"$dlls"
    case $config in
        *-msvcrt) grep -qx msvcrt.dll <<<"$dlls" ;;
        *-ucrt) grep -Eqx 'ucrtbase.dll|api-ms-win-crt-.*' <<<"$dlls" ;;
    esac || die "$config: $(basename "$file") does not import its C runtime"
}

expected_exports=$(sed -n 's/^[[:space:]]*\(QEL_[A-Za-z]*\)[[:space:]]*$/\1/p' "$repo/src/qelcode.def" | sort)
for config in "${configs[@]}"; do
    step "$config: tables"
    dir=$win_prefix-$config
    dll=$dir/bin/qelcode.dll
    triple=$(triple_of "$config")
    case $config in win32-*) format=pei-i386 ;; *) format=pei-x86-64 ;; esac
    grep -q "file format $format" <<<"$($triple-objdump -f "$dll")" || die "$config: not a $format file"

    exports=$($triple-objdump -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
               on && /^[[:space:]]*$/ {on = 0}
               on {print $NF}' | sort)
    [ "$exports" = "$expected_exports" ] || die "$config: exports differ from the plain QEL_ names of src/qelcode.def: $exports"
    echo "exports: $(echo $exports)"

    case $config in
        *-msvcrt) runtime='msvcrt\.dll' ;;
        *-ucrt) runtime='ucrtbase\.dll|api-ms-win-crt-[a-z0-9-]+\.dll' ;;
    esac
    check_imports "$dll" "$config" "kernel32\.dll|$runtime"
    check_imports "$dir/bin/win_host.exe" "$config" "kernel32\.dll|user32\.dll|advapi32\.dll|$runtime"

    # The version resource's strings are UTF-16: each name, then its value.
    resource=$(strings -el "$dll")
    for key in FileVersion ProductVersion; do
        value=$(grep -A1 -x "$key" <<<"$resource" | sed -n 2p)
        [ "$value" = "$version" ] || die "$config: $key is '$value', not $version"
    done
    echo "version resource: FileVersion and ProductVersion $version; $(grep -A1 -x FileDescription <<<"$resource" | sed -n 2p)"
done

# ---- Wine --------------------------------------------------------------------
work=$(mktemp -d)
export WINEPREFIX=$work/wineprefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" # no Mono or Gecko prompts
cleanup() {
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
w() { timeout "$wine_timeout" "$@"; }
# w_slow CONFIG COMMAND...: a Wine call of CONFIG's, given longer where its
# programs run emulated (each 32-bit process starts in tens of seconds);
# the seconds of the 32-bit ones add up in secs_32bit.
secs_32bit=0
w_slow() {
    local config=$1 limit=$wine_timeout started=$SECONDS rc=0; shift
    case $config in win32-*) [ "$emulated_32bit" = 0 ] || limit=$((wine_timeout * 6)) ;; esac
    timeout "$limit" "$@" || rc=$?
    case $config in win32-*) secs_32bit=$((secs_32bit + SECONDS - started)) ;; esac
    return $rc
}

step "Wine prefix ($WINEPREFIX)"
# Made once, reused by every program of the stage. Where the 32-bit loader
# runs emulated, the prefix is made by the 64-bit loader alone, with the
# emulator's entry switched off for the while (wineboot's own 32-bit
# programs would take many minutes under emulation), and its 32-bit system
# folder is then given Wine's 32-bit DLLs, which is what those programs
# would put there.
if [ "$emulated_32bit" = 1 ]; then
    echo 0 | as_root tee "$i386_entry" >/dev/null
    w "$wine64_loader" wineboot -i >/dev/null 2>&1 || true
    w wineserver -w || true
    echo 1 | as_root tee "$i386_entry" >/dev/null
    wine32_dlls=/usr/lib/i386-linux-gnu/wine/i386-windows
    [ -d "$wine32_dlls" ] || die "no $wine32_dlls (wine32:i386)"
    cp -n "$wine32_dlls"/* "$WINEPREFIX/drive_c/windows/syswow64/"
    echo "prefix made by the 64-bit loader; syswow64 given $(ls "$wine32_dlls" | wc -l) files of $wine32_dlls"
else
    w "$wine" wineboot -i >/dev/null 2>&1 || die "wineboot failed"
fi
w wineserver -w || die "wineserver did not settle"
w "$wine" cmd /c exit 0 || die "Wine warm-up failed"

cd "$work"
cp "$repo/include/qelcode.h" sample.txt
sed 's/$/\r/' "$repo/tests/reference/qel_reference.h" >>sample.txt
printf '\n\r\n\ttab, Ctrl-Z \032, high bytes \377\200, CR alone \r, ~tildes~\r\n' >>sample.txt
seq -s ' ' 1 600 | tr -d '\n' >>sample.txt
printf '\nlast line without a line feed' >>sample.txt
"$linux_host" --lib "$linux_lib" encode sample.txt linux.enc || die "Linux encoding failed"
"$linux_host" --lib "$linux_lib" decode linux.enc linux.dec || die "Linux decoding failed"
echo "sample: $(wc -l <sample.txt) lines, $(wc -c <sample.txt) bytes -> $(wc -l <linux.enc) records, $(wc -c <linux.enc) bytes"

# Every check of a DLL in one win_host process (its batch command), one
# result line per case: the host's own checks (exports, the vectors, the
# record, stream and buffer calls), the sample encoded and decoded, the
# stream cases through the DLL and through the portable DLL of its runtime,
# and the sample through the buffer functions of the DLL of the other
# runtime, which this host passes no FILE.
#
# The stream cases (tests/host/stream_cases.c) are every setting of the
# streams that changes what their buffers show (stdio buffers of 1 to 513
# bytes, unbuffered streams, ungetc, a warm-up line, text mode, streams
# opened for update): each DLL's direct buffer access must give what the
# portable DLL of its runtime gives through stdio's calls, and what the
# Linux library gives where the mode is binary. (The Windows runtimes
# refuse a 1-byte buffer; the report says so and the runtime's own is used.)
step "stream cases: Linux"
mkdir cases-linux
"$linux_host" --lib "$linux_lib" stream-cases sample.txt linux.enc cases-linux || die "Linux: the stream cases failed"
# The report lines of the cases compared with Linux's, those whose names
# don't match the pattern $2.
linux_report() { grep -Ev "$2" "$1/report.txt" | sed 's/ (setvbuf refused the buffer size)$//'; }
other_crt() { case $1 in *-msvcrt) echo "${1%-*}-ucrt" ;; *) echo "${1%-*}-msvcrt" ;; esac; }

for config in "${run_configs[@]}"; do
    dir=$win_prefix-$config
    other=$(other_crt "$config")
    step "$config: every check of the DLL in one win_host process under Wine"
    rm -rf "scratch-$config" "cases-$config" "cases-$config-portable"
    mkdir "scratch-$config" "cases-$config" "cases-$config-portable"
    lib="--lib $dir/bin/qelcode.dll"
    {
        echo "$lib --def $repo/src/qelcode.def --vectors $repo/tests/reference/vectors.txt check scratch-$config"
        echo "$lib encode sample.txt $config.enc"
        echo "$lib decode linux.enc $config.dec"
        echo "$lib stream-cases sample.txt linux.enc cases-$config"
        echo "--lib $dir-portable/bin/qelcode.dll stream-cases sample.txt linux.enc cases-$config-portable"
        echo "--lib $win_prefix-$other/bin/qelcode.dll buffer-encode sample.txt $config-$other.enc"
        echo "--lib $win_prefix-$other/bin/qelcode.dll buffer-decode linux.enc $config-$other.dec"
    } >"batch-$config.txt"
    w_slow "$config" "$(wine_for "$config")" "$dir/bin/win_host.exe" batch "batch-$config.txt" \
        >"batch-$config.out" 2>&1 || { cat "batch-$config.out"; die "$config: win_host's batch failed under Wine"; }
    grep -E '^(ok|FAIL) [0-9]+:|checks passed' "batch-$config.out" | sed "s|$win_prefix|BUILD|g"
    [ "$(grep -c '^ok [0-9]*:' "batch-$config.out")" = 7 ] || die "$config: not every case of the batch ran"

    cmp linux.enc "$config.enc" || die "$config: the records differ from Linux's"
    cmp linux.dec "$config.dec" || die "$config: the decoded text differs from Linux's"
    cmp linux.enc "$config-$other.enc" || die "$config host, $other DLL: the records differ from Linux's"
    cmp linux.dec "$config-$other.dec" || die "$config host, $other DLL: the decoded text differs from Linux's"
    echo "$config: records and decoded text identical to Linux's, through its DLL's streams and the $other DLL's buffer functions"

    # Text mode is Windows' own. On an unbuffered stream, Wine's msvcrt.dll
    # (not its ucrt) loses a byte pushed back by ungetc once getc's inline
    # count has gone below zero: the host's ungetc before the call, then the
    # library's after each full piece, which the portable DLL loses too.
    # That case is compared with the portable DLL only. (Where that ungetc
    # is refused outright, the library holds the byte itself.)
    not_linux=textmode
    case $config in *-msvcrt) not_linux='textmode|ungetc_unbuffered' ;; esac
    diff -r "cases-$config-portable" "cases-$config" >&2 ||
        die "$config: the stream cases differ from the portable DLL's"
    diff <(linux_report cases-linux "$not_linux") <(linux_report "cases-$config" "$not_linux") >&2 ||
        die "$config: the stream cases' status, lines or positions differ from Linux's"
    for f in cases-linux/*.dest cases-linux/*.rest; do
        [[ ${f##*/} =~ $not_linux ]] && continue
        cmp "$f" "cases-$config/${f##*/}" || die "$config: ${f##*/} differs from Linux's"
    done
    echo "$config: $(grep -c . "cases-$config/report.txt") stream cases identical to the portable DLL's," \
        "$(linux_report cases-linux "$not_linux" | grep -c .) of them to Linux's (not: $not_linux)"
done

# ---- zips --------------------------------------------------------------------
for config in "${configs[@]}"; do
    step "$config: zip"
    dir=$win_prefix-$config
    name=qelcode-$version-$config
    (cd "$dir" && rm -f "$name.zip" && cpack -G ZIP >/dev/null) || die "$config: cpack failed"
    [ -f "$dir/$name.zip" ] || die "$config: cpack made no $name.zip"
    listed=$(cmake -E tar tf "$dir/$name.zip" | grep -v '/$' | sort)
    expected=$(printf "$name/%s\n" bin/qelcode.dll debug/qelcode.dll.debug lib/qelcode.lib lib/libqelcode.dll.a \
        lib/qelcode.def lib/cmake/qelcode/qelcodeConfig.cmake lib/cmake/qelcode/qelcodeConfigVersion.cmake \
        include/qelcode.h include/qelcode.hpp examples/encode_file.c examples/CMakeLists.txt examples/README.txt \
        LICENSE.txt README-Windows.txt | sort)
    diff <(echo "$expected") <(echo "$listed") || die "$config: $name.zip holds other files than expected"
    echo "$name.zip: $(echo $listed | sed "s|$name/||g")"
    rm -rf "$work/$name" && (cd "$work" && cmake -E tar xf "$dir/$name.zip")
    cmp "$dir/bin/qelcode.dll" "$work/$name/bin/qelcode.dll" || die "$config: the zip's DLL is not the one tested"
    # The DLL carries no debug information, only the name of the file that does.
    sections=$("$(triple_of "$config")-objdump" -h "$work/$name/bin/qelcode.dll")
    ! grep -q '\.debug_' <<<"$sections" || die "$config: the zip's DLL holds debug information"
    grep -q '\.gnu_debuglink' <<<"$sections" || die "$config: the zip's DLL does not name its debug file"
    grep -q '\.debug_info' <<<"$("$(triple_of "$config")-objdump" -h "$work/$name/debug/qelcode.dll.debug")" ||
        die "$config: debug/qelcode.dll.debug holds no debug information"
    echo "bin/qelcode.dll: $(stat -c %s "$work/$name/bin/qelcode.dll") bytes, its debug information apart" \
        "($(stat -c %s "$work/$name/debug/qelcode.dll.debug") bytes)"
done

# ---- CMake consumers of the unpacked zips ------------------------------------
# The zip's examples/ built by CMake through find_package(qelcode) from the
# unpacked folder: by MinGW-w64 for every zip (linking libqelcode.dll.a and
# the zip's runtime), and by clang-cl and lld-link for the ucrt zips
# (linking qelcode.lib), as a Visual Studio project would. There are no
# Visual Studio headers or libraries here; as for the clang-cl win_host
# below, mingw-w64's stand in, and tests/host/win/ucrt_entry.c for the
# startup code. Each program must import qelcode.dll and its runtime and,
# where it runs, encode and decode the sample as Linux does. (qelcode_DIR
# names the package: the MinGW toolchain file keeps find_package inside the
# toolchain's own root.)

# consumer_runs LABEL EXE CONFIG RUNTIME_REGEX
consumer_runs() {
    local label=$1 exe=$2 config=$3
    check_imports "$exe" "$config" "kernel32\.dll|qelcode\.dll|$4"
    grep -qx qelcode.dll <<<"$(imports_of "$exe" "$config")" || die "$label does not import qelcode.dll"
    if ! runs "$config"; then
        echo "$label: built and linked, not run (no 32-bit programs here)"
        return
    fi
    rm -f consumer.enc consumer.dec
    w_slow "$config" "$(wine_for "$config")" "$exe" sample.txt consumer.enc >/dev/null || die "$label: encoding failed"
    cmp linux.enc consumer.enc || die "$label: the records differ from Linux's"
    w_slow "$config" "$(wine_for "$config")" "$exe" -d linux.enc consumer.dec >/dev/null || die "$label: decoding failed"
    cmp linux.dec consumer.dec || die "$label: the decoded text differs from Linux's"
    echo "$label: records and decoded text identical to Linux's"
}
for config in "${configs[@]}"; do
    step "$config: a CMake project built against the unpacked zip with MinGW-w64"
    pkg=$work/qelcode-$version-$config
    out=$work/consumer-mingw-$config
    case $config in
        *-ucrt)
            crt_flags=(-DCMAKE_C_FLAGS="-D_UCRT -specs=$win_prefix-$config/ucrt.specs")
            runtime='ucrtbase\.dll|api-ms-win-crt-[a-z0-9-]+\.dll' ;;
        *) crt_flags=() runtime='msvcrt\.dll' ;;
    esac
    cmake -S "$pkg/examples" -B "$out" --toolchain "$repo/cmake/toolchains/$(triple_of "$config").cmake" \
        -DCMAKE_BUILD_TYPE=Release -Dqelcode_DIR="$pkg/lib/cmake/qelcode" "${crt_flags[@]}" >/dev/null ||
        die "$config: the MinGW consumer did not configure"
    cmake --build "$out" >/dev/null || die "$config: the MinGW consumer did not build"
    grep -rqF "$pkg/lib/libqelcode.dll.a" "$out/CMakeFiles/encode_file.dir/" ||
        die "$config: the MinGW consumer did not link libqelcode.dll.a"
    consumer_runs "$config MinGW consumer" "$out/encode_file.exe" "$config" "$runtime"
done
llvm_bin=$(dirname "$(readlink -f "$(command -v lld-link-14)")")
for config in win64-ucrt win32-ucrt; do
    step "$config: a CMake project built against the unpacked zip with clang-cl and lld-link"
    pkg=$work/qelcode-$version-$config
    out=$work/consumer-clang-cl-$config
    triple=$(triple_of "$config")
    case $config in
        win32-*) target=i686-pc-windows-msvc processor=X86 cflags=/D_X86_ lflags=/safeseh:no ;;
        *) target=x86_64-pc-windows-msvc processor=AMD64 cflags= lflags= ;;
    esac
    mkdir -p "$out"
    "$llvm_bin/clang-cl" --target=$target /nologo /c /O2 /GS- /Zl /D_UCRT $cflags /clang:-fgnuc-version=4.2.1 \
        /imsvc /usr/share/mingw-w64/include /Fo"$out/ucrt_entry.obj" -- "$repo/tests/host/win/ucrt_entry.c" >/dev/null ||
        die "$config: ucrt_entry.c did not compile"
    cat >"$out/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR $processor)
set(CMAKE_C_COMPILER "$llvm_bin/clang-cl")
set(CMAKE_C_COMPILER_TARGET $target)
set(CMAKE_LINKER "$llvm_bin/lld-link")
set(CMAKE_AR "$llvm_bin/llvm-lib")
set(CMAKE_RC_COMPILER "$llvm_bin/llvm-rc")
set(CMAKE_MT "$llvm_bin/llvm-mt")
set(CMAKE_C_FLAGS_INIT "/GS- /Zl /D_UCRT $cflags /clang:-fgnuc-version=4.2.1 /imsvc /usr/share/mingw-w64/include")
set(CMAKE_EXE_LINKER_FLAGS_INIT "$lflags")
set(CMAKE_C_STANDARD_LIBRARIES "$out/ucrt_entry.obj /usr/$triple/lib/libucrt.a /usr/$triple/lib/libkernel32.a" CACHE STRING "" FORCE)
set(CMAKE_TRY_COMPILE_CONFIGURATION Release)
EOF
    cmake -S "$pkg/examples" -B "$out/build" --toolchain "$out/toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
        -Dqelcode_DIR="$pkg/lib/cmake/qelcode" >/dev/null || die "$config: the clang-cl consumer did not configure"
    grep -q 'CMAKE_C_COMPILER_FRONTEND_VARIANT "MSVC"' "$out/build/CMakeFiles/"*/CMakeCCompiler.cmake ||
        die "$config: CMake did not take clang-cl for a compiler of Microsoft's kind"
    cmake --build "$out/build" >/dev/null || die "$config: the clang-cl consumer did not build"
    grep -qF "$pkg/lib/qelcode.lib" "$out/build/CMakeFiles/encode_file.dir/link.txt" ||
        die "$config: the clang-cl consumer did not link qelcode.lib"
    consumer_runs "$config clang-cl consumer" "$out/build/encode_file.exe" "$config" \
        'ucrtbase\.dll|api-ms-win-crt-[a-z0-9-]+\.dll'
done

# ---- a Visual Studio user's host ---------------------------------------------
# clang-cl compiles win_host, lld-link links it against qelcode.lib, all from
# the unpacked zip. There are no Visual Studio headers or libraries here:
# mingw-w64's headers stand in for the former (they expect GCC's __GNUC__
# and, for 32-bit x86, _X86_), its import library of the Universal C Runtime
# for the latter, and tests/host/win/ucrt_entry.c for Visual Studio's startup
# code.
# Its GNU-made import objects carry no SafeSEH table, hence /safeseh:no.
host_sources=("$repo"/tests/host/{main,loader,vectors,checks,stream_cases}.c)
for config in win64-ucrt win32-ucrt; do
    step "$config: win_host built with clang-cl, linked with lld-link against qelcode.lib"
    pkg=$work/qelcode-$version-$config
    triple=$(triple_of "$config")
    out=$work/clang-cl-$config
    mkdir -p "$out"
    case $config in
        win32-*) target=i686-pc-windows-msvc machine=x86 defines=(/D_X86_) link_extra=(/safeseh:no) ;;
        *) target=x86_64-pc-windows-msvc machine=x64 defines=() link_extra=() ;;
    esac
    (cd "$out" &&
        "${clang_cl[@]}" --target=$target /nologo /c /O2 /W4 /WX /GS- /Zl /D_UCRT /DQEL_HOST_LINKED \
            /DQEL_TEST_STEP_SELECTOR="${selector}u" "${defines[@]}" /clang:-fgnuc-version=4.2.1 \
            /imsvc /usr/share/mingw-w64/include /I"$pkg/include" \
            -- "${host_sources[@]}" "$repo/tests/host/win/ucrt_entry.c" &&
        lld-link-14 /nologo /machine:$machine /subsystem:console "${link_extra[@]}" /out:win_host.exe \
            main.obj loader.obj vectors.obj checks.obj stream_cases.obj ucrt_entry.obj "$pkg/lib/qelcode.lib" \
            "/usr/$triple/lib/libucrt.a" "/usr/$triple/lib/libkernel32.a") ||
        die "$config: the clang-cl host did not build"
    cp "$pkg/bin/qelcode.dll" "$out/"
    check_imports "$out/win_host.exe" "$config" \
        "kernel32\.dll|qelcode\.dll|ucrtbase\.dll|api-ms-win-crt-[a-z0-9-]+\.dll"
    grep -qx qelcode.dll <<<"$(imports_of "$out/win_host.exe" "$config")" ||
        die "$config: the clang-cl host does not import qelcode.dll"
    if ! runs "$config"; then
        echo "$config: the clang-cl host is built and linked, not run (no 32-bit programs here)"
        continue
    fi
    {
        echo "--def $repo/src/qelcode.def --vectors $repo/tests/reference/vectors.txt check $out"
        echo "encode $work/sample.txt $out/windows.enc"
        echo "decode $work/linux.enc $out/windows.dec"
    } >"$out/batch.txt"
    (cd "$out" && w_slow "$config" "$(wine_for "$config")" ./win_host.exe batch batch.txt) >"$out/batch.out" 2>&1 ||
        { cat "$out/batch.out"; die "$config: the clang-cl host's checks failed"; }
    grep -E '^(ok|FAIL) [0-9]+:|checks passed' "$out/batch.out" | sed "s|$work/||g"
    cmp linux.enc "$out/windows.enc" || die "$config clang-cl host: the records differ from Linux's"
    cmp linux.dec "$out/windows.dec" || die "$config clang-cl host: the decoded text differs from Linux's"
    echo "$config clang-cl host: records and decoded text identical to Linux's"
done

# ---- timing ------------------------------------------------------------------
if [ "$timing" != 0 ]; then
    # The portable DLL: the portable kernel alone, through stdio calls only,
    # as every 32-bit DLL ran before the line engine. Timed on the first
    # architecture that runs here natively: under qemu-i386 the 32-bit DLLs
    # would time the emulator, not the library.
    arch=${run_archs[0]}
    if [ "$emulated_32bit" = 1 ]; then
        arch=win64
        echo "no timing of the 32-bit DLLs: they run under qemu-i386, which it would measure"
    fi
    step "a 64 MiB encode under Wine ($arch): the msvcrt and ucrt DLLs against the portable DLL"
    QEL_WINE="$(wine_for "$arch-msvcrt")" QEL_WINE_TIMEOUT="$wine_timeout" bash "$repo/bench/wine_timing.sh" sample.txt \
        "$arch-msvcrt, best kernel, direct buffer access=$win_prefix-$arch-msvcrt/bin/timed_encode.exe" \
        "$arch-msvcrt, portable kernel, stdio calls only=$win_prefix-$arch-msvcrt-portable/bin/timed_encode.exe" \
        "$arch-ucrt, best kernel, direct buffer access=$win_prefix-$arch-ucrt/bin/timed_encode.exe"
fi

if [ "$runs_32bit" = 0 ]; then
    echo "note: the 32-bit DLLs were built and checked (exports, imports, resource, zip, clang-cl link) but not run:"
    echo "      this machine runs no 32-bit x86 program, and Wine's 32-bit loader is one"
fi
if [ "$emulated_32bit" = 1 ]; then
    echo "the 32-bit DLLs ran under Wine's 32-bit loader through qemu-i386: $secs_32bit s of the stage's $((SECONDS - start)) s"
fi
step "all Windows checks passed in $((SECONDS - start)) s"
