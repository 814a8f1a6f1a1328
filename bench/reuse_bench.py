"""Remembered manifests, steps and automatic reuse, each as a ratio against a reference
measured in the same run:

1. `find_reusable` among N stored executions (M methods) in a SQLite store, against the exact
   scan that reads every indexed execution and loads every candidate manifest of the method
   (target: at least 100x faster);
2. loading the stored manifest of a 1 GiB file (default chunks) with `Client.load_manifest`,
   against `manifest_from_json` of its JSON form (target: at least 10x faster);
3. a `step` with that 1 GiB file as its input (hashing, sketch, receipt, storing), against
   `data_shape_hash` of the file alone (target: at most 1.05).

    flock /tmp/qm-bench.lock env PYTHONPATH=build/dev/src/python:python \
        python3 bench/reuse_bench.py [--executions 100000] [--methods 1000] [--size-mib 1024]
        [--skip-find] [--skip-step]

Wall-clock times, best of `--runs`; the machine's load (uptime) is printed with the figures.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import random
import subprocess
import tempfile
import time
import uuid
from typing import Any, Callable, List, Tuple

import quillmere as qm
from quillmere import _reuse


def best(runs: int, function: Callable[[], Any]) -> Tuple[float, Any]:
    times, result = [], None
    for _ in range(runs):
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
    return min(times), result


def load() -> str:
    return subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()


def hashlib_two_threads(body: bytes, runs: int) -> float:
    """How much faster hashlib hashes two copies of `body` on two threads than one after
    the other: what a second thread is worth on this machine right now."""
    import threading

    def two_threads() -> None:
        helper = threading.Thread(target=lambda: hashlib.sha256(body).digest())
        helper.start()
        hashlib.sha256(body).digest()
        helper.join()

    t_one, _ = best(runs, lambda: (hashlib.sha256(body).digest(), hashlib.sha256(body).digest()))
    t_two, _ = best(runs, two_threads)
    return t_one / t_two


def variant(base: bytes, changed: int, rng: random.Random) -> bytes:
    out = bytearray(base)
    for block in rng.sample(range(len(base) // 256), changed):
        out[block * 256:(block + 1) * 256] = rng.randbytes(256)
    return bytes(out)


def bench_find(directory: str, executions: int, methods: int, runs: int) -> None:
    client = qm.Client(storage_url=f"sqlite://{directory}/reuse.db")
    side = client._side_store()
    # Setting up is 6.5 million index rows: a page cache that holds the index's upper levels.
    side._conn().execute("PRAGMA cache_size=-262144")  # type: ignore[attr-defined]
    rng = random.Random(1)
    per_method = executions // methods
    sketch_of = getattr(qm, "Sketch", None)
    start = time.perf_counter()
    queries = []
    for k in range(methods):
        method = qm.method_shape_hash("sha256:" + hashlib.sha256(b"m%d" % k).hexdigest())
        base = rng.randbytes(16 << 10)
        entries, bodies = [], []
        for e in range(per_method):
            m = qm.manifest(variant(base, rng.randrange(1, 40), rng), "cdc:1024")
            body = m.to_bytes()
            digest = "sha256:" + hashlib.sha256(body).hexdigest()
            bodies.append((digest, body))
            sketch = None if sketch_of is None else sketch_of.from_manifest(m)
            entry = {"rid": str(uuid.UUID(int=rng.getrandbits(128), version=4)),
                     "method": method, "inputs": [digest], "records": [None],
                     "sketches": [None], "output_digest": digest, "output_locator": None,
                     "workload_id": f"m{k}", "trace_id": None}
            entries.append((entry, _reuse._keys([digest], [] if sketch is None else [sketch])))
        db = side._conn()  # type: ignore[attr-defined]
        with db:
            db.execute("BEGIN IMMEDIATE")
            db.executemany("INSERT OR IGNORE INTO qm_manifests (digest, body) VALUES (?, ?)", bodies)
        side.put_entries(entries)
        if k % max(1, methods // 10) == 0:
            queries.append((method, qm.manifest(variant(base, 20, rng), "cdc:1024")))
    print(f"set up {executions} executions of {methods} methods in {time.perf_counter() - start:.1f} s")

    model = {"c_id": 1, "c_comp": 100, "alpha": 0.9}

    def indexed() -> List[Any]:
        return [client.find_reusable(method, [today], model) for method, today in queries]

    def scan() -> List[Any]:
        db = side._conn()  # type: ignore[attr-defined]
        found = []
        everything = [json.loads(text) for (text,) in db.execute("SELECT entry FROM qm_reuse_entries")]
        for method, today in queries:
            best_j, best_rid = -1.0, None
            for entry in everything:
                if entry["method"] != method:
                    continue
                j = today.jaccard(client.load_manifest(entry["inputs"][0]))
                if j > best_j:
                    best_j, best_rid = j, entry["rid"]
            found.append((best_rid, best_j))
        return found

    t_index, matches = best(runs, indexed)
    t_scan, exact = best(max(1, runs // 2), scan)
    agree = sum(1 for m, (rid, j) in zip(matches, exact) if m is not None and m.j == j)
    gap = max((j - (m.j if m is not None else 0.0)) for m, (rid, j) in zip(matches, exact))
    checked = all(m is None or m.exact for m in matches)
    print(f"find_reusable, {len(queries)} look-ups among {executions} executions: "
          f"index {t_index / len(queries) * 1e3:.2f} ms, exact scan {t_scan / len(queries) * 1e3:.1f} ms, "
          f"ratio {t_scan / t_index:.0f}x (target >= 100x)")
    print(f"  the index's choice has the scan's best J in {agree} of {len(queries)} look-ups, at most "
          f"{gap:.3f} below it; every J it reports is the exact one: {checked}")


def bench_manifest_and_step(directory: str, size_mib: int, runs: int, skip_step: bool = False) -> None:
    path = os.path.join(directory, "big.bin")
    rng = random.Random(2)
    with open(path, "wb") as f:
        block = rng.randbytes(1 << 20)
        for i in range(size_mib):
            f.write(block[i % 7:] + block[:i % 7])  # no two MiB alike at the same offset
    m = qm.manifest(path)
    text = m.to_json()
    body = m.to_bytes()
    t_json, parsed = best(runs * 10, lambda: qm.manifest_from_json(text))
    t_form, _ = best(runs * 20, lambda: qm.manifest_from_bytes(body))
    t_digest, _ = best(runs * 20, lambda: hashlib.sha256(body).digest())
    print(f"a {size_mib} MiB file's manifest: {len(m)} chunks, JSON form {len(text)} bytes, binary form "
          f"{len(body)} bytes; manifest_from_json {t_json * 1e3:.2f} ms")
    for kind, client in (("filesystem", qm.Client(os.path.join(directory, "m-store"))),
                         ("SQLite", qm.Client(storage_url=f"sqlite://{directory}/m.db"))):
        digest = client.store_manifest(m)
        t_load, loaded = best(runs * 20, lambda: client.load_manifest(digest))
        assert loaded == parsed == m
        print(f"  load it from the {kind} store {t_load * 1e3:.2f} ms: ratio {t_json / t_load:.1f}x (target >= 10x)")
    print(f"  of a load: manifest_from_bytes (every check, the root recomputed) {t_form * 1e3:.2f} ms, "
          f"the digest of the bytes (hashlib, checked beside the root in a load) {t_digest * 1e3:.2f} ms")
    print(f"  loads use two threads from 8192 chunks; hashlib on 2 threads vs 1 in this run: "
          f"{hashlib_two_threads(body, runs * 20):.2f}x")
    if skip_step:
        return

    if not hasattr(qm, "record_execution"):
        print("step: this build has no record_execution")
        return
    fs_client = qm.Client(os.path.join(directory, "fs-store"))
    def timed(function: Callable[[], Any]) -> Tuple[float, float]:
        wall, cpu = time.perf_counter(), time.thread_time()
        function()
        return time.perf_counter() - wall, time.thread_time() - cpu

    def one_step() -> None:
        with qm.trace(client=fs_client):
            with qm.step("bench", inputs=path):
                pass

    steps, hashes = [], []
    for _ in range(runs + 2):  # alternating, so that drift hits both alike
        hashes.append(timed(lambda: qm.data_shape_hash(path)))
        steps.append(timed(one_step))
    wall_s, wall_h = min(t[0] for t in steps), min(t[0] for t in hashes)
    cpu_s, cpu_h = min(t[1] for t in steps), min(t[1] for t in hashes)
    print(f"step with a {size_mib} MiB input (hashing, sketch, receipt, stored with its manifest) {wall_s:.3f} s; "
          f"data_shape_hash {wall_h:.3f} s; ratio {wall_s / wall_h:.3f} wall, {cpu_s / cpu_h:.3f} CPU of the "
          f"calling thread (target <= 1.05)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--executions", type=int, default=100_000)
    parser.add_argument("--methods", type=int, default=1000)
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--dir", default=None)
    parser.add_argument("--skip-find", action="store_true", help="only the manifest and step figures")
    parser.add_argument("--skip-step", action="store_true", help="no step figure")
    args = parser.parse_args()
    print(load())
    with tempfile.TemporaryDirectory(dir=args.dir, prefix="qm-reuse-bench-") as directory:
        if not args.skip_find:
            bench_find(directory, args.executions, args.methods, args.runs)
        bench_manifest_and_step(directory, args.size_mib, args.runs, args.skip_step)
    print(load())


if __name__ == "__main__":
    main()
