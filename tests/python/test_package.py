"""The qelcode package as its users meet it: what it takes and refuses, its
errors (pickled, from another process, when no library can be loaded), the
incremental objects fed at every split, the file functions and the command
line, all against the plain model of the format.

Runs against whichever qelcode imports: the installed package (a wheel in
a virtual environment, or the distribution's), or the source tree with
PYTHONPATH=bindings/python/src and QELCODE_LIBRARY set.

    python3 test_package.py [--step-selector K] [--tool PATH] [--header PATH] [--part all|api|cli]

--tool compares the command line with the qelcode tool; --header checks
__version__ against the public header. QELCODE_TEST_INSTALLED=1 asserts that the package
is not the source tree's and uses the library bundled with it.
"""

import argparse
import array
import concurrent.futures
import copy
import io
import mmap
import multiprocessing
import os
import pickle
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "reference"))

import qel_model as model  # noqa: E402
import qelcode  # noqa: E402

ARGS = None
S = None  # the step increment of the library under test

# A text with every kind of piece: short lines, CR LF, an empty line, a line
# cut into records (1100 bytes), one of exactly 507 bytes and its line feed,
# and a last line without a line feed.
TEXT = (b"first line\n" + b"second\r\n" + b"\n" + bytes(range(32, 127)) * 11 + b"ab\n" +
        b"y" * 507 + b"\n" + b"\x01\x7f\xff tail")


def want_encoded(data, force=False):
    return model.encode_stream(bytes(data), model.FORCE if force else 0, S)


def want_decoded(data):
    return model.decode_stream(bytes(data))


def run_module(args, stdin=b"", cwd=None, stdout=subprocess.PIPE):
    return subprocess.run([sys.executable, "-m", "qelcode"] + args, input=stdin, stdout=stdout,
                          stderr=subprocess.PIPE, cwd=cwd, timeout=120)


def libc_path():
    """The C library this process runs with, by its path."""
    with open("/proc/self/maps") as f:
        for line in f:
            path = line.split()[-1]
            if re.search(r"/libc[.-][^/]*so", path):
                return path
    raise unittest.SkipTest("no C library found in /proc/self/maps")


def refuse_in_worker(data):
    return qelcode.encode(data)


class InputTypesTest(unittest.TestCase):
    def test_bytes_like_inputs_give_what_bytes_give(self):
        text = b"one\ntwo\r\nthree"
        records = want_encoded(text).out
        ro_map = mmap.mmap(-1, len(text))
        ro_map.write(text)
        ro_view = memoryview(ro_map).toreadonly()
        cases = [
            ("bytes", text), ("bytearray", bytearray(text)), ("memoryview", memoryview(text)),
            ("memoryview slice", memoryview(b"xx" + text + b"yy")[2:-2]),
            ("writable memoryview slice", memoryview(bytearray(b"xx" + text))[2:]),
            ("non-contiguous memoryview", memoryview(bytes(b for c in text for b in (c, 0))) [::2]),
            ("array of 16-bit items", array.array("H", text + b".\n")),
            ("read-only mmap view", ro_view),
        ]
        try:
            for name, data in cases:
                with self.subTest(name):
                    expected = want_encoded(bytes(memoryview(data).cast("B") if memoryview(data).c_contiguous
                                                  else memoryview(data).tobytes()))
                    self.assertEqual(qelcode.encode(data), expected.out)
                    self.assertEqual(type(qelcode.encode(data)), bytes)
                    encoder = qelcode.Encoder()
                    self.assertEqual(encoder.feed(data) + encoder.close(), expected.out)
            for name, data in [("bytes", records), ("bytearray", bytearray(records)),
                               ("memoryview", memoryview(records)[0:])]:
                with self.subTest("decode " + name):
                    self.assertEqual(qelcode.decode(data), want_decoded(records).out)
        finally:
            ro_view.release()
            ro_map.close()

    def test_other_types_are_refused(self):
        calls = [("encode", qelcode.encode), ("decode", qelcode.decode),
                 ("Encoder.feed", qelcode.Encoder().feed), ("Decoder.feed", qelcode.Decoder().feed)]
        for value in [5, 10 ** 10, None, "text\n", ["a"], 1.5]:
            for name, call in calls:
                with self.subTest(call=name, value=value):
                    with self.assertRaises(TypeError) as cm:
                        call(value)
                    self.assertIn(type(value).__name__, str(cm.exception))

    def test_a_refused_buffer_is_given_back(self):
        # After a refusal the caller's buffer can be resized again.
        data = bytearray(b"one\ntw\0o\n")
        with self.assertRaises(qelcode.QelError):
            qelcode.encode(data)
        data.extend(b"more\n")
        with self.assertRaises(qelcode.QelError):
            qelcode.Encoder().feed(data)
        data[:] = b"fine\n"
        self.assertEqual(qelcode.encode(data), want_encoded(b"fine\n").out)

    def test_read_only_memory_in_pieces(self):
        # More than the pieces in which memory that can't be lent is copied,
        # with long lines across their borders.
        rng = random.Random(7)
        text = b"".join(bytes(rng.randrange(32, 127) for _ in range(rng.choice([5, 60, 700]))) + b"\n"
                        for _ in range(5000))
        self.assertGreater(len(text), 1 << 20)
        m = mmap.mmap(-1, len(text))
        m.write(text)
        view = memoryview(m).toreadonly()
        try:
            self.assertEqual(qelcode.encode(view, force=True), want_encoded(text, force=True).out)
        finally:
            view.release()
            m.close()


