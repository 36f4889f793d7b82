#!/usr/bin/env python3
"""Differential check: the library, loaded with ctypes, against qel_model.

For thousands of random sources (long lines, CR LF, control and high bytes,
marked lines, NULs, damaged records) it calls QEL_EncodeStream,
QEL_DecodeStream, QEL_EncodeRecord and QEL_DecodeRecord on FILE* streams
from the C library's fopen and compares written bytes, result, status, line
number and source position with the model, byte for byte.

    differential.py --library build/src/libqelcode.so [--seed N] [--count N]
                    [--step-selector K]

Exit status 0 when everything agrees, 1 on a difference, 77 when the library
can't be loaded into this interpreter (a sanitizer build without its runtime
preloaded, or a library cross-built for another architecture).
"""

import argparse
import ctypes
import os
import random
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "reference"))
import qel_model as model  # noqa: E402

SKIP = 77


class Library:
    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        self.libc = ctypes.CDLL(None)
        FILEP = ctypes.c_void_p
        i32p = ctypes.POINTER(ctypes.c_int32)
        u64p = ctypes.POINTER(ctypes.c_uint64)
        for name in ("QEL_EncodeStream", "QEL_DecodeStream"):
            f = getattr(self.lib, name)
            f.argtypes = [FILEP, FILEP, ctypes.c_uint32, u64p, i32p]
            f.restype = ctypes.c_int32
        for name in ("QEL_EncodeRecord", "QEL_DecodeRecord"):
            f = getattr(self.lib, name)
            f.argtypes = [FILEP, ctypes.c_char_p, i32p]
            f.restype = ctypes.c_int32
        self.libc.fopen.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        self.libc.fopen.restype = FILEP
        self.libc.fclose.argtypes = [FILEP]
        self.libc.fclose.restype = ctypes.c_int
        self.libc.ftell.argtypes = [FILEP]
        self.libc.ftell.restype = ctypes.c_long

    def fopen(self, path, mode):
        f = self.libc.fopen(path.encode(), mode.encode())
        if not f:
            raise OSError("fopen failed: %s" % path)
        return f


UNTOUCHED = 0xDEADBEEFCAFE


class Host:
    def __init__(self, lib, workdir):
        self.lib = lib
        self.src_path = os.path.join(workdir, "src")
        self.dest_path = os.path.join(workdir, "dest")

    def stream(self, decode, data, flags=0, status_in=1, null_dest=False, null_src=False):
        with open(self.src_path, "wb") as f:
            f.write(data)
        src = self.lib.fopen(self.src_path, "rb")
        dest = self.lib.fopen(self.dest_path, "wb")
        status = ctypes.c_int32(status_in)
        line = ctypes.c_uint64(UNTOUCHED)
        fn = self.lib.lib.QEL_DecodeStream if decode else self.lib.lib.QEL_EncodeStream
        ret = fn(None if null_dest else dest, None if null_src else src, flags,
                 ctypes.byref(line), ctypes.byref(status))
        pos = self.lib.libc.ftell(src)
        self.lib.libc.fclose(src)
        self.lib.libc.fclose(dest)
        with open(self.dest_path, "rb") as f:
            out = f.read()
        return model.StreamOutcome(ret, status.value, None if line.value == UNTOUCHED else line.value,
                                   out, pos)

    def record(self, decode, data, status_in=1, with_dest=True):
        # Room for the text, its NUL and a record of the longest text.
        buf = ctypes.create_string_buffer(data, max(len(data) + 1, 512) + 8)
        dest = self.lib.fopen(self.dest_path, "wb") if with_dest else None
        status = ctypes.c_int32(status_in)
        fn = self.lib.lib.QEL_DecodeRecord if decode else self.lib.lib.QEL_EncodeRecord
        ret = fn(dest, buf, ctypes.byref(status))
        written = b""
        if dest:
            self.lib.libc.fclose(dest)
            with open(self.dest_path, "rb") as f:
                written = f.read()
        return model.RecordOutcome(ret, status.value, buf.value, written)


# ---- random inputs ----

def marked_pair(rng):
    a = rng.randint(32, 127)
    return bytes([a, 159 - a])


