"""Quick start for quillmere.

Runs a two-step pipeline on files with `trace` and `step` (each step's receipt commits to the
files it read and wrote, and links to the step that wrote its input), stores the receipts,
checks the chain, then runs the pipeline again on changed data: one step is reused (its
block skipped), the other recomputed, and each says why. Then lists the receipts by trace,
verifies each, shows that a tampered copy fails verification, computes shape hashes and
answers the reuse question for two versions of a file. Exits with status 1 if any check does
not come out as expected.

    scripts/quickstart.sh                      # builds the extension, then runs this
    PYTHONPATH=build/release/src/python:python /usr/bin/python3 examples/quickstart.py [STORE]

The receipts stay in STORE (default: a new temporary directory), so that the command line
can look at them afterwards, for example `quillmere dag --store STORE`.
"""

from __future__ import annotations

import asyncio
import json
import os
import sys
import tempfile
from typing import Any, Dict, List, Tuple

import quillmere as qm
from quillmere import aio

TRACE = "trace:quickstart-day-1"
TRACE_2 = "trace:quickstart-day-2"
# Costs of the steps, e.g. in seconds: finding a reusable result costs 1, recomputing 100,
# and reuse saves 90% of it. Reuse when J > 1 / (0.9 * 100).
MODEL = {"c_id": 1, "c_comp": 100, "alpha": 0.9}

failures: List[str] = []


def check(condition: bool, what: str) -> bool:
    if not condition:
        failures.append(what)
    return condition


def short(text: str, keep: int = 19) -> str:
    return text if len(text) <= keep else text[:keep] + "..."


def tampered_copy(receipt: qm.Receipt) -> qm.Receipt:
    """The same receipt with one character of its domain commitment changed, hash left as it was."""
    document = receipt.to_dict()
    last = document["dom"][-1]
    document["dom"] = document["dom"][:-1] + ("0" if last != "0" else "1")
    return qm.receipt_from_json(json.dumps(document))


def write_orders(directory: str, rows: int) -> None:
    with open(os.path.join(directory, "orders.csv"), "w") as f:
        f.write("id,region,amount\n")
        f.writelines(f"{i},region-{i % 7},{(i * 37) % 500}.{i % 100:02d}\n" for i in range(rows))


def write_rates(directory: str, factor: float) -> None:
    with open(os.path.join(directory, "rates.csv"), "w") as f:
        f.write("region,rate\n")
        f.writelines(f"region-{r},{factor * (1 + r / 10):.4f}\n" for r in range(7))


def clean_orders(src: str, dst: str) -> None:
    """Drops the orders of amount zero."""
    with open(src) as f, open(dst, "w") as out:
        out.writelines(line for line in f if not line.rstrip().endswith(",0.00"))


def revenue_by_region(orders: str, rates: str, dst: str) -> None:
    with open(rates) as f:
        rate = {region: float(value) for region, value in (line.strip().split(",") for line in list(f)[1:])}
    totals: Dict[str, float] = {}
    with open(orders) as f:
        for line in list(f)[1:]:
            _, region, amount = line.strip().split(",")
            totals[region] = totals.get(region, 0.0) + float(amount) * rate[region]
    with open(dst, "w") as out:
        out.writelines(f"{region},{total:.2f}\n" for region, total in sorted(totals.items()))


def run_pipeline(client: qm.Client, data: str, trace_id: str) -> List[Tuple[str, qm.StepHandle]]:
    """Two steps on files. Each step hashes its inputs on entry and its output when its block
    completes; with `reuse=MODEL` it first asks the store for an earlier run of the same
    method on overlapping data and skips its work when the rule says reuse."""
    orders, rates = os.path.join(data, "orders.csv"), os.path.join(data, "rates.csv")
    clean, revenue = os.path.join(data, "clean.csv"), os.path.join(data, "revenue.csv")
    with qm.trace(trace_id, client=client):
        with qm.step("clean-orders", inputs=orders, outputs=clean, reuse=MODEL) as first:
            if not first.reused:
                clean_orders(orders, clean)
        with qm.step("revenue-by-region", inputs=[clean, rates], outputs=revenue, reuse=MODEL) as second:
            if not second.reused:
                revenue_by_region(clean, rates, revenue)
    return [("clean-orders", first), ("revenue-by-region", second)]


def report_run(client: qm.Client, trace_id: str, steps: List[Tuple[str, qm.StepHandle]]) -> None:
    print(f"{trace_id}:")
    for workload, handle in steps:
        receipt = handle.receipt
        check(receipt is not None, f"{workload}: sealed")
        if receipt is None:
            continue
        print(f"  {workload:<18} rid {short(receipt.rid, 8)}  cod {short(receipt.cod)}  "
              f"{'REUSED' if handle.reused else 'computed'}")
        print(f"    why: {handle.why}")
    _, second = steps[1]
    check(second.receipt is not None and second.receipt.parent_ids == (steps[0][1].rid,),
          "revenue-by-region links to the step that wrote clean.csv")
    report = qm.verify_trace(client, trace_id)
    check(report.ok, f"chain of {trace_id}: {[f.text for f in report.faults]}")
    print(f"  chain check: {'ok' if report.ok else 'FAULTS'}, {len(report.receipts)} receipts; "
          f"from outside the trace: {', '.join(sorted({os.path.basename(e.locator or '?') for e in report.external}))}")


