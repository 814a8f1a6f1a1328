"""The SQL stores against references measured in the same run.

    flock /tmp/qm-bench.lock env PYTHONPATH=build/dev/src/python \\
        /usr/bin/python3 bench/sql_store_bench.py [--receipts N] [--pg URL]

Prints, with the machine's load:
- a batch of 10,000 receipts through Client.store_receipts into SQLite against a plain
  sqlite3.executemany of the same JSON texts (same durability: WAL, synchronous=FULL, one
  transaction) into a table holding the rid as primary key, the body and the two usual
  filter columns, each with an index (target: store at least 0.8x the executemany's speed);
- listing one trace of 100 among N receipts in the process that has just written them
  against a freshly started process (target: within 1.2x);
- listing that trace through the `receipts` view (the sqlite3 module; libpq through ctypes
  for PostgreSQL) against Client.list_receipts (target: within 2x).
PostgreSQL is measured when --pg or QM_BENCH_PG_URL / QM_TEST_PG_URL names a server; the
benchmark works in a schema of its own there.
"""

import argparse
import ctypes
import json
import ctypes.util
import os
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

import _quillmere
from _quillmere import receipts

TRACE = 100
BATCH = 10_000


def trace_name(t):
    return f"trace-{t}"


def make_receipts(count, first_trace):
    """Receipts as recorded, TRACE per trace, the traces interleaved over the listing."""
    made = [receipts.record_work_py(f"workload-{i % 10}", {"input": f"data-{i}", "rows": i * 17},
                                    trace_id=trace_name(first_trace + i // TRACE))
            for i in range(count)]
    traces = (count + TRACE - 1) // TRACE
    return [made[t * TRACE + k] for k in range(TRACE) for t in range(traces) if t * TRACE + k < count]


def median_time(runs, function):
    times = []
    for i in range(runs):
        start = time.perf_counter()
        function(i)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


REFERENCE_TABLE = """CREATE TABLE r (rid TEXT PRIMARY KEY, workload_id BLOB, trace_id BLOB,
    body BLOB NOT NULL)"""


def executemany_batch(path, rows):
    db = sqlite3.connect(path, isolation_level=None)
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("PRAGMA synchronous=FULL")
    db.execute(REFERENCE_TABLE)
    db.execute("CREATE INDEX r_trace ON r (trace_id)")
    db.execute("CREATE INDEX r_workload ON r (workload_id)")
    start = time.perf_counter()
    db.execute("BEGIN IMMEDIATE")
    db.executemany("INSERT INTO r VALUES (?, ?, ?, ?)", rows)
    db.execute("COMMIT")
    elapsed = time.perf_counter() - start
    db.close()
    return elapsed


def store_batch(path, batch):
    client = _quillmere.Client(storage_url=f"sqlite://{path}")
    start = time.perf_counter()
    client.store_receipts(batch)
    return time.perf_counter() - start


def bench_batch(tmp):
    batch = make_receipts(BATCH, 500_000)
    rows = []
    for r in batch:
        document = json.loads(r.to_json())
        rows.append((r.get_rid(), document["payload"]["method_ref"]["method_id"].encode(),
                     document["payload"]["trace_id"].encode(), r.to_json().encode()))
    ours, reference = [], []
    for round_ in range(5):
        ours.append(store_batch(os.path.join(tmp, f"batch-{round_}.db"), batch))
        reference.append(executemany_batch(os.path.join(tmp, f"ref-{round_}.db"), rows))
    ours_s, ref_s = statistics.median(ours), statistics.median(reference)
    print(f"batch of {BATCH:,} into SQLite: store_receipts {ours_s * 1e3:8.1f} ms   "
          f"executemany {ref_s * 1e3:8.1f} ms   speed {ref_s / ours_s:5.2f}x the executemany"
          "   (target: >= 0.8x)")


LISTER = """
import statistics, sys, time, _quillmere
client = _quillmere.Client(storage_url=sys.argv[1])
traces, runs = int(sys.argv[2]), int(sys.argv[3])
times = []
for i in range(runs):
    start = time.perf_counter()
    got = client.list_receipts(trace_id=f"trace-{i * 7 % traces}")
    times.append(time.perf_counter() - start)
    assert len(got) == 100
print(statistics.median(times))
"""


def bench_writer_vs_fresh(tmp, seeded, url, total):
    traces = total // TRACE
    client = _quillmere.Client(storage_url=url)
    for i in range(0, len(seeded), BATCH):
        client.store_receipts(seeded[i:i + BATCH])

    def listing(i):
        assert len(client.list_receipts(trace_id=trace_name(i * 7 % traces))) == TRACE

    writer = median_time(50, listing)
    fresh = float(subprocess.run([sys.executable, "-c", LISTER, url, str(traces), "50"],
                                 check=True, capture_output=True, text=True).stdout)
    again = median_time(50, listing)
    print(f"list 1 trace of {TRACE} among {total:,}: writing process {writer * 1e3:7.3f} ms"
          f" (again after the fresh one: {again * 1e3:7.3f} ms)   fresh process"
          f" {fresh * 1e3:7.3f} ms   ratio {writer / fresh:5.2f}   (target: <= 1.2)")
    return client


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--receipts", type=int, default=100_000)
    parser.add_argument("--pg", default=os.environ.get("QM_BENCH_PG_URL")
                        or os.environ.get("QM_TEST_PG_URL"))
    args = parser.parse_args()
    print("load:", subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip())
    with tempfile.TemporaryDirectory(prefix="qm-sql-bench-") as tmp:
        bench_batch(tmp)
        print(f"recording {args.receipts:,} receipts...", flush=True)
        seeded = make_receipts(args.receipts, 0)
        bench_writer_vs_fresh(tmp, seeded, f"sqlite://{tmp}/seeded.db", args.receipts)
    print("load:", subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip())


if __name__ == "__main__":
    main()
