#!/usr/bin/env python3
"""Turns the rows of a benchmark run into its tables and its chart.

    bench/report.py [--print results|readme|chart-data] [--readme FILE]
                    [--chart OUT.svg] ROWS

ROWS is what bench/run.sh writes (bench/rows.tsv holds the last published
run): tab-separated lines of two kinds.

    info SCOPE NAME VALUE
        A fact about the whole run (SCOPE "-": date, cpu, cores, memory_kib,
        system, load_start, load_end, compiler, commit, command, repeats,
        mem_rounds, kernels, buffers, block, tool) or about one shape of
        text (SCOPE the shape: text_bytes, text_lines, records_bytes,
        records_lines, check). Shapes are reported in the order they first
        appear.
    row SHAPE KEY ROUND mode bytes best_s mb_per_s cpu_s max_rss_kib runs memcpy_s per_memcpy NOTE
        One measurement: the nine columns from mode on are what
        `qelbench -t` and `qelrun -t` print; NOTE is empty, or says why the
        row has no figures ("not built", "failed: ..."). A KEY names the
        command (tr_text, tr_enc, tool_enc, tool_dec, copy_BUFFER,
        enc_KERNEL_BUFFER, dec_KERNEL_BUFFER, mem_copy, benc_KERNEL,
        bdec_KERNEL, wenc_KERNEL, wdec_KERNEL, base64, cat, ref; rss_1mib and
        rss_all for the closing memory line).

A KEY measured in several rounds keeps the round of least best_s (and that
round's MB/s and memcpy figures), the least cpu_s and the largest
max_rss_kib; a note in any round wins.

Standard output gets the Markdown of bench/results.md (the default), the
README's Speed section (--print readme) or the chart's data for
bench/chart.gp (--print chart-data). --readme FILE puts the Speed section
into FILE in place of the one there; --chart draws the chart with gnuplot.

The chart draws the summary's ÷ block copy and ÷ memcpy columns: each
kernel's time per byte over the floor's, the block copy through the same
streams for each stdio buffer and memcpy in memory (the same process's
figure), a bar per kernel and the floor as a line at 1. The tables keep
their ÷ tr columns, but `tr` swings by a third from one run to the next,
so the chart is not drawn against it.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

SHAPE_NAMES = {
    "text": "real text",
    "short": "short lines",
    "long": "long lines",
    "overlong": "overlong lines",
}
SHAPE_TITLES = {
    "text": "Real text (C headers and documentation from /usr/include and /usr/share/doc, repeated)",
    "short": "Short lines (10 bytes)",
    "long": "Long lines (500 bytes)",
    "overlong": "Overlong lines (2000 bytes, each encoded as 4 records)",
}
TR = "tr '!-~' 'P-~!-O'"
ROW_COLUMNS = ("mode", "bytes", "best_s", "mb_per_s", "cpu_s", "max_rss_kib", "runs", "memcpy_s", "per_memcpy", "note")

SUMMARY_TEXT = (
    "Encode / decode in every cell. ÷ tr and ÷ block copy: time per byte of input over that of "
    "`tr '!-~' 'P-~!-O'` on the same input, and over that of the block copy through the same streams, in the "
    "same run (below 1 is faster). In memory: `QEL_EncodeBuffer`/`QEL_DecodeBuffer` with 64 KiB of output "
    "room a call; ÷ memcpy is over memcpy of the same bytes timed in the same process. The floor rows are the "
    "block copy and memcpy themselves. The tool rows are the command-line tool, `qelcode` and `qelcode -d`, run "
    "as a process with its own 64 KiB buffers, over the 64 KiB block copy."
)

# The tool gives itself buffers of this size; its row in the summary goes
# under the library calls' column of the same size.
TOOL_BUFFER = "65536"


class Run:
    """The rows of one run: its facts, and each command's best figures."""

    def __init__(self, lines):
        self.info = {"-": {}}
        self.shapes = []
        self.best = {}
        for number, line in enumerate(lines, 1):
            line = line.rstrip("\n")
            if not line:
                continue
            fields = line.split("\t")
            if fields[0] == "info" and len(fields) == 4:
                scope, name, value = fields[1:]
                if scope != "-" and scope not in self.info:
                    self.shapes.append(scope)
                self.info.setdefault(scope, {})[name] = value
            elif fields[0] == "row" and len(fields) == 4 + len(ROW_COLUMNS):
                self.keep(fields[1], fields[2], dict(zip(ROW_COLUMNS, fields[4:])))
            else:
                raise SystemExit(f"report.py: line {number}: not a row of the benchmark: {line!r}")
        run = self.info["-"]
        self.kernels = run.get("kernels", "").split()
        self.buffers = run.get("buffers", "").split()

    def keep(self, shape, key, row):
        old = self.best.get((shape, key))
        if row["note"] or (old is not None and old["note"]):
            if old is None or not old["note"]:
                self.best[(shape, key)] = row
            return
        if old is None:
            self.best[(shape, key)] = row
            return
        if float(row["best_s"]) < float(old["best_s"]):
            for column in ("best_s", "mb_per_s", "memcpy_s", "per_memcpy"):
                old[column] = row[column]
        if float(row["cpu_s"]) < float(old["cpu_s"]):
            old["cpu_s"] = row["cpu_s"]
        if int(row["max_rss_kib"]) > int(old["max_rss_kib"]):
            old["max_rss_kib"] = row["max_rss_kib"]

    def get(self, shape, key):
        """The figures of a key, or None where it failed or is missing."""
        row = self.best.get((shape, key))
        return None if row is None or row["note"] else row

    # --- figures ------------------------------------------------------------
    def over(self, shape, key, base):
        """Time per byte of key over base's, from their MB/s."""
        a, b = self.get(shape, key), self.get(shape, base)
        if a is None or b is None:
            return "n/a"
        a, b = float(a["mb_per_s"]), float(b["mb_per_s"])
        return f"{b / a:.2f}" if a > 0 and b > 0 else "n/a"

    def gbps(self, shape, key):
        row = self.get(shape, key)
        return "n/a" if row is None else f"{float(row['mb_per_s']) / 1000:.2f}"

    def per_memcpy(self, shape, key):
        row = self.get(shape, key)
        return "n/a" if row is None or not row["per_memcpy"] else row["per_memcpy"]

    # --- words --------------------------------------------------------------
    def buffer_size(self, buffer):
        """A buffer's size, short: "4 KiB", or "N bytes"."""
        size = int(self.info["-"]["block"]) if buffer == "0" else int(buffer)
        return f"{size // 1024} KiB" if size % 1024 == 0 else f"{size} bytes"

    def buffer_name(self, buffer):
        if buffer == "0":
            return f"stdio's own buffers ({self.info['-']['block']} bytes here)"
        return f"{buffer}-byte buffers"

    def describe(self, shape, what):
        facts = self.info[shape]
        size, lines = int(facts[what + "_bytes"]), int(facts[what + "_lines"])
        return (f"{size / 1e6:.1f} MB ({size / 1048576:.1f} MiB), {lines} lines, "
                f"{size / lines:.1f} bytes a line with its line feed")

    def label(self, shape):
        facts = self.info[shape]
        per_line = int(facts["text_bytes"]) / int(facts["text_lines"])
        return f"{SHAPE_NAMES.get(shape, shape)}, {per_line:.1f} bytes a line"

    def machine(self):
        run = self.info["-"]
        memory = int(run["memory_kib"]) / 1048576
        return f"{run['cpu']}, {run['cores']} cores, {memory:.0f} GiB memory, {run['system']}"


