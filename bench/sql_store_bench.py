"""The SQL stores against references measured in the same run.

    flock /tmp/qm-bench.lock env PYTHONPATH=build/dev/src/python \\
        /usr/bin/python3 bench/sql_store_bench.py [--receipts N] [--pg URL]

Prints, with the machine's load:
- a batch of 10,000 receipts through Client.store_receipts into SQLite against a plain
  sqlite3.executemany of the same JSON texts (same durability: WAL, synchronous=FULL, one
  transaction) into a table holding the rid as primary key, the body and the two usual
  filter columns, each with an index (target: store at least 0.8x the executemany's speed),
  as the median and the best of five alternating rounds;
- listing one trace of 100 among N receipts in the process that has just written them
  against a freshly started process (target: within 1.2x);
- listing that trace through the `receipts` view (the sqlite3 module; psycopg for
  PostgreSQL) against Client.list_receipts (target: within 2x): the receipts' rows (rid,
  timestamp, exact text), every column but the JSON body, and every column; for
  PostgreSQL also the server's own execution time of each view query, which leaves out
  the client and the writing out of the values, and two bounds on reading the JSON body:
  the same bodies kept as stored jsonb and read as text, and json.loads of them alone.
PostgreSQL is measured when --pg or QM_BENCH_PG_URL / QM_TEST_PG_URL names a server; the
benchmark works in a schema of its own there.
"""

import argparse
import json
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
    # On a shared machine the best round shows the work itself; the median, the noise too.
    for label, pick in [("median", statistics.median), ("best", min)]:
        ours_s, ref_s = pick(ours), pick(reference)
        print(f"batch of {BATCH:,} into SQLite ({label} of 5): store_receipts"
              f" {ours_s * 1e3:8.1f} ms   executemany {ref_s * 1e3:8.1f} ms"
              f"   speed {ref_s / ours_s:5.2f}x the executemany   (target: >= 0.8x)")


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


def bench_writer_vs_fresh(name, seeded, url, total):
    """Seeds the store in batches, then lists in this process and in a fresh one."""
    traces = total // TRACE
    client = _quillmere.Client(storage_url=url)
    for i in range(0, len(seeded), BATCH):
        client.store_receipts(seeded[i:i + BATCH])

    def listing(i):
        assert len(client.list_receipts(trace_id=trace_name(i * 7 % traces))) == TRACE

    writer = median_time(50, listing)
    fresh = float(subprocess.run([sys.executable, "-c", LISTER, url, str(traces), "50"],
                                 check=True, capture_output=True, text=True).stdout)
    print(f"{name}: list 1 trace of {TRACE} among {total:,}: writing process {writer * 1e3:7.3f} ms"
          f"   fresh process {fresh * 1e3:7.3f} ms   ratio {writer / fresh:5.2f}   (target: <= 1.2)")
    return client


def has_view(connection_check):
    try:
        connection_check()
        return True
    except Exception:
        return False


def bench_view(name, client, fetch_view, total, server_ms=None):
    """Listing one trace through the view against list_receipts, alternating: the exact
    receipts (body_text, as list_receipts gives them), every column but the JSON body, and
    every column (the body as JSON too: jsonb in PostgreSQL)."""
    traces = total // TRACE

    def api(i):
        assert len(client.list_receipts(trace_id=trace_name(i * 13 % traces))) == TRACE

    def view(columns):
        def run(i):
            assert len(fetch_view(VIEW_QUERY.format(columns), trace_name(i * 13 % traces))) == TRACE
        return run

    shapes = [("SELECT rid, timestamp, body_text", "rid, timestamp, body_text"),
              ("every column but body", ", ".join(VIEW_COLUMNS_BUT_BODY)),
              ("SELECT *", "*")]
    api_s, view_s = [], [[] for _ in shapes]
    for _ in range(5):
        api_s.append(median_time(20, api))
        for (_, columns), times in zip(shapes, view_s):
            times.append(median_time(20, view(columns)))
    a = statistics.median(api_s)
    for (label, columns), times in zip(shapes, view_s):
        v = statistics.median(times)
        print(f"{name}: list 1 trace of {TRACE} among {total:,} through the view, {label}:"
              f" {v * 1e3:7.3f} ms   list_receipts {a * 1e3:7.3f} ms   ratio {v / a:5.2f}"
              "   (target: <= 2)")
        if server_ms:
            s = statistics.median(server_ms(VIEW_QUERY.format(columns), trace_name(i * 13 % traces))
                                  for i in range(20))
            print(f"{name}:   of which the server's execution (EXPLAIN ANALYZE, before"
                  f" the values are written out as text): {s:7.3f} ms")


