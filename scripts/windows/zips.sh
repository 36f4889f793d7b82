# The zip of a DLL: made with cpack, listed against the expected contents,
# unpacked into the stage's scratch folder (where consumers.sh and
# clang_cl_host.sh build against it), its DLL the one tested, without debug
# information but naming the file that holds it. Sourced by
# scripts/check-windows.sh, never run.

# check_zip CONFIG
check_zip() {
    local config=$1 dir name listed expected sections
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
}
