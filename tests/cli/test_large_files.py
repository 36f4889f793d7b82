"""Files past 4 GiB, as input and as the output replaced.
"""
import os
import stat
import subprocess

from harness import config, encode_text, run, command, ToolTest


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
                    result = subprocess.run(command() + args, stdin=f, capture_output=True, timeout=config.timeout)
                self.assertRun(result, 0, expected)

    def test_output_replaces_a_large_file(self):
        out = self.sparse("out", b"old\n", mode=0o640)
        self.assertRun(run(["-o", out], b"new text\n"), 0, b"")
        self.assertEqual(self.read(out), encode_text(b"new text"))
        self.assertEqual(stat.S_IMODE(os.stat(out).st_mode), 0o640)
        self.assertEqual(os.listdir(self.dir), ["out"])
