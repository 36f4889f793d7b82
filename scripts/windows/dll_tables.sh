# The tables of a DLL's file: its format, its export table against
# src/qelcode.def, its imports and its host's (KERNEL32 and its own C
# runtime, nothing else), and its version resource. Sourced by
# scripts/check-windows.sh, never run.

# imports_of FILE CONFIG: the DLLs FILE imports, lower case, one a line.
imports_of() { "$(triple_of "$2")-objdump" -p "$1" | awk '/DLL Name:/ {print tolower($3)}'; }

# check_imports FILE CONFIG ALLOWED_REGEX: every import matches, the runtime's is there.
check_imports() {
    local file=$1 config=$2 allowed=$3 dlls name
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

# check_tables CONFIG: the tables of CONFIG's qelcode.dll, and win_host.exe's imports.
check_tables() {
    local config=$1 dir dll triple format expected_exports exports runtime resource key value
    dir=$win_prefix-$config
    dll=$dir/bin/qelcode.dll
    triple=$(triple_of "$config")
    case $config in win32-*) format=pei-i386 ;; *) format=pei-x86-64 ;; esac
    grep -q "file format $format" <<<"$($triple-objdump -f "$dll")" || die "$config: not a $format file"

    expected_exports=$(sed -n 's/^[[:space:]]*\(QEL_[A-Za-z]*\)[[:space:]]*$/\1/p' "$repo/src/qelcode.def" | sort)
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
}