class QelErrorTest(unittest.TestCase):
    def refusal(self):
        with self.assertRaises(qelcode.QelError) as cm:
            qelcode.encode(b"one\ntwo\nOP three\n")
        return cm.exception

    def test_fields_and_text(self):
        e = self.refusal()
        self.assertEqual((e.code, e.message, e.offset, e.line), (9, "Source encoded", 8, 3))
        self.assertEqual(e.output, want_encoded(b"one\ntwo\n").out)
        self.assertEqual(str(e), "Source encoded (code 9) at byte 8, line 3")
        self.assertIsNotNone(qelcode.QelError.__doc__)

    def test_pickled_and_copied(self):
        e = self.refusal()
        for name, other in [("pickle", pickle.loads(pickle.dumps(e))), ("copy", copy.copy(e)),
                            ("deepcopy", copy.deepcopy(e))]:
            with self.subTest(name):
                self.assertIsInstance(other, qelcode.QelError)
                self.assertEqual((other.code, other.message, other.offset, other.line, other.output),
                                 (e.code, e.message, e.offset, e.line, e.output))
                self.assertEqual(str(other), str(e))

    def test_raised_in_a_worker_process(self):
        with concurrent.futures.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
            future = pool.submit(refuse_in_worker, b"a\nb\0\n")
            with self.assertRaises(qelcode.QelError) as cm:
                future.result(timeout=60)
        self.assertEqual((cm.exception.code, cm.exception.offset, cm.exception.line), (12, 2, 2))


