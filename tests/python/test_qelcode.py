"""The Python package against the plain model of the format, with no C stdio
on the way: one-shot, file and incremental conversions, refusals with their
offsets and lines, and random texts and records in random chunk sizes.

    python3 test_qelcode.py [--library PATH] [--step-selector K] [--part all|whole|pieces] [unittest options]

Tests whichever qelcode imports (the installed package, or the source tree
with PYTHONPATH=bindings/python/src); --library loads that library rather
than the package's own choice.
"""

import argparse
import io
import os
import random
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "reference"))

import qel_model as model  # noqa: E402
import qelcode  # noqa: E402

ARGS = None


def random_text(rng, lines):
    out = bytearray()
    for _ in range(lines):
        n = rng.choice([0, 1, 10, 44, 93, 94, 506, 507, 508, 1014, 1015, rng.randrange(80)])
        line = bytearray(rng.choice(range(32, 127)) if rng.random() < 0.85 else rng.choice(range(1, 256))
                         for _ in range(n))
        line = line.replace(b"\n", b"x")
        if rng.random() < 0.03:
            line[:0] = b"OP"
        out += line + rng.choice([b"\n", b"\n", b"\r\n", b""])
    if rng.random() < 0.1 and out:
        out[rng.randrange(len(out))] = 0
    return bytes(out)


def random_records(rng, s):
    text = random_text(rng, rng.randrange(20)).replace(b"\0", b"z")
    out = bytearray(model.encode_stream(text, model.FORCE, s).out)
    if rng.random() < 0.3 and out:
        out[rng.randrange(len(out))] = rng.choice([0x20, 0, 0x41])
    return bytes(out)


class ConversionCase(unittest.TestCase):
    """Converts through the package and compares with the model."""

    @classmethod
    def setUpClass(cls):
        cls.lib = qelcode.Library(ARGS.library) if ARGS.library else qelcode.library()
        cls.s = model.shift_of_selector(ARGS.step_selector)

    def expect(self, data, decode, force=False):
        """What the model's stream gives: (out, status, line, position after the failing piece)."""
        o = model.decode_stream(data) if decode else model.encode_stream(data, model.FORCE if force else 0, self.s)
        return o

    def check(self, data, decode, force=False, chunk_size=None):
        want = self.expect(data, decode, force)
        convert = self.lib.decode if decode else (lambda d: self.lib.encode(d, force))
        dest = io.BytesIO()
        try:
            if chunk_size is None:
                dest.write(convert(data))
            elif chunk_size < 0:  # the incremental object, fed -chunk_size bytes at a time
                stream = self.lib.decoder() if decode else self.lib.encoder(force)
                try:
                    for i in range(0, len(data), -chunk_size):
                        dest.write(stream.feed(data[i:i - chunk_size]))
                    dest.write(stream.close())
                except qelcode.QelError as e:
                    dest.write(e.output)
                    raise
            elif decode:
                self.lib.decode_file(io.BytesIO(data), dest, chunk_size=chunk_size)
            else:
                self.lib.encode_file(io.BytesIO(data), dest, force=force, chunk_size=chunk_size)
        except qelcode.QelError as e:
            self.assertNotIn(want.status, (model.SUCCESSFUL, model.EMPTY_SOURCE), repr(data[:80]))
            self.assertEqual(e.code, want.status)
            self.assertEqual(e.line, want.line)
            self.assertEqual(e.message, self.lib.message(e.code))
            self.assertLess(e.offset, want.pos)
            self.assertLessEqual(want.pos, e.offset + 513)
            if chunk_size is not None:
                self.assertEqual(dest.getvalue(), want.out)
            else:
                self.assertEqual(e.output, want.out)
            return
        self.assertIn(want.status, (model.SUCCESSFUL, model.EMPTY_SOURCE))
        self.assertEqual(dest.getvalue(), want.out)

    def random_cases(self, chunk_sizes):
        rng = random.Random(20261210)
        for _ in range(150):
            text = random_text(rng, rng.randrange(25))
            records = random_records(rng, self.s)
            for chunk in chunk_sizes:
                self.check(text, False, force=rng.random() < 0.3, chunk_size=chunk)
                self.check(records, True, chunk_size=chunk)


class ModuleTest(ConversionCase):
    def test_hand_worked(self):
        cases = [v for v in model.load_vectors() if v[0] in ("encode-file", "decode-file")]
        self.assertTrue(cases)
        for op, s, text, record in cases:
            with self.subTest(op=op, text=text):
                if op == "decode-file":
                    self.assertEqual(self.lib.decode(record), text)
                elif s == self.s:
                    self.assertEqual(self.lib.encode(text), record)
        self.assertEqual(self.lib.encode(b""), b"")

    def test_refusals_carry_code_offset_and_line(self):
        cases = [
            (b"one\ntwo\nOP three\n", False, 9, 8, 3),
            (b"one\ntw\0o\n", False, 12, 4, 2),
            (b"x" * 600 + b"\nOP\n", False, 9, 601, 2),
        ]
        for data, decode, code, offset, line in cases:
            with self.subTest(data=data[:20]):
                with self.assertRaises(qelcode.QelError) as cm:
                    self.lib.encode(data)
                self.assertEqual((cm.exception.code, cm.exception.offset, cm.exception.line), (code, offset, line))
        with self.assertRaises(qelcode.QelError) as cm:
            self.lib.decode(self.lib.encode(b"a\nb\n") + b"plain\n")
        self.assertEqual((cm.exception.code, cm.exception.line), (10, 3))

    def test_force(self):
        self.check(b"OP looks encoded\n", False, force=True)
        self.assertEqual(self.lib.decode(self.lib.encode(b"OP x\n", force=True)), b"OP x\n")

    def test_random_texts_and_records_whole_and_in_file_chunks(self):
        self.random_cases((None, 1, 7, 513, 4096))

    def test_module_functions_and_version(self):
        qelcode._reset(self.lib)
        self.addCleanup(qelcode._reset)
        self.assertEqual(qelcode.decode(qelcode.encode(b"round trip\n")), b"round trip\n")
        self.assertEqual(qelcode.version(), self.lib.version())
        self.assertRegex(qelcode.version(), r"^\d+\.\d+\.\d+$")


class FedInPiecesTest(ConversionCase):
    """The incremental objects, fed a few bytes and more than a record at a time."""

    def test_random_texts_and_records_fed_in_pieces(self):
        self.random_cases((-5, -600))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--library")
    parser.add_argument("--step-selector", type=int, default=2)
    parser.add_argument("--part", choices=["all", "whole", "pieces"], default="all",
                        help="the incremental objects fed in pieces (pieces), the rest (whole), or all")
    ARGS, rest = parser.parse_known_args()
    if ARGS.part == "pieces":
        rest.append("FedInPiecesTest")
    elif ARGS.part == "whole":
        rest.append("ModuleTest")
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=1)
