# The timed encode of the Windows stage: 64 MiB under Wine through the
# msvcrt and ucrt DLLs against the portable DLL (bench/wine_timing.sh with
# each build's timed_encode.exe). Sourced by scripts/check-windows.sh, never
# run; runs in the stage's scratch folder, on its sample.

# The portable DLL: the portable kernel alone, through stdio calls only, as
# every 32-bit DLL ran before the line engine. Timed on the first
# architecture that runs here natively: under qemu-i386 the 32-bit DLLs
# would time the emulator, not the library.
wine_timing() {
    local arch=${run_archs[0]}
    if [ "$emulated_32bit" = 1 ]; then
        arch=win64
        echo "no timing of the 32-bit DLLs: they run under qemu-i386, which it would measure"
    fi
    step "a 64 MiB encode under Wine ($arch): the msvcrt and ucrt DLLs against the portable DLL"
    QEL_WINE="$(wine_for "$arch-msvcrt")" QEL_WINE_TIMEOUT="$wine_timeout" bash "$repo/bench/wine_timing.sh" sample.txt \
        "$arch-msvcrt, best kernel, direct buffer access=$win_prefix-$arch-msvcrt/bin/timed_encode.exe" \
        "$arch-msvcrt, portable kernel, stdio calls only=$win_prefix-$arch-msvcrt-portable/bin/timed_encode.exe" \
        "$arch-ucrt, best kernel, direct buffer access=$win_prefix-$arch-ucrt/bin/timed_encode.exe"
}