class IncrementalTest(unittest.TestCase):
    def feed_split(self, make, data, cuts):
        stream = make()
        out = b""
        start = 0
        for cut in list(cuts) + [len(data)]:
            out += stream.feed(data[start:cut])
            start = cut
        return out + stream.close()

    def test_encoder_and_decoder_at_every_split(self):
        records = want_encoded(TEXT).out
        for name, make, data, want in [("Encoder", qelcode.Encoder, TEXT, want_encoded(TEXT).out),
                                       ("Decoder", qelcode.Decoder, records, want_decoded(records).out)]:
            with self.subTest(name):
                for cut in range(len(data) + 1):
                    self.assertEqual(self.feed_split(make, data, [cut]), want, cut)
                rng = random.Random(len(data))
                for _ in range(200):
                    cuts = sorted(rng.sample(range(len(data) + 1), rng.randrange(1, 12)))
                    self.assertEqual(self.feed_split(make, data, cuts), want, cuts)
                self.assertEqual(self.feed_split(make, data, range(len(data))), want)  # a byte at a time

    def test_force(self):
        data = b"OP marked\nplain\n"
        encoder = qelcode.Encoder(force=True)
        self.assertEqual(encoder.feed(data[:5]) + encoder.feed(data[5:]) + encoder.close(),
                         want_encoded(data, force=True).out)

    def test_refusal_at_every_split(self):
        cases = [
            ("Encoder", qelcode.Encoder, b"one\n" + b"x" * 600 + b"\nOP\nafter\n", want_encoded),
            ("Encoder", qelcode.Encoder, b"one\ntwo\nthr\0ee\n", want_encoded),
            ("Decoder", qelcode.Decoder, want_encoded(b"a\nb\n").out + b"plain\n", want_decoded),
            ("Decoder", qelcode.Decoder, want_encoded(b"a\n").out + b"!~" + b"z" * 600 + b"\n", want_decoded),
        ]
        for name, make, data, model_of in cases:
            want = model_of(data)
            with self.subTest(name, data=data[:16]):
                for cut in range(len(data) + 1):
                    stream = make()
                    out = b""
                    with self.assertRaises(qelcode.QelError) as cm:
                        out += stream.feed(data[:cut])
                        out += stream.feed(data[cut:])
                        out += stream.close()
                    e = cm.exception
                    self.assertEqual((e.code, e.line), (want.status, want.line), cut)
                    self.assertTrue(e.offset < want.pos <= e.offset + 513, (cut, e.offset, want.pos))
                    self.assertEqual(out + e.output, want.out, cut)
                    with self.assertRaises(ValueError):
                        stream.feed(b"more\n")

    def test_one_object_shared_by_threads(self):
        # Calls on one object take turns: each returns the output of its own
        # input, whole lines here, and nothing of another thread's.
        threads, calls = 4, 20
        pieces = [b"".join(b"thread %d call %d line %d %s\n" % (t, c, n, b"x" * (n % 300)) for n in range(400))
                  for t in range(threads) for c in range(calls)]
        for name, make, to_input, model_of in [
                ("Encoder", qelcode.Encoder, lambda p: p, want_encoded),
                ("Decoder", qelcode.Decoder, lambda p: want_encoded(p).out, want_decoded)]:
            with self.subTest(name):
                stream = make()
                inputs = [to_input(p) for p in pieces]

                def work(t):
                    return [(i, stream.feed(inputs[i])) for i in range(t * calls, (t + 1) * calls)]

                with concurrent.futures.ThreadPoolExecutor(threads) as pool:
                    results = [r for rs in pool.map(work, range(threads)) for r in rs]
                wrong = [i for i, out in results if out != model_of(inputs[i]).out]
                self.assertEqual(wrong, [])
                self.assertEqual(stream.close(), b"")
                self.assertEqual(stream.offset, sum(len(i) for i in inputs))

    def test_closed_objects_take_nothing(self):
        encoder = qelcode.Encoder()
        self.assertEqual(encoder.feed(b"a\nb"), want_encoded(b"a\n").out)
        self.assertEqual(encoder.offset, 2)
        self.assertEqual(encoder.close(), want_encoded(b"b").out)
        self.assertEqual(encoder.offset, 3)
        with self.assertRaises(ValueError):
            encoder.feed(b"c\n")
        with self.assertRaises(ValueError):
            encoder.close()
        self.assertEqual(qelcode.Decoder().close(), b"")