# --- the tables ------------------------------------------------------------------
def summary_table(run):
    header, rule = "| lines | kernel |", "| --- | --- |"
    for b in run.buffers:
        if b == "0":
            header += f" stdio's own buffers ({run.buffer_size(b)}): ÷ tr | ÷ block copy |"
        else:
            header += f" {run.buffer_size(b)} buffers: ÷ tr | ÷ block copy |"
        rule += " ---: | ---: |"
    header += " in memory: GB/s | ÷ memcpy | ÷ tr |"
    rule += " ---: | ---: | ---: |"
    out = [header, rule]
    for s in run.shapes:
        for k in ["floor"] + run.kernels:
            line = f"| {run.label(s)} | {'block copy, memcpy' if k == 'floor' else k} |"
            for b in run.buffers:
                if k == "floor":
                    tr = f"{run.over(s, f'copy_{b}', 'tr_text')} / {run.over(s, f'copy_{b}', 'tr_enc')}"
                    floor = "1.00 / 1.00"
                else:
                    enc, dec = f"enc_{k}_{b}", f"dec_{k}_{b}"
                    tr = f"{run.over(s, enc, 'tr_text')} / {run.over(s, dec, 'tr_enc')}"
                    floor = f"{run.over(s, enc, f'copy_{b}')} / {run.over(s, dec, f'copy_{b}')}"
                line += f" {tr} | {floor} |"
            enc, dec = ("mem_copy", "mem_copy") if k == "floor" else (f"benc_{k}", f"bdec_{k}")
            if k == "floor":
                floor = "1.00 / 1.00"
            else:
                floor = f"{run.per_memcpy(s, enc)} / {run.per_memcpy(s, dec)}"
            line += (f" {run.gbps(s, enc)} / {run.gbps(s, dec)} | {floor} |"
                     f" {run.over(s, enc, 'tr_text')} / {run.over(s, dec, 'tr_enc')} |")
            out.append(line)
        if run.info["-"].get("tool") == "built" and TOOL_BUFFER in run.buffers:
            line = f"| {run.label(s)} | tool (`qelcode`) |"
            for b in run.buffers:
                if b == TOOL_BUFFER:
                    line += (f" {run.over(s, 'tool_enc', 'tr_text')} / {run.over(s, 'tool_dec', 'tr_enc')} |"
                             f" {run.over(s, 'tool_enc', f'copy_{b}')} / {run.over(s, 'tool_dec', f'copy_{b}')} |")
                else:
                    line += " | |"
            out.append(line + " | | |")
    return out


