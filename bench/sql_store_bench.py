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
- listing that trace through the `receipts` view (the sqlite3 module; libpq through ctypes
  for PostgreSQL) against Client.list_receipts (target: within 2x); for PostgreSQL also
  the server's own execution time of the view query, which leaves out the client.
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
    receipts (body_text, as list_receipts gives them) and every column (kind and links
    cut from the body, the body as JSON: jsonb in PostgreSQL)."""
    traces = total // TRACE

    def api(i):
        assert len(client.list_receipts(trace_id=trace_name(i * 13 % traces))) == TRACE

    def view(columns):
        def run(i):
            assert len(fetch_view(VIEW_QUERY.format(columns), trace_name(i * 13 % traces))) == TRACE
        return run

    api_s, exact_s, all_s = [], [], []
    for _ in range(5):
        api_s.append(median_time(20, api))
        exact_s.append(median_time(20, view("rid, timestamp, body_text")))
        all_s.append(median_time(20, view("*")))
    a = statistics.median(api_s)
    for label, columns, times in [("SELECT rid, timestamp, body_text", "rid, timestamp, body_text",
                                   exact_s), ("SELECT *", "*", all_s)]:
        v = statistics.median(times)
        print(f"{name}: list 1 trace of {TRACE} among {total:,} through the view, {label}:"
              f" {v * 1e3:7.3f} ms   list_receipts {a * 1e3:7.3f} ms   ratio {v / a:5.2f}"
              "   (target: <= 2)")
        if server_ms:
            s = statistics.median(server_ms(VIEW_QUERY.format(columns), trace_name(i * 13 % traces))
                                  for i in range(20))
            print(f"{name}:   of which the server's execution (EXPLAIN ANALYZE, before"
                  f" the values are written out as text): {s:7.3f} ms")


VIEW_QUERY = "SELECT {} FROM receipts WHERE trace_id = {{}} ORDER BY seq"


class Libpq:
    """Just enough of libpq, through ctypes, to run one query with text results."""

    def __init__(self, url):
        self.lib = ctypes.CDLL(ctypes.util.find_library("pq") or "libpq.so.5")
        lib = self.lib
        lib.PQconnectdb.restype = ctypes.c_void_p
        lib.PQconnectdb.argtypes = [ctypes.c_char_p]
        lib.PQstatus.argtypes = [ctypes.c_void_p]
        lib.PQexecParams.restype = ctypes.c_void_p
        lib.PQexecParams.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p,
                                     ctypes.POINTER(ctypes.c_char_p), ctypes.c_void_p,
                                     ctypes.c_void_p, ctypes.c_int]
        for f in ("PQresultStatus", "PQntuples", "PQnfields"):
            getattr(lib, f).argtypes = [ctypes.c_void_p]
        lib.PQgetvalue.restype = ctypes.c_char_p
        lib.PQgetvalue.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
        lib.PQgetisnull.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
        lib.PQclear.argtypes = [ctypes.c_void_p]
        lib.PQfinish.argtypes = [ctypes.c_void_p]
        self.conn = lib.PQconnectdb(url.encode())
        if lib.PQstatus(self.conn) != 0:
            raise RuntimeError("cannot connect")

    def query(self, sql, *params):
        lib = self.lib
        values = (ctypes.c_char_p * len(params))(*[p.encode() for p in params])
        res = lib.PQexecParams(self.conn, sql.encode(), len(params), None, values, None, None, 0)
        try:
            if lib.PQresultStatus(res) not in (1, 2):
                raise RuntimeError("query failed")
            rows, fields = lib.PQntuples(res), lib.PQnfields(res)
            # One foreign call a value: libpq gives "" for NULL, so only "" is asked about.
            getvalue, isnull = lib.PQgetvalue, lib.PQgetisnull
            out = []
            for r in range(rows):
                row = []
                for c in range(fields):
                    value = getvalue(res, r, c)
                    row.append(None if not value and isnull(res, r, c) else value.decode())
                out.append(tuple(row))
            return out
        finally:
            lib.PQclear(res)

    def close(self):
        self.lib.PQfinish(self.conn)


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
            admin = Libpq(args.pg)
            admin.query(f"CREATE SCHEMA {schema}")
            url = args.pg + ("&" if "?" in args.pg else "?") + f"options=-csearch_path%3D{schema}"
            try:
                client = bench_writer_vs_fresh("postgresql", seeded, url, args.receipts)
                pg = Libpq(url)
                # As autovacuum would soon: without statistics the planner guesses 15 times
                # the rows of a trace and may start a parallel worker for the wide rows.
                pg.query("ANALYZE qm_receipts")
                if has_view(lambda: pg.query("SELECT rid FROM receipts LIMIT 1")):
                    def server_ms(q, t):
                        plan = pg.query("EXPLAIN (ANALYZE, TIMING OFF) " + q.format("$1"), t)
                        line = next(r[0] for r in plan if r[0].startswith("Execution Time:"))
                        return float(line.split()[2])

                    bench_view("postgresql", client, lambda q, t: pg.query(q.format("$1"), t),
                               args.receipts, server_ms)
                else:
                    print("postgresql: no receipts view in this build")
                pg.close()
                del client
            finally:
                admin.query(f"DROP SCHEMA {schema} CASCADE")
                admin.close()
        else:
            print("postgresql: not measured (give --pg or set QM_BENCH_PG_URL)")
    print("load:", subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip())


if __name__ == "__main__":
    main()