class FileFunctionsTest(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory(prefix="qelcode-py-")
        self.dir = self._dir.name

    def tearDown(self):
        self._dir.cleanup()

    def test_paths_and_file_objects(self):
        src = os.path.join(self.dir, "in.txt")
        dest = os.path.join(self.dir, "out.qel")
        back = os.path.join(self.dir, "back.txt")
        with open(src, "wb") as f:
            f.write(TEXT)
        records = want_encoded(TEXT).out
        self.assertEqual(qelcode.encode_file(src, dest, chunk_size=100), len(TEXT))
        with open(dest, "rb") as f:
            self.assertEqual(f.read(), records)
        from pathlib import Path
        self.assertEqual(qelcode.decode_file(Path(dest), Path(back)), len(records))
        with open(back, "rb") as f:
            self.assertEqual(f.read(), want_decoded(records).out)
        out = io.BytesIO()
        with open(src, "rb") as f:
            qelcode.encode_file(f, out, chunk_size=1)
        self.assertEqual(out.getvalue(), records)

    def test_what_was_written_before_a_refusal_stays(self):
        out = io.BytesIO()
        with self.assertRaises(qelcode.QelError) as cm:
            qelcode.encode_file(io.BytesIO(b"ok\nfine\nOPEN\nnot this\n"), out, chunk_size=3)
        self.assertEqual((cm.exception.offset, cm.exception.line), (8, 3))
        self.assertEqual(out.getvalue(), want_encoded(b"ok\nfine\n").out)

    def test_chunk_size_below_one_is_refused(self):
        for chunk_size in [0, -1]:
            for name, call in [("encode_file", qelcode.encode_file), ("decode_file", qelcode.decode_file)]:
                with self.subTest(call=name, chunk_size=chunk_size):
                    out = io.BytesIO()
                    with self.assertRaises(ValueError):
                        call(io.BytesIO(b"text\n"), out, chunk_size=chunk_size)
                    self.assertEqual(out.getvalue(), b"")
        with self.assertRaises(TypeError):
            qelcode.encode_file(io.BytesIO(b"text\n"), io.BytesIO(), chunk_size="3")

    def test_text_streams_and_data_are_refused(self):
        with self.assertRaises(TypeError) as cm:
            qelcode.encode_file(io.StringIO("text\n"), io.BytesIO())
        self.assertIn("binary", str(cm.exception))
        for data in [bytearray(b"text\n"), memoryview(b"text\n")]:
            with self.assertRaises(TypeError):
                qelcode.encode_file(data, io.BytesIO())

    def test_file_names_of_every_kind(self):
        from pathlib import Path
        src = os.path.join(self.dir, "in.txt")
        with open(src, "wb") as f:
            f.write(TEXT)
        for kind, name in [("str", str), ("bytes", os.fsencode), ("os.PathLike", Path)]:
            with self.subTest(kind):
                dest = os.path.join(self.dir, "out.qel")
                self.assertEqual(qelcode.encode_file(name(src), name(dest)), len(TEXT))
                with open(dest, "rb") as f:
                    self.assertEqual(f.read(), want_encoded(TEXT).out)
                back = os.path.join(self.dir, "back.txt")
                qelcode.decode_file(name(dest), name(back))
                with open(back, "rb") as f:
                    self.assertEqual(f.read(), want_decoded(want_encoded(TEXT).out).out)

    def test_same_file_is_refused_and_left_whole(self):
        # Writing into the file being read would destroy it: refused, however
        # the two are named, before anything in it changes.
        from pathlib import Path
        path = os.path.join(self.dir, "f")
        cases = [
            # name, src, dest (each a function of the file's path)
            ("same name", lambda p: p, lambda p: p),
            ("bytes and str", os.fsencode, lambda p: p),
            ("os.PathLike", Path, lambda p: p),
            ("other spelling", lambda p: p, lambda p: os.path.join(os.path.dirname(p), ".", "f")),
            ("hard link", lambda p: p, lambda p: os.path.join(self.dir, "hard")),
            ("symbolic link", lambda p: p, lambda p: os.path.join(self.dir, "soft")),
            ("file objects", lambda p: open(p, "rb"), lambda p: open(p, "r+b")),
            ("file object and name", lambda p: open(p, "rb"), lambda p: p),
        ]
        for function, content in [(qelcode.encode_file, TEXT), (qelcode.decode_file, want_encoded(TEXT).out)]:
            for name, make_src, make_dest in cases:
                with self.subTest(name, function=function.__name__):
                    for other in ["f", "hard", "soft"]:
                        if os.path.lexists(os.path.join(self.dir, other)):
                            os.unlink(os.path.join(self.dir, other))
                    with open(path, "wb") as f:
                        f.write(content)
                    os.link(path, os.path.join(self.dir, "hard"))
                    os.symlink("f", os.path.join(self.dir, "soft"))
                    src, dest = make_src(path), make_dest(path)
                    try:
                        with self.assertRaises(ValueError) as cm:
                            function(src, dest)
                        self.assertIn("same file", str(cm.exception))
                    finally:
                        for f in (src, dest):
                            if hasattr(f, "close"):
                                f.close()
                    with open(path, "rb") as f:
                        self.assertEqual(f.read(), content)

    def test_arguments_are_checked_before_dest_is_opened(self):
        # A refused call leaves dest as it was, and makes no new file.
        src = os.path.join(self.dir, "in.txt")
        with open(src, "wb") as f:
            f.write(b"text\n")
        closed = open(src, "rb")
        closed.close()
        cases = [
            # name, src, dest as a file object (else the names below), keyword arguments, exception
            ("text-mode src", lambda: open(src, "r"), None, {}, TypeError),
            ("closed src", lambda: closed, None, {}, ValueError),
            ("missing src", lambda: os.path.join(self.dir, "missing"), None, {}, FileNotFoundError),
            ("bytearray src", lambda: bytearray(b"text\n"), None, {}, TypeError),
            ("chunk_size 0", lambda: src, None, {"chunk_size": 0}, ValueError),
            ("text-mode dest", lambda: src, lambda: io.StringIO(), {}, TypeError),
            ("closed dest", lambda: src, lambda: closed, {}, ValueError),
        ]
        old = b"keep this\n"
        for function in [qelcode.encode_file, qelcode.decode_file]:
            for name, make_src, make_dest, kwargs, error in cases:
                for dest_name in ["keep.txt", "new.txt"]:
                    with self.subTest(name, function=function.__name__, dest=dest_name):
                        keep = os.path.join(self.dir, "keep.txt")
                        with open(keep, "wb") as f:
                            f.write(old)
                        new = os.path.join(self.dir, "new.txt")
                        given = make_src()
                        try:
                            with self.assertRaises(error):
                                function(given, make_dest() if make_dest else os.path.join(self.dir, dest_name),
                                         **kwargs)
                        finally:
                            if hasattr(given, "close"):
                                given.close()
                        with open(keep, "rb") as f:
                            self.assertEqual(f.read(), old)
                        self.assertFalse(os.path.exists(new))


class LoadingTest(unittest.TestCase):
    def run_python(self, code, env_changes, path=None, cwd=None):
        env = dict(os.environ)
        env.pop("QELCODE_LIBRARY", None)
        env.update(env_changes)
        if path is not None:
            env["PYTHONPATH"] = path
        return subprocess.run([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=60, cwd=cwd or tempfile.gettempdir())

    def test_a_library_that_is_not_there_or_not_ours(self):
        missing = os.path.join(tempfile.gettempdir(), "no-such-dir", "libqelcode.so.1")
        with self.assertRaises(qelcode.LibraryError) as cm:
            qelcode.Library(missing)
        self.assertIsInstance(cm.exception, OSError)
        self.assertIn(missing, str(cm.exception))
        self.assertIn("QELCODE_LIBRARY", str(cm.exception))
        libc = libc_path()
        with self.assertRaises(qelcode.LibraryError) as cm:
            qelcode.Library(libc)
        self.assertIn("QEL_EncodeBuffer", str(cm.exception))
        self.assertIn(libc, str(cm.exception))

    @unittest.skipUnless(shutil.which("cc"), "no C compiler")
    def test_a_library_older_than_the_package(self):
        # A library with every function, reporting an older version (or none).
        major, minor, patch = (int(p) for p in qelcode.__version__.split("."))
        older = "%d.%d.%d" % ((major, minor - 1, 0) if minor else (major - 1, 9, 0))
        functions = ("int QEL_EncodeBuffer(void) { return 0; }\nint QEL_DecodeBuffer(void) { return 0; }\n"
                     "unsigned long QEL_EncodeBound(unsigned long n) { return n; }\n"
                     "unsigned long QEL_DecodeBound(unsigned long n) { return n; }\n"
                     "const char *QEL_RtnCodeStr(int c) { (void)c; return \"?\"; }\n"
                     "int QEL_ConverterInit(void) { return 0; }\nint QEL_ConverterPut(void) { return 0; }\n"
                     "unsigned long long QEL_ConverterOffset(void) { return 0; }\n"
                     "unsigned long long QEL_ConverterLine(void) { return 0; }\n")
        with tempfile.TemporaryDirectory(prefix="qelcode-old-") as tmp:
            for version, expected in [(older, "is version %s; this package needs %s or later"
                                       % (older, qelcode.__version__)),
                                      ("1.1", "reports version '1.1'"),
                                      (None, "reports no version (QEL_Version returned NULL)")]:
                with self.subTest(version=version):
                    source = os.path.join(tmp, "old.c")
                    library = os.path.join(tmp, "libold-%s.so" % version)
                    returned = "0" if version is None else '"%s"' % version
                    with open(source, "w") as f:
                        f.write(functions + "const char *QEL_Version(void) { return %s; }\n" % returned)
                    subprocess.run(["cc", "-shared", "-fPIC", "-o", library, source], check=True, timeout=60)
                    with self.assertRaises(qelcode.LibraryError) as cm:
                        qelcode.Library(library)
                    self.assertIn(expected, str(cm.exception))
                    self.assertIn(library, str(cm.exception))

    def test_without_a_bundled_library(self):
        # The package's files alone, as a distribution installs them beside
        # the system's library: QELCODE_LIBRARY, else the system's.
        package = os.path.dirname(qelcode.__file__)
        library = os.path.abspath(qelcode.library().path) if os.sep in qelcode.library().path else None
        with tempfile.TemporaryDirectory(prefix="qelcode-pure-") as root:
            shutil.copytree(package, os.path.join(root, "qelcode"),
                            ignore=shutil.ignore_patterns("*.so*", "*.dll", "*.dylib", "__pycache__"))
            show = "import qelcode; print(qelcode.library().path); print(qelcode.encode(b'x\\n'))"
            if library is not None:
                result = self.run_python(show, {"QELCODE_LIBRARY": library}, root)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout.decode().splitlines()[0], library)
            missing = os.path.join(root, "missing.so")
            result = self.run_python(show, {"QELCODE_LIBRARY": missing}, root)
            self.assertNotEqual(result.returncode, 0)
            self.assertIn(b"LibraryError", result.stderr)
            self.assertIn(("QELCODE_LIBRARY=" + missing).encode(), result.stderr)
            result = self.run_python(show, {}, root)
            if result.returncode != 0:  # no system library on this machine
                self.assertIn(b"libqelcode.so.1 (the system's)", result.stderr)
                self.assertIn(b"QELCODE_LIBRARY: not set", result.stderr)
            # Importing needs no library at all.
            result = self.run_python("import qelcode; print(qelcode.__version__)",
                                     {"QELCODE_LIBRARY": missing}, root)
            self.assertEqual(result.returncode, 0, result.stderr)

    def test_library_names_are_file_names(self):
        # A bare name is a file in the current directory, as for any file
        # name, not a library searched for on the system's path; str, bytes
        # and os.PathLike all name it.
        library = qelcode.library().path
        if os.sep not in library:
            self.skipTest("the library in use was found on the system's path")
        from pathlib import Path
        show = "import qelcode; print(qelcode.library().path); print(qelcode.encode(b'x\\n'))"
        package = os.path.dirname(qelcode.__file__)
        with tempfile.TemporaryDirectory(prefix="qelcode-names-") as cwd:
            # The package without a bundled library, which would come first.
            root = os.path.join(cwd, "pure")
            shutil.copytree(package, os.path.join(root, "qelcode"),
                            ignore=shutil.ignore_patterns("*.so*", "*.dll", "*.dylib", "__pycache__"))
            shutil.copy(library, os.path.join(cwd, "copy.so"))
            with open(os.path.join(cwd, "garbage.so"), "wb") as f:
                f.write(b"not a library\n")
            result = self.run_python(show, {"QELCODE_LIBRARY": "copy.so"}, root, cwd=cwd)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stdout.decode().splitlines()[0], "copy.so")
            result = self.run_python(show, {"QELCODE_LIBRARY": "garbage.so"}, root, cwd=cwd)
            self.assertIn(b"QELCODE_LIBRARY=garbage.so", result.stderr)
            self.assertNotIn(b"No such file", result.stderr)  # found, and refused for what it holds
            for name in [library, os.fsencode(library), Path(library)]:
                with self.subTest(name=type(name).__name__):
                    self.assertEqual(qelcode.Library(name).encode(b"x\n"), want_encoded(b"x\n").out)
            old = os.getcwd()
            os.chdir(cwd)
            try:
                with self.assertRaises(qelcode.LibraryError) as cm:
                    qelcode.Library("garbage.so")
                self.assertNotIn("No such file", str(cm.exception))
            finally:
                os.chdir(old)

    @unittest.skipUnless(os.environ.get("QELCODE_TEST_INSTALLED"), "not an installed package")
    def test_the_bundled_library_comes_first(self):
        bundled = os.path.join(os.path.dirname(qelcode.__file__), "libqelcode.so.1")
        self.assertEqual(qelcode.library().path, bundled)
        result = self.run_python("import qelcode; print(qelcode.library().path)",
                                 {"QELCODE_LIBRARY": "/nonexistent/libqelcode.so.1"})
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.decode().strip(), bundled)