def random_line(rng):
    """One line's bytes without its line end; no LF inside."""
    kind = rng.random()
    if kind < 0.1:
        n = 0
    elif kind < 0.6:
        n = rng.randint(1, 80)
    elif kind < 0.8:
        n = rng.choice([93, 94, 95, 188, 505, 506, 507, 508, 509, 510, 511, 512, 513])
    else:
        n = rng.choice([rng.randint(500, 520), rng.randint(1010, 1020), rng.randint(0, 1700)])
    out = bytearray()
    for _ in range(n):
        r = rng.random()
        if r < 0.75:
            out.append(rng.randint(32, 126))
        elif r < 0.8:
            out.append(126)
        elif r < 0.86:
            out.append(rng.choice([9, 13, 1, 27, 31, 127]))
        else:
            out.append(rng.randint(128, 255))
    r = rng.random()
    if r < 0.06:
        out[0:0] = marked_pair(rng)
    elif r < 0.08 and len(out) > 520:
        out[507:507] = marked_pair(rng)  # a mark at the start of a line's second piece
    if rng.random() < 0.01:
        out.insert(rng.randint(0, len(out)), 0)
    return bytes(out)


def random_source(rng):
    lines = []
    for _ in range(rng.choice([0, 1, 2, 3, 5, 10, 20])):
        line = random_line(rng)
        end = rng.random()
        lines.append(line + (b"\r\n" if end < 0.3 else b"\n"))
    if lines and rng.random() < 0.3:
        lines[-1] = lines[-1].rstrip(b"\n")  # a last line without LF (a lone CR may stay)
    return b"".join(lines)


def clean_text(rng):
    return bytes(b for b in random_line(rng) if b != 0)[:rng.choice([507, 507, 100, 20])]


def random_encoded(rng, build_shift):
    """Records of several step marks, some of them damaged."""
    recs = []
    for _ in range(rng.choice([0, 1, 2, 4, 8, 15])):
        s = build_shift if rng.random() < 0.5 else rng.randint(1, 9)
        text = clean_text(rng)
        if rng.random() < 0.05:
            text += b"\n"  # a text that itself ended with LF
        rec = bytearray(model.encode_text(text, s))
        if rng.random() < 0.2 and rec.endswith(b"\n"):
            rec[-1:] = b"\r\n"
        recs.append(damage(rng, rec) if rng.random() < 0.12 else bytes(rec))
    data = b"".join(recs)
    if data and rng.random() < 0.2:
        data = data.rstrip(b"\n")
    return data


def damage(rng, rec):
    rec = bytearray(rec)
    kind = rng.randrange(10)
    if kind == 0 and len(rec) > 3:
        del rec[rng.randrange(3, len(rec))]                       # a dropped byte
    elif kind == 1:
        rec.insert(rng.randrange(3, len(rec) + 1), rng.randint(33, 126))  # an added byte
    elif kind == 2:
        rec[2] = rng.randrange(256)                                # another step mark
    elif kind == 3 and len(rec) > 4:
        rec[rng.randrange(3, len(rec) - 1)] = 32                   # a space in the body
    elif kind == 4:
        rec[rng.randrange(2)] = rng.randrange(256)                 # a broken mark
    elif kind == 5:
        rec = bytearray(b"plain text line\n")                      # not a record
    elif kind == 6:
        rec.insert(rng.randrange(len(rec) + 1), 0)                 # a NUL
    elif kind == 7:
        rec[3:3] = bytes(rng.randint(33, 126) for _ in range(rng.choice([94, 188, 520])))  # too long
    elif kind == 8:
        rec = rec[:rng.randrange(0, 4)] + b"\n"                    # a short line
    else:
        rec[-1:] = b"\r\r\n"                                       # an extra CR
    return bytes(rec)


def random_record_text(rng, build_shift):
    r = rng.random()
    if r < 0.4:
        t = random_line(rng)
    elif r < 0.7:
        t = random_encoded(rng, build_shift).split(b"\n")[0] + rng.choice([b"", b"\n", b"\r\n"])
    else:
        t = bytes(rng.randrange(256) for _ in range(rng.randint(0, 12)))
    end = rng.random()
    if end < 0.2:
        t += b"\n"
    elif end < 0.3:
        t += b"\r\n"
    elif end < 0.35:
        t += b"\n\n"
    return t


# ---- the run ----

SEEN = {}


