"""The tool's conversions: records and round trips, failures and their
messages, usage, and the test mode (-t).
"""
import os
import re
import shlex
import signal
import subprocess

from harness import config, HINT, model, encode_text, encode_file, decoded_file, run, command, repository_files, ToolTest


class EncodeDecodeTest(ToolTest):
    def test_hand_worked_records(self):
        # The files of the hand-worked vectors; records of any shift decode.
        cases = [v for v in model.load_vectors() if v[0] in ("encode-file", "decode-file")]
        self.assertTrue(cases)
        for op, s, text, record in cases:
            with self.subTest(op=op, text=text):
                if op == "decode-file":
                    self.assertRun(run(["-d"], record), 0, text)
                elif s == config.shift:
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
            out, err = dec.communicate(timeout=config.timeout)
            enc.wait(timeout=config.timeout)
            self.assertEqual((enc.returncode, enc.stderr.read()), (0, b""))
            self.assertEqual((dec.returncode, err), (0, b""))
        self.assertEqual(out, b"first line\nsecond   line\n\nlast without line feed\n")

    def test_repository_files_round_trip(self):
        files = repository_files()
        self.assertGreater(len(files), 5)
        # The files in a dozen batches, each one file of their bytes end to
        # end, so that the tool starts two dozen times, not twice a file
        # (a start costs much under the sanitizers).
        batches = 12
        for b in range(batches):
            part = files[b::batches]
            data = b"".join(d for _, d in part)
            names = ", ".join(os.path.relpath(p, config.source_dir) for p, _ in part)
            with self.subTest(files=names):
                path = self.write("batch-%d" % b, data)
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
        other = 1 if config.shift != 1 else 9
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
            ("NUL byte", [], b"one\ntw\0o\n", 2, b"NUL byte in source"),
            ("plain text to decode", ["-d"], b"plain text\n", 1, b"Source not encoded"),
            ("dropped bytes", ["-d"], good + dropped, 4, b"Damaged record"),
            ("wrong step mark", ["-d"], good[:14] + wrong_mark, 3, b"Damaged record"),
            ("space in body", ["-d"], second[:4] + b" " + second[5:], 1, b"Damaged record"),
            ("broken mark", ["-d"], good + b"\"|" + second[2:], 4, b"Source not encoded"),
            ("record too long", ["-d"], b"!~" + b"x" * 600 + b"\n", 1, b"Damaged record"),
        ]
        for name, args, content, line, message in cases:
            with self.subTest(name):
                path = self.write("input", content)
                expected = b"qelcode: %s: line %d: %s\n" % (path.encode(), line, message)
                if message == b"Source encoded":
                    expected += HINT
                self.assertRun(run(args + [path]), 1, None, expected)
                # the same from standard input, with its own name
                expected = expected.replace(path.encode(), b"(stdin)", 1)
                self.assertRun(run(args, content), 1, None, expected)

    def test_empty_input_gives_empty_output(self):
        # As any filter: "grep x f | qelcode" succeeds where grep finds nothing.
        path = self.write("empty", b"")
        for args in [[], ["-d"]]:
            with self.subTest(args=args):
                self.assertRun(run(args + [path]), 0, b"", b"")
                self.assertRun(run(args, b""), 0, b"", b"")

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

    def test_write_error_names_the_output_and_its_reason(self):
        # At whatever point the write fails: the last flush of a short
        # output, or the middle of a long one. A closed pipe gives EPIPE
        # where SIGPIPE is ignored (else the signal ends the tool).
        short, long = b"a line\n", b"a longer line of text\n" * 20000

        def ignore_sigpipe():
            signal.signal(signal.SIGPIPE, signal.SIG_IGN)

        cases = [
            # name, arguments, input, where the output goes, message
            ("full disk, last flush", [], short, "full", b"(stdout): No space left on device"),
            ("full disk, mid-output", [], long, "full", b"(stdout): No space left on device"),
            ("-o full disk, mid-output", ["-o", "/dev/full"], long, None, b"/dev/full: No space left on device"),
            ("closed pipe, mid-output", [], long, "closed pipe", b"(stdout): Broken pipe"),
        ]
        for name, args, data, where, message in cases:
            with self.subTest(name):
                src = self.write("input", data)
                if where == "full":
                    with open("/dev/full", "wb") as full:
                        result = run(args + [src], stdout=full)
                elif where == "closed pipe":
                    read_end, write_end = os.pipe()
                    os.close(read_end)
                    try:
                        result = run(args + [src], stdout=write_end, preexec_fn=ignore_sigpipe)
                    finally:
                        os.close(write_end)
                else:
                    result = run(args + [src])
                self.assertRun(result, 1, None, b"qelcode: %s\n" % message)


