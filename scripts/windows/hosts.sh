# win_host under Wine, one process for every check of a DLL (its batch
# command), one result line per case, and its results compared with
# Linux's and with the portable DLL's. Sourced by scripts/check-windows.sh,
# never run; runs in the stage's scratch folder, after reference.sh's
# make_sample and linux_stream_cases.
#
# The batch of a DLL: the host's own checks (exports, the vectors, the
# record, stream and buffer calls), the sample encoded and decoded, the
# stream cases through the DLL and through the portable DLL of its runtime,
# and the sample through the buffer functions of the DLL of the other
# runtime, which this host passes no FILE.
#
# The stream cases (tests/host/stream_cases.c) are every setting of the
# streams that changes what their buffers show (stdio buffers of 1 to 513
# bytes, unbuffered streams, ungetc, a warm-up line, text mode, streams
# opened for update): each DLL's direct buffer access must give what the
# portable DLL of its runtime gives through stdio's calls, and what the
# Linux library gives where the mode is binary. (The Windows runtimes
# refuse a 1-byte buffer; the report says so and the runtime's own is used.)

other_crt() { case $1 in *-msvcrt) echo "${1%-*}-ucrt" ;; *) echo "${1%-*}-msvcrt" ;; esac; }

# run_host_batch CONFIG: CONFIG's win_host runs the batch under Wine, its
# output in batch-CONFIG.out and its exit status in batch-CONFIG.rc; it
# fails nothing itself, so that the batches of several DLLs can run at once
# (check_host_batch reads the outcome).
run_host_batch() {
    local config=$1 dir other lib rc=0
    dir=$win_prefix-$config
    other=$(other_crt "$config")
    rm -rf "scratch-$config" "cases-$config" "cases-$config-portable"
    mkdir "scratch-$config" "cases-$config" "cases-$config-portable"
    lib="--lib $dir/bin/qelcode.dll"
    {
        echo "$lib --def $repo/src/qelcode.def --vectors $repo/tests/reference/vectors.txt check scratch-$config"
        echo "$lib encode sample.txt $config.enc"
        echo "$lib decode linux.enc $config.dec"
        echo "$lib stream-cases sample.txt linux.enc cases-$config"
        echo "--lib $dir-portable/bin/qelcode.dll stream-cases sample.txt linux.enc cases-$config-portable"
        echo "--lib $win_prefix-$other/bin/qelcode.dll buffer-encode sample.txt $config-$other.enc"
        echo "--lib $win_prefix-$other/bin/qelcode.dll buffer-decode linux.enc $config-$other.dec"
    } >"batch-$config.txt"
    w_slow "$config" "$(wine_for "$config")" "$dir/bin/win_host.exe" batch "batch-$config.txt" \
        >"batch-$config.out" 2>&1 || rc=$?
    echo "$rc" >"batch-$config.rc"
}

# check_host_batch CONFIG: the batch's result lines printed, the build
# prefix shown as BUILD; fails unless the batch passed and ran every case.
check_host_batch() {
    local config=$1
    [ "$(cat "batch-$config.rc" 2>/dev/null)" = 0 ] ||
        { cat "batch-$config.out" 2>/dev/null || true; die "$config: win_host's batch failed under Wine"; }
    grep -E '^(ok|FAIL) [0-9]+:|checks passed' "batch-$config.out" | sed "s|$win_prefix|BUILD|g"
    [ "$(grep -c '^ok [0-9]*:' "batch-$config.out")" = 7 ] || die "$config: not every case of the batch ran"
}

# compare_records CONFIG: the batch's records and decoded text, through the
# DLL's streams and the other runtime's buffer functions, against Linux's.
compare_records() {
    local config=$1 other
    other=$(other_crt "$config")
    cmp linux.enc "$config.enc" || die "$config: the records differ from Linux's"
    cmp linux.dec "$config.dec" || die "$config: the decoded text differs from Linux's"
    cmp linux.enc "$config-$other.enc" || die "$config host, $other DLL: the records differ from Linux's"
    cmp linux.dec "$config-$other.dec" || die "$config host, $other DLL: the decoded text differs from Linux's"
    echo "$config: records and decoded text identical to Linux's, through its DLL's streams and the $other DLL's buffer functions"
}

# linux_report DIR PATTERN: the report lines of the cases compared with
# Linux's, those whose names don't match PATTERN.
linux_report() { grep -Ev "$2" "$1/report.txt" | sed 's/ (setvbuf refused the buffer size)$//'; }

# compare_stream_cases CONFIG: the batch's stream cases against the portable
# DLL's, and against Linux's where the mode is binary.
compare_stream_cases() {
    local config=$1 not_linux f
    # Text mode is Windows' own. On an unbuffered stream, Wine's msvcrt.dll
    # (not its ucrt) loses a byte pushed back by ungetc once getc's inline
    # count has gone below zero: the host's ungetc before the call, then the
    # library's after each full piece, which the portable DLL loses too.
    # That case is compared with the portable DLL only. (Where that ungetc
    # is refused outright, the library holds the byte itself.)
    not_linux=textmode
    case $config in *-msvcrt) not_linux='textmode|ungetc_unbuffered' ;; esac
    diff -r "cases-$config-portable" "cases-$config" >&2 ||
        die "$config: the stream cases differ from the portable DLL's"
    diff <(linux_report cases-linux "$not_linux") <(linux_report "cases-$config" "$not_linux") >&2 ||
        die "$config: the stream cases' status, lines or positions differ from Linux's"
    for f in cases-linux/*.dest cases-linux/*.rest; do
        [[ ${f##*/} =~ $not_linux ]] && continue
        cmp "$f" "cases-$config/${f##*/}" || die "$config: ${f##*/} differs from Linux's"
    done
    echo "$config: $(grep -c . "cases-$config/report.txt") stream cases identical to the portable DLL's," \
        "$(linux_report cases-linux "$not_linux" | grep -c .) of them to Linux's (not: $not_linux)"
}