def run_twice(client: qm.Client, data: str) -> None:
    write_orders(data, 60_000)
    write_rates(data, 1.0)
    day_1 = run_pipeline(client, data, TRACE)
    report_run(client, TRACE, day_1)
    check(not any(h.reused for _, h in day_1), "day 1 computes everything")
    # Day 2: 50 more orders (most of the data is the same), and all-new exchange rates.
    with open(os.path.join(data, "orders.csv"), "a") as f:
        f.writelines(f"{i},region-{i % 7},{i % 90}.50\n" for i in range(60_000, 60_050))
    write_rates(data, 1.1)
    day_2 = run_pipeline(client, data, TRACE_2)
    report_run(client, TRACE_2, day_2)
    check(bool(day_2[0][1].reused) and not day_2[1][1].reused,
          "day 2 reuses clean-orders and recomputes revenue-by-region")
    reused = day_2[0][1]
    check(reused.receipt is not None and reused.reused is not None
          and reused.receipt.payload.get("prev_execution_rid") == day_1[0][1].rid,
          "the reusing receipt names the reused one")


def report_listing(client: qm.Client, recorded: List[Tuple[str, qm.Receipt]]) -> List[qm.Receipt]:
    client.store_receipt(qm.record_work("unrelated-job", {"x": 1}, trace_id="trace:other"))
    listed = client.list_receipts(trace_id=TRACE)
    everything = client.list_receipts()
    check(sorted(r.get_rid() for r in listed) == sorted(r.get_rid() for _, r in recorded), "listing by trace")
    print(f"Listing by trace: {len(listed)} of {len(everything)} stored receipts "
          f"(the other day's and the unrelated one are left out)")
    return listed


def report_verification(listed: List[qm.Receipt], recorded: List[Tuple[str, qm.Receipt]]) -> None:
    print("Verification (the receipts verified at once with quillmere.aio):")
    names = [workload for workload, _ in recorded]
    by_name = {r.get_rid(): w for w, r in recorded}
    ordered = sorted(listed, key=lambda r: names.index(by_name[r.get_rid()]))
    workload, original = recorded[1]

    async def verify_all() -> List[bool]:
        return list(await asyncio.gather(*(aio.verify_receipt(r) for r in ordered + [tampered_copy(original)])))

    verdicts = asyncio.run(verify_all())
    for receipt, verdict in zip(ordered, verdicts):
        check(verdict is True, f"verify {by_name[receipt.get_rid()]}")
        print(f"  {by_name[receipt.get_rid()]:<48} {'valid' if verdict else 'INVALID'}")
    check(verdicts[-1] is False, "tampered copy must not verify")
    print(f"  {'tampered copy of ' + workload + ' (dom changed)':<48} "
          f"{'valid (unexpected!)' if verdicts[-1] else 'rejected, as it should be'}")


def report_shapes(directory: str) -> None:
    yesterday = b"".join(b"%d,region-%d,%d.%02d\n" % (i, i % 7, i % 500, i % 100) for i in range(60_000))
    today = yesterday[:400_000] + b"99999,region-3,12.50\n" + yesterday[400_000:]
    paths = []
    for name, data in (("orders-yesterday.csv", yesterday), ("orders-today.csv", today)):
        paths.append(os.path.join(directory, name))
        with open(paths[-1], "wb") as f:
            f.write(data)
    scheme = "cdc:4096"
    from_bytes = qm.data_shape_hash(today, scheme)
    with open(paths[1], "rb") as f:
        from_stream = qm.data_shape_hash(f, scheme)  # read in blocks
    check(from_bytes == from_stream == qm.shape_files(paths, scheme)[1], "same hash from bytes, stream and path")
    method = qm.signature_shape_hash("normalize_prices", ["Table", "str"], "Table")
    print("Shape hashes:")
    print(f"  data shape of today's orders ({len(today)} bytes)  {short(from_bytes, 30)}")
    print(f"  method shape of normalize_prices(Table, str)  {short(method, 30)}")

    old, new = qm.manifest(paths[0], scheme), qm.manifest(paths[1], scheme)
    overlap = qm.jaccard(old, new)
    model = {"c_id": 10, "c_comp": {"type": "linear", "per_row": 0.5, "base": 20}, "alpha": 0.8}
    decision = qm.decide_reuse(overlap, model, row_count=60_000)
    check(0.5 < overlap < 1.0 and decision["decision"] == "reuse", "one inserted row leaves most chunks shared")
    print(f"Reuse: {len(old)} and {len(new)} chunks, overlap {overlap:.3f}, decision {decision['decision']}, "
          f"saving {qm.economic_delta(overlap, model, row_count=60_000):.0f}")


def main() -> int:
    store = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="quillmere-quickstart-")
    print(f"quillmere {qm.__version__} quick start\n")
    client = qm.Client(store)
    with tempfile.TemporaryDirectory(prefix="quillmere-data-") as data:
        run_twice(client, data)
    print()
    recorded = [(r.workload_id or "?", r) for r in client.list_receipts(trace_id=TRACE)]
    listed = report_listing(client, recorded)
    print()
    report_verification(listed, recorded)
    print()
    with tempfile.TemporaryDirectory(prefix="quillmere-shapes-") as directory:
        report_shapes(directory)
    print()
    if failures:
        print("FAILED: " + "; ".join(failures))
        return 1
    print("All checks passed. The pipeline as a graph:")
    print(f"  quillmere dag --store {store} --trace {TRACE}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
