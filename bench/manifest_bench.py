"""Manifests, streaming and worker threads from Python, each against a reference measured in
the same run:

  - the bytes and file manifest builders with 1 and 2 workers vs single-pass SHA-256
    (hashlib over the same bytes in memory);
  - ShapeHasher fed in 1 MiB pieces vs the bytes function on the whole input;
  - two threads hashing two files at once vs one thread hashing both in turn;
  - Manifest.jaccard vs delta.jaccard_similarity_py on the two manifests' chunk id lists;
  - peak memory of build_manifest_from_file_py (default scheme and CDC 16) per chunk, measured
    in a fresh interpreter.

    PYTHONPATH=build/release/src/python nice -n 10 /usr/bin/python3 bench/manifest_bench.py \
        [--size-mib 1024] [--dir /tmp] [--runs 3]

Times are wall-clock (the work spans threads), best of the runs, the measurements of a group
alternating within each run. Test files are written under --dir and deleted at the end.
"""

import argparse
import hashlib
import os
import random
import subprocess
import sys
import tempfile
import threading
import time

import _quillmere

shapes = _quillmere.shapes
delta = _quillmere.delta
MIB = 1 << 20

# The peak resident set of this process (VmHWM, KiB): unlike ru_maxrss it is not inherited
# from the parent across fork and exec.
PEAK_CHILD = """
import sys
import _quillmere

def peak_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))

scheme = None if sys.argv[2] == "default" else {"type": "cdc", "avg_size": int(sys.argv[2])}
before = peak_kib()
m = _quillmere.shapes.build_manifest_from_file_py(sys.argv[1], scheme)
print(peak_kib() - before, len(m))
"""


def best_of(runs, functions):
    """Best wall time of each function over `runs` rounds, alternating within a round."""
    best = [float("inf")] * len(functions)
    for _ in range(runs):
        for k, f in enumerate(functions):
            start = time.perf_counter()
            f()
            best[k] = min(best[k], time.perf_counter() - start)
    return best


def line(name, seconds, size, reference, target=None):
    ratio = reference / seconds
    goal = f"  (target >= {target})" if target else ""
    print(f"  {name:<46} {size / seconds / 1e6:8.0f} MB/s   ratio {ratio:5.2f}{goal}")


