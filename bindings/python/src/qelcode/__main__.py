"""python -m qelcode [-d] [-f] [INPUT]: encodes text, or decodes records,
to standard output, as the qelcode tool does.

Exit status: 0 success, 1 failure (a refused line, an unreadable input, an
unwritable output), 2 bad usage. Messages are the tool's.
"""

from __future__ import annotations

import os
import stat
import sys
from typing import BinaryIO, List, Optional, Set, Tuple

from . import Decoder, Encoder, LibraryError, QelError, __version__, library
from ._process import fill_closed_standard_descriptors, take_default_signal_actions

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2

READ_ERROR = 4
SOURCE_ENCODED = 9

CHUNK_SIZE = 1 << 16

USAGE = ("usage: python -m qelcode [-d|--decode] [-f|--force] [INPUT]\n"
         "Try 'python -m qelcode --help' for more.\n")
HELP = ("usage: python -m qelcode [-d|--decode] [-f|--force] [INPUT]\n"
        "Encodes text into records, one per line, or decodes records back to text,\n"
        "to standard output.\n"
        "  -d, --decode       decode records back to text (default: encode text)\n"
        "  -f, --force        encode lines that already carry the encoded mark\n"
        "  -h, --help         show this text\n"
        "  -V, --version      show the version\n"
        "INPUT absent or '-' reads standard input.\n"
        "Exit status: 0 success, 1 failure, 2 bad usage.\n")
HINT = "qelcode: --force encodes lines that already carry the encoded mark\n"

STDIN_NAME = "(stdin)"
STDOUT_NAME = "(stdout)"

_LONG = {"--decode": "d", "--force": "f", "--help": "h", "--version": "V"}


class UsageError(Exception):
    pass


def _say(text: str) -> None:
    try:
        sys.stderr.buffer.write(os.fsencode(text))
        sys.stderr.buffer.flush()
    except (OSError, AttributeError, ValueError):
        # Standard error closed: the exit status still tells. Nothing is
        # left to flush at exit, which would fail again.
        sys.stderr = None  # type: ignore[assignment]


def _fail(name: str, message: str) -> int:
    _say("qelcode: %s: %s\n" % (name, message))
    return EXIT_FAILURE


def parse(argv: List[str]) -> Tuple[Set[str], List[str]]:
    """The option letters given and the operands; options and operands may
    mix, short options bundle (-df), long ones may be shortened, "--" ends
    the options."""
    letters: Set[str] = set()
    operands: List[str] = []
    args = iter(argv)
    for arg in args:
        if arg == "--":
            operands.extend(args)
        elif arg.startswith("--"):
            name, value, _ = arg.partition("=")
            matches = [name] if name in _LONG else [long for long in _LONG if long.startswith(name)]
            if len(matches) != 1:  # unknown or ambiguous
                raise UsageError("invalid option '%s'" % arg)
            if value:
                raise UsageError("option '%s' doesn't allow an argument" % matches[0])
            letters.add(_LONG[matches[0]])
        elif arg.startswith("-") and arg != "-":
            for letter in arg[1:]:
                if letter not in "dfhV":
                    raise UsageError("invalid option '-%s'" % letter)
                letters.add(letter)
        else:
            operands.append(arg)
    return letters, operands


def _open_input(arg: str) -> Tuple[Optional[BinaryIO], str]:
    if arg == "-":
        return sys.stdin.buffer, STDIN_NAME
    try:
        f = open(arg, "rb")
    except OSError as e:
        _fail(arg, os.strerror(e.errno) if e.errno else str(e))
        return None, arg
    return f, arg


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def convert(decode: bool, force: bool, arg: str) -> int:
    try:
        stream = Decoder() if decode else Encoder(force)
        messages = library()
    except LibraryError as e:
        return _fail("library", str(e))
    src, name = _open_input(arg)
    if src is None:
        return EXIT_FAILURE
    try:
        try:
            in_stat = os.fstat(src.fileno())
        except OSError as e:
            return _fail(name, os.strerror(e.errno))
        if stat.S_ISREG(in_stat.st_mode):
            try:
                out_stat = os.fstat(1)
            except OSError:
                out_stat = None
            if out_stat is not None and stat.S_ISREG(out_stat.st_mode) and \
                    (out_stat.st_dev, out_stat.st_ino) == (in_stat.st_dev, in_stat.st_ino):
                return _fail(STDOUT_NAME, "output file is the input file")
        lines = 0  # line feeds read so far: a read error is on the line after them
        try:
            while True:
                try:
                    chunk = src.read(CHUNK_SIZE)
                except OSError:
                    return _report(name, lines + 1, READ_ERROR, messages.message(READ_ERROR))
                lines += chunk.count(b"\n")
                try:
                    out = stream.feed(chunk) if chunk else stream.close()
                except QelError as e:
                    _write_all(1, e.output)
                    return _report(name, e.line, e.code, e.message)
                _write_all(1, out)
                if not chunk:
                    break
        except OSError as e:
            return _fail(STDOUT_NAME, os.strerror(e.errno) if e.errno else "write error")
        return EXIT_OK  # an empty input too, as for any filter
    finally:
        if src is not sys.stdin.buffer:
            src.close()


def _report(name: str, line: int, code: int, message: str) -> int:
    # Line 0: the source had no line at all.
    _say("qelcode: %s: %s%s\n" % (name, "line %d: " % line if line else "", message))
    if code == SOURCE_ENCODED:
        _say(HINT)
    return EXIT_FAILURE


def _print(text: str) -> int:
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except OSError as e:
        sys.stdout = None  # type: ignore[assignment]  # nothing more to flush at exit
        return _fail(STDOUT_NAME, os.strerror(e.errno) if e.errno else "write error")
    return EXIT_OK


def main(argv: Optional[List[str]] = None) -> int:
    """Runs the command line argv (default: sys.argv[1:]); returns the exit status."""
    try:
        letters, operands = parse(sys.argv[1:] if argv is None else argv)
        if "h" in letters:
            return _print(HELP)
        if "V" in letters:
            try:
                where = "library %s, %s" % (library().version(), library().path)
            except LibraryError:
                where = "no library found"
            return _print("qelcode %s (Python; %s)\n" % (__version__, where))
        if len(operands) > 1:
            raise UsageError("more than one INPUT")
        if operands and operands[0] == "":
            raise UsageError("empty input file name")
        if "f" in letters and "d" in letters:
            raise UsageError("--force applies to encoding only")
    except UsageError as e:
        _say("qelcode: %s\n%s" % (e, USAGE))
        return EXIT_USAGE
    return convert("d" in letters, "f" in letters, operands[0] if operands else "-")


if __name__ == "__main__":
    fill_closed_standard_descriptors()
    take_default_signal_actions()
    sys.exit(main())
