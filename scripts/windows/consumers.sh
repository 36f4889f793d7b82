# CMake consumers of the unpacked zips: the zip's examples/ built by CMake
# through find_package(qelcode) from the unpacked folder, by MinGW-w64 for
# every zip (linking libqelcode.dll.a and the zip's runtime), and by
# clang-cl and lld-link for the ucrt zips (linking qelcode.lib), as a Visual
# Studio project would. There are no Visual Studio headers or libraries
# here; as for the clang-cl win_host (clang_cl_host.sh), mingw-w64's stand
# in, and tests/host/win/ucrt_entry.c for the startup code. Each program
# must import qelcode.dll and its runtime and, where it runs, encode and
# decode the sample as Linux does. (qelcode_DIR names the package: the MinGW
# toolchain file keeps find_package inside the toolchain's own root.)
# Sourced by scripts/check-windows.sh, never run; runs in the stage's
# scratch folder, after zips.sh has unpacked the zips.

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
    # Encoding and decoding at once: each 32-bit process spends most of a
    # minute starting under the emulator, on one processor.
    local encoder encoded=0
    w_slow "$config" "$(wine_for "$config")" "$exe" sample.txt consumer.enc >/dev/null &
    encoder=$!
    w_slow "$config" "$(wine_for "$config")" "$exe" -d linux.enc consumer.dec >/dev/null || die "$label: decoding failed"
    wait "$encoder" || encoded=$?
    [ "$encoded" = 0 ] || die "$label: encoding failed"
    cmp linux.enc consumer.enc || die "$label: the records differ from Linux's"
    cmp linux.dec consumer.dec || die "$label: the decoded text differs from Linux's"
    echo "$label: records and decoded text identical to Linux's"
}

# mingw_consumer CONFIG
mingw_consumer() {
    local config=$1 pkg out runtime
    local -a crt_flags
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
}

# clang_cl_consumer CONFIG (a ucrt config)
clang_cl_consumer() {
    local config=$1 llvm_bin pkg out triple target processor cflags lflags
    llvm_bin=$(dirname "$(readlink -f "$(command -v lld-link-14)")")
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
    cat >"$out/toolchain.cmake" <<EOT
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
EOT
    cmake -S "$pkg/examples" -B "$out/build" --toolchain "$out/toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
        -Dqelcode_DIR="$pkg/lib/cmake/qelcode" >/dev/null || die "$config: the clang-cl consumer did not configure"
    grep -q 'CMAKE_C_COMPILER_FRONTEND_VARIANT "MSVC"' "$out/build/CMakeFiles/"*/CMakeCCompiler.cmake ||
        die "$config: CMake did not take clang-cl for a compiler of Microsoft's kind"
    cmake --build "$out/build" >/dev/null || die "$config: the clang-cl consumer did not build"
    grep -qF "$pkg/lib/qelcode.lib" "$out/build/CMakeFiles/encode_file.dir/link.txt" ||
        die "$config: the clang-cl consumer did not link qelcode.lib"
    consumer_runs "$config clang-cl consumer" "$out/build/encode_file.exe" "$config" \
        'ucrtbase\.dll|api-ms-win-crt-[a-z0-9-]+\.dll'
}
