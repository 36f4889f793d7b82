#!/usr/bin/env python3
"""Tests of the qelcode command-line tool, run as a user would run it.

usage: cli_test.py [--emulator=ARG ...] --tool PATH --named-temp-tool PATH
                   --source-dir DIR --step-selector K [unittest args]

The second tool is the same program built to write -o through a named
temporary file, as it does where the file system refuses unnamed ones.
Cases that need a second user run the tool as nobody through setpriv, and
skip (saying why) where that can't be set up, as when not run as root.

Expected records come from the format's reference model and its hand-worked
vectors (tests/reference); expected messages are written out by hand.
"""
import argparse
import grp
import os
import pwd
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest

TOOL = ""
NAMED_TEMP_TOOL = ""
EMULATOR = []  # what runs a cross-built tool: an emulator and its arguments
SOURCE_DIR = ""
SHIFT = 0
TIMEOUT = 60  # seconds; no run of the tool should come near it

HINT = b"qelcode: --force encodes lines that already carry the encoded mark\n"


# --- expected records, from the format's reference model ----------------------

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "reference"))
import qel_model as model  # noqa: E402


def encode_text(text, s=None):
    """The record of one line's text (line end already removed), by default
    in this build's shift."""
    return model.encode_text(text, SHIFT if s is None else s)


def encode_file(data):
    """The records of a whole file, every line encoded (--force)."""
    return model.encode_stream(data, model.FORCE, SHIFT).out


def decoded_file(data):
    """What decoding the encoded data gives back: tildes come back as spaces."""
    return model.decode_stream(encode_file(data)).out


# --- running the tool -------------------------------------------------------

def run(args, stdin=b"", cwd=None, stdout=subprocess.PIPE, preexec_fn=None, tool=None, as_user=()):
    """Runs the tool (or tool); as_user is a command prefix such as setpriv's."""
    return subprocess.run(list(as_user) + command(tool) + args, input=stdin, stdout=stdout,
                          stderr=subprocess.PIPE, cwd=cwd, timeout=TIMEOUT, preexec_fn=preexec_fn)


def command(tool=None):
    """The command line that runs the tool (or tool), through the emulator if any."""
    return EMULATOR + [tool or TOOL]