def failed_line(what, command, given, note):
    return f"| {what} | `{command}` | {given} | | | | | {note} |"


def stream_line(run, shape, key, what, command, given, base):
    row = run.best.get((shape, key))
    if row is None:
        return None
    if row["note"]:
        return failed_line(what, command, given, row["note"])
    m = float(row["mb_per_s"])
    t = run.get(shape, base)
    t = float(t["mb_per_s"]) if t is not None else 0.0
    ratio = f"{t / m:.2f}" if m > 0 and t > 0 else "n/a"
    return (f"| {what} | `{command}` | {given} | {float(row['best_s']):.3f} | {float(row['cpu_s']):.3f} | "
            f"{m:.1f} | {ratio} | {int(row['max_rss_kib']) / 1024:.1f} MiB |")


def memory_line(run, shape, key, what, command, given):
    row = run.best.get((shape, key))
    if row is None:
        return None
    if row["note"]:
        return failed_line(what, command, given, row["note"])
    return (f"| {what} | `{command}` | {given} | {float(row['best_s']):.4f} | "
            f"{float(row['mb_per_s']) / 1000:.2f} | {float(row['memcpy_s']):.4f} | {row['per_memcpy']} | "
            f"{int(row['max_rss_kib']) / 1024:.1f} MiB |")