def compare(what, data, got, want, fields):
    key = what.split()[0]
    SEEN.setdefault(key, {})
    SEEN[key][want.status] = SEEN[key].get(want.status, 0) + 1
    bad = [f for f in fields if getattr(got, f) != getattr(want, f)]
    if not bad:
        return True
    print("DIFFERENCE in %s on input %r" % (what, data[:300] + (b"..." if len(data) > 300 else b"")))
    for f in bad:
        g, w = getattr(got, f), getattr(want, f)
        if isinstance(g, bytes) and isinstance(w, bytes):
            i = next((k for k in range(min(len(g), len(w))) if g[k] != w[k]), min(len(g), len(w)))
            print("  %s: library %d bytes, model %d bytes, first difference at %d: %r vs %r"
                  % (f, len(g), len(w), i, g[i:i + 40], w[i:i + 40]))
        else:
            print("  %s: library %r, model %r" % (f, g, w))
    return False


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--library", required=True)
    ap.add_argument("--seed", type=int, default=20261210)
    ap.add_argument("--count", type=int, default=3000)
    ap.add_argument("--step-selector", type=int, default=2)
    ap.add_argument("--max-failures", type=int, default=10)
    args = ap.parse_args()

    try:
        lib = Library(args.library)
    except OSError as e:
        print("SKIP: can't load %s into this interpreter: %s" % (args.library, e))
        return SKIP

    s = model.shift_of_selector(args.step_selector)
    rng = random.Random(args.seed)
    failures = 0
    # Every function of the export list resolves by its plain name.
    for name in model.exported_names():
        if not hasattr(lib.lib, name):
            print("FAIL: %s is not exported" % name)
            failures += 1
    counts = {"encode stream": 0, "decode stream": 0, "encode record": 0, "decode record": 0}
    stream_fields = ("ret", "status", "line", "out", "pos")
    record_fields = ("ret", "status", "text", "written")
    with tempfile.TemporaryDirectory(prefix="qel-differential-") as work:
        host = Host(lib, work)
        # The hand-worked records of this build's shift, through the record functions.
        for op, vs, text, record in model.load_vectors():
            if vs == s and op == "encode-line":
                failures += not compare("QEL_EncodeRecord (hand-worked)", text, host.record(False, text, 1, True),
                                        model.RecordOutcome(1, 1, record, record), record_fields)
            elif op == "decode-line":
                failures += not compare("QEL_DecodeRecord (hand-worked)", record, host.record(True, record, 1, True),
                                        model.RecordOutcome(1, 1, text, text), record_fields)
        for i in range(args.count):
            if failures >= args.max_failures:
                break
            # The status chain and missing streams now and then.
            status_in = 1 if rng.random() < 0.97 else rng.choice([0, -1, 5, 9, 13])
            null_dest = rng.random() < 0.01
            null_src = rng.random() < 0.01

            src = random_source(rng)
            flags = rng.choice([0, 0, model.FORCE, 0xFFFFFFFE, 0xFFFFFFFF, rng.getrandbits(32)])
            want = model.encode_stream(src, flags, s, status_in, not null_dest, not null_src)
            got = host.stream(False, src, flags, status_in, null_dest, null_src)
            failures += not compare("QEL_EncodeStream flags=%#x status=%d" % (flags, status_in),
                                    src, got, want, stream_fields)
            counts["encode stream"] += 1

            enc = random_encoded(rng, s) if rng.random() < 0.7 else want.out
            want = model.decode_stream(enc, status_in, not null_dest, not null_src)
            got = host.stream(True, enc, rng.getrandbits(32), status_in, null_dest, null_src)
            failures += not compare("QEL_DecodeStream status=%d" % status_in, enc, got, want,
                                    stream_fields)
            counts["decode stream"] += 1

            for _ in range(2):
                text = random_record_text(rng, s)
                text = text.split(b"\0")[0]  # the buffer ends at its first NUL
                with_dest = rng.random() < 0.7
                want = model.encode_record(text, status_in, s)
                if not with_dest:
                    want.written = b""
                got = host.record(False, text, status_in, with_dest)
                failures += not compare("QEL_EncodeRecord", text, got, want, record_fields)
                counts["encode record"] += 1

                want = model.decode_record(text, status_in)
                if not with_dest:
                    want.written = b""
                got = host.record(True, text, status_in, with_dest)
                failures += not compare("QEL_DecodeRecord", text, got, want, record_fields)
                counts["decode record"] += 1

    for op, by_status in sorted(SEEN.items()):
        print("  %s statuses: %s" % (op, " ".join("%d:%d" % kv for kv in sorted(by_status.items()))))
    total = sum(counts.values())
    print("differential: seed %d, %s" % (args.seed, ", ".join("%d %s" % (v, k) for k, v in counts.items())))
    print("%d passed, %d failed" % (total - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
