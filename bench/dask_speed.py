#!/usr/bin/env python3
"""qelcode.dask on a local cluster of 1 and of 2 worker processes, beside
the tool on the same files, one file after another.

    bench/dask_speed.py --tool build/cli/qelcode [--files 8] [--mib 128]
                        [--blocksize "32 MiB"] [--dir DIR]

Makes FILES text files of MIB MiB each (lines of the benchmark's shapes),
times encode_files over all of them with each cluster (best of --repeats,
the cluster started before the clock), and the tool over each file, one
after another and two processes at a time; prints
a Markdown table with each worker's peak resident memory. Needs dask and
distributed and the qelcode package importable.
"""

import argparse
import os
import random
import shutil
import subprocess
import tempfile
import time

import distributed
import qelcode.dask


def make_file(path, size, seed):
    rng = random.Random(seed)
    words = [bytes(rng.randrange(97, 123) for _ in range(rng.randrange(1, 12))) for _ in range(5000)]
    with open(path, "wb") as f:
        written = 0
        while written < size:
            chunk = b"\n".join(b" ".join(rng.choices(words, k=rng.randrange(1, 14))) for _ in range(4096)) + b"\n"
            f.write(chunk)
            written += len(chunk)


def peak_rss_of_workers(client):
    def peak():
        import resource
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux
    return client.run(peak)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--mib", type=int, default=128)
    parser.add_argument("--blocksize", default="32 MiB")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--dir")
    args = parser.parse_args()

    work = args.dir or tempfile.mkdtemp(prefix="qelcode-dask-bench-")
    inputs = os.path.join(work, "in")
    os.makedirs(inputs, exist_ok=True)
    paths = []
    for n in range(args.files):
        path = os.path.join(inputs, "f%02d.txt" % n)
        if not os.path.exists(path) or os.path.getsize(path) < args.mib << 20:
            make_file(path, args.mib << 20, n)
        paths.append(path)
    total = sum(os.path.getsize(p) for p in paths)

    rows = []
    best = None
    for _ in range(args.repeats):
        start = time.perf_counter()
        for p in paths:
            subprocess.run([args.tool, "-o", os.path.join(work, "tool.out"), p], check=True)
        t = time.perf_counter() - start
        best = t if best is None else min(best, t)
    rows.append(("qelcode, one file after another", best, ""))
    tool_time = best

    best = None
    for _ in range(args.repeats):
        start = time.perf_counter()
        running = []
        for n, p in enumerate(paths):  # two at a time, as xargs -P 2
            if len(running) == 2:
                running.pop(0).wait()
            running.append(subprocess.Popen([args.tool, "-o", os.path.join(work, "tool%d.out" % (n % 2)), p]))
        for r in running:
            if r.wait():
                raise SystemExit("the tool failed")
        t = time.perf_counter() - start
        best = t if best is None else min(best, t)
    rows.append(("qelcode, two processes", best, ""))

    for workers in (1, 2):
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      dashboard_address=None, silence_logs=40) as cluster, \
                distributed.Client(cluster) as client:
            best = None
            for _ in range(args.repeats):
                out = os.path.join(work, "out")
                shutil.rmtree(out, ignore_errors=True)
                start = time.perf_counter()
                qelcode.dask.encode_files(paths, out, blocksize=args.blocksize)
                t = time.perf_counter() - start
                best = t if best is None else min(best, t)
            peaks = sorted(v / 1024 for v in peak_rss_of_workers(client).values())
        rows.append(("encode_files, %d worker%s" % (workers, "s" if workers > 1 else ""), best,
                     ", ".join("%.0f MiB" % p for p in peaks)))

    one = rows[2][1]
    print("%d files, %.0f MiB in all, block size %s\n" % (len(paths), total / 2**20, args.blocksize))
    print("| what | best s | MB/s | ÷ 1 worker | ÷ tool | peak RSS of each worker |")
    print("| --- | ---: | ---: | ---: | ---: | --- |")
    for what, t, peaks in rows:
        print("| %s | %.2f | %.0f | %.2f | %.2f | %s |" % (what, t, total / t / 1e6, t / one, t / tool_time, peaks))
    print("\n2 workers ÷ 1 worker: %.2f; two tool processes ÷ one: %.2f"
          % (rows[3][1] / rows[2][1], rows[1][1] / rows[0][1]))
    if not args.dir:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