def bench_stored_jsonb(pg, client, total):
    """What any jsonb body costs to read: the view's bodies kept in a table of their own as
    stored jsonb (nothing converted at read time) and read as text (nothing parsed in
    Python), listed by the same kind of index, against list_receipts."""
    from psycopg.types.string import TextLoader
    traces = total // TRACE
    pg.execute("CREATE TABLE jsonb_floor AS SELECT seq, trace_id, body FROM receipts")
    pg.execute("CREATE INDEX ON jsonb_floor (trace_id, seq)")
    pg.execute("ANALYZE jsonb_floor")
    pg.adapters.register_loader("jsonb", TextLoader)
    query = "SELECT body FROM jsonb_floor WHERE trace_id = %s ORDER BY seq"

    def api(i):
        assert len(client.list_receipts(trace_id=trace_name(i * 13 % traces))) == TRACE

    def stored(i):
        assert len(pg.execute(query, (trace_name(i * 13 % traces),)).fetchall()) == TRACE

    api_s, stored_s = [], []
    for _ in range(5):
        api_s.append(median_time(20, api))
        stored_s.append(median_time(20, stored))
    a, v = statistics.median(api_s), statistics.median(stored_s)
    print(f"postgresql: the same 100 bodies as stored jsonb, read as text: {v * 1e3:7.3f} ms"
          f"   list_receipts {a * 1e3:7.3f} ms   ratio {v / a:5.2f}")
    # What a Python reader pays on its side for any JSON column it decodes (psycopg's jsonb
    # loader is json.loads), whatever the server does.
    bodies = [row[0] for row in pg.execute(query, (trace_name(0),)).fetchall()]
    decode = statistics.median(median_time(20, lambda i: [json.loads(b) for b in bodies])
                               for _ in range(5))
    print(f"postgresql: json.loads of those 100 bodies in Python alone: {decode * 1e3:7.3f} ms"
          f"   ratio {decode / a:5.2f} to list_receipts")


VIEW_QUERY = "SELECT {} FROM receipts WHERE trace_id = {{}} ORDER BY seq"
VIEW_COLUMNS_BUT_BODY = ["seq", "rid", "kind", "workload_id", "trace_id", "timestamp", "hash",
                         "parent_rids", "body_text"]


def pg_connect(url):
    """A connection of psycopg (its C build), the client Python programs use with
    PostgreSQL: values come back as Python objects (jsonb through json.loads, arrays as
    lists, timestamps as datetimes), as a program reading the view would get them."""
    import psycopg
    return psycopg.connect(url, autocommit=True)


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
        path = f"{tmp}/seeded.db"
        client = bench_writer_vs_fresh("sqlite", seeded, f"sqlite://{path}", args.receipts)
        db = sqlite3.connect(path)
        if has_view(lambda: db.execute("SELECT rid FROM receipts LIMIT 1")):
            bench_view("sqlite", client,
                       lambda q, t: db.execute(q.format("?"), (t,)).fetchall(), args.receipts)
        else:
            print("sqlite: no receipts view in this build")
        db.close()
        del client
        if args.pg:
            schema = f"qm_sql_bench_{os.getpid()}"
            admin = pg_connect(args.pg)
            admin.execute(f"CREATE SCHEMA {schema}")
            url = args.pg + ("&" if "?" in args.pg else "?") + f"options=-csearch_path%3D{schema}"
            try:
                client = bench_writer_vs_fresh("postgresql", seeded, url, args.receipts)
                pg = pg_connect(url)
                # As autovacuum would soon: without statistics the planner guesses 15 times
                # the rows of a trace and may start a parallel worker for the wide rows.
                pg.execute("ANALYZE qm_receipts")
                if has_view(lambda: pg.execute("SELECT rid FROM receipts LIMIT 1")):
                    def server_ms(q, t):
                        plan = pg.execute("EXPLAIN (ANALYZE, TIMING OFF) " + q.format("%s"),
                                          (t,)).fetchall()
                        line = next(r[0] for r in plan if r[0].startswith("Execution Time:"))
                        return float(line.split()[2])

                    bench_view("postgresql", client,
                               lambda q, t: pg.execute(q.format("%s"), (t,)).fetchall(),
                               args.receipts, server_ms)
                    bench_stored_jsonb(pg, client, args.receipts)
                else:
                    print("postgresql: no receipts view in this build")
                pg.close()
                del client
            finally:
                admin.execute(f"DROP SCHEMA {schema} CASCADE")
                admin.close()
        else:
            print("postgresql: not measured (give --pg or set QM_BENCH_PG_URL)")
    print("load:", subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip())


if __name__ == "__main__":
    main()
