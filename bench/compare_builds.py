"""Before/after of two builds of quillmere, measured alternately in one run.

    python bench/compare_builds.py BEFORE_TREE AFTER_TREE [--rounds 3] [--size-mib 256]

Each tree is a source checkout with a Release build in build/release (the script
bench/compare_builds.sh makes both from two revisions). Each round runs every measure once in
the before build and once in the after build, alternating, so drift of the machine weighs on
both alike; the table shows the best time of each measure in each build and after / before.

Measures: the C++ benchmarks of receipt recording, the receipt hash, the JSON form and the store
listing; and through the extension, record_work_py, receipt_from_json_py, list_receipts, and
the data shape hash and manifest of bytes and of a file, with 1 and 2 workers. Times are CPU
time of the process (so other work on the machine weighs little), except the 2-worker measures,
which are wall-clock time.
"""

import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

CPP_BENCHES = {
    "record_work_bench": ["BM_RecordWorkJcs"],
    "compute_hash_bench": ["BM_ComputeHash"],
    "json_adapter_bench": ["BM_ReceiptFromJson", "BM_ReceiptToJson"],
    "list_receipts_bench": ["QueryAll", "QueryByTrace"],
}

# Runs in the tree's interpreter setup; prints one JSON object of best seconds per measure.
PY_MEASURES = r'''
import json, os, sys, tempfile, time
import _quillmere
from _quillmere import receipts, shapes
path, size = sys.argv[1], int(sys.argv[2])
with open(path, "rb") as f:
    data = f.read()
def best(fn, n=1, rounds=3, clock=time.process_time):
    t = float("inf")
    for _ in range(rounds):
        s = clock()
        for _ in range(n):
            fn()
        t = min(t, (clock() - s) / n)
    return t
out = {}
payload = {"rows": 1000, "source": "orders.csv", "ok": True}
out["record_work_py"] = best(lambda: receipts.record_work_py("bench", payload), 5000)
text = receipts.record_work_py("bench", payload, trace_id="t").to_json()
out["receipt_from_json_py"] = best(lambda: receipts.receipt_from_json_py(text), 5000)
with tempfile.TemporaryDirectory() as base:
    client = _quillmere.Client(storage_path=base)
    for i in range(2000):
        client.store_receipt(receipts.record_work_py(f"job-{i % 7}", {"i": i}, trace_id=f"trace-{i % 10}"))
    out["list_receipts(trace)"] = best(lambda: client.list_receipts(trace_id="trace-3"), 1, 5)
out["shape, bytes"] = best(lambda: shapes.compute_data_shape_hash_from_bytes_py(data))
out["shape, file"] = best(lambda: shapes.compute_data_shape_hash_from_file_py(path))
for w in (1, 2):
    clock = time.process_time if w == 1 else time.perf_counter
    out[f"manifest, bytes, {w} worker(s)"] = best(lambda: shapes.build_manifest_py(data, workers=w), clock=clock)
    out[f"manifest, file, {w} worker(s)"] = best(lambda: shapes.build_manifest_from_file_py(path, workers=w), clock=clock)
print(json.dumps(out))
'''


def run_cpp(tree, bench, names):
    exe = os.path.join(tree, "build/release/bench", bench)
    flt = "^(" + "|".join(names) + ")$"
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run([exe, f"--benchmark_filter={flt}", f"--benchmark_out={out.name}",
                        "--benchmark_out_format=json"], check=True, capture_output=True)
        report = json.load(open(out.name))
    result = {}
    for b in report["benchmarks"]:
        unit = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b.get("time_unit", "ns")]
        result[b["name"]] = b["cpu_time"] * unit
    return result


def run_py(tree, path, size):
    env = dict(os.environ)
    env["QM_EXTENSION_DIR"] = os.path.join(tree, "build/release/src/python")
    env["PYTHONPATH"] = env["QM_EXTENSION_DIR"] + ":" + os.path.join(tree, "python")
    out = subprocess.run([sys.executable, "-c", PY_MEASURES, path, str(size)], env=env,
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def hashlib_threads(data):
    def one():
        hashlib.sha256(data).digest()
    s = time.perf_counter(); one(); one(); t1 = time.perf_counter() - s
    threads = [threading.Thread(target=one) for _ in range(2)]
    s = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    t2 = time.perf_counter() - s
    return t1 / t2


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--size-mib", type=int, default=256)
    args = parser.parse_args()
    size = args.size_mib << 20
    print(f"load average at start: {os.getloadavg()}, cpus: {os.cpu_count()}")
    best = {"before": {}, "after": {}}
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "input.bin")
        data = os.urandom(size)
        with open(path, "wb") as f:
            f.write(data)
        speedup = hashlib_threads(data)
        for r in range(args.rounds):
            for label in ("before", "after") if r % 2 == 0 else ("after", "before"):
                tree = getattr(args, label)
                got = {}
                for bench, names in CPP_BENCHES.items():
                    got.update({f"C++ {k}": v for k, v in run_cpp(tree, bench, names).items()})
                got.update(run_py(tree, path, size))
                for k, v in got.items():
                    best[label][k] = min(best[label].get(k, float("inf")), v)
    print(f"\nbest of {args.rounds} alternating rounds; input {args.size_mib} MiB; "
          f"hashlib 2 threads vs 1 in this run: {speedup:.2f}x")
    print(f"{'measure':<38} {'before':>12} {'after':>12} {'after/before':>13}")
    worst = 0.0
    for k, before in best["before"].items():
        after = best["after"].get(k)
        if after is None:
            continue
        ratio = after / before
        worst = max(worst, ratio)
        print(f"{k:<38} {before * 1e6:10.1f}us {after * 1e6:10.1f}us {ratio:12.3f}")
    print(f"\nslowest after/before: {worst:.3f} (1.05 = 5% slower)")
    print(f"load average at end: {os.getloadavg()}")


if __name__ == "__main__":
    main()