def both_tools():
    """The tool writing -o through an unnamed temporary file, and through a named one."""
    return [("unnamed temporary", TOOL), ("named temporary", NAMED_TEMP_TOOL)]


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
    def test_hand_worked_records(self):
        # The files of the hand-worked vectors; records of any shift decode.
        cases = [v for v in model.load_vectors() if v[0] in ("encode-file", "decode-file")]
        self.assertTrue(cases)
        for op, s, text, record in cases:
            with self.subTest(op=op, text=text):
                if op == "decode-file":
                    self.assertRun(run(["-d"], record), 0, text)
                elif s == SHIFT:
                    self.assertRun(run([], text), 0, record)

    def test_stdin_to_stdout_through_a_pipe(self):
        text = b"first line\r\nsecond ~ line\n\nlast without line feed"
        with subprocess.Popen(command() + ["-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) as enc, \
             subprocess.Popen(command() + ["--decode"], stdin=enc.stdout, stdout=subprocess.PIPE,
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
        wrong_mark = wrong_mark[:2] + bytes([model.ALPHABET[5]]) + wrong_mark[3:]  # entry 5: not a step mark
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
            ["-d", "-f"], ["-t", "--force"], ["-t", "-o", "out"], ["-t", "-o", "-"], ["-o", ""], [""],
            ["-t", "a", ""], ["-d", "a", "b"],
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

    def test_refused_option_is_named(self):
        # A short option is one character of its argument, however many
        # bytes it takes; a long one is named as written.
        cases = [
            (["-x"], "-x"), (["-dx"], "-x"), (["-é"], "-é"), (["-dé"], "-é"),
            (["in", "-d", "-é"], "-é"), (["-t€"], "-€"), (["-o", "out", "-f\U0001F600"], "-\U0001F600"),
            (["--bogus"], "--bogus"), (["--decode=yes"], "--decode=yes"),
        ]
        for args, shown in cases:
            with self.subTest(args=args):
                result = run(args, cwd=self.dir)
                self.assertRun(result, 2, b"", None)
                self.assertEqual(result.stderr.decode().splitlines()[0], "qelcode: invalid option '%s'" % shown)
        self.assertEqual(os.listdir(self.dir), [])

    def test_help_and_version(self):
        with open(os.path.join(SOURCE_DIR, "include", "qelcode.h"), "rb") as f:
            version = re.search(rb'#define QEL_VERSION_STRING "([^"]+)"', f.read()).group(1)
        for flag in ["--help", "-h"]:
            with self.subTest(flag=flag):
                result = run([flag])
                self.assertRun(result, 0)
                self.assertTrue(result.stdout.startswith(b"usage: qelcode [-d|--decode] [-t|--test] [-f|--force] "
                                                         b"[-o FILE|--output FILE] [INPUT]\n"))
        for flag in ["--version", "-V"]:
            with self.subTest(flag=flag):
                self.assertRun(run([flag]), 0, b"qelcode " + version + b"\n")

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

    def test_several_files_are_each_reported(self):
        good = encode_text(b"alpha") + encode_text(b"beta")
        first = self.write("first", good)
        damaged = self.write("damaged", good[:-4] + good[-2:])
        missing = os.path.join(self.dir, "missing")
        last = self.write("last", encode_text(b"gamma"))
        # Both streams into one pipe: each file's line comes in its turn.
        result = subprocess.run(command() + ["-t", first, damaged, missing, "-", last], input=good,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=TIMEOUT)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout.decode().splitlines(), [
            first + ": OK",
            "qelcode: %s: line 2: Damaged record" % damaged,
            "qelcode: %s: No such file or directory" % missing,
            "(stdin): OK",
            last + ": OK",
        ])
        for flag in ["-t", "--test", "-dt"]:
            with self.subTest(flag=flag):
                self.assertRun(run([flag, first, last]), 0, ("%s: OK\n%s: OK\n" % (first, last)).encode())
        self.assertRun(run(["-t", missing, first]), 1, first.encode() + b": OK\n",
                       b"qelcode: %s: No such file or directory\n" % missing.encode())


class OutputFileTest(ToolTest):
    def assertOnly(self, *names, directory=None):
        self.assertEqual(sorted(os.listdir(directory or self.dir)), sorted(names))

    def clear(self):
        """Empties the test's directory between the cases of a table."""
        for name in os.listdir(self.dir):
            path = os.path.join(self.dir, name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.unlink(path)

    def wait_until_writing(self, proc, directory=None):
        """Waits until proc holds a file in directory open: its output, named or not."""
        directory = directory or self.dir
        fds = "/proc/%d/fd" % proc.pid
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            for fd in os.listdir(fds):
                try:
                    if os.readlink(os.path.join(fds, fd)).startswith(directory + "/"):
                        return
                except OSError:
                    pass
            time.sleep(0.01)
        self.fail("the tool never opened its output")

    def test_failure_leaves_existing_file_untouched(self):
        old = b"precious old content\n" * 1000
        cases = [
            ("marked line after many", [], b"line\n" * 3000 + b"OPEN\n"),
            ("empty input", [], b""),
            ("damaged record", ["-d"], encode_text(b"good") * 3000 + b"!~5xx\n"),
            ("plain text to decode", ["-d"], b"plain\n"),
        ]
        for tool_name, tool in both_tools():
            for name, args, content in cases:
                with self.subTest(name, tool=tool_name):
                    out = self.write("out", old, 0o640)
                    src = self.write("src", content)
                    before = os.stat(out)
                    result = run(args + ["-o", out, src], tool=tool)
                    self.assertEqual(result.returncode, 1)
                    self.assertEqual(result.stdout, b"")
                    self.assertEqual(self.read(out), old)
                    after = os.stat(out)
                    self.assertEqual((after.st_ino, after.st_mode, after.st_mtime_ns),
                                     (before.st_ino, before.st_mode, before.st_mtime_ns))
                    self.assertOnly("out", "src")

    def test_failure_creates_no_file(self):
        out = os.path.join(self.dir, "out")
        for tool_name, tool in both_tools():
            with self.subTest(tool=tool_name):
                self.assertEqual(run(["-o", out], b"ok\nOPEN\n", tool=tool).returncode, 1)
                self.assertOnly()

    def test_success_replaces_file_and_keeps_its_mode(self):
        for tool_name, tool in both_tools():
            with self.subTest(tool=tool_name):
                self.clear()
                out = self.write("out", b"old content that is longer than the new one\n" * 50, 0o604)
                data = b"new\ncontent\n"
                self.assertRun(run(["-o", out], data, tool=tool), 0, b"")
                self.assertEqual(self.read(out), encode_text(b"new") + encode_text(b"content"))
                self.assertEqual(stat.S_IMODE(os.stat(out).st_mode), 0o604)
                self.assertOnly("out")
                # decoding over the same name
                src = self.write("enc", self.read(out))
                self.assertRun(run(["-d", src, "-o", out], tool=tool), 0, b"")
                self.assertEqual(self.read(out), data)
                self.assertOnly("out", "enc")

    def test_new_file_takes_the_umask(self):
        for tool_name, tool in both_tools():
            with self.subTest(tool=tool_name):
                self.clear()
                out = os.path.join(self.dir, "new")
                self.assertRun(run(["-o", out], b"x\n", preexec_fn=lambda: os.umask(0o027), tool=tool), 0, b"")
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
            result = subprocess.run(command() + ["-o", src], stdin=f, capture_output=True, timeout=TIMEOUT)
        self.assertRun(result, 1, b"", b"qelcode: %s: output file is the input file\n" % src.encode())
        # standard output appending to the input file, named or as "-o -"
        for args in [[src], [src, "-o", "-"]]:
            with self.subTest(args=args):
                with open(src, "ab") as f:
                    result = subprocess.run(command() + args, stdout=f, stderr=subprocess.PIPE, timeout=TIMEOUT)
                self.assertRun(result, 1, None, b"qelcode: (stdout): output file is the input file\n")
                self.assertEqual(self.read(src), content)

    def test_symbolic_links_are_followed(self):
        # -o writes where "> LINK" would: to the file the link leads to, which
        # keeps its mode, or is created; the links stay as they were.
        data = b"through links\n"
        cases = [
            # name, links (name, what it holds), whether sub/target exists
            ("relative link", [("out", "sub/target")], True),
            ("absolute link", [("out", os.path.join(self.dir, "sub", "target"))], True),
            ("chain of links", [("out", "sub/second"), ("sub/second", "target")], True),
            ("dangling link", [("out", "sub/target")], False),
        ]
        for tool_name, tool in both_tools():
            for name, links, exists in cases:
                with self.subTest(name, tool=tool_name):
                    self.clear()
                    os.mkdir(os.path.join(self.dir, "sub"))
                    target = os.path.join(self.dir, "sub", "target")
                    if exists:
                        self.write("sub/target", b"old content, longer than the new\n" * 20, 0o640)
                    for link, value in links:
                        os.symlink(value, os.path.join(self.dir, link))
                    self.assertRun(run(["-o", os.path.join(self.dir, "out")], data, tool=tool), 0, b"")
                    self.assertEqual(self.read(target), encode_text(b"through links"))
                    if exists:
                        self.assertEqual(stat.S_IMODE(os.stat(target).st_mode), 0o640)
                    for link, value in links:
                        self.assertEqual(os.readlink(os.path.join(self.dir, link)), value)
                    self.assertOnly("out", "sub")
                    self.assertOnly("target", *[os.path.basename(l) for l, _ in links[1:]],
                                    directory=os.path.join(self.dir, "sub"))

    def test_standard_output_as_the_output_file(self):
        data = b"to standard output\n"
        expected = encode_text(b"to standard output")
        for tool_name, tool in both_tools():
            with self.subTest("a link to /proc/self/fd/1, standard output a file", tool=tool_name):
                self.clear()
                link = os.path.join(self.dir, "link")
                os.symlink("/proc/self/fd/1", link)
                cap = self.write("cap", b"old content, longer than the record\n" * 10)
                # opened without truncating: the tool truncates it, as "> link" would
                ino = os.stat(cap).st_ino
                fd = os.open(cap, os.O_WRONLY)
                try:
                    result = run(["-o", link], data, stdout=fd, tool=tool)
                finally:
                    os.close(fd)
                self.assertRun(result, 0, None, b"")
                self.assertEqual(self.read(cap), expected)
                # the same file still: the caller's descriptor leads to what was written
                self.assertEqual(os.stat(cap).st_ino, ino)
                self.assertEqual(os.readlink(link), "/proc/self/fd/1")
                self.assertOnly("link", "cap")
            # /dev/fd/1 rather than /dev/stdout: an error here can't replace
            # anything in /dev (/dev/stdout is tried as another user below).
            for args in [["-o", "/dev/fd/1"], ["-o", "-"], ["--output=-"]]:
                with self.subTest(args=args, tool=tool_name):
                    self.clear()
                    self.assertRun(run(args, data, cwd=self.dir, tool=tool), 0, expected)
                    self.assertOnly()

    def test_dev_stdout_as_root(self):
        # /dev/stdout itself, in a private mount namespace with a /dev of its
        # own, so that a fault can replace nothing of the machine's.
        script = ('mount -t tmpfs none /dev && ln -s /proc/self/fd/1 /dev/stdout && "$@" -o /dev/stdout '
                  '&& if [ -L /dev/stdout ]; then echo link kept >&2; fi')
        probe = subprocess.run(["unshare", "-m", "sh", "-c", "mount -t tmpfs none /dev"],
                               capture_output=True, timeout=TIMEOUT)
        if probe.returncode != 0:
            self.skipTest("needs root and a private mount namespace (unshare -m): %s" % probe.stderr.decode().strip())
        for tool_name, tool in both_tools():
            with self.subTest(tool=tool_name):
                self.clear()
                cap = self.write("cap", b"old content, longer than the record\n" * 10)
                ino = os.stat(cap).st_ino
                fd = os.open(cap, os.O_WRONLY)
                try:
                    result = subprocess.run(["unshare", "-m", "sh", "-c", script, "sh"] + command(tool),
                                            input=b"to /dev/stdout\n",
                                            stdout=fd, stderr=subprocess.PIPE, timeout=TIMEOUT)
                finally:
                    os.close(fd)
                self.assertRun(result, 0, None, b"link kept\n")
                self.assertEqual(self.read(cap), encode_text(b"to /dev/stdout"))
                self.assertEqual(os.stat(cap).st_ino, ino)

    def test_device_is_written_in_place(self):
        dev = os.path.join(self.dir, "null")
        try:
            os.mknod(dev, stat.S_IFCHR | 0o666, os.makedev(1, 3))
        except OSError as e:
            self.skipTest("can't make a device node (%s); needs root" % e.strerror)
        for tool_name, tool in both_tools():
            with self.subTest(tool=tool_name):
                self.assertRun(run(["-o", dev], b"into the device\n", tool=tool), 0, b"")
                self.assertTrue(stat.S_ISCHR(os.stat(dev).st_mode))
                self.assertOnly("null")

    def test_output_to_a_pipe_is_written_directly(self):
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        with subprocess.Popen(command() + ["-o", fifo], stdin=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
            proc.stdin.write(b"through a pipe\n")
            proc.stdin.close()
            with open(fifo, "rb") as f:
                got = f.read()
            self.assertEqual(proc.wait(timeout=TIMEOUT), 0, proc.stderr.read())
        self.assertEqual(got, encode_text(b"through a pipe"))
        self.assertTrue(stat.S_ISFIFO(os.stat(fifo).st_mode))
        self.assertOnly("fifo")

    def test_hard_linked_file_is_refused(self):
        # Replacing it would leave the other names with the old content.
        for others, message in [(1, b"has 1 other hard link"), (2, b"has 2 other hard links")]:
            with self.subTest(others=others):
                self.clear()
                out = self.write("out", b"old\n")
                links = [os.path.join(self.dir, "link%d" % i) for i in range(others)]
                for link in links:
                    os.link(out, link)
                self.assertRun(run(["-o", out], b"new\n"), 1, b"",
                               b"qelcode: %s: %s; not replaced\n" % (out.encode(), message))
                for name in [out] + links:
                    self.assertEqual(self.read(name), b"old\n")
                self.assertEqual(os.stat(out).st_nlink, others + 1)

    def test_stopped_by_a_signal_leaves_no_temporary_file(self):
        # SIGKILL can't be caught: only an unnamed temporary file is sure to go then.
        caught = [signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGPIPE, signal.SIGUSR1, signal.SIGALRM]
        try:
            os.close(os.open(self.dir, os.O_TMPFILE | os.O_WRONLY, 0o600))
            unnamed = True
        except OSError:
            unnamed = False  # the tool falls back to a named file
        for tool_name, tool in both_tools():
            signals = caught + ([signal.SIGKILL] if tool == TOOL else [])
            for sig in signals:
                for existing in [True, False]:
                    with self.subTest(tool=tool_name, signal=sig.name, existing=existing):
                        if sig == signal.SIGKILL and not unnamed:
                            self.skipTest("the file system of %s refuses unnamed temporary files" % self.dir)
                        self.clear()
                        out = os.path.join(self.dir, "out")
                        if existing:
                            self.write("out", b"old\n")
                        with subprocess.Popen(command(tool) + ["-o", out], stdin=subprocess.PIPE,
                                              stderr=subprocess.PIPE) as proc:
                            proc.stdin.write(b"a first line\n")
                            proc.stdin.flush()
                            self.wait_until_writing(proc)
                            proc.send_signal(sig)
                            self.assertEqual(proc.wait(timeout=TIMEOUT), -sig)
                            proc.stdin.close()
                        if existing:
                            self.assertEqual(self.read(out), b"old\n")
                            self.assertOnly("out")
                        else:
                            self.assertOnly()

    def test_ignored_signals_stay_ignored(self):
        # As under nohup, or in a shell's background job: the work goes on.
        if EMULATOR:
            # A user-mode emulator catches every signal itself, and a read it
            # was in can then fail with EINTR although the tool ignores the
            # signal; no kernel does that for an ignored signal.
            self.skipTest("signals reach the emulator, not the tool")
        ignored = [signal.SIGHUP, signal.SIGINT, signal.SIGTERM, signal.SIGUSR1, signal.SIGALRM]

        def ignore():
            for sig in ignored:
                signal.signal(sig, signal.SIG_IGN)

        for tool_name, tool in both_tools():
            with self.subTest(tool=tool_name):
                self.clear()
                out = self.write("out", b"old\n")
                with subprocess.Popen(command(tool) + ["-o", out], stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                                      preexec_fn=ignore) as proc:
                    proc.stdin.write(b"first\n")
                    proc.stdin.flush()
                    self.wait_until_writing(proc)
                    for sig in ignored:
                        proc.send_signal(sig)
                    proc.stdin.write(b"second\n")
                    proc.stdin.close()
                    self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
                    self.assertEqual(proc.stderr.read(), b"")
                self.assertEqual(self.read(out), encode_text(b"first") + encode_text(b"second"))
                self.assertOnly("out")

    def test_replacement_keeps_owner_group_mode_and_acl(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to give the file another owner")
        # An access ACL in its stored form: a version, then (tag, permissions,
        # id) entries in tag order; ~0 is the id of the entries that have none.
        acl = struct.pack("<I", 2) + b"".join(struct.pack("<HHI", tag, perm, ident) for tag, perm, ident in [
            (0x01, 6, 0xFFFFFFFF),  # owner rw-
            (0x02, 4, 4322),        # user 4322 r--
            (0x04, 4, 0xFFFFFFFF),  # owning group r--
            (0x10, 4, 0xFFFFFFFF),  # mask r--
            (0x20, 0, 0xFFFFFFFF),  # others ---
        ])
        for tool_name, tool in both_tools():
            for with_acl in [False, True]:
                with self.subTest(tool=tool_name, acl=with_acl):
                    self.clear()
                    out = self.write("out", b"old\n")
                    os.chown(out, 4321, 8765)
                    os.chmod(out, 0o2640)
                    if with_acl:
                        try:
                            os.setxattr(out, "system.posix_acl_access", acl)
                        except OSError as e:
                            self.skipTest("no access ACLs here: %s" % e.strerror)
                    before = os.stat(out)
                    self.assertRun(run(["-o", out], b"new\n", tool=tool), 0, b"")
                    after = os.stat(out)
                    self.assertEqual(self.read(out), encode_text(b"new"))
                    self.assertNotEqual(after.st_ino, before.st_ino)  # replaced whole
                    self.assertEqual((after.st_uid, after.st_gid, oct(after.st_mode)),
                                     (4321, 8765, oct(before.st_mode)))
                    if with_acl:
                        self.assertEqual(os.getxattr(out, "system.posix_acl_access"), acl)
                    self.assertOnly("out")


# Runs a command as user nobody, group nogroup, with no other groups.
AS_NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]


class OtherUserTest(ToolTest):
    """-o as an ordinary user, on files that user may or may not write."""

    def setUp(self):
        super().setUp()
        if os.geteuid() != 0:
            self.skipTest("needs root to run the tool as user nobody")
        if shutil.which("setpriv") is None:
            self.skipTest("needs setpriv to run the tool as user nobody")
        try:
            self.uid = pwd.getpwnam("nobody").pw_uid
            self.gid = grp.getgrnam("nogroup").gr_gid
        except KeyError:
            self.skipTest("no user nobody or group nogroup")
        self._scratch = tempfile.TemporaryDirectory(prefix="qelcode-cli-tools-")
        self.addCleanup(self._scratch.cleanup)
        self.tools = [(name, self.reachable(tool, name)) for name, tool in both_tools()]

    def reachable(self, tool, name):
        """The command prefix and tool path with which nobody runs tool."""
        if run(["--version"], tool=tool, as_user=AS_NOBODY).returncode == 0:
            return AS_NOBODY, tool
        # The build tree is out of nobody's reach: copy the tool and its library.
        where = os.path.join(self._scratch.name, name.replace(" ", "-"))
        os.makedirs(where)
        for d in [self._scratch.name, where]:
            os.chmod(d, 0o755)
        ldd = subprocess.run(["ldd", tool], capture_output=True, text=True, timeout=TIMEOUT).stdout
        for path in [tool] + re.findall(r"=> (\S*libqelcode\S*)", ldd):
            shutil.copy2(path, where)
        prefix = AS_NOBODY + ["env", "LD_LIBRARY_PATH=" + where]
        copy = os.path.join(where, os.path.basename(tool))
        if run(["--version"], tool=copy, as_user=prefix).returncode != 0:
            self.skipTest("user nobody can't run the tool")
        return prefix, copy

    def owned(self, name, content, uid, gid, mode):
        path = self.write(name, content)
        os.chown(path, uid, gid)
        os.chmod(path, mode)
        return path

    def assertUnchanged(self, path, content, before):
        self.assertEqual(self.read(path), content)
        after = os.stat(path)
        self.assertEqual((after.st_ino, after.st_mode, after.st_uid, after.st_gid, after.st_mtime_ns),
                         (before.st_ino, before.st_mode, before.st_uid, before.st_gid, before.st_mtime_ns))

    def test_refused_where_the_user_could_not_write_or_keep_the_owner(self):
        os.chmod(self.dir, 0o777)  # nobody may create and rename files here
        old = b"secret old content\n"
        cases = [
            # name, owner, group, mode, message
            ("own read-only file", self.uid, self.gid, 0o444, b"Permission denied"),
            ("another user's file", 0, 0, 0o640, b"Permission denied"),
            ("own file of a group the user is not in", self.uid, 0, 0o640,
             b"cannot keep the file's group (gid 0): Operation not permitted; not replaced"),
            ("another user's file anyone may write", 0, 0, 0o666,
             b"cannot keep the file's owner (uid 0): Operation not permitted; not replaced"),
        ]
        for tool_name, (prefix, tool) in self.tools:
            for name, uid, gid, mode, message in cases:
                with self.subTest(name, tool=tool_name):
                    out = self.owned("out", old, uid, gid, mode)
                    before = os.stat(out)
                    self.assertRun(run(["-o", out], b"new\n", tool=tool, as_user=prefix), 1, b"",
                                   b"qelcode: %s: %s\n" % (out.encode(), message))
                    self.assertUnchanged(out, old, before)
                    self.assertEqual(os.listdir(self.dir), ["out"])

    def test_own_file_is_replaced_keeping_mode_owner_and_group(self):
        os.chmod(self.dir, 0o777)
        for tool_name, (prefix, tool) in self.tools:
            with self.subTest(tool=tool_name):
                out = self.owned("out", b"old\n", self.uid, self.gid, 0o604)
                self.assertRun(run(["-o", out], b"new\n", tool=tool, as_user=prefix), 0, b"")
                self.assertEqual(self.read(out), encode_text(b"new"))
                after = os.stat(out)
                self.assertEqual((after.st_uid, after.st_gid, stat.S_IMODE(after.st_mode)),
                                 (self.uid, self.gid, 0o604))
                self.assertEqual(os.listdir(self.dir), ["out"])

    def test_directory_the_user_cannot_write(self):
        # The file may be writable, but its replacement can't be made beside it.
        os.chmod(self.dir, 0o755)
        for tool_name, (prefix, tool) in self.tools:
            with self.subTest(tool=tool_name):
                out = self.owned("out", b"old\n", self.uid, self.gid, 0o644)
                before = os.stat(out)
                self.assertRun(run(["-o", out], b"new\n", tool=tool, as_user=prefix), 1, b"",
                               b"qelcode: %s: cannot create the new file in its directory: Permission denied\n"
                               % out.encode())
                self.assertUnchanged(out, b"old\n", before)
                new = os.path.join(self.dir, "new")
                self.assertRun(run(["-o", new], b"new\n", tool=tool, as_user=prefix), 1, b"",
                               b"qelcode: %s: Permission denied\n" % new.encode())
                self.assertEqual(os.listdir(self.dir), ["out"])

    def test_devices_and_standard_output(self):
        # As a user who can't replace anything in /dev, so that a fault can't
        # harm the machine.
        for tool_name, (prefix, tool) in self.tools:
            with self.subTest(tool=tool_name):
                self.assertRun(run(["-o", "/dev/null"], b"lost\n", tool=tool, as_user=prefix), 0, b"", b"")
                self.assertTrue(stat.S_ISCHR(os.stat("/dev/null").st_mode))
                # /dev/stdout opens standard output anew, which the user may
                # do for a file of theirs; it is truncated, as "> /dev/stdout" does.
                os.chmod(self.dir, 0o777)
                cap = self.owned("cap", b"old content, longer than the record\n" * 10, self.uid, self.gid, 0o644)
                fd = os.open(cap, os.O_WRONLY)
                try:
                    result = run(["-o", "/dev/stdout"], b"shown\n", stdout=fd, tool=tool, as_user=prefix)
                finally:
                    os.close(fd)
                self.assertRun(result, 0, None, b"")
                self.assertEqual(self.read(cap), encode_text(b"shown"))
                self.assertEqual(os.listdir(self.dir), ["cap"])


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
                    result = subprocess.run(command() + args, stdin=f, capture_output=True, timeout=TIMEOUT)
                self.assertRun(result, 0, expected)

    def test_output_replaces_a_large_file(self):
        out = self.sparse("out", b"old\n", mode=0o640)
        self.assertRun(run(["-o", out], b"new text\n"), 0, b"")
        self.assertEqual(self.read(out), encode_text(b"new text"))
        self.assertEqual(stat.S_IMODE(os.stat(out).st_mode), 0o640)
        self.assertEqual(os.listdir(self.dir), ["out"])


def main():
    global TOOL, NAMED_TEMP_TOOL, EMULATOR, SOURCE_DIR, SHIFT
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--named-temp-tool", required=True)
    parser.add_argument("--emulator", action="append", default=[],
                        help="the emulator that runs the tool, one argument at a time (--emulator=ARG)")
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--step-selector", type=int, required=True)
    args, rest = parser.parse_known_args()
    TOOL = os.path.abspath(args.tool)
    NAMED_TEMP_TOOL = os.path.abspath(args.named_temp_tool)
    EMULATOR = args.emulator
    SOURCE_DIR = os.path.abspath(args.source_dir)
    SHIFT = model.shift_of_selector(args.step_selector)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
