#!/usr/bin/env python3
"""Tests of the qelcode command-line tool, run as a user would run it.

usage: cli_test.py [--emulator=ARG ...] --tool PATH --source-dir DIR --step-selector K
                   [unittest args]

Expected records come from the small encoder below, written from the record
format alone; expected messages are written out by hand.
"""
import argparse
import os
import re
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest

TOOL = []  # the command that runs the tool: an emulator and its arguments, then the tool
SOURCE_DIR = ""
SHIFT = 0
TIMEOUT = 60  # seconds; no run of the tool should come near it

ALPHABET = bytes.fromhex(
    "633d762d2c7e5e5360575b232a7d52595a464d40433571303637626d64443c264c256139"
    "214128382f6b4e79455068275c787456674a6f77324f697055296a425f5d513f663b3158"
    "543a223e72657c496c6e75242b47484b737b337a2e34")
MAX_TEXT = 507

HINT = b"qelcode: --force encodes lines that already carry the encoded mark\n"


# --- an independent model of the format ------------------------------------

def encode_text(text, s=None):
    """The record of one line's text (line end already removed)."""
    s = SHIFT if s is None else s
    n = len(text)
    body = bytes(ALPHABET[((c - 32) + s * (i + 1)) % 94] if 32 <= c <= 126 else c
                 for i, c in enumerate(text))
    return bytes([32 + n % 94, 127 - n % 94, ALPHABET[s + 16]]) + body + b"\n"


def split_lines(data):
    """Each line's bytes before its line feed (a CR kept), and whether it had one."""
    lines = [(line, True) for line in data.split(b"\n")]
    last, _ = lines.pop()
    if last:
        lines.append((last, False))
    return lines


def pieces(line, has_lf):
    """A line cut as the encoder reads it: 507 bytes a piece, the line feed
    joining the last; a CR before that line feed is the line end's."""
    chunks = [line[i:i + MAX_TEXT] for i in range(0, len(line), MAX_TEXT)] or [b""]
    if has_lf and chunks[-1].endswith(b"\r"):
        chunks[-1] = chunks[-1][:-1]
    return chunks


def texts(data):
    return [p for line, has_lf in split_lines(data) for p in pieces(line, has_lf)]


def encode_file(data):
    return b"".join(encode_text(p) for p in texts(data))


def decoded_file(data):
    """What decoding the encoded data gives back: tildes come back as spaces."""
    return b"".join(p.replace(b"~", b" ") + b"\n" for p in texts(data))


# --- running the tool -------------------------------------------------------

def run(args, stdin=b"", cwd=None, stdout=subprocess.PIPE, preexec_fn=None):
    return subprocess.run(TOOL + args, input=stdin, stdout=stdout, stderr=subprocess.PIPE,
                          cwd=cwd, timeout=TIMEOUT, preexec_fn=preexec_fn)


def repository_files():
    """The repository's own text files, skipping build trees and dot folders."""
    found = []
    for root, dirs, files in os.walk(SOURCE_DIR):
        dirs[:] = sorted(d for d in dirs if not d.startswith(".") and not d.startswith("build") and d != "out")
        for name in sorted(files):
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                data = f.read()
            if data and b"\0" not in data:
                found.append((path, data))
    return found


