#!/usr/bin/env python3
"""How fast the Python package converts, next to the C call it makes.

    bench/python_speed.py [--text FILE] [--repeats N] [--library PATH]

Measures on one text file (default: the benchmark corpus's 100 MiB of real
text, made by `QEL_BENCH_MIB=100 bench/make_corpus.sh BUILD/bench`), each
row in a fresh interpreter, in rounds (every row once a round, the best
round counting):

  qelcode.encode / qelcode.decode    the one-shot functions on bytes
  Encoder / Decoder, 64 KiB pieces   the incremental objects, the input fed
                                     in 64 KiB pieces, each output dropped
                                     as soon as it is counted
  C call, fresh output               one QEL_EncodeBuffer/QEL_DecodeBuffer
                                     call on the whole input (through ctypes,
                                     the call alone timed) into output memory
                                     not touched before, as a host that
                                     allocates its output gets it
  C call, warm output                the same into output memory written once
                                     before: the conversion alone
  tr, cat                            on the same file, from the page cache to
                                     /dev/null (cat: the copy floor)

and prints a Markdown table: best wall-clock time, processor time, MB/s,
the ratios to the C calls and to tr, and the peak memory (the input plus
what the row added to the interpreter's resident set once its input was
read), next to the limit input + 1.2 x output + 16 MiB. Uses whichever qelcode imports
(PYTHONPATH=bindings/python/src, or an installed one); --library loads the
given library for both the package and the C rows.
"""

import argparse
import ctypes
import json
import mmap
import os
import resource
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20
PIECE = 64 * 1024


