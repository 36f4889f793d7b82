# Wine for the Windows stage: which loader runs which DLLs (registering
# qemu-i386 for Wine's 32-bit loader where the kernel runs no 32-bit x86
# program), the time-outs of its calls, and the prefix every program of the
# stage runs in. Sourced by scripts/check-windows.sh, never run.
#
# Wine runs 32-bit Windows programs through its 32-bit loader, itself a
# 32-bit x86 Linux program, and some kernels run no such program. There
# pick_wine registers qemu-i386 in binfmt_misc as the interpreter of 32-bit
# x86 programs (when nothing is registered for them yet), so that the loader
# runs under emulation. Each 32-bit process then costs tens of seconds to
# start, so every check of a DLL runs in one win_host process (its batch
# command), with one result line per case. Where even that is impossible
# (no binfmt_misc), the 64-bit DLLs run under wine64, and the 32-bit ones
# are built and checked (tables, zips, the clang-cl link) but not run; the
# stage says so.

wine64_loader=/usr/lib/wine/wine64
i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
binfmt=/proc/sys/fs/binfmt_misc
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

# Which Windows programs this machine runs: the 32-bit loader either starts
# or fails with "Exec format error"; then qemu-i386 is given the 32-bit x86
# programs, where binfmt_misc can be had. Sets wine (the loader of the
# 64-bit programs), emulated_32bit and runs_32bit (0 or 1), i386_entry (the
# binfmt_misc entry of qemu-i386, if any), run_configs and run_archs (the
# builds and architectures whose programs run here), and prints the tools'
# versions and what runs.
pick_wine() {
    local taken
    emulated_32bit=0
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
    # An interpreter in binfmt_misc for 32-bit x86 programs, registered here
    # or before: the loader runs emulated.
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
}

# The Wine that runs a config's programs: the 64-bit loader where 32-bit
# programs don't run (a 32-bit build's tests are then not run at all).
wine_for() { case $1 in win32-*) command -v wine ;; *) command -v "$wine" ;; esac; }
runs() { [[ " ${run_configs[*]} " == *" $1 "* ]]; }

# w COMMAND...: a Wine call, within QEL_WINE_TIMEOUT.
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

# wine_env DIR: Wine's settings for every call of the stage, its prefix DIR.
wine_env() {
    export WINEPREFIX=$1 WINEARCH=win64 WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=" # no Mono or Gecko prompts
}
# The stage's exit trap: Wine's server stopped, the scratch folder removed.
cleanup() {
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    rm -rf "$work"
}

# Makes the Wine prefix once, reused by every program of the stage. Where
# the 32-bit loader runs emulated, the prefix is made by the 64-bit loader
# alone, with the emulator's entry switched off for the while (wineboot's
# own 32-bit programs would take many minutes under emulation), and its
# 32-bit system folder is then given Wine's 32-bit DLLs, which is what those
# programs would put there.
make_wine_prefix() {
    local wine32_dlls
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
}
