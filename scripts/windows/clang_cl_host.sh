# A Visual Studio user's host: clang-cl compiles win_host, lld-link links it
# against qelcode.lib, all from an unpacked ucrt zip, and it runs its checks
# under Wine. There are no Visual Studio headers or libraries here:
# mingw-w64's headers stand in for the former (they expect GCC's __GNUC__
# and, for 32-bit x86, _X86_), its import library of the Universal C Runtime
# for the latter, and tests/host/win/ucrt_entry.c for Visual Studio's startup
# code. Its GNU-made import objects carry no SafeSEH table, hence
# /safeseh:no. Sourced by scripts/check-windows.sh, never run; runs in the
# stage's scratch folder, after zips.sh has unpacked the zips.

# clang-cl is clang's driver in its cl mode: the clang-cl link of another
# package is that same program.
clang_cl=(clang-14 --driver-mode=cl)

# clang_cl_host CONFIG (a ucrt config)
clang_cl_host() {
    local config=$1 pkg triple out target machine
    local -a defines link_extra host_sources
    host_sources=("$repo"/tests/host/{main,loader,vectors,checks,stream_cases}.c)
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
        return
    fi
    {
        echo "--def $repo/src/qelcode.def --vectors $repo/tests/reference/vectors.txt check $out"
        echo "encode $work/sample.txt $out/windows.enc"
        echo "decode $work/linux.enc $out/windows.dec"
    } >"$out/batch.txt"
    # In this shell, not a subshell, so that w_slow's count of 32-bit
    # seconds keeps this run.
    local rc=0
    pushd "$out" >/dev/null
    w_slow "$config" "$(wine_for "$config")" ./win_host.exe batch batch.txt >"$out/batch.out" 2>&1 || rc=$?
    popd >/dev/null
    [ "$rc" = 0 ] || { cat "$out/batch.out"; die "$config: the clang-cl host's checks failed"; }
    grep -E '^(ok|FAIL) [0-9]+:|checks passed' "$out/batch.out" | sed "s|$work/||g"
    cmp linux.enc "$out/windows.enc" || die "$config clang-cl host: the records differ from Linux's"
    cmp linux.dec "$out/windows.dec" || die "$config clang-cl host: the decoded text differs from Linux's"
    echo "$config clang-cl host: records and decoded text identical to Linux's"
}
