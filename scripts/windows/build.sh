# The builds of the Windows stage: the native Linux library and win_host
# that every Windows result is compared with, and the cross builds of the
# DLLs. Sourced by scripts/check-windows.sh, never run.

# Builds the native library and win_host in $linux_build; sets linux_lib
# and linux_host.
native_build() {
    cmake -S "$repo" -B "$linux_build" \
        -DCMAKE_BUILD_TYPE=Release -DQEL_WERROR=ON -DQEL_STEP_SELECTOR="$selector" \
        -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_TOOL=OFF -DQEL_BUILD_WINHOST=ON >/dev/null
    cmake --build "$linux_build" -j2
    linux_lib=$linux_build/src/libqelcode.so
    linux_host=$linux_build/tests/host/win/win_host
}

# cross_build DIR CONFIG [CMAKE ARGS...]: the DLL of CONFIG, its win_host
# and timed_encode, its zip's files, in DIR. The portable DLL of a runtime
# is such a build with -DQEL_DIRECT_STDIO=OFF -DQEL_KERNEL=portable: the
# portable kernel alone, through stdio calls only. The stream cases compare
# each DLL against it, and the timing measures it.
cross_build() {
    local dir=$1 config=$2; shift 2
    cmake -S "$repo" -B "$dir" --toolchain "$repo/cmake/toolchains/$(triple_of "$config").cmake" \
        -DCMAKE_BUILD_TYPE=Release -DQEL_WERROR=ON -DQEL_STEP_SELECTOR="$selector" \
        -DQEL_WINDOWS_CRT="${config#*-}" -DQEL_WINE="$(wine_for "$config")" "$@" >/dev/null
    cmake --build "$dir" -j2
}
