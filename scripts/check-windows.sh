#!/usr/bin/env bash
# Cross-builds qelcode.dll for 32-bit Windows, checks its export and import
# tables, runs win_host under Wine and compares the records the DLL writes
# with those the Linux library writes for the same input.
#
#   scripts/check-windows.sh
#
# Environment:
#   QEL_STEP_SELECTOR     step selector of both builds (default 2)
#   QEL_WIN_BUILD_DIR     cross build directory (default build-check-win32)
#   QEL_LINUX_BUILD_DIR   native build directory (default build-check-linux)
#   QEL_WINE_TIMEOUT      seconds allowed for each Wine call (default 120)
#
# Installs the cross compiler and Wine with apt when they are missing (as
# root, or through sudo). Exits non-zero on any failure.
set -euo pipefail

start=$SECONDS
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
selector=${QEL_STEP_SELECTOR:-2}
win_build=${QEL_WIN_BUILD_DIR:-$repo/build-check-win32}
linux_build=${QEL_LINUX_BUILD_DIR:-$repo/build-check-linux}
wine_timeout=${QEL_WINE_TIMEOUT:-120}
triple=i686-w64-mingw32

step() { printf '\n== %s\n' "$*"; }
die() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }

# ---- packages ----------------------------------------------------------------
step "tools"
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"
    elif command -v sudo >/dev/null; then sudo "$@"
    else die "need root (or sudo) to run: $*"
    fi
}
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v make >/dev/null || missing+=(make)
command -v cc >/dev/null || missing+=(gcc libc6-dev)
command -v c++ >/dev/null || missing+=(g++)
command -v $triple-g++-win32 >/dev/null || missing+=(g++-mingw-w64-i686-win32)
command -v wine >/dev/null || missing+=(wine)
installed wine32:i386 || missing+=(wine32:i386)
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    dpkg --print-foreign-architectures | grep -qx i386 || as_root dpkg --add-architecture i386
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "$($triple-gcc-win32 --version | head -n1); $(wine --version)"

# ---- builds ------------------------------------------------------------------
step "cross build ($win_build)"
cmake -S "$repo" -B "$win_build" --toolchain "$repo/cmake/toolchain-$triple.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DQEL_WERROR=ON -DQEL_STEP_SELECTOR="$selector" \
    -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_TOOL=OFF -DQEL_BUILD_WINHOST=ON >/dev/null
cmake --build "$win_build" -j2
dll=$win_build/bin/qelcode.dll
host_exe=$win_build/bin/win_host.exe
[ -f "$dll" ] && [ -f "$host_exe" ] || die "qelcode.dll or win_host.exe not built"

step "native build ($linux_build)"
cmake -S "$repo" -B "$linux_build" \
    -DCMAKE_BUILD_TYPE=Release -DQEL_WERROR=ON -DQEL_STEP_SELECTOR="$selector" \
    -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_TOOL=OFF -DQEL_BUILD_WINHOST=ON >/dev/null
cmake --build "$linux_build" -j2
linux_lib=$linux_build/src/libqelcode.so
linux_host=$linux_build/host/win/win_host

# ---- export and import tables ------------------------------------------------
step "export table of qelcode.dll"
dump=$($triple-objdump -p "$dll")
grep -q 'file format pei-i386' <<<"$(${triple}-objdump -f "$dll")" || die "not a 32-bit PE file"
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
               on && /^[[:space:]]*$/ {on = 0}
               on {print $NF}' <<<"$dump" | sort)
echo "$exports"
expected=$(sed -n 's/^[[:space:]]*\(QEL_[A-Za-z]*\)[[:space:]]*$/\1/p' "$repo/src/qelcode.def" | sort)
[ "$exports" = "$expected" ] || die "exports differ from the plain QEL_ names of src/qelcode.def"

step "imported DLLs"
check_imports() {
    local file=$1 dlls
    dlls=$($triple-objdump -p "$file" | awk '/DLL Name:/ {print $3}')
    echo "$(basename "$file"): $(echo $dlls)"
    while read -r name; do
        case ${name,,} in
            kernel32.dll | msvcrt.dll | ntdll.dll | user32.dll | advapi32.dll) ;;
            *) die "$(basename "$file") imports $name" ;;
        esac
    done <<<"$dlls"
}
check_imports "$dll"
check_imports "$host_exe"

# ---- Wine --------------------------------------------------------------------
work=$(mktemp -d)
export WINEPREFIX=$work/wineprefix WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" # no Mono or Gecko prompts
cleanup() {
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
w() { timeout "$wine_timeout" "$@"; }

step "Wine prefix ($WINEPREFIX)"
w wineboot -i >/dev/null 2>&1 || die "wineboot failed"
w wineserver -w || die "wineserver did not settle"
w wine cmd /c exit 0 || die "Wine warm-up failed"

step "win_host under Wine (ctest)"
(cd "$win_build" && timeout $((wine_timeout * 2)) ctest --output-on-failure --timeout "$wine_timeout") ||
    die "win_host checks failed under Wine"

step "same records from Windows and Linux (step selector $selector)"
cd "$work"
cp "$repo/include/qelcode.h" sample.txt
sed 's/$/\r/' "$repo/src/encoding/stream_driver.h" >>sample.txt
printf '\n\r\n\ttab, Ctrl-Z \032, high bytes \377\200, CR alone \r, ~tildes~\r\n' >>sample.txt
seq -s ' ' 1 600 | tr -d '\n' >>sample.txt
printf '\nlast line without a line feed' >>sample.txt

"$linux_host" --lib "$linux_lib" encode sample.txt linux.enc || die "Linux encoding failed"
w wine "$host_exe" encode sample.txt windows.enc || die "Windows encoding failed"
cmp linux.enc windows.enc || die "the records differ"
echo "$(wc -l <sample.txt) lines, $(wc -c <sample.txt) bytes -> $(wc -l <windows.enc) records, $(wc -c <windows.enc) bytes: identical"

"$linux_host" --lib "$linux_lib" decode windows.enc linux.dec || die "Linux decoding failed"
w wine "$host_exe" decode linux.enc windows.dec || die "Windows decoding failed"
cmp linux.dec windows.dec || die "the decoded texts differ"
echo "decoded texts identical ($(wc -c <windows.dec) bytes)"

step "all Windows checks passed in $((SECONDS - start)) s"
