"""qelcode.dask on a real cluster: distributed.LocalCluster with two worker
processes, started and stopped here. Files of a few MiB cut into many
blocks; the parts of each file, in the order of their names, against the
model of the format (a small file with every kind of piece) and against
the whole file converted in one call (the large ones); a refusal in a
middle block counted from the start of its file while the other files
complete.

    python3 test_dask.py [--step-selector K]

Skips, saying why, where dask and distributed are not installed.
"""

import argparse
import glob
import os
import pathlib
import random
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "reference"))

import qel_model as model  # noqa: E402
import qelcode  # noqa: E402

try:
    import dask
    import distributed
    import qelcode.dask as qdask
except ImportError as e:  # reported by the skip below
    MISSING = str(e)
else:
    MISSING = None

COMPLETE_MARKER = ".qel-complete"
S = None
BLOCK = 64 * 1024

# Every kind of piece: CR LF, an empty line, a line cut into records, one of
# exactly 507 bytes and its line feed, bytes outside the graphic range, and
# a last line without a line feed.
SMALL = (b"first line\n" + b"second\r\n" + b"\n" + bytes(range(32, 127)) * 11 + b"ab\n" +
         b"y" * 507 + b"\n" + b"\x01\x7f\xff tail")


ALPHABET = b" " + bytes(range(80, 127))


