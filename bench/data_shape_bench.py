"""Data shape hash from Python: throughput of the file and bytes functions against
hashlib.sha256 (OpenSSL) over the same bytes, and the file function's peak memory above
the interpreter's baseline, measured in a fresh interpreter.

    PYTHONPATH=build/release/src/python python3 bench/data_shape_bench.py [--size-mib 1024]
        [--dir /tmp] [--runs 3]

Times are CPU times of the calling thread (user + system), best of the runs, the three
measurements alternating within each run.
"""

import argparse
import hashlib
import os
import subprocess
import sys
import tempfile
import time

import _quillmere

shapes = _quillmere.shapes

CHILD = """
import resource, sys
import _quillmere
scheme = None if sys.argv[2] == "default" else {"type": "cdc", "avg_size": int(sys.argv[2])}
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
_quillmere.shapes.compute_data_shape_hash_from_file_py(sys.argv[1], scheme)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(after - before)
"""


def cpu_seconds(function, *args):
    start = time.thread_time()
    function(*args)
    return time.thread_time() - start


def peak_rss_growth_mib(path, scheme):
    out = subprocess.run([sys.executable, "-c", CHILD, path, scheme], check=True,
                         capture_output=True, text=True, env=dict(os.environ)).stdout
    return int(out) / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--dir", default=tempfile.gettempdir())
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    size = args.size_mib << 20

    fd, path = tempfile.mkstemp(dir=args.dir, suffix=".bin")
    try:
        with os.fdopen(fd, "wb") as f:
            for _ in range(args.size_mib):
                f.write(os.urandom(1 << 20))
        with open(path, "rb") as f:
            data = f.read()

        best = {"sha": float("inf"), "bytes": float("inf"), "file": float("inf")}
        for _ in range(args.runs):
            best["sha"] = min(best["sha"], cpu_seconds(lambda: hashlib.sha256(data).hexdigest()))
            best["bytes"] = min(best["bytes"], cpu_seconds(shapes.compute_data_shape_hash_from_bytes_py, data))
            best["file"] = min(best["file"], cpu_seconds(shapes.compute_data_shape_hash_from_file_py, path))
        del data

        def mbps(seconds):
            return size / seconds / 1e6

        print(f"input: {args.size_mib} MiB of random bytes, best of {args.runs} runs, default scheme CDC 65536")
        print(f"  {'hashlib.sha256':<22}{mbps(best['sha']):8.1f} MB/s")
        for kind in ("bytes", "file"):
            print(f"  {'data shape, ' + kind:<22}{mbps(best[kind]):8.1f} MB/s   "
                  f"ratio to SHA-256 {best['sha'] / best[kind]:.3f}")
        for label, scheme in (("CDC 65536", "default"), ("CDC 16", "16")):
            print(f"  file peak RSS above interpreter baseline, {label:<9} "
                  f"{peak_rss_growth_mib(path, scheme):6.1f} MiB")
    finally:
        os.remove(path)


if __name__ == "__main__":
    main()
