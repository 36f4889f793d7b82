"""--progress: what is shown on standard error while an input is read, and
when it is shown by default.
"""
import os
import pty
import re
import select
import subprocess
import time

from harness import config, encode_text, run, command, ToolTest, HINT

RATE = rb"(, [0-9.]+ (B|KiB|MiB|GiB)/s)?"


class ProgressTest(ToolTest):
    def test_last_figures_end_the_line(self):
        text = (b"x" * 99 + b"\n") * 10  # 1000 bytes
        path = self.write("input", text)
        big = self.write("big", text * 3)

        def from_file(offset):
            def go():
                with open(path, "rb") as f:
                    f.seek(offset)
                    return subprocess.run(command() + ["--progress"], stdin=f, capture_output=True,
                                          timeout=config.timeout)
            return go

        cases = [
            # name, how the tool runs, what it reads, name and figures shown
            ("named file", lambda: run(["--progress", path]), text, path, b"1000 B of 1000 B (100%)"),
            ("larger file", lambda: run(["--progress", big]), text * 3, big, b"2.9 KiB of 2.9 KiB (100%)"),
            ("file as standard input", from_file(0), text, "(stdin)", b"1000 B of 1000 B (100%)"),
            ("standard input at an offset", from_file(300), text[300:], "(stdin)", b"1000 B of 1000 B (100%)"),
            ("pipe: no total", lambda: run(["--progress"], text), text, "(stdin)", b"1000 B"),
        ]
        for name, go, read, shown_name, figures in cases:
            with self.subTest(name):
                result = go()
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, b"".join(encode_text(line) for line in read.splitlines()))
                # Earlier figures, if any, each start with a carriage return too.
                self.assertRegex(result.stderr, rb"^(\rqelcode: [^\n]*)*\rqelcode: %s: %s%s *\n$"
                                 % (re.escape(shown_name.encode()), re.escape(figures), RATE))

    def test_a_failure_is_told_on_a_line_of_its_own(self):
        result = run(["--progress"], b"one\nOPEN\n")
        self.assertEqual(result.returncode, 1)
        self.assertRegex(result.stderr, rb"^(\rqelcode: [^\n]*)*\rqelcode: \(stdin\): 9 B%s *\n%s%s$"
                         % (RATE, re.escape(b"qelcode: (stdin): line 2: Source encoded\n"), re.escape(HINT)))

    def test_quiet_and_not_a_terminal(self):
        # -q wins over --progress; standard error that is not a terminal
        # shows nothing unless asked, whatever the input's size.
        big = self.write("big", b"a line of text to encode\n" * 400000)  # 10 MB
        for args in [["-q", "--progress"], ["--progress", "--quiet"], []]:
            with self.subTest(args=args):
                result = run(args + [big, "-o", os.path.join(self.dir, "out")])
                self.assertRun(result, 0, b"", b"")
        self.assertRun(run(["-t", "-q"], b""), 0, b"(stdin): OK (empty)\n", b"")

    def run_on_terminal(self, args):
        """Runs the tool with standard error on a terminal; what it showed there."""
        leader, follower = pty.openpty()
        try:
            with subprocess.Popen(command() + args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=follower) as proc:
                os.close(follower)
                follower = -1
                shown = b""
                while True:
                    ready, _, _ = select.select([leader], [], [], config.timeout)
                    if not ready:
                        break
                    try:
                        chunk = os.read(leader, 4096)
                    except OSError:  # the terminal's other end is closed
                        break
                    if not chunk:
                        break
                    shown += chunk
                self.assertEqual(proc.wait(timeout=config.timeout), 0, shown)
        finally:
            os.close(leader)
            if follower >= 0:
                os.close(follower)
        return shown

    def test_shown_by_default_on_a_terminal_for_a_large_file(self):
        line = b"a line of text to encode\n"
        big = self.write("big", line * 400000)    # 10 000 000 bytes, above 8 MiB
        small = self.write("small", line * 1000)  # 25 000 bytes
        out = os.path.join(self.dir, "out")
        shown = self.run_on_terminal([big, "-o", out])
        self.assertRegex(shown, rb"\rqelcode: %s: 9\.5 MiB of 9\.5 MiB \(100%%\)%s *\r?\n$"
                         % (re.escape(big.encode()), RATE))
        for args in [[small, "-o", out], ["-q", big, "-o", out]]:
            with self.subTest(args=args):
                self.assertEqual(self.run_on_terminal(args), b"")

    def test_at_most_four_updates_a_second(self):
        # Lines that come slowly through a pipe for about 1.5 s.
        with subprocess.Popen(command() + ["--progress"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE) as proc:
            began = time.monotonic()
            for _ in range(30):
                proc.stdin.write(b"a line\n")
                proc.stdin.flush()
                time.sleep(0.05)
            proc.stdin.close()
            err = proc.stderr.read()
            self.assertEqual(proc.wait(timeout=config.timeout), 0, err)
            took = time.monotonic() - began
        updates = err.count(b"\r")
        self.assertGreaterEqual(updates, 3, err)  # shown while the work goes on, and at its end
        self.assertLessEqual(updates, took * 4 + 2, err)
        self.assertRegex(err, rb"\rqelcode: \(stdin\): 210 B%s *\n$" % RATE)