class LargeInputTest(ToolTest):
    """Inputs of a few MiB, which are read ahead of the conversion: every
    byte in order, a refusal far in, and standard input left where the
    conversion stopped."""

    @staticmethod
    def text(lines):
        # Lines of many lengths, a few longer than a record holds.
        return b"".join(b"line %d %s\n" % (i, b"v" * (i * 7 % 600)) for i in range(lines))

    def tool_on_file(self, args, path):
        with open(path, "rb") as f:
            return subprocess.run(command() + args, stdin=f, capture_output=True, timeout=config.timeout)

    def test_round_trip(self):
        data = self.text(9000)
        self.assertGreater(len(data), 2 << 20)
        plain = self.write("plain", data)
        records = self.write("records", encode_file(data))
        cases = [
            # name, arguments, input, expected output
            ("encode named", ["-f", plain], None, encode_file(data)),
            ("encode stdin", ["-f"], plain, encode_file(data)),
            ("decode named", ["-d", records], None, decoded_file(data)),
            ("decode stdin", ["-d"], records, decoded_file(data)),
        ]
        for name, args, stdin, expected in cases:
            with self.subTest(name):
                result = run(args) if stdin is None else self.tool_on_file(args, stdin)
                self.assertRun(result, 0, expected)

    def test_refusal_far_in(self):
        lines = self.text(9000).splitlines(keepends=True)
        bad = 7001  # 1-based
        data = b"".join(lines[:bad - 1]) + b"NUL\0here\n" + b"".join(lines[bad - 1:])
        before = b"".join(lines[:bad - 1])
        self.assertGreater(len(before), 1 << 20)
        path = self.write("plain", data)
        expected = model.encode_stream(before, 0, config.shift).out
        message = b"line %d: NUL byte in source\n" % bad
        self.assertRun(run([path]), 1, expected, b"qelcode: %s: " % path.encode() + message)
        self.assertRun(self.tool_on_file([], path), 1, expected, b"qelcode: (stdin): " + message)

        records = encode_file(b"".join(lines))
        end = records.index(b"\n", len(encode_file(before)))  # of the record of line `bad`
        damaged = self.write("damaged", records[:end - 3] + records[end - 1:])  # two body bytes gone
        record = encode_file(before).count(b"\n") + 1  # long lines take two records
        self.assertRun(run(["-t", damaged]), 1, b"",
                       b"qelcode: %s: line %d: Damaged record\n" % (damaged.encode(), record))

    def test_standard_input_left_after_the_refused_line(self):
        # Whatever reads standard input after the tool starts at the line
        # after the one refused, as after any filter that stops early.
        lines = self.text(9000).splitlines(keepends=True)
        head = b"".join(lines[:7000]) + b"refused\0line\n"
        rest = b"".join(lines[7000:])
        path = self.write("plain", head + rest)
        for args in [[], ["-d"]]:
            with self.subTest(args=args):
                script = "%s >/dev/null 2>&1; cat" % shlex.join(command() + args)
                with open(path, "rb") as f:
                    result = subprocess.run(["sh", "-c", script], stdin=f, capture_output=True,
                                            timeout=config.timeout)
                self.assertEqual(result.returncode, 0, result.stderr)
                # Decoding refuses the first line (not a record): it stops after it.
                expected = rest if not args else (head + rest)[len(lines[0]):]
                self.assertEqual(result.stdout, expected)


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
            (["--bogus"], "--bogus"), (["--bogus=1"], "--bogus=1"),
        ]
        for args, shown in cases:
            with self.subTest(args=args):
                result = run(args, cwd=self.dir)
                self.assertRun(result, 2, b"", None)
                self.assertEqual(result.stderr.decode().splitlines()[0], "qelcode: invalid option '%s'" % shown)
        self.assertEqual(os.listdir(self.dir), [])

    def test_value_given_to_a_flag(self):
        # Named by its full name, however it was abbreviated.
        for args, name in [(["--decode=yes"], "--decode"), (["--dec=1"], "--decode"),
                           (["--progress=no"], "--progress"), (["-d", "--quiet=1"], "--quiet")]:
            with self.subTest(args=args):
                result = run(args, cwd=self.dir)
                self.assertRun(result, 2, b"", None)
                self.assertEqual(result.stderr.decode().splitlines()[0],
                                 "qelcode: option '%s' doesn't allow an argument" % name)
        self.assertEqual(os.listdir(self.dir), [])

    def test_help_and_version(self):
        with open(os.path.join(config.source_dir, "include", "qelcode.h"), "rb") as f:
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
        empty = self.write("empty", b"")
        self.assertRun(run(["-t", empty, path]), 0, b"%s: OK (empty)\n%s: OK\n" % (empty.encode(), path.encode()))
        self.assertRun(run(["-t"], b""), 0, b"(stdin): OK (empty)\n")
        self.assertEqual(sorted(os.listdir(self.dir)), ["damaged", "empty", "good", "plain"])

    def test_several_files_are_each_reported(self):
        good = encode_text(b"alpha") + encode_text(b"beta")
        first = self.write("first", good)
        damaged = self.write("damaged", good[:-4] + good[-2:])
        missing = os.path.join(self.dir, "missing")
        last = self.write("last", encode_text(b"gamma"))
        # Both streams into one pipe: each file's line comes in its turn.
        result = subprocess.run(command() + ["-t", first, damaged, missing, "-", last], input=good,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=config.timeout)
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
