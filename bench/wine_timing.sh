#!/usr/bin/env bash
# Times a 64 MiB encode under Wine through each of several Windows builds
# (their timed_encode.exe, each beside its qelcode.dll), into Windows' null
# device, and prints the best wall-clock and processor milliseconds of
# seven rounds, each host's against the first's. The rounds take the hosts
# in turn, so that all see the same machine.
#
#   bench/wine_timing.sh SAMPLE LABEL=timed_encode.exe...
#
# SAMPLE is repeated into the 64 MiB input. Run it with the Wine prefix
# (WINEPREFIX) the hosts ran in.
#
# Environment:
#   QEL_WINE          the Wine loader (default: wine on PATH)
#   QEL_WINE_TIMEOUT  seconds allowed for each run (default 120)
set -euo pipefail

[ $# -ge 2 ] || { echo "usage: $0 SAMPLE LABEL=timed_encode.exe..." >&2; exit 2; }
wine=${QEL_WINE:-wine}
timeout_s=${QEL_WINE_TIMEOUT:-120}
sample=$1; shift
labels=() hosts=()
for arg in "$@"; do labels+=("${arg%%=*}"); hosts+=("${arg#*=}"); done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
big=$work/big.txt
while [ "$(stat -c %s "$big" 2>/dev/null || echo 0)" -lt $((64 << 20)) ]; do
    cat "$sample" "$sample" "$sample" "$sample" >>"$big"
    echo >>"$big"
done
truncate -s $((64 << 20)) "$big"

# One timed encode: "WALL CPU", the wall-clock and the processor
# milliseconds (the latter in steps of 10 ms under Wine, but less disturbed
# by other work on the machine).
time_ms() {
    local out
    out=$(cd "$work" && timeout "$timeout_s" "$wine" "$1" big.txt NUL | tr -d '\r') ||
        { echo "timed encode through $1 failed" >&2; exit 1; }
    [[ $out =~ ^wall\ ([0-9]+)\ ms,\ cpu\ ([0-9]+)\ ms$ ]] ||
        { echo "timed encode through $1 failed: $out" >&2; exit 1; }
    echo "${BASH_REMATCH[1]} ${BASH_REMATCH[2]}"
}

wall=() cpu=()
for i in "${!hosts[@]}"; do wall[i]=999999999 cpu[i]=999999999; done
for round in 1 2 3 4 5 6 7; do
    for i in "${!hosts[@]}"; do
        read -r tw tc <<<"$(time_ms "${hosts[i]}")"
        if [ "$tw" -lt "${wall[i]}" ]; then wall[i]=$tw; fi
        if [ "$tc" -lt "${cpu[i]}" ]; then cpu[i]=$tc; fi
    done
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", (b > 0) ? a / b : 0}'; }
echo "best of 7, wall-clock / processor ms, and the ratio to the first:"
for i in "${!hosts[@]}"; do
    printf '  %-55s %6s / %-6s %s / %s\n' "${labels[i]}" "${wall[i]}" "${cpu[i]}" \
        "$(ratio "${wall[i]}" "${wall[0]}")" "$(ratio "${cpu[i]}" "${cpu[0]}")"
done