def text_of(seed, size):
    """Lines of 0 to 1200 printable bytes (some CR LF), about size bytes,
    none of which looks encoded."""
    rng = random.Random(seed)
    lines = []
    total = 0
    while total < size:
        n = rng.choice((0, 5, 40, 80, 506, 507, 508, 1200)) if rng.random() < 0.2 else rng.randrange(120)
        # no two of these bytes add up to 159, so no piece looks encoded
        line = bytes(rng.choice(ALPHABET) for _ in range(min(n, 8))) * (n // 8 + 1)
        line = line[:n] + (b"\r\n" if rng.random() < 0.1 else b"\n")
        lines.append(line)
        total += len(line)
    return b"".join(lines)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def parts_of(folder):
    """The part files of folder joined in name order; the folder must also
    hold the empty completion marker and nothing else."""
    names = sorted(os.listdir(folder))
    assert COMPLETE_MARKER in names, (folder, names)
    assert os.path.getsize(os.path.join(folder, COMPLETE_MARKER)) == 0
    out = []
    for name in names:
        if name == COMPLETE_MARKER:
            continue
        assert name.startswith("part-"), (folder, name)
        with open(os.path.join(folder, name), "rb") as f:
            out.append(f.read())
    return b"".join(out)


@unittest.skipIf(MISSING, "dask and distributed are not installed: %s" % MISSING)
class ClusterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                               dashboard_address=None, silence_logs=40)
        cls.client = distributed.Client(cls.cluster)
        cls.dir = tempfile.mkdtemp(prefix="qelcode-dask-")
        cls.inputs = os.path.join(cls.dir, "in")
        os.mkdir(cls.inputs)
        cls.texts = {"a.txt": text_of(1, 3 << 20), "b.txt": text_of(2, 2 << 20),
                     "c.txt": text_of(3, 1 << 20) + b"no line feed at the end", "small.txt": SMALL,
                     "empty.txt": b""}
        for name, data in cls.texts.items():
            with open(os.path.join(cls.inputs, name), "wb") as f:
                f.write(data)

    @classmethod
    def tearDownClass(cls):
        cls.client.close()
        cls.cluster.close()
        shutil.rmtree(cls.dir)

    def out(self, name):
        path = os.path.join(self.dir, name)
        shutil.rmtree(path, ignore_errors=True)
        return path

    def test_parts_are_the_whole_files_output_and_decode_back(self):
        paths = [os.path.join(self.inputs, n) for n in sorted(self.texts)]
        encoded = self.out("encoded")
        folders = qdask.encode_files(paths, encoded, blocksize=BLOCK)
        self.assertEqual(sorted(folders), paths)
        self.assertEqual(sorted(os.listdir(encoded)), sorted(self.texts))
        self.assertGreater(len(os.listdir(os.path.join(encoded, "a.txt"))), 40)
        self.assertEqual(parts_of(os.path.join(encoded, "small.txt")), model.encode_stream(SMALL, 0, S).out)
        for name, data in self.texts.items():
            with self.subTest(name=name):
                records = parts_of(folders[os.path.join(self.inputs, name)])
                self.assertEqual(records, qelcode.encode(data))
        # the records, cut into blocks in their turn, decode to the text
        joined = os.path.join(self.dir, "joined")
        shutil.rmtree(joined, ignore_errors=True)
        os.mkdir(joined)
        for name in self.texts:
            with open(os.path.join(joined, name), "wb") as f:
                f.write(parts_of(os.path.join(encoded, name)))
        decoded = self.out("decoded")
        qdask.decode_files(os.path.join(joined, "*.txt"), decoded, blocksize=BLOCK)
        for name, data in self.texts.items():
            with self.subTest(name=name):
                if name == "small.txt":
                    want = model.decode_stream(model.encode_stream(data, 0, S).out).out
                else:
                    want = qelcode.decode(qelcode.encode(data))
                self.assertEqual(parts_of(os.path.join(decoded, name)), want)

    def test_a_glob_and_a_list_give_the_same_parts(self):
        by_glob = self.out("by-glob")
        by_list = self.out("by-list")
        qdask.encode_files(os.path.join(self.inputs, "[ab].txt"), by_glob, blocksize=BLOCK)
        qdask.encode_files([os.path.join(self.inputs, n) for n in ("b.txt", "a.txt")], by_list, blocksize=BLOCK)
        for name in ("a.txt", "b.txt"):
            with self.subTest(name=name):
                glob_parts = sorted(os.listdir(os.path.join(by_glob, name)))
                self.assertEqual(glob_parts, sorted(os.listdir(os.path.join(by_list, name))))
                self.assertEqual(parts_of(os.path.join(by_glob, name)), parts_of(os.path.join(by_list, name)))

    def test_a_refused_line_stops_its_file_alone(self):
        good = self.texts["a.txt"]
        lines = self.texts["b.txt"].split(b"\n")
        middle = len(lines) // 2
        bad = b"\n".join(lines[:middle] + [b"OP looks encoded"] + lines[middle:])
        offset = len(b"\n".join(lines[:middle])) + 1
        head = qelcode.encode(b"\n".join(lines[:middle]) + b"\n")
        cases = [  # name, data, direction, code, offset, line
            ("encode.txt", bad, True, 9, offset, middle + 1),
            # records: a line of text among them, after the records of the first half
            ("decode.txt", head + b"plain text\n" + qelcode.encode(b"\n".join(lines[middle:])), False, 10,
             len(head), head.count(b"\n") + 1),
        ]
        for name, data, encoding, code, want_offset, want_line in cases:
            with self.subTest(name=name):
                folder = os.path.join(self.dir, "refusal-" + name)
                shutil.rmtree(folder, ignore_errors=True)
                os.makedirs(folder)
                for n, d in ((name, data), ("good.txt", good if encoding else qelcode.encode(good))):
                    with open(os.path.join(folder, n), "wb") as f:
                        f.write(d)
                self.assertGreater(offset, 4 * BLOCK)  # a middle block, not the first
                out = self.out("refusal-out-" + name)
                convert = qdask.encode_files if encoding else qdask.decode_files
                with self.assertRaises(qelcode.QelError) as cm:
                    convert(os.path.join(folder, "*.txt"), out, blocksize=BLOCK)
                e = cm.exception
                self.assertEqual((e.path, e.code, e.offset, e.line),
                                 (os.path.join(folder, name), code, want_offset, want_line))
                # the other file is complete; nothing of the refused one is left
                self.assertEqual(os.listdir(out), ["good.txt"])
                self.assertEqual(parts_of(os.path.join(out, "good.txt")),
                                 qelcode.encode(good) if encoding else qelcode.decode(qelcode.encode(good)))
                # the same refusal from the whole file in one call
                whole = qelcode.encode if encoding else qelcode.decode
                with self.assertRaises(qelcode.QelError) as whole_cm:
                    whole(data)
                self.assertEqual((whole_cm.exception.offset, whole_cm.exception.line), (e.offset, e.line))

    def test_an_output_folder_over_an_input_is_refused_and_the_input_kept(self):
        room = self.out("over")
        os.makedirs(os.path.join(room, "x"))
        os.makedirs(os.path.join(room, "y"))
        for rel in ("a.txt", "x/a.txt", "y/b.txt"):
            with open(os.path.join(room, rel), "wb") as f:
                f.write(SMALL)
        os.symlink(room, os.path.join(self.dir, "over-link"))
        cases = [
            ("the input's own folder", os.path.join(room, "a.txt"), room),
            ("the inputs' common folder", [os.path.join(room, "x/a.txt"), os.path.join(room, "y/b.txt")], room),
            ("that folder by a symbolic link", os.path.join(room, "a.txt"), os.path.join(self.dir, "over-link")),
        ]
        for what, inputs, output in cases:
            with self.subTest(what):
                with self.assertRaisesRegex(ValueError, "would overwrite the input"):
                    qdask.encode_files(inputs, output, blocksize=BLOCK)
                for rel in ("a.txt", "x/a.txt", "y/b.txt"):
                    with open(os.path.join(room, rel), "rb") as f:
                        self.assertEqual(f.read(), SMALL, rel)
                self.assertEqual(sorted(os.listdir(room)), ["a.txt", "x", "y"])

    def test_delayed_objects_without_compute(self):
        out = self.out("delayed")
        tasks = qdask.encode_files(os.path.join(self.inputs, "small.txt"), out, blocksize=BLOCK, compute=False)
        self.assertEqual(os.path.exists(os.path.join(out, "small.txt")), False)
        (folder,) = self.client.compute(tasks, sync=True)
        self.assertEqual(parts_of(folder), model.encode_stream(SMALL, 0, S).out)
        self.assertEqual(os.listdir(out), ["small.txt"])  # no working folder left

    def test_the_users_files_are_kept_and_each_output_is_whole_or_absent(self):
        """Each case: a room of the user's files, one call, then every file
        of the room is the user's (unchanged), or a part of an output folder
        that is complete and exact; no other file or folder is left."""
        text, other = text_of(11, 150000), text_of(12, 90000)
        lines = other.split(b"\n")
        bad = b"\n".join(lines[:500] + [b"OP looks encoded"] + lines[500:])
        enc = lambda data: model.encode_stream(data, 0, S).out  # noqa: E731
        earlier = {"out/a.txt/part-%05d" % n: b"old part %d\n" % n for n in range(20)}
        earlier["out/a.txt/" + COMPLETE_MARKER] = b""
        earlier_bytes = b"".join(earlier["out/a.txt/part-%05d" % n] for n in range(20))

        def replace_by_rename(path):
            st = os.stat(path)
            with open(path + ".new", "wb") as f:
                f.write(b"x" * (st.st_size - 1) + b"\n")
            os.utime(path + ".new", ns=(st.st_atime_ns, st.st_mtime_ns))
            os.rename(path + ".new", path)

        def append(path):
            with open(path, "ab") as f:
                f.write(b"one more line\n")

        def truncate(path):
            os.truncate(path, os.path.getsize(path) // 2)

        cases = [
            # what, user files, inputs (below the room), output, error, output folders and their bytes,
            # and a change made between planning and computing (then the calls of compute=False)
            ("the inputs' parent as output, where a user file and a user folder have the outputs' names",
             {"d/sub/a.txt": text, "d/sub/b.txt": other, "d/a.txt": b"user file\n", "d/b.txt/notes": b"notes\n"},
             "d/sub/*.txt", "d", FileExistsError, {}, None),
            ("a folder of parts and a file of the user's at the output's name",
             {"in/a.txt": text, "out/a.txt/part-00000": b"x\n", "out/a.txt/notes": b"notes\n"},
             "in/a.txt", "out", FileExistsError, {}, None),
            ("a symbolic link at the output's name, to a folder of parts",
             {"in/a.txt": text, "parts/part-00000": b"x\n", "out/a.txt": "../parts"},
             "in/a.txt", "out", FileExistsError, {}, None),
            ("a file of the user's where a folder above an output goes",
             {"in/x/a.txt": text, "in/y/b.txt": other, "out/x": b"user file\n"},
             ["in/x/a.txt", "in/y/b.txt"], "out", FileExistsError, {}, None),
            ("an earlier output, replaced whole by fewer parts",
             dict(earlier, **{"in/a.txt": text}), "in/a.txt", "out", None, {"out/a.txt": enc(text)}, None),
            ("an earlier output, kept when the file is refused",
             dict(earlier, **{"in/a.txt": bad}), "in/a.txt", "out", qelcode.QelError, {"out/a.txt": earlier_bytes},
             None),
            (".. in an input, with a file of the user's where it would land outside the output",
             {"in/x/a.txt": text, "in/y/b.txt": other, "out/y/b.txt": b"user file\n"},
             ["in/x/a.txt", "in/x/../y/b.txt"], "out/deep", None,
             {"out/deep/x/a.txt": enc(text), "out/deep/y/b.txt": enc(other)}, None),
            ("files named like globs, beside the files those globs match",
             {"in/a[1].txt": text, "in/a1.txt": other, "in/star*.txt": other[:5000], "in/starx.txt": text},
             ["in/a[1].txt", "in/star*.txt"], "out", None,
             {"out/a[1].txt": enc(text), "out/star*.txt": enc(other[:5000])}, None),
            ("inputs x and x.incomplete",
             {"in/x": text, "in/x.incomplete": other}, "in/x*", "out", None,
             {"out/x": enc(text), "out/x.incomplete": enc(other)}, None),
            ("pathlib paths", {"in/a.txt": text}, pathlib.Path("in/a.txt"), pathlib.Path("out"), None,
             {"out/a.txt": enc(text)}, None),
            ("a glob that matches nothing", {"in/a.txt": text}, "in/*.log", "out", FileNotFoundError, {}, None),
            ("a refused file alone: no output folder is left", {"in/bad.txt": bad}, "in/bad.txt", "out/new",
             qelcode.QelError, {}, None),
            ("a refused file beside a good one: no folder is left for it",
             {"in/x/bad.txt": bad, "in/y/good.txt": text}, "in/*/*.txt", "out", qelcode.QelError,
             {"out/y/good.txt": enc(text)}, None),
            ("computed apart (dask.compute of each file's Delayed), one file refused",
             {"in/bad.txt": b"OP looks encoded\n", "in/good.txt": text * 8}, "in/*.txt", "out", qelcode.QelError,
             {"out/good.txt": enc(text * 8)}, lambda room: None),
            ("a file appended to after planning", {"in/a.txt": text, "in/good.txt": other}, "in/*.txt", "out",
             qdask.InputChangedError, {"out/good.txt": enc(other)}, lambda room: append(room + "/in/a.txt")),
            ("a file truncated after planning", {"in/a.txt": text, "in/good.txt": other}, "in/*.txt", "out",
             qdask.InputChangedError, {"out/good.txt": enc(other)}, lambda room: truncate(room + "/in/a.txt")),
            ("a file replaced by a rename after planning, its size and time kept",
             {"in/a.txt": text, "in/good.txt": other}, "in/*.txt", "out", qdask.InputChangedError,
             {"out/good.txt": enc(other)}, lambda room: replace_by_rename(room + "/in/a.txt")),
            ("a file removed after planning", {"in/a.txt": text, "in/good.txt": other}, "in/*.txt", "out",
             FileNotFoundError, {"out/good.txt": enc(other)}, lambda room: os.remove(room + "/in/a.txt")),
        ]
        for n, (what, files, inputs, output, error, outputs, between) in enumerate(cases):
            with self.subTest(what):
                room = self.out("room-%d" % n)
                for rel, data in files.items():  # bytes: a file; str: a symbolic link to that
                    os.makedirs(os.path.dirname(os.path.join(room, rel)), exist_ok=True)
                    if isinstance(data, str):
                        os.symlink(data, os.path.join(room, rel))
                        continue
                    with open(os.path.join(room, rel), "wb") as f:
                        f.write(data)
                cwd = os.getcwd()
                os.chdir(room)  # inputs and output relative to the room
                try:
                    call = lambda: qdask.encode_files(inputs, output, blocksize=16 * 1024,  # noqa: E731
                                                      compute=between is None)
                    if between is None and error is None:
                        call()
                    elif between is None:
                        if error is not qelcode.QelError:  # refused when planned, before any work
                            with self.assertRaises(error):
                                qdask.encode_files(inputs, output, blocksize=16 * 1024, compute=False)
                        with self.assertRaises(error):
                            call()
                    else:
                        tasks = call()
                        self.assertEqual(os.listdir(room), ["in"])  # planned: nothing written yet
                        between(room)
                        # what the user made of the file is what must be kept
                        files = {rel: read(os.path.join(room, rel)) for rel in files
                                 if os.path.exists(os.path.join(room, rel))}
                        with self.assertRaises(error) as cm:
                            dask.compute(*tasks)
                        if error is qdask.InputChangedError:  # as raised on the worker
                            self.assertEqual((cm.exception.path, str(cm.exception)),
                                             (os.path.join(room, "in/a.txt"), os.path.join(room, "in/a.txt") +
                                              ": the file changed after the work was planned (size, modification"
                                              " time or identity); its output is not written"))
                finally:
                    os.chdir(cwd)
                self.assertRoom(room, files, outputs)

    def assertRoom(self, room, kept, outputs):
        """Every file of room is one of kept (with its bytes) or a part of one
        of outputs; each of outputs is complete with its bytes; every folder
        holds one of them."""
        leaves = set(kept) | set(outputs)
        for dirpath, dirs, names in os.walk(room):
            rel_dir = os.path.relpath(dirpath, room).replace(os.sep, "/")
            if rel_dir in outputs:
                dirs[:] = []
                continue
            if rel_dir != ".":
                self.assertTrue(any(leaf.startswith(rel_dir + "/") for leaf in leaves), "left: " + rel_dir)
            for name in names + [d for d in dirs if os.path.islink(os.path.join(dirpath, d))]:
                rel = name if rel_dir == "." else rel_dir + "/" + name
                self.assertIn(rel, sorted(kept), "left")
                if isinstance(kept[rel], str):
                    self.assertEqual(os.readlink(os.path.join(room, rel)), kept[rel], rel)
                    continue
                with open(os.path.join(room, rel), "rb") as f:
                    self.assertTrue(f.read() == kept[rel], "changed: " + rel)
        for rel, data in kept.items():
            if any(rel.startswith(folder + "/") for folder in outputs):
                continue  # an earlier output, replaced
            self.assertTrue(os.path.lexists(os.path.join(room, rel)), "gone: " + rel)
        for rel, data in outputs.items():
            self.assertTrue(parts_of(os.path.join(room, rel)) == data, "output: " + rel)


@unittest.skipIf(MISSING, "dask and distributed are not installed: %s" % MISSING)
class StoreWithoutRenameTest(unittest.TestCase):
    """fsspec's memory store, which has no rename: the folder is moved into
    place and the marker written last (tasks run here, one after another)."""

    def test_outputs_are_complete_with_the_marker_and_only_earlier_ones_replaced(self):
        import fsspec
        fs = fsspec.filesystem("memory")
        root = "/qelcode-dask-%d" % os.getpid()
        text, bad = text_of(21, 60000), b"plain\nOP looks encoded\n"
        files = {root + "/in/a.txt": text, root + "/in/bad.txt": bad, root + "/user/a.txt": b"user file\n",
                 root + "/out/a.txt/part-00000": b"earlier\n", root + "/out/a.txt/" + COMPLETE_MARKER: b""}
        try:
            for path, data in files.items():
                with fs.open(path, "wb") as f:
                    f.write(data)
            with dask.config.set(scheduler="synchronous"):
                with self.assertRaises(qelcode.QelError) as cm:
                    qdask.encode_files("memory://%s/in/*.txt" % root, "memory://" + root + "/out", blocksize=8192)
                self.assertEqual((cm.exception.path, cm.exception.offset, cm.exception.line),
                                 (root + "/in/bad.txt", 6, 2))
                with self.assertRaises(FileExistsError):
                    qdask.encode_files("memory://%s/in/a.txt" % root, "memory://" + root + "/user", blocksize=8192)
            names = sorted(fs.ls(root + "/out/a.txt", detail=False))
            self.assertEqual(names[0], root + "/out/a.txt/" + COMPLETE_MARKER)
            self.assertGreater(len(names), 5)
            self.assertTrue(b"".join(fs.cat(n) for n in names) == model.encode_stream(text, 0, S).out)
            self.assertEqual(sorted(fs.find(root)), sorted([p for p in files if "/out/a.txt/" not in p] + names))
        finally:
            fs.rm(root, recursive=True)


@unittest.skipIf(MISSING, "dask and distributed are not installed: %s" % MISSING)
class PartNameTest(unittest.TestCase):
    def test_names_sort_in_part_order_for_any_count(self):
        # five digits up to 100,000 parts, as earlier outputs are named
        self.assertEqual([qdask.part_name(n, 12) for n in (0, 7, 11)], ["part-00000", "part-00007", "part-00011"])
        self.assertEqual(qdask.part_name(99999, 100000), "part-99999")
        self.assertEqual([qdask.part_name(n, 100001) for n in (5, 10001, 100000)],
                         ["part-000005", "part-010001", "part-100000"])
        for count in (1, 9, 10, 11, 100000, 100001, 1000001, 123456789):
            with self.subTest(count=count):
                numbers = sorted(n for n in {0, 1, 9, 10, 99, 100, 9999, 10000, 10001, 99999, 100000, 100001,
                                             count // 2, count - 2, count - 1} if 0 <= n < count)
                names = [qdask.part_name(n, count) for n in numbers]
                self.assertEqual(sorted(names), names)
                self.assertEqual(len({len(name) for name in names}), 1)


@unittest.skipIf(MISSING, "dask and distributed are not installed: %s" % MISSING)
class ReadmeExampleTest(unittest.TestCase):
    def test_the_readme_example_runs_as_written(self):
        with open(os.path.join(HERE, "..", "..", "README.md"), encoding="utf-8") as f:
            readme = f.read()
        block = readme.split("<!-- dask-example -->\n```python\n", 1)[1].split("```\n", 1)[0]
        with tempfile.TemporaryDirectory() as d:
            script = os.path.join(d, "example.py")
            with open(script, "w") as f:
                f.write(block)
            result = subprocess.run([sys.executable, script], cwd=d, capture_output=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace")[-2000:])
        printed = result.stdout.decode().splitlines()
        self.assertEqual(len(printed), 3, printed)
        self.assertTrue(all(line.endswith(" parts") and not line.endswith(" 0 parts") for line in printed), printed)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--step-selector", type=int, default=2)
    ARGS, rest = parser.parse_known_args()
    S = model.shift_of_selector(ARGS.step_selector)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
