#!/usr/bin/env python3
"""Tests of the qelcode command-line tool, run as a user would run it.

usage: cli_test.py [--emulator=ARG ...] --tool PATH --named-temp-tool PATH
                   --source-dir DIR --step-selector K [--area AREA ...]
                   [-k PATTERN ...] [-q] [-f]

The areas, one module each: conversions (records, failures, usage, -t),
output_file (-o), large_files (past 4 GiB), progress (--progress),
readme (the README's first command); all of them by default.

The second tool is the same program built to write -o through a named
temporary file, as it does where the file system refuses unnamed ones.
Cases that need a second user run the tool as nobody through setpriv, and
skip (saying why) where that can't be set up, as when not run as root.

Expected records come from the format's reference model and its hand-worked
vectors (tests/reference); expected messages are written out by hand.
"""
import argparse
import importlib
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import qel_model as model  # noqa: E402  (put on the path by harness)

AREAS = ["conversions", "output_file", "large_files", "progress", "readme"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--named-temp-tool", required=True)
    parser.add_argument("--emulator", action="append", default=[],
                        help="the emulator that runs the tool, one argument at a time (--emulator=ARG)")
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--step-selector", type=int, required=True)
    parser.add_argument("--area", action="append", choices=AREAS, help="run only this area (repeatable)")
    parser.add_argument("-k", action="append", dest="patterns", default=[],
                        help="run only the tests whose names contain this (as unittest's -k)")
    parser.add_argument("-q", action="store_true", help="quieter output")
    parser.add_argument("-f", action="store_true", help="stop at the first failure")
    args = parser.parse_args()
    harness.config.tool = os.path.abspath(args.tool)
    harness.config.named_temp_tool = os.path.abspath(args.named_temp_tool)
    harness.config.emulator = args.emulator
    harness.config.source_dir = os.path.abspath(args.source_dir)
    harness.config.shift = model.shift_of_selector(args.step_selector)

    loader = unittest.TestLoader()
    if args.patterns:
        loader.testNamePatterns = ["*%s*" % p for p in args.patterns]
    suite = unittest.TestSuite()
    for area in args.area or AREAS:
        suite.addTests(loader.loadTestsFromModule(importlib.import_module("test_" + area)))
    result = unittest.TextTestRunner(verbosity=1 if args.q else 2, failfast=args.f).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
