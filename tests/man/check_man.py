#!/usr/bin/env python3
"""Checks the manual pages: each renders without a single groff warning, no
font-alternating macro (.BR, .IR, ...) runs two words together, and the
options that qelcode(1) lists are exactly the options that `qelcode --help`
prints, each taking an argument in both or in neither.

usage: check_man.py --tool QELCODE --groff GROFF PAGE...
"""
import argparse
import re
import subprocess
import sys

OPTION = re.compile(r"(?<![\w-])(--?[A-Za-z][\w-]*)(?:[ =]([A-Z][A-Z_]*))?")


def render_warnings(groff, page):
    """groff's complaints about a page, rendered as man does for a terminal."""
    run = subprocess.run([groff, "-man", "-ww", "-z", "-Tutf8", "-rLL=78n", page],
                         capture_output=True, text=True)
    problems = run.stderr.strip().splitlines()
    if run.returncode != 0:
        problems.append(f"groff exited with {run.returncode}")
    return problems


ALTERNATING = re.compile(r"^\.(BR|RB|BI|IB|IR|RI)\s")
WORD_END = re.compile(r"[\w>]$")
WORD_START = re.compile(r"^[\w<]")


def roff_arguments(line):
    """The arguments of a macro line: split at blanks, a double-quoted one
    whole (a doubled quote inside stands for one)."""
    args, i = [], line.index(" ")
    while i < len(line):
        if line[i] == " ":
            i += 1
        elif line[i] == '"':
            j, arg = i + 1, ""
            while j < len(line):
                if line.startswith('""', j):
                    arg, j = arg + '"', j + 2
                elif line[j] == '"':
                    break
                else:
                    arg, j = arg + line[j], j + 1
            args.append(arg)
            i = j + 1
        else:
            j = line.find(" ", i)
            j = len(line) if j < 0 else j
            args.append(line[i:j])
            i = j
    return args


def run_together(page):
    """Lines whose alternating macro joins a word to the next one, as
    `.BR std::span<const std::byte> ,` shows "conststd::byte": an argument
    with a blank in it must be quoted."""
    found = []
    with open(page, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if not ALTERNATING.match(line):
                continue
            # an escape (\(dq, \fB, \-) is no word
            args = [re.sub(r"\\(\(..|\[[^]]*\]|f.|.)", "\0", a) for a in roff_arguments(line.rstrip("\n"))]
            for a, b in zip(args, args[1:]):
                if WORD_END.search(a) and WORD_START.search(b):
                    found.append(f"line {number}: {a!r} and {b!r} run together: {line.strip()}")
    return found


def plain(roff):
    """A roff source line as text: no font escapes, no macro, no quotes."""
    text = re.sub(r"\\f(\[[^]]*\]|.)", "", roff)
    text = text.replace("\\-", "-").replace("\\ ", " ").replace("\\&", "")
    text = re.sub(r"^\.[A-Za-z]+\s*", "", text)
    return re.sub(r"\s+", " ", text.replace('"', "")).strip()


def options_in_items(items, shared_argument=None):
    """{option: argument or None} from items such as "-o FILE" or "--decode"."""
    found = {}
    for item in items:
        m = OPTION.fullmatch(item.strip())
        if m is None:
            raise ValueError(f"not an option: {item!r}")
        found[m.group(1)] = m.group(2) or shared_argument
    return found


def man_options(page):
    """The options of the OPTIONS section: the tag line after every .TP."""
    lines = open(page, encoding="utf-8").read().splitlines()
    start = lines.index(".SH OPTIONS")
    found = {}
    for i in range(start + 1, len(lines)):
        if lines[i].startswith(".SH"):
            break
        if lines[i] == ".TP":
            found.update(options_in_items(plain(lines[i + 1]).split(",")))
    return found


def help_options(command):
    """The options of --help: lines that start with a dash, up to the gap
    before the description; a trailing argument belongs to every spelling."""
    out = subprocess.run(command + ["--help"], capture_output=True, text=True, check=True).stdout
    found = {}
    for line in out.splitlines():
        if not line.lstrip().startswith("-"):
            continue
        column = re.split(r"\s{2,}", line.strip())[0]
        argument = None
        m = re.fullmatch(r"(.*\S)\s+([A-Z][A-Z_]*)", column)
        if m:
            column, argument = m.group(1), m.group(2)
        found.update(options_in_items(column.split(","), argument))
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--emulator", action="append", default=[],
                        help="what runs a cross-built tool, one argument at a time (--emulator=ARG)")
    parser.add_argument("--groff", required=True)
    parser.add_argument("pages", nargs="+")
    args = parser.parse_args()

    failures = []
    for page in args.pages:
        failures += [f"{page}: {w}" for w in render_warnings(args.groff, page)]
        failures += [f"{page}: {w}" for w in run_together(page)]

    tool_page = next(p for p in args.pages if p.endswith(".1"))
    in_page, in_help = man_options(tool_page), help_options(args.emulator + [args.tool])
    if not in_help:
        failures.append("--help lists no options")
    for name in sorted(set(in_page) | set(in_help)):
        if name not in in_help:
            failures.append(f"{tool_page} lists {name}, --help does not")
        elif name not in in_page:
            failures.append(f"--help lists {name}, {tool_page} does not")
        elif bool(in_page[name]) != bool(in_help[name]):
            failures.append(f"{name}: argument {in_page[name]!r} in the page, {in_help[name]!r} in --help")

    for f in failures:
        print("FAIL:", f, file=sys.stderr)
    if failures:
        return 1
    print("pages render cleanly; options:", " ".join(sorted(in_page)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