class ToolTest(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory(prefix="qelcode-cli-")
        self.dir = self._dir.name

    def tearDown(self):
        self._dir.cleanup()

    def write(self, name, data, mode=None):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        if mode is not None:
            os.chmod(path, mode)
        return path

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def assertRun(self, result, code, stdout=None, stderr=b""):
        self.assertEqual(result.returncode, code, result.stderr)
        if stdout is not None:
            self.assertEqual(result.stdout, stdout)
        if stderr is not None:
            self.assertEqual(result.stderr, stderr)


class EncodeDecodeTest(ToolTest):
    def test_hand_worked_record(self):
        if SHIFT != 5:
            self.skipTest("record worked out for the default step selector")
        # "Hi": n = 2 gives '"' and '}', step mark entry 21 is '5';
        # 'H' (40) + 5 = entry 45 'P', 'i' (73) + 10 = entry 83 '$'.
        self.assertRun(run([], b"Hi\n"), 0, b'"}5P$\n')
        self.assertRun(run(["-d"], b'"}5P$\n'), 0, b"Hi\n")

    def test_stdin_to_stdout_through_a_pipe(self):
        text = b"first line\r\nsecond ~ line\n\nlast without line feed"
        with subprocess.Popen(TOOL + ["-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) as enc, \
             subprocess.Popen(TOOL + ["--decode"], stdin=enc.stdout, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) as dec:
            enc.stdout.close()  # the decoder holds the pipe now
            enc.stdin.write(text)
            enc.stdin.close()
            out, err = dec.communicate(timeout=TIMEOUT)
            enc.wait(timeout=TIMEOUT)
            self.assertEqual((enc.returncode, enc.stderr.read()), (0, b""))
            self.assertEqual((dec.returncode, err), (0, b""))
        self.assertEqual(out, b"first line\nsecond   line\n\nlast without line feed\n")

    def test_repository_files_round_trip(self):
        files = repository_files()
        self.assertGreater(len(files), 5)
        for path, data in files:
            with self.subTest(path=os.path.relpath(path, SOURCE_DIR)):
                # --force: a source line may start with the encoded mark.
                enc = run(["-f", path])
                self.assertRun(enc, 0, encode_file(data))
                self.assertRun(run(["-d"], enc.stdout), 0, decoded_file(data))

    def test_generated_text_round_trip(self):
        lines = [
            b"x" * 506, b"y" * 507, b"z" * 508, b"w" * 1500,  # around the longest text
            b"tab\there\x01\x1f\x7f",                          # control bytes pass unchanged
            bytes(range(0x80, 0x100)),                         # high bytes too
            b"~~ tildes ~~", b"", b"a\rb",
            bytes(range(32, 127)) * 3,
        ]
        data = (b"\r\n".join(lines[:4]) + b"\r\n" + lines[1] + b"\n" +
                b"\n".join(lines[4:]) + b"\n")
        path = self.write("generated.txt", data)
        enc = run(["-f", path])
        self.assertRun(enc, 0, encode_file(data))
        self.assertRun(run(["-d"], enc.stdout), 0, decoded_file(data))

    def test_line_filling_a_record(self):
        # A piece ends after 507 bytes; a line feed right after joins it. A CR
        # there is a 508th byte: the CR LF becomes a piece, and a record, of
        # its own, which reads back as an empty line.
        for data, records in [
            (b"y" * 507 + b"\n", [b"y" * 507]),
            (b"y" * 506 + b"\r\n", [b"y" * 506]),
            (b"y" * 507 + b"\r\n", [b"y" * 507, b""]),
            (b"y" * 507, [b"y" * 507]),
        ]:
            with self.subTest(length=len(data)):
                expected = b"".join(encode_text(r) for r in records)
                self.assertRun(run([], data), 0, expected)
                self.assertEqual(expected, encode_file(data))

    def test_force_encodes_marked_lines(self):
        data = b"plain\nOPEN the file\nWHERE\n"
        expected = encode_text(b"plain") + encode_text(b"OPEN the file") + encode_text(b"WHERE")
        for flag in ["-f", "--force"]:
            with self.subTest(flag=flag):
                self.assertRun(run([flag], data), 0, expected)
        # and the forced records decode back
        self.assertRun(run(["-d"], expected), 0, data)

    def test_records_of_another_step_mark_decode(self):
        other = 1 if SHIFT != 1 else 9
        self.assertRun(run(["-d"], encode_text(b"from elsewhere", other)), 0, b"from elsewhere\n")


class FailureTest(ToolTest):
    def test_failures(self):
        good = encode_text(b"one") + encode_text(b"two") + encode_text(b"three")
        second = encode_text(b"second")
        # One byte less would read as a text that ended with a line feed;
        # two bytes less can't be a record.
        dropped = second[:5] + second[7:]
        wrong_mark = encode_text(b"mark")
        wrong_mark = wrong_mark[:2] + bytes([ALPHABET[5]]) + wrong_mark[3:]  # entry 5: not a step mark
        cases = [
            # name, arguments before INPUT, file content, line, message
            ("marked line", [], b"first\nsecond\nOPEN\nfourth\n", 3, b"Source encoded"),
            ("empty file", [], b"", 0, b"Empty source file"),
            ("NUL byte", [], b"one\ntw\0o\n", 2, b"NUL byte in source"),
            ("plain text to decode", ["-d"], b"plain text\n", 1, b"Source not encoded"),
            ("empty file to decode", ["-d"], b"", 0, b"Empty source file"),
            ("dropped bytes", ["-d"], good + dropped, 4, b"Damaged record"),
            ("wrong step mark", ["-d"], good[:14] + wrong_mark, 3, b"Damaged record"),
            ("space in body", ["-d"], second[:4] + b" " + second[5:], 1, b"Damaged record"),
            ("broken mark", ["-d"], good + b"\"|" + second[2:], 4, b"Source not encoded"),
            ("record too long", ["-d"], b"!~" + b"x" * 600 + b"\n", 1, b"Damaged record"),
        ]
        for name, args, content, line, message in cases:
            with self.subTest(name):
                path = self.write("input", content)
                where = b"line %d: " % line if line else b""  # line 0: the source had none
                expected = b"qelcode: %s: %s%s\n" % (path.encode(), where, message)
                if message == b"Source encoded":
                    expected += HINT
                self.assertRun(run(args + [path]), 1, None, expected)
                # the same from standard input, with its own name
                expected = expected.replace(path.encode(), b"(stdin)", 1)
                self.assertRun(run(args, content), 1, None, expected)

    def test_what_was_written_before_a_failure_stays_on_stdout(self):
        self.assertRun(run([], b"ok\nOPEN\n"), 1, encode_text(b"ok"),
                       b"qelcode: (stdin): line 2: Source encoded\n" + HINT)

    def test_files_that_cannot_be_opened(self):
        missing = os.path.join(self.dir, "missing")
        self.assertRun(run([missing]), 1, b"", b"qelcode: %s: No such file or directory\n" % missing.encode())
        self.assertRun(run([self.dir]), 1, b"", b"qelcode: %s: Is a directory\n" % self.dir.encode())
        out = os.path.join(self.dir, "no-such-dir", "out")
        self.assertRun(run(["-o", out], b"text\n"), 1, b"",
                       b"qelcode: %s: No such file or directory\n" % out.encode())
        self.assertEqual(os.listdir(self.dir), [])

    def test_write_error_on_stdout(self):
        # A short output fails only when flushed at the end, a long one while
        # it is written; both must be reported.
        for name, data in [("short", b"a line\n"), ("long", b"a longer line of text\n" * 5000)]:
            with self.subTest(name):
                with open("/dev/full", "wb") as full:
                    result = run([], data, stdout=full)
                self.assertEqual(result.returncode, 1)
                self.assertTrue(result.stderr.startswith(b"qelcode: "), result.stderr)
                self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)
        with open("/dev/full", "wb") as full:
            result = run([], b"a line\n", stdout=full)
        self.assertEqual(result.stderr, b"qelcode: (stdout): No space left on device\n")


class UsageTest(ToolTest):
    def test_bad_usage(self):
        cases = [
            ["-x"], ["--bogus"], ["--help=yes"], ["a", "b"], ["-o"], ["--output"],
            ["-d", "-f"], ["-t", "--force"], ["-t", "-o", "out"], ["-o", ""], [""],
        ]
        for args in cases:
            with self.subTest(args=args):
                result = run(args, b"text\n", cwd=self.dir)
                self.assertRun(result, 2, b"", None)
                lines = result.stderr.decode().splitlines()
                self.assertRegex(lines[0], r"^qelcode: \S")
                self.assertTrue(lines[1].startswith("usage: qelcode "), lines)
                self.assertLessEqual(len(lines), 4)
        self.assertEqual(os.listdir(self.dir), [])

    def test_help_and_version(self):
        result = run(["--help"])
        self.assertRun(result, 0)
        self.assertTrue(result.stdout.startswith(b"usage: qelcode [-d|--decode] [-t|--test] [-f|--force] "
                                                 b"[-o FILE|--output FILE] [INPUT]\n"))
        with open(os.path.join(SOURCE_DIR, "include", "qelcode.h"), "rb") as f:
            version = re.search(rb'#define QEL_VERSION_STRING "([^"]+)"', f.read()).group(1)
        self.assertRun(run(["--version"]), 0, b"qelcode " + version + b"\n")

    def test_option_spellings(self):
        data = b"some text\n"
        enc = encode_text(b"some text")
        out = os.path.join(self.dir, "out")
        for args in [["-o", out], ["-o" + out], ["--output", out], ["--output=" + out], ["-o", out, "-"]]:
            with self.subTest(args=args):
                self.assertRun(run(args, data), 0, b"")
                self.assertEqual(self.read(out), enc)
        for args in [["-d"], ["--decode"], ["-d", "--"], ["-d", "-"]]:
            with self.subTest(args=args):
                self.assertRun(run(args, enc), 0, data)


class TestModeTest(ToolTest):
    def test_sound_and_damaged_files(self):
        good = encode_text(b"alpha") + encode_text(b"beta")
        path = self.write("good", good)
        for flag in ["-t", "--test", "-dt"]:
            with self.subTest(flag=flag):
                self.assertRun(run([flag, path], cwd=self.dir), 0, path.encode() + b": OK\n")
        self.assertRun(run(["-t"], good), 0, b"(stdin): OK\n")

        damaged = self.write("damaged", good[:-4] + good[-2:])  # two body bytes gone
        self.assertRun(run(["-t", damaged]), 1, b"", b"qelcode: %s: line 2: Damaged record\n" % damaged.encode())
        plain = self.write("plain", b"alpha\n")
        self.assertRun(run(["-t", plain]), 1, b"", b"qelcode: %s: line 1: Source not encoded\n" % plain.encode())
        self.assertEqual(sorted(os.listdir(self.dir)), ["damaged", "good", "plain"])


class OutputFileTest(ToolTest):
    def assertOnly(self, *names):
        self.assertEqual(sorted(os.listdir(self.dir)), sorted(names))

    def test_failure_leaves_existing_file_untouched(self):
        old = b"precious old content\n" * 1000
        cases = [
            ("marked line after many", [], b"line\n" * 3000 + b"OPEN\n"),
            ("empty input", [], b""),
            ("damaged record", ["-d"], encode_text(b"good") * 3000 + b"!~5xx\n"),
            ("plain text to decode", ["-d"], b"plain\n"),
        ]
        for name, args, content in cases:
            with self.subTest(name):
                out = self.write("out", old, 0o640)
                src = self.write("src", content)
                before = os.stat(out)
                result = run(args + ["-o", out, src])
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, b"")
                self.assertEqual(self.read(out), old)
                after = os.stat(out)
                self.assertEqual((after.st_ino, after.st_mode, after.st_mtime_ns),
                                 (before.st_ino, before.st_mode, before.st_mtime_ns))
                self.assertOnly("out", "src")

    def test_failure_creates_no_file(self):
        out = os.path.join(self.dir, "out")
        self.assertEqual(run(["-o", out], b"ok\nOPEN\n").returncode, 1)
        self.assertOnly()

    def test_success_replaces_file_and_keeps_its_mode(self):
        out = self.write("out", b"old content that is longer than the new one\n" * 50, 0o604)
        data = b"new\ncontent\n"
        self.assertRun(run(["-o", out], data), 0, b"")
        self.assertEqual(self.read(out), encode_text(b"new") + encode_text(b"content"))
        self.assertEqual(stat.S_IMODE(os.stat(out).st_mode), 0o604)
        self.assertOnly("out")
        # decoding over the same name
        src = self.write("enc", self.read(out))
        self.assertRun(run(["-d", src, "-o", out]), 0, b"")
        self.assertEqual(self.read(out), data)
        self.assertOnly("out", "enc")

    def test_new_file_takes_the_umask(self):
        out = os.path.join(self.dir, "new")
        self.assertRun(run(["-o", out], b"x\n", preexec_fn=lambda: os.umask(0o027)), 0, b"")
        self.assertEqual(stat.S_IMODE(os.stat(out).st_mode), 0o640)
        self.assertEqual(self.read(out), encode_text(b"x"))
        self.assertOnly("new")

    def test_output_naming_the_input_is_refused(self):
        content = b"some text\n"
        src = self.write("src", content)
        os.link(src, os.path.join(self.dir, "hard"))
        os.symlink("src", os.path.join(self.dir, "soft"))
        cases = [
            ("same name", ["-o", src, src], src),
            ("other spelling", ["-o", os.path.join(self.dir, ".", "src"), src],
             os.path.join(self.dir, ".", "src")),
            ("hard link", ["-o", os.path.join(self.dir, "hard"), src], os.path.join(self.dir, "hard")),
            ("symbolic link", ["-o", os.path.join(self.dir, "soft"), src], os.path.join(self.dir, "soft")),
        ]
        for name, args, shown in cases:
            with self.subTest(name):
                self.assertRun(run(args), 1, b"", b"qelcode: %s: output file is the input file\n" % shown.encode())
                self.assertEqual(self.read(src), content)
                self.assertOnly("src", "hard", "soft")
        # standard input that is the output file
        with open(src, "rb") as f:
            result = subprocess.run(TOOL + ["-o", src], stdin=f, capture_output=True, timeout=TIMEOUT)
        self.assertRun(result, 1, b"", b"qelcode: %s: output file is the input file\n" % src.encode())
        # standard output appending to the input file
        with open(src, "ab") as f:
            result = subprocess.run(TOOL + [src], stdout=f, stderr=subprocess.PIPE, timeout=TIMEOUT)
        self.assertRun(result, 1, None, b"qelcode: (stdout): output file is the input file\n")
        self.assertEqual(self.read(src), content)

    def test_output_to_a_pipe_is_written_directly(self):
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        with subprocess.Popen(TOOL + ["-o", fifo], stdin=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
            proc.stdin.write(b"through a pipe\n")
            proc.stdin.close()
            with open(fifo, "rb") as f:
                got = f.read()
            self.assertEqual(proc.wait(timeout=TIMEOUT), 0, proc.stderr.read())
        self.assertEqual(got, encode_text(b"through a pipe"))
        self.assertTrue(stat.S_ISFIFO(os.stat(fifo).st_mode))
        self.assertOnly("fifo")

    def test_stopped_by_a_signal_leaves_no_temporary_file(self):
        out = self.write("out", b"old\n")
        with subprocess.Popen(TOOL + ["-o", out], stdin=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
            proc.stdin.write(b"a first line\n")
            proc.stdin.flush()
            # The tool is now waiting for more input with its temporary file open.
            deadline = time.monotonic() + TIMEOUT
            while len(os.listdir(self.dir)) < 2 and time.monotonic() < deadline:
                time.sleep(0.01)
            self.assertEqual(len(os.listdir(self.dir)), 2)
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(timeout=TIMEOUT), -signal.SIGTERM)
            proc.stdin.close()
        self.assertEqual(self.read(out), b"old\n")
        self.assertOnly("out")


class LargeFileTest(ToolTest):
    """Files past 4 GiB, made sparse so that they cost no disk. A 32-bit
    build without large-file support can't stat them (EOVERFLOW); one that
    kept sizes in 32 bits would see a file of a few KiB."""

    BEYOND = (1 << 32) + 4099  # the hole's end: past 2 GiB and 4 GiB, not block-aligned

    def sparse(self, name, head, tail=b"", mode=None):
        """head, then NULs up to BEYOND, then tail."""
        path = self.write(name, head, mode)
        try:
            os.truncate(path, self.BEYOND)
        except OSError as e:
            self.skipTest("no sparse file of %d bytes here: %s" % (self.BEYOND, e))
        with open(path, "ab") as f:
            f.write(tail)
        self.assertEqual(os.stat(path).st_size, self.BEYOND + len(tail))
        return path

    def test_named_input(self):
        # Read up to the hole, whose first byte is a NUL on line 2.
        path = self.sparse("big", b"first line\n", b"tail\n")
        self.assertRun(run([path]), 1, encode_text(b"first line"),
                       b"qelcode: %s: line 2: NUL byte in source\n" % path.encode())

    def test_standard_input_read_past_4_gib(self):
        cases = [
            # name, arguments, text after the hole, expected output
            ("encode", [], b"tail one\ntail two\n", encode_text(b"tail one") + encode_text(b"tail two")),
            ("decode", ["-d"], encode_text(b"tail one") + encode_text(b"tail two"), b"tail one\ntail two\n"),
        ]
        for name, args, tail, expected in cases:
            with self.subTest(name):
                path = self.sparse("big-" + name, b"", tail)
                with open(path, "rb") as f:
                    f.seek(self.BEYOND)
                    result = subprocess.run(TOOL + args, stdin=f, capture_output=True, timeout=TIMEOUT)
                self.assertRun(result, 0, expected)

    def test_output_replaces_a_large_file(self):
        out = self.sparse("out", b"old\n", mode=0o640)
        self.assertRun(run(["-o", out], b"new text\n"), 0, b"")
        self.assertEqual(self.read(out), encode_text(b"new text"))
        self.assertEqual(stat.S_IMODE(os.stat(out).st_mode), 0o640)
        self.assertEqual(os.listdir(self.dir), ["out"])


def main():
    global TOOL, SOURCE_DIR, SHIFT
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--emulator", action="append", default=[],
                        help="the emulator that runs the tool, one argument at a time (--emulator=ARG)")
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--step-selector", type=int, required=True)
    args, rest = parser.parse_known_args()
    TOOL = args.emulator + [os.path.abspath(args.tool)]
    SOURCE_DIR = os.path.abspath(args.source_dir)
    SHIFT = (2 * args.step_selector) % 9 + 1
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