def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--dir", default="/tmp")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    size = args.size_mib * MIB
    print(f"load average at start: {os.getloadavg()}, cpus: {os.cpu_count()}")
    workdir = tempfile.mkdtemp(prefix="qm-manifest-bench-", dir=args.dir)
    today_path = os.path.join(workdir, "today.bin")
    yesterday_path = os.path.join(workdir, "yesterday.bin")
    half_paths = [os.path.join(workdir, f"half{k}.bin") for k in range(2)]
    try:
        rng = random.Random(1)
        data = os.urandom(size)
        write_file(today_path, data)

        print(f"\nbuilders over {args.size_mib} MiB vs hashlib.sha256 over the same bytes "
              "(ratio = SHA-256 time / builder time)")
        t = best_of(args.runs, [
            lambda: hashlib.sha256(data).digest(),
            lambda: shapes.build_manifest_py(data, workers=1),
            lambda: shapes.build_manifest_py(data, workers=2),
            lambda: shapes.build_manifest_from_file_py(today_path, workers=1),
            lambda: shapes.build_manifest_from_file_py(today_path, workers=2),
            lambda: shapes.compute_data_shape_hash_from_bytes_py(data),
            lambda: shapes.compute_data_shape_hash_from_file_py(today_path),
        ])
        sha = t[0]
        print(f"  {'hashlib.sha256 (reference)':<46} {size / sha / 1e6:8.0f} MB/s")
        line("build_manifest_py, 1 worker", t[1], size, sha)
        line("build_manifest_py, 2 workers", t[2], size, sha, 1.4)
        line("build_manifest_from_file_py, 1 worker", t[3], size, sha)
        line("build_manifest_from_file_py, 2 workers", t[4], size, sha, 1.4)
        line("compute_data_shape_hash_from_bytes_py", t[5], size, sha)
        line("compute_data_shape_hash_from_file_py", t[6], size, sha)

        # What two threads give plain SHA-256 on this machine now, beside the 2-worker lines.
        halves = [data[:size // 2], data[size // 2:]]

        def hashlib_two_threads():
            threads = [threading.Thread(target=lambda h=h: hashlib.sha256(h).digest())
                       for h in halves]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()

        t = best_of(args.runs, [lambda: [hashlib.sha256(h).digest() for h in halves],
                                hashlib_two_threads])
        line("hashlib.sha256, 2 threads vs 1 (reference)", t[1], size, t[0])
        del halves

        def streamed():
            hasher = shapes.ShapeHasher()
            view = memoryview(data)
            for k in range(0, size, MIB):
                hasher.update(view[k:k + MIB])
            return hasher.shape_hash()

        assert streamed() == shapes.compute_data_shape_hash_from_bytes_py(data)
        print("\nShapeHasher fed 1 MiB pieces vs the bytes function on the whole input")
        t = best_of(args.runs, [lambda: shapes.compute_data_shape_hash_from_bytes_py(data), streamed])
        line("ShapeHasher.update x 1 MiB", t[1], size, t[0], 0.95)

        half = size // 2
        for k, path in enumerate(half_paths):
            write_file(path, data[k * half:(k + 1) * half])

        def in_turn():
            for path in half_paths:
                shapes.compute_data_shape_hash_from_file_py(path)

        def at_once():
            threads = [threading.Thread(target=shapes.compute_data_shape_hash_from_file_py, args=(p,))
                       for p in half_paths]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()

        print(f"\ntwo {half // MIB} MiB files: two threads at once vs one thread in turn")
        t = best_of(args.runs, [in_turn, at_once])
        line("compute_data_shape_hash_from_file_py x 2", t[1], size, t[0], 1.7)
        for path in half_paths:
            os.unlink(path)

        # Yesterday's file: today's with a few regions changed, one inserted, one cut.
        edited = bytearray(data)
        for k in range(8):
            at = rng.randrange(size - MIB)
            edited[at:at + 4096] = rng.randbytes(4096)
        edited[size // 3:size // 3] = rng.randbytes(100_000)
        del edited[size // 2:size // 2 + 50_000]
        write_file(yesterday_path, edited)
        del edited
        today = shapes.build_manifest_from_file_py(today_path)
        yesterday = shapes.build_manifest_from_file_py(yesterday_path)
        ids_today, ids_yesterday = today.chunk_ids(), yesterday.chunk_ids()
        j = today.jaccard(yesterday)
        assert j == delta.jaccard_similarity_py(ids_yesterday, ids_today)
        print(f"\njaccard of two {args.size_mib} MiB manifests ({len(today)} and {len(yesterday)} "
              f"chunks, J = {j:.4f})")
        repeat = 20
        t = best_of(args.runs, [
            lambda: [delta.jaccard_similarity_py(ids_yesterday, ids_today) for _ in range(repeat)],
            lambda: [today.jaccard(yesterday) for _ in range(repeat)],
        ])
        print(f"  {'jaccard_similarity_py on id lists (reference)':<46} {t[0] / repeat * 1e3:8.2f} ms")
        print(f"  {'Manifest.jaccard':<46} {t[1] / repeat * 1e3:8.2f} ms   ratio {t[0] / t[1]:5.1f}"
              "  (target >= 10)")
        del data

        print(f"\npeak memory of build_manifest_from_file_py on {args.size_mib} MiB "
              "(fresh interpreter, growth of the peak resident set)")
        for scheme in ["default", "16"]:
            out = subprocess.run([sys.executable, "-c", PEAK_CHILD, today_path, scheme],
                                 capture_output=True, text=True, check=True).stdout.split()
            kib, chunks = int(out[0]), int(out[1])
            per_chunk = kib * 1024 / chunks
            name = "default scheme (CDC 65536)" if scheme == "default" else "CDC 16"
            print(f"  {name:<28} {chunks:>10} chunks  peak +{kib / 1024:8.1f} MiB  "
                  f"{per_chunk:6.1f} bytes a chunk")
        print(f"\nload average at end: {os.getloadavg()}")
    finally:
        for path in [today_path, yesterday_path, *half_paths]:
            if os.path.exists(path):
                os.unlink(path)
        os.rmdir(workdir)


if __name__ == "__main__":
    main()
