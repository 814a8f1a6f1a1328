"""Benchmarks of the Python entry points, each against a reference measured in the same run.

    PYTHONPATH=build/release/src/python /usr/bin/python3 bench/python_bench.py [--receipts N]

Prints, for each entry: the time per call, the reference's time per call and their ratio,
with the target the ratio is meant to meet. Times are the best of several rounds, so that
other load on a shared machine disturbs them less.
"""

import argparse
import json
import os
import tempfile
import time

import _quillmere
from _quillmere import receipts

SMALL_PAYLOAD = {"input": "data", "rows": 1200, "columns": ["id", "price", "currency"]}


def best_per_call(function, calls, rounds=5):
    """Best time per call, in seconds, over `rounds` rounds of `calls` calls."""
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            function()
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def show(name, ours, reference_name, reference, target):
    ratio = ours / reference
    print(f"{name}\n  {ours * 1e6:10.2f} us/call   {reference_name}: {reference * 1e6:10.2f} us/call"
          f"   ratio {ratio:5.2f}   (target: {target})")
    return ratio


def bench_record():
    ours = best_per_call(lambda: receipts.record_work_py("bench", SMALL_PAYLOAD), 20000)
    reference = best_per_call(lambda: json.dumps(SMALL_PAYLOAD), 20000)
    show("record_work_py, small payload", ours, "json.dumps of the payload", reference,
         "<= 2.00")


def bench_verify():
    receipt = receipts.record_work_py("bench", SMALL_PAYLOAD)
    ours = best_per_call(lambda: receipts.verify_receipt_py(receipt), 20000)
    print(f"verify_receipt_py\n  {ours * 1e6:10.2f} us/call   {1 / ours:12,.0f} calls/s")


def bench_from_json():
    text = receipts.record_work_py("bench", SMALL_PAYLOAD, trace_id="t").to_json()
    ours = best_per_call(lambda: receipts.receipt_from_json_py(text), 20000)
    reference = best_per_call(lambda: json.loads(text), 20000)
    show(f"receipt_from_json_py, {len(text)}-byte receipt", ours, "json.loads of the text",
         reference, "<= 1.00")


def python_scan(directory, trace_id):
    """What list_receipts(trace_id=...) does, written in plain Python."""
    found = []
    for entry in os.scandir(directory):
        name = entry.name
        dot = name.rfind(".")
        if dot <= 0 or name[dot + 1:] != "json":
            continue
        with open(entry.path, encoding="utf-8") as f:
            document = json.loads(f.read())
        if document.get("kind") == "execution" and document["payload"]["trace_id"] == trace_id:
            found.append(document)
    return found


def bench_listing(count):
    with tempfile.TemporaryDirectory(prefix="quillmere-bench-") as base:
        client = _quillmere.Client(storage_path=base)
        directory = os.path.join(base, "receipts")
        # Written straight to files (the content store_receipt writes), so that setting up
        # does not wait for one sync to disk per receipt.
        for i in range(count):
            r = receipts.record_work_py(f"job-{i % 7}", {"i": i}, trace_id=f"trace-{i % 10}")
            with open(os.path.join(directory, r.get_rid() + ".json"), "w") as f:
                f.write(r.to_json())
        expected = len(python_scan(directory, "trace-3"))
        assert len(client.list_receipts(trace_id="trace-3")) == expected
        ours = best_per_call(lambda: client.list_receipts(trace_id="trace-3"), 1, rounds=5)
        reference = best_per_call(lambda: python_scan(directory, "trace-3"), 1, rounds=5)
        ratio = show(f"Client.list_receipts(trace_id=...) over {count:,} receipts ({expected} match)",
                     ours, "os.scandir + json.loads + filter", reference, "speed-up >= 3.00")
        print(f"  speed-up {1 / ratio:5.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--receipts", type=int, default=10000,
                        help="receipts in the store for the listing benchmark")
    args = parser.parse_args()
    bench_record()
    bench_verify()
    bench_from_json()
    bench_listing(args.receipts)


if __name__ == "__main__":
    main()
