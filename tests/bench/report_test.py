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
