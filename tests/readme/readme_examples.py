#!/usr/bin/env python3
"""The README's examples, run as a newcomer runs them, their output
worked out with the reference model.

    readme_examples.py --source-dir DIR --step-selector K --part c --program PROG [--emulator E]...
    readme_examples.py --source-dir DIR --step-selector K --part cpp --program PROG [--emulator E]...
    readme_examples.py --source-dir DIR --step-selector K --part python

c:      PROG, built from the README's C block, encodes examples/sample.txt
        from standard input: its records, nothing on standard error.
cpp:    PROG, built from the C++ block, prints the records of its two
        lines, the lines again, and the refusal of the marked line.
python: the Python block, run by this interpreter with the package on its
        path (PYTHONPATH and QELCODE_LIBRARY come from the test), prints
        the refusal it describes.
The blocks are the fenced ones after <!-- c-example -->, <!-- cpp-example -->
and <!-- python-example -->; extract() is what CMake does for the programs.
"""
import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "reference"))
import qel_model as model  # noqa: E402


def extract(readme, marker):
    """The fenced block after <!-- marker -->."""
    rest = readme.split("<!-- %s -->\n```" % marker, 1)[1]
    return rest.split("\n", 1)[1].split("```", 1)[0]


def run(command, stdin=None, cwd=None):
    result = subprocess.run(command, stdin=stdin, capture_output=True, cwd=cwd, timeout=120)
    return result.returncode, result.stdout, result.stderr


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--step-selector", type=int, required=True)
    parser.add_argument("--part", choices=("c", "cpp", "python"), required=True)
    parser.add_argument("--program")
    parser.add_argument("--emulator", action="append", default=[])
    args = parser.parse_args()
    s = model.shift_of_selector(args.step_selector)
    with open(os.path.join(args.source_dir, "README.md"), encoding="utf-8") as f:
        readme = f.read()

    if args.part == "c":
        sample = os.path.join(args.source_dir, "examples", "sample.txt")
        with open(sample, "rb") as f:
            text = f.read()
        with open(sample, "rb") as f:
            code, out, err = run(args.emulator + [args.program], stdin=f)
        want = (0, model.encode_stream(text, 0, s).out, b"")
    elif args.part == "cpp":
        code, out, err = run(args.emulator + [args.program])
        text = b"Hello\nworld\n"
        want = (0, model.encode_stream(text, 0, s).out + text + b"Source encoded at line 2\n", b"")
    else:
        with tempfile.TemporaryDirectory() as d:
            script = os.path.join(d, "example.py")
            with open(script, "w", encoding="utf-8") as f:
                f.write(extract(readme, "python-example"))
            code, out, err = run([sys.executable, script], cwd=d)
        want = (0, b"Source encoded (code 9) at byte 5, line 2\n", b"")

    if (code, out, err) != want:
        print("the README's %s example: got exit %d, stdout %r, stderr %r; expected exit %d, stdout %r, "
              "stderr %r" % ((args.part, code, out, err) + want))
        return 1
    print("the README's %s example runs as written" % args.part)
    return 0


if __name__ == "__main__":
    sys.exit(main())