def shape_tables(run, s):
    rounds = run.info["-"]["mem_rounds"]
    check = ("the library's records are byte-identical to the reference encoder's"
             if run.info[s].get("check") == "same"
             else "**MISMATCH: the library's records differ from the reference encoder's**")
    out = ["", f"## {SHAPE_TITLES.get(s, s)}", "",
           f"Text: {run.describe(s, 'text')}. Records: {run.describe(s, 'records')}. Check: {check}.", "",
           "| what | command | input | best s | CPU s | MB/s | ÷ tr | peak RSS |",
           "| --- | --- | --- | ---: | ---: | ---: | ---: | ---: |"]
    lines = []
    for b in run.buffers:
        name = run.buffer_name(b)
        lines.append(stream_line(run, s, f"copy_{b}", f"block copy, the floor ({name})", f"qelbench -b {b} copy",
                                 "text", "tr_text"))
        for k in run.kernels:
            lines.append(stream_line(run, s, f"enc_{k}_{b}", f"QEL_Encode, {k} ({name})",
                                     f"qelbench -b {b} encode", "text", "tr_text"))
            lines.append(stream_line(run, s, f"dec_{k}_{b}", f"QEL_Decode, {k} ({name})",
                                     f"qelbench -b {b} decode", "records", "tr_enc"))
    lines += [
        stream_line(run, s, "tool_enc", "qelcode encode (tool)", "qelcode", "text", "tr_text"),
        stream_line(run, s, "tool_dec", "qelcode decode (tool)", "qelcode -d", "records", "tr_enc"),
        stream_line(run, s, "tr_text", "tr", TR, "text", "tr_text"),
        stream_line(run, s, "tr_enc", "tr", TR, "records", "tr_enc"),
        stream_line(run, s, "base64", "base64", "base64", "text", "tr_text"),
        stream_line(run, s, "cat", "cat", "cat", "text", "tr_text"),
        stream_line(run, s, "ref", "fgets/fprintf reference encoder", "ref_fgets_fprintf", "text", "tr_text"),
    ]
    out += [line for line in lines if line is not None]
    out += ["",
            f"In memory, no stdio: {rounds} calls in one process after one left out, the best counts; memcpy s is "
            "memcpy of the same input bytes into the same output room the same way, timed in each round of the "
            "same process, and ÷ memcpy is best s over it (1 is memcpy's speed). 64 KiB of reused output room a "
            "call, or one call into room for all (qelbench -w).",
            "",
            "| what | command | input | best s | GB/s | memcpy s | ÷ memcpy | peak RSS |",
            "| --- | --- | --- | ---: | ---: | ---: | ---: | ---: |"]
    lines = [memory_line(run, s, "mem_copy", "memcpy, the floor (64 KiB room)", f"qelbench -n {rounds} memcpy",
                         "text")]
    for k in run.kernels:
        lines.append(memory_line(run, s, f"benc_{k}", f"QEL_EncodeBuffer, {k} (64 KiB room)",
                                 f"qelbench -n {rounds} encode-buffer", "text"))
        lines.append(memory_line(run, s, f"bdec_{k}", f"QEL_DecodeBuffer, {k} (64 KiB room)",
                                 f"qelbench -n {rounds} decode-buffer", "records"))
    for k in run.kernels:
        lines.append(memory_line(run, s, f"wenc_{k}", f"QEL_EncodeBuffer, {k} (one call)",
                                 f"qelbench -n {rounds} -w encode-buffer", "text"))
        lines.append(memory_line(run, s, f"wdec_{k}", f"QEL_DecodeBuffer, {k} (one call)",
                                 f"qelbench -n {rounds} -w decode-buffer", "records"))
    out += [line for line in lines if line is not None]
    return out


def results(run):
    """The whole of bench/results.md."""
    info = run.info["-"]
    buffers = "".join(f"{run.buffer_name(b)}; " for b in run.buffers)
    out = ["# qelcode throughput", "",
           f"- Date: {info['date']}",
           f"- Machine: {run.machine()}",
           f"- Load average at start: {info['load_start']}",
           f"- Compiler: {info['compiler']}",
           f"- Library: commit {info['commit']}, Release build",
           f"- Command: `{info['command']}`; best of {info['repeats']} rounds (every command once a round), "
           "output to /dev/null, files in the page cache",
           "- best s = least wall-clock time; CPU s = least user + system time (far below best s means the machine "
           "was busy); MB = 10^6 bytes of the command's input, over best s; ÷ tr = best s over that of `tr` on the "
           "same input (below 1 is faster than `tr`); peak RSS = largest resident set of the process",
           f"- Kernels: {' '.join(run.kernels)}, each measured in a library built with `-DQEL_KERNEL=` it alone; "
           f"the library calls' stdio buffers: {buffers}the tool gives itself 64 KiB buffers"]
    if info.get("tool") == "none":
        out.append("- The `qelcode` tool is not built in this tree, so its rows are empty.")
    out += ["", "## Summary", "", SUMMARY_TEXT, ""] + summary_table(run)
    for s in run.shapes:
        out += shape_tables(run, s)
    small, whole = run.get("text", "rss_1mib"), run.get("text", "rss_all")
    if small is not None and whole is not None:
        out += ["", f"Peak RSS of `qelbench encode`: {small['max_rss_kib']} KiB on 1 MiB of the text, "
                    f"{whole['max_rss_kib']} KiB on all {int(whole['bytes']) // 1048576} MiB."]
    if "load_end" in info:
        out += ["", f"Load average at the end: {info['load_end']}."]
    return "\n".join(out) + "\n"


