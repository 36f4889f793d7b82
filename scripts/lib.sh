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
# architecture to dpkg first.
apt_install() {
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
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
