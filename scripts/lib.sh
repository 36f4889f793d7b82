# Shell helpers that the check scripts share. Sourced, never run:
#   . "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# A stage of scripts/check.sh, and a step within a script.
stage() { printf '\n==== %s\n' "$*"; }
step() { printf '\n== %s\n' "$*"; }
die() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }

# Runs a command as root: directly when this is root, else through sudo.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"
    elif command -v sudo >/dev/null; then sudo "$@"
    else die "need root (or sudo) to run: $*"
    fi
}

# Whether a Debian package (NAME or NAME:ARCH) is installed.
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# apt_install PACKAGE...: installs with apt those of the packages that are
# missing. A package of a foreign architecture (NAME:ARCH) adds that
# architecture to dpkg first. Every install of the checks holds one lock, so
# that a stage's install waits for one under way in the background (see
# scripts/check.sh) and then finds its packages there.
# (The lock is taken on a descriptor open for reading, which any user can
# open, whoever made the file.)
apt_lock=/tmp/qelcode-check-apt.lock
apt_install() {
    [ -e "$apt_lock" ] || : >>"$apt_lock"
    ( flock 9 && apt_install_now "$@" ) 9<"$apt_lock"
}
apt_install_now() {
    local p missing=()
    for p in "$@"; do installed "$p" || missing+=("$p"); done
    [ ${#missing[@]} -gt 0 ] || return 0
    echo "installing: ${missing[*]}"
    for p in "${missing[@]}"; do
        case $p in
            *:*)
                local arch=${p#*:}
                [ "$arch" = "$(dpkg --print-architecture)" ] ||
                    dpkg --print-foreign-architectures | grep -qx "$arch" ||
                    as_root dpkg --add-architecture "$arch"
                ;;
        esac
    done
    as_root apt-get -o DPkg::Lock::Timeout=600 update -qq
    as_root env DEBIAN_FRONTEND=noninteractive \
        apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The Linux architectures the cross stage builds for, by default.
cross_targets=(aarch64-linux-gnu arm-linux-gnueabihf s390x-linux-gnu i686-linux-gnu)

# stage_packages STAGE [TARGET...]: the Debian packages STAGE installs, one
# a line (for the cross stage, those of the TARGETs or of cross_targets).
stage_packages() {
    local p stage=$1; shift
    case $stage in
        cross) p=(cmake make python3 file qemu-user googletest)
               if [ $# -gt 0 ]; then p+=("${@/#/g++-}"); else p+=("${cross_targets[@]/#/g++-}"); fi ;;
        windows) p=(cmake make gcc libc6-dev g++ binutils g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32
                    clang-14 lld-14 llvm-14 wine wine64 wine32:i386 qemu-user) ;;
        abi) p=(abigail-tools) ;;
        # Debian's way of cross-building: the arm64 architecture in dpkg, the
        # cross compilers, and arm64's own C and C++ runtime libraries, which
        # dpkg-shlibdeps reads for the dependencies of the arm64 packages; the
        # build dependencies of debian/control besides.
        package) p=(dpkg-dev debhelper lintian man-db file binutils pkg-config crossbuild-essential-arm64
                    libc6-dev:arm64 libstdc++6:arm64 cmake dh-python python3 groff-base libgtest-dev) ;;
        python) p=(python3-build python3-wheel python3-setuptools python3-venv python3-pip mypy
                   python3-dask python3-distributed) ;;
        # rustup's cargo where there is one, else Debian's.
        rust-go) p=(golang-go pkg-config)
                 command -v cargo >/dev/null || [ -x "$HOME/.cargo/bin/cargo" ] || p+=(cargo) ;;
        js) p=(emscripten nodejs chromium node-typescript cmake make) ;;
        *) p=() ;;
    esac
    [ ${#p[@]} -eq 0 ] || printf '%s\n' "${p[@]}"
}
