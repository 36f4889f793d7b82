# What every Windows run is compared with: a sample text, the records and
# text the Linux build makes of it, and the Linux build's stream cases.
# Sourced by scripts/check-windows.sh, never run; both run in the stage's
# scratch folder.

# Writes sample.txt (the public header, CRLF lines, control and high bytes,
# a long line, a last line without a line feed) and Linux's linux.enc and
# linux.dec of it.
make_sample() {
    cp "$repo/include/qelcode.h" sample.txt
    sed 's/$/\r/' "$repo/tests/reference/qel_reference.h" >>sample.txt
    printf '\n\r\n\ttab, Ctrl-Z \032, high bytes \377\200, CR alone \r, ~tildes~\r\n' >>sample.txt
    seq -s ' ' 1 600 | tr -d '\n' >>sample.txt
    printf '\nlast line without a line feed' >>sample.txt
    "$linux_host" --lib "$linux_lib" encode sample.txt linux.enc || die "Linux encoding failed"
    "$linux_host" --lib "$linux_lib" decode linux.enc linux.dec || die "Linux decoding failed"
    echo "sample: $(wc -l <sample.txt) lines, $(wc -c <sample.txt) bytes -> $(wc -l <linux.enc) records, $(wc -c <linux.enc) bytes"
}

# The stream cases (tests/host/stream_cases.c) through the Linux library,
# into cases-linux/.
linux_stream_cases() {
    mkdir cases-linux
    "$linux_host" --lib "$linux_lib" stream-cases sample.txt linux.enc cases-linux || die "Linux: the stream cases failed"
}