def current_rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def reset_peak():
    """Starts the peak resident set (VmHWM) afresh from now, where Linux allows it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def peak_rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def child(args):
    import qelcode
    if args.library:
        qelcode._reset(qelcode.Library(args.library))
    lib = qelcode.library()
    with open(args.input, "rb") as f:
        data = f.read()
    decoding = args.row.endswith("decode")
    reset_peak()
    before = current_rss()
    cpu0 = time.process_time()
    if args.row in ("encode", "decode"):
        t0 = time.perf_counter()
        out = qelcode.decode(data) if decoding else qelcode.encode(data)
        seconds = time.perf_counter() - t0
        produced = len(out)
    elif args.row in ("stream-encode", "stream-decode"):
        t0 = time.perf_counter()
        stream = qelcode.Decoder() if decoding else qelcode.Encoder()
        view = memoryview(data)
        produced = 0
        for i in range(0, len(data), PIECE):
            produced += len(stream.feed(view[i:i + PIECE]))  # as a writer would take each piece
        produced += len(stream.close())
        seconds = time.perf_counter() - t0
    else:  # c-fresh-*, c-warm-*
        c = lib._lib
        fn = c.QEL_DecodeBuffer if decoding else c.QEL_EncodeBuffer
        room = (c.QEL_DecodeBound if decoding else c.QEL_EncodeBound)(len(data))
        dest = mmap.mmap(-1, room)
        address = ctypes.addressof((ctypes.c_char * room).from_buffer(dest))
        produced_c, consumed, status = ctypes.c_size_t(), ctypes.c_size_t(), ctypes.c_int32(1)
        args_c = (address, room, ctypes.byref(produced_c), data, len(data), ctypes.byref(consumed), 2,
                  ctypes.byref(status))
        if args.row.startswith("c-warm"):
            fn(*args_c)
            status.value = 1
            reset_peak()
            before = current_rss()
            cpu0 = time.process_time()
        t0 = time.perf_counter()
        fn(*args_c)
        seconds = time.perf_counter() - t0
        if status.value != 1 or consumed.value != len(data):
            raise SystemExit("the C call failed: status %d" % status.value)
        produced = produced_c.value
    cpu = time.process_time() - cpu0
    peak = peak_rss()
    print(json.dumps({"seconds": seconds, "cpu": cpu, "added": max(0, peak - before), "produced": produced,
                      "library": lib.path, "version": lib.version()}))


def run_child(script_args, row, path):
    command = [sys.executable, os.path.abspath(__file__), "--child", row, "--input", path] + script_args
    result = subprocess.run(command, stdout=subprocess.PIPE, check=True)
    return json.loads(result.stdout)


def run_command(argv, path):
    with open(path, "rb") as src, open(os.devnull, "wb") as sink:
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        t0 = time.perf_counter()
        subprocess.run(argv, stdin=src, stdout=sink, check=True)
        seconds = time.perf_counter() - t0
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    return {"seconds": seconds, "cpu": cpu, "added": None, "produced": None}


def main():
    default_text = os.path.join(os.environ.get("QEL_BENCH_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "qelcode-bench"),
        "v1-100mib", "text.txt")
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--text", default=default_text)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--library")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--input", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        args.row = args.child
        return child(args)

    if not os.path.isfile(args.text):
        raise SystemExit("no %s: make it with QEL_BENCH_MIB=100 bench/make_corpus.sh BUILD/bench, "
                         "or name a text with --text" % args.text)
    script_args = ["--library", args.library] if args.library else []
    import qelcode
    if args.library:
        qelcode._reset(qelcode.Library(args.library))
    with tempfile.TemporaryDirectory(prefix="qelcode-pybench-") as tmp:
        with open(args.text, "rb") as f:
            text = f.read()
        records_path = os.path.join(tmp, "text.qel")
        with open(records_path, "wb") as f:
            f.write(qelcode.encode(text))
        sizes = {"text": len(text), "records": os.path.getsize(records_path)}
        del text
        inputs = {"text": args.text, "records": records_path}
        rows = [
            ("qelcode.encode(bytes)", "text", "encode"), ("qelcode.decode(bytes)", "records", "decode"),
            ("Encoder, 64 KiB pieces", "text", "stream-encode"), ("Decoder, 64 KiB pieces", "records", "stream-decode"),
            ("QEL_EncodeBuffer, fresh output", "text", "c-fresh-encode"),
            ("QEL_DecodeBuffer, fresh output", "records", "c-fresh-decode"),
            ("QEL_EncodeBuffer, warm output", "text", "c-warm-encode"),
            ("QEL_DecodeBuffer, warm output", "records", "c-warm-decode"),
        ]
        commands = [("tr '!-~' 'P-~!-O'", "text", ["tr", "!-~", "P-~!-O"]),
                    ("tr '!-~' 'P-~!-O'", "records", ["tr", "!-~", "P-~!-O"]),
                    ("cat", "text", ["cat"])]
        best = {}
        for round_ in range(args.repeats):
            print("round %d of %d" % (round_ + 1, args.repeats), file=sys.stderr)
            for name, which, row in rows:
                r = run_child(script_args, row, inputs[which])
                key = (name, which)
                if key not in best or r["seconds"] < best[key]["seconds"]:
                    best[key] = r
            for name, which, argv in commands:
                r = run_command(argv, inputs[which])
                key = (name, which)
                if key not in best or r["seconds"] < best[key]["seconds"]:
                    best[key] = r

    info = best[("qelcode.encode(bytes)", "text")]
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")), "?")
    print("%s, %d CPUs; Python %s; qelcode package %s from %s; library %s at %s; load average %s. "
          "Input: %s (%.1f MiB of text, %.1f MiB of records); best of %d rounds, each row in a fresh "
          "interpreter. No stdio is involved in the library rows (buffer functions, memory to memory); "
          "tr and cat read the page cache and write /dev/null through their own buffers."
          % (cpu, os.cpu_count(), sys.version.split()[0], qelcode.__version__, os.path.dirname(qelcode.__file__),
             info["version"], info["library"], " ".join("%.2f" % x for x in os.getloadavg()),
             args.text, sizes["text"] / MIB, sizes["records"] / MIB, args.repeats))
    print()
    print("| what | input | best s | CPU s | MB/s | ÷ C fresh | ÷ C warm | ÷ tr | peak memory | limit |")
    print("| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for name, which, _ in rows + commands:
        r = best[(name, which)]
        op = "Decode" if which == "records" else "Encode"
        fresh = best[("QEL_%sBuffer, fresh output" % op, which)]["seconds"]
        warm = best[("QEL_%sBuffer, warm output" % op, which)]["seconds"]
        tr = best[("tr '!-~' 'P-~!-O'", which)]["seconds"]
        added = "" if r["added"] is None else "%.1f MiB" % ((sizes[which] + r["added"]) / MIB)
        limit = "" if r["produced"] is None else "%.1f MiB" % ((sizes[which] + 1.2 * r["produced"]) / MIB + 16)
        print("| %s | %s | %.3f | %.3f | %.1f | %.2f | %.2f | %.2f | %s | %s |" % (
            name, which, r["seconds"], r["cpu"], sizes[which] / r["seconds"] / 1e6, r["seconds"] / fresh,
            r["seconds"] / warm, r["seconds"] / tr, added, limit))
    print()
    print("peak memory: the input, plus the peak resident set (VmHWM, started afresh once the input was "
          "read) of the row's interpreter over what it held then; limit: input + 1.2 x output + 16 MiB.")


if __name__ == "__main__":
    main()
