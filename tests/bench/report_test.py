#!/usr/bin/env python3
"""bench/report.py on a small run of two shapes, one kernel, one stdio
buffer: best rounds picked per column, a row that failed in its second
round, rows the tool never ran, a mismatch. The expected tables, the
README section and the chart data in this folder were worked out by hand
from rows.tsv: the chart draws each kernel's time over the floor's (the
block copy through the same streams, memcpy in memory), not over tr's."""

import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPORT = os.path.join(HERE, "..", "..", "bench", "report.py")
ROWS = os.path.join(HERE, "rows.tsv")


def report(*args):
    done = subprocess.run([sys.executable, REPORT, *args], capture_output=True, text=True, encoding="utf-8")
    if done.returncode != 0:
        sys.exit(f"report.py {' '.join(args)} exited {done.returncode}: {done.stderr}")
    return done.stdout


def expected(name):
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        return f.read()


def same(what, got, want):
    if got == want:
        return 0
    got_lines, want_lines = got.split("\n"), want.split("\n")
    for n, (g, w) in enumerate(zip(got_lines, want_lines), 1):
        if g != w:
            print(f"{what}: line {n}:\n  got  {g!r}\n  want {w!r}")
            return 1
    print(f"{what}: {len(got_lines)} lines, expected {len(want_lines)}")
    return 1


def main():
    failures = 0
    failures += same("results", report(ROWS), expected("results.md"))
    failures += same("README section", report("--print", "readme", ROWS), expected("readme.md"))
    failures += same("chart data", report("--print", "chart-data", ROWS), expected("chart.dat"))

    # The section goes between "## Speed" and the chart; the rest stays.
    before = "# Tool\n\nIntro.\n\n## Speed\n\n"
    after = "\n![chart](bench/speed.svg)\n\nThe chart.\n"
    with tempfile.TemporaryDirectory() as folder:
        readme = os.path.join(folder, "README.md")
        with open(readme, "w", encoding="utf-8") as f:
            f.write(before + "Old figures.\n\n| old | table |\n" + after)
        report("--readme", readme, ROWS)
        with open(readme, encoding="utf-8") as f:
            failures += same("README rewritten", f.read(), before + expected("readme.md") + after)

    # With the tool built and 64 KiB buffers measured, each shape has a tool
    # row in the summary, under the 64 KiB columns alone: tr 100 MB/s, the
    # 64 KiB block copy 400 MB/s, the tool 200 MB/s encoding (0.50 and 2.00),
    # its decoding failed (n/a, not left out).
    facts = {"date": "2026-01-02 03:04 UTC", "cpu": "Test CPU", "cores": "2", "memory_kib": "8388608",
             "system": "Linux 6.0", "load_start": "0.1 0.2 0.3", "compiler": "cc 1.0", "commit": "abc1234",
             "command": "bench/run.sh", "repeats": "1", "mem_rounds": "3", "kernels": "portable",
             "buffers": "0 65536", "block": "4096", "tool": "built"}
    rows = [f"info\t-\t{name}\t{value}" for name, value in facts.items()]
    rows += ["info\ttext\ttext_bytes\t1000000", "info\ttext\ttext_lines\t20000",
             "info\ttext\trecords_bytes\t1100000", "info\ttext\trecords_lines\t20000",
             "row\ttext\ttr_text\t1\trun\t1000000\t0.0100\t100.0\t0.0100\t1024\t1\t\t\t",
             "row\ttext\ttr_enc\t1\trun\t1100000\t0.0100\t110.0\t0.0100\t1024\t1\t\t\t",
             "row\ttext\tcopy_65536\t1\tcopy\t1000000\t0.0025\t400.0\t0.0025\t1024\t1\t\t\t",
             "row\ttext\ttool_enc\t1\trun\t1000000\t0.0050\t200.0\t0.0050\t3072\t1\t\t\t",
             "row\ttext\ttool_dec\t1" + "\t" * 10 + "failed: qelcode -d exited 1"]
    with tempfile.TemporaryDirectory() as folder:
        with_tool = os.path.join(folder, "rows.tsv")
        with open(with_tool, "w", encoding="utf-8") as f:
            f.write("\n".join(rows) + "\n")
        table = [line for line in report("--print", "readme", with_tool).split("\n") if line.startswith("| ")]
    want = ["| lines | kernel | stdio's own buffers (4 KiB): ÷ tr | ÷ block copy | 64 KiB buffers: ÷ tr | "
            "÷ block copy | in memory: GB/s | ÷ memcpy | ÷ tr |",
            "| real text, 50.0 bytes a line | tool (`qelcode`) | | | 0.50 / n/a | 2.00 / n/a | | | |"]
    if [table[0], table[-1]] != want or sum("tool" in line for line in table) != 1:
        print(f"summary with the tool: got {table}")
        failures += 1

    # The chart, where gnuplot is installed: the values over the bars, panel
    # by panel (encode real text, encode short lines, then decode), one
    # decimal below 10; the failed in-memory decode of real text has none.
    if shutil.which("gnuplot") is not None:
        with tempfile.TemporaryDirectory() as folder:
            svg = os.path.join(folder, "chart.svg")
            report("--chart", svg, ROWS)
            with open(svg, encoding="utf-8") as f:
                drawn = f.read()
        over_bars = re.findall(r'text-anchor="middle">\s*<text><tspan[^>]*>([0-9.]+)</tspan>', drawn)
        want = ["5.0", "10", "4.4", "20", "4.7", "1.6", "14"]
        if over_bars != want:
            print(f"chart: values over the bars {over_bars}, expected {want}")
            failures += 1
        for words in ("over the floor's", "portable", "floor = 1"):
            if words not in drawn:
                print(f"chart: no {words!r} in it")
                failures += 1
    else:
        print("chart: not drawn, gnuplot is not installed")

    # A line of another shape is refused, not skipped.
    with tempfile.TemporaryDirectory() as folder:
        bad = os.path.join(folder, "rows.tsv")
        with open(bad, "w", encoding="utf-8") as f:
            f.write("row\ttext\tcat\t1\trun\t5\n")
        done = subprocess.run([sys.executable, REPORT, bad], capture_output=True, text=True)
        if done.returncode == 0 or "line 1" not in done.stderr:
            print(f"a short row was accepted: {done.returncode} {done.stderr!r}")
            failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