def readme_section(run):
    """The README's Speed section, between its heading and the chart."""
    info = run.info["-"]
    text = (f"Measured with `bench/run.sh` on {info['date']}, commit {info['commit']}, Release build, the machine "
            f"otherwise idle (load average {info['load_start']} at the start, {info.get('load_end', '?')} at the "
            f"end): {run.machine()}; {info['compiler']}. Every kernel is measured in a library built with it alone "
            "(`-DQEL_KERNEL=`). Each file is read from the page cache and written to /dev/null; best of "
            f"{info['repeats']} rounds, every command once a round.")
    if "text" in run.info:
        text += (" The real text (C headers and documentation from /usr/include and /usr/share/doc) is "
                 f"{run.describe('text', 'text')}; the other shapes are the same bytes cut into lines of 10, 500 "
                 "and 2000 bytes.")
    return "\n".join([text, "", SUMMARY_TEXT, ""] + summary_table(run)) + "\n"


def put_readme_section(run, path):
    """Replaces the paragraphs between "## Speed" and the chart in path."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    try:
        start = lines.index("## Speed") + 2
        end = next(i for i in range(start, len(lines)) if lines[i].startswith("![")) - 1
    except (ValueError, StopIteration):
        raise SystemExit(f"report.py: {path} has no '## Speed' section followed by the chart")
    lines[start:end] = readme_section(run).rstrip("\n").split("\n")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))


# --- the chart -----------------------------------------------------------------
def chart_data(run):
    """Blocks for gnuplot's index: encode for every shape, then decode; in a
    block a line per way of calling (each stdio buffer, then memory): its
    name, then each kernel's time per byte over the floor's, as in the
    summary's ÷ block copy and ÷ memcpy columns, NaN where missing."""
    ways = [(b, f"{run.buffer_size(b)} stdio") for b in run.buffers] + [("mem", "in memory")]
    out = []
    for direction in ("enc", "dec"):
        for s in run.shapes:
            for way, name in ways:
                values = []
                for k in run.kernels:
                    if way == "mem":
                        value = run.per_memcpy(s, f"b{direction}_{k}")
                    else:
                        value = run.over(s, f"{direction}_{k}_{way}", f"copy_{way}")
                    values.append("NaN" if value == "n/a" else value)
                out.append(f'"{name}" ' + " ".join(values))
            out += ["", ""]
    return "\n".join(out) + "\n"


def chart_top(data):
    """The y axis's top for every panel: the largest value, rounded up to
    the next even number, so that panels compare at a glance."""
    values = [float(v) for line in data.split("\n") if line.startswith('"')
              for v in line.rsplit('"', 1)[1].split() if v != "NaN"]
    top = max(values, default=1.0)
    return str(2 * (int(top // 2) + 1))


def draw_chart(run, svg):
    if shutil.which("gnuplot") is None:
        print("report.py: no chart: gnuplot is not installed (Debian: apt-get install gnuplot-nox)", file=sys.stderr)
        return 0
    titles = "|".join(SHAPE_NAMES.get(s, s) for s in run.shapes)
    subtitle = f"{run.info['-']['date'][:10]}, {run.info['-']['cpu']}"
    data = chart_data(run)
    with tempfile.NamedTemporaryFile("w", suffix=".dat", delete=False) as f:
        f.write(data)
        path = f.name
    try:
        done = subprocess.run(["gnuplot", "-c", os.path.join(HERE, "chart.gp"), path, svg,
                               " ".join(run.kernels), titles, subtitle, chart_top(data)])
    finally:
        os.unlink(path)
    if done.returncode != 0:
        print("report.py: the chart failed", file=sys.stderr)
        return 1
    print(f"report.py: chart written to {svg}", file=sys.stderr)
    return 0


def main():
    parser = argparse.ArgumentParser(description="Turns benchmark rows into tables and the chart.")
    parser.add_argument("rows")
    parser.add_argument("--print", dest="what", choices=("results", "readme", "chart-data"), default="results")
    parser.add_argument("--readme", metavar="FILE", help="put the Speed section into FILE")
    parser.add_argument("--chart", metavar="SVG", help="draw the chart into SVG with gnuplot")
    args = parser.parse_args()
    with open(args.rows, encoding="utf-8") as f:
        run = Run(f)
    sys.stdout.write({"results": results, "readme": readme_section, "chart-data": chart_data}[args.what](run))
    if args.readme:
        put_readme_section(run, args.readme)
    return draw_chart(run, args.chart) if args.chart else 0


if __name__ == "__main__":
    sys.exit(main())