class PackageTest(unittest.TestCase):
    def test_version(self):
        self.assertRegex(qelcode.__version__, r"^\d+\.\d+\.\d+$")
        self.assertEqual(qelcode.version(), qelcode.library().version())
        as_tuple = [int(p) for p in qelcode.version().split(".")]
        self.assertGreaterEqual(as_tuple, [int(p) for p in qelcode.__version__.split(".")])
        if ARGS.header:
            with open(ARGS.header, "rb") as f:
                header = re.search(rb'#define QEL_VERSION_STRING "([^"]+)"', f.read()).group(1).decode()
            self.assertEqual(qelcode.__version__, header)
        if os.environ.get("QELCODE_TEST_INSTALLED"):
            self.assertEqual(qelcode.version(), qelcode.__version__)

    def test_typed_and_documented(self):
        package = os.path.dirname(qelcode.__file__)
        self.assertTrue(os.path.isfile(os.path.join(package, "py.typed")))
        for name in qelcode.__all__:
            obj = getattr(qelcode, name)
            if callable(obj):
                with self.subTest(name):
                    self.assertTrue(obj.__doc__, name)
                    if not isinstance(obj, type):
                        self.assertIn("return", obj.__annotations__, name)
        for cls in (qelcode.Encoder, qelcode.Decoder, qelcode.Library):
            for name in ("feed", "close", "encode", "decode", "encode_file", "decode_file"):
                if hasattr(cls, name):
                    self.assertTrue(getattr(cls, name).__doc__, (cls, name))

    @unittest.skipUnless(os.environ.get("QELCODE_TEST_INSTALLED"), "not an installed package")
    def test_installed_not_the_source_tree(self):
        source = os.path.realpath(os.path.join(HERE, "..", "..", "bindings", "python"))
        self.assertFalse(os.path.realpath(qelcode.__file__).startswith(source + os.sep), qelcode.__file__)


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory(prefix="qelcode-py-cli-")
        self.dir = self._dir.name

    def tearDown(self):
        self._dir.cleanup()

    def path(self, name, data):
        p = os.path.join(self.dir, name)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def test_encode_and_decode(self):
        records = want_encoded(TEXT).out
        hint = b"qelcode: --force encodes lines that already carry the encoded mark\n"
        cases = [
            # arguments, standard input, exit status, standard output, standard error
            ([], TEXT, 0, records, b""),
            (["-"], TEXT, 0, records, b""),
            (["-d"], records, 0, want_decoded(records).out, b""),
            (["--decode"], records, 0, want_decoded(records).out, b""),
            (["-f"], b"OP x\n", 0, want_encoded(b"OP x\n", force=True).out, b""),
            ([], b"ok\nOPEN\n", 1, want_encoded(b"ok\n").out, b"qelcode: (stdin): line 2: Source encoded\n" + hint),
            ([], b"", 0, b"", b""),
            (["-d"], b"", 0, b"", b""),
            ([], b"one\ntw\0o\n", 1, want_encoded(b"one\n").out, b"qelcode: (stdin): line 2: NUL byte in source\n"),
            (["-d"], records[:20] + b"plain\n", 1, None, None),
            (["-d"], b"plain text\n", 1, b"", b"qelcode: (stdin): line 1: Source not encoded\n"),
        ]
        for args, stdin, code, stdout, stderr in cases:
            with self.subTest(args=args, stdin=stdin[:20]):
                result = run_module(args, stdin)
                self.assertEqual(result.returncode, code, result.stderr)
                if stdout is not None:
                    self.assertEqual(result.stdout, stdout)
                    self.assertEqual(result.stderr, stderr)
                if ARGS.tool:
                    tool = subprocess.run([ARGS.tool] + args, input=stdin, stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE, timeout=60)
                    self.assertEqual((result.returncode, result.stdout, result.stderr),
                                     (tool.returncode, tool.stdout, tool.stderr))

    def test_files_and_output_errors(self):
        text = self.path("in.txt", b"a line\n")
        missing = os.path.join(self.dir, "missing")
        result = run_module([text])
        self.assertEqual((result.returncode, result.stdout), (0, want_encoded(b"a line\n").out))
        cases = [
            ([missing], 1, b"qelcode: %s: No such file or directory\n" % missing.encode()),
            ([self.dir], 1, b"qelcode: %s: Is a directory\n" % self.dir.encode()),
        ]
        with open("/dev/full", "wb") as full:
            result = run_module([text], stdout=full)
        self.assertEqual((result.returncode, result.stderr), (1, b"qelcode: (stdout): No space left on device\n"))
        with open(text, "ab") as same:
            result = run_module([text], stdout=same)
        self.assertEqual((result.returncode, result.stderr), (1, b"qelcode: (stdout): output file is the input file\n"))
        for args, code, stderr in cases:
            with self.subTest(args=args):
                result = run_module(args)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (code, b"", stderr))

    def test_closed_standard_descriptors(self):
        # As the tool: a closed descriptor is never taken by a file, reading
        # or writing it fails with the system's reason, and a closed
        # standard error costs only the messages.
        text = self.path("in.txt", b"a line\n")
        bad_stdout = b"qelcode: (stdout): Bad file descriptor\n"
        cases = [
            # redirection, arguments, exit status, standard output, standard error
            ("<&-", [], 1, b"", b"qelcode: (stdin): line 1: Error reading source file\n"),
            (">&-", [text], 1, b"", bad_stdout),
            (">&-", ["-h"], 1, b"", bad_stdout),
            (">&-", ["-V"], 1, b"", bad_stdout),
            ("2>&-", [text], 0, want_encoded(b"a line\n").out, b""),
            ("2>&-", [os.path.join(self.dir, "missing")], 1, b"", b""),
        ]
        for redirection, args, code, stdout, stderr in cases:
            with self.subTest(redirection=redirection, args=args):
                commands = [("python -m qelcode", [sys.executable, "-m", "qelcode"])]
                if ARGS.tool:
                    commands.append(("tool", [ARGS.tool]))
                for name, command in commands:
                    result = subprocess.run(["sh", "-c", 'exec "$@" ' + redirection, "sh"] + command + args,
                                            capture_output=True, timeout=60)
                    self.assertEqual((result.returncode, result.stdout, result.stderr), (code, stdout, stderr), name)

    def test_an_ignored_interrupt_stays_ignored(self):
        # As under nohup or in a shell's background job.
        def ignore():
            signal.signal(signal.SIGINT, signal.SIG_IGN)

        with subprocess.Popen([sys.executable, "-m", "qelcode"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, preexec_fn=ignore) as proc:
            proc.stdin.write(b"first\n")
            proc.stdin.flush()
            # The library is loaded once the signals are set.
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                with open("/proc/%d/maps" % proc.pid) as f:
                    if "qelcode" in f.read():
                        break
                time.sleep(0.01)
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(b"second\n", timeout=60)
        self.assertEqual((proc.returncode, out, err), (0, want_encoded(b"first\nsecond\n").out, b""))

    def test_bad_usage(self):
        cases = [(["-x"], "invalid option '-x'"), (["-dé"], "invalid option '-é'"),
                 (["--bogus"], "invalid option '--bogus'"), (["--decode=yes"], "option '--decode' doesn't allow an argument"),
                 (["a", "b"], "more than one INPUT"), (["-d", "-f"], "--force applies to encoding only"),
                 ([""], "empty input file name")]
        for args, message in cases:
            with self.subTest(args=args):
                result = run_module(args, b"text\n")
                self.assertEqual((result.returncode, result.stdout), (2, b""))
                lines = result.stderr.decode().splitlines()
                self.assertEqual(lines[0], "qelcode: " + message)
                self.assertTrue(lines[1].startswith("usage: "), lines)
        for args in (["--help"], ["-h"], ["--version"], ["-V"]):
            with self.subTest(args=args):
                result = run_module(args)
                self.assertEqual((result.returncode, result.stderr), (0, b""))
        self.assertIn(qelcode.__version__.encode(), run_module(["-V"]).stdout)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--step-selector", type=int, default=2)
    parser.add_argument("--tool", help="the qelcode tool, to compare the command line with")
    parser.add_argument("--header", help="include/qelcode.h, to compare __version__ with")
    parser.add_argument("--part", choices=["all", "api", "cli"], default="all",
                        help="the command line's tests (cli), the others (api), or all")
    ARGS, rest = parser.parse_known_args()
    S = model.shift_of_selector(ARGS.step_selector)
    if ARGS.part != "all":  # leave out the other part's test classes
        for name, value in list(globals().items()):
            if isinstance(value, type) and issubclass(value, unittest.TestCase) and \
                    (value is CommandLineTest) != (ARGS.part == "cli"):
                del globals()[name]
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=1)
