"""Quick start for quillmere.

Records a three-step pipeline as linked receipts with `trace` and `step`, stores them, lists
them back by trace, verifies each, shows that a tampered copy fails verification, computes
shape hashes, answers the reuse question for two versions of a file, and prints a short
report. Exits with status 1 if any check does not come out as expected.

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

TRACE = "trace:quickstart-demo"
PIPELINE: List[Tuple[str, Dict[str, Any]]] = [
    ("extract-orders", {"source": "orders.csv", "rows": 1200}),
    ("normalize-prices", {"currency": "EUR", "rounding": 2}),
    ("aggregate-revenue", {"group_by": ["region", "month"], "metric": "sum"}),
]

failures: List[str] = []


def check(condition: bool, what: str) -> bool:
    if not condition:
        failures.append(what)
    return condition


def short(text: str, keep: int = 19) -> str:
    return text if len(text) <= keep else text[:keep] + "..."


def links_of(receipt: qm.Receipt) -> List[str]:
    return list(receipt.parent_ids)


def tampered_copy(receipt: qm.Receipt) -> qm.Receipt:
    """The same receipt with one character of its domain commitment changed, hash left as it was."""
    document = receipt.to_dict()
    last = document["dom"][-1]
    document["dom"] = document["dom"][:-1] + ("0" if last != "0" else "1")
    return qm.receipt_from_json(json.dumps(document))


def run_pipeline(client: qm.Client) -> List[Tuple[str, qm.Receipt]]:
    """Each step records (and, through the trace's client, stores) a receipt linked to the
    step before it; no ids are passed by hand."""
    recorded = []
    with qm.trace(TRACE, client=client):
        for workload, payload in PIPELINE:
            with qm.step(workload, payload, tags=["quickstart"]) as receipt:
                recorded.append((workload, receipt))
    # A receipt on another trace, which listing by trace must leave out.
    client.store_receipt(qm.record_work("unrelated-job", {"x": 1}, trace_id="trace:other"))
    return recorded


def report_recording(store: str, recorded: List[Tuple[str, qm.Receipt]]) -> None:
    print(f"Recorded {len(recorded)} steps on {TRACE}, each linked to the one before:")
    names = {r.get_rid(): workload for workload, r in recorded}
    for number, (workload, receipt) in enumerate(recorded, 1):
        links = links_of(receipt)
        parent = names.get(links[0], "?") if links else "-"
        expected = recorded[number - 2][0] if number > 1 else "-"
        check(parent == expected, f"{workload}: parent link")
        print(f"  {number}. {workload:<18} rid {short(receipt.get_rid(), 8)}  "
              f"hash {short(receipt.get_hash())}  parent {parent}")
    print(f"Stored under {store}/receipts")


def report_listing(client: qm.Client, recorded: List[Tuple[str, qm.Receipt]]) -> List[qm.Receipt]:
    listed = client.list_receipts(trace_id=TRACE)
    everything = client.list_receipts()
    check(sorted(r.get_rid() for r in listed) == sorted(r.get_rid() for _, r in recorded), "listing by trace")
    print(f"Listing by trace: {len(listed)} of {len(everything)} stored receipts "
          f"(the unrelated one is left out)")
    return listed


def report_verification(listed: List[qm.Receipt], recorded: List[Tuple[str, qm.Receipt]]) -> None:
    print("Verification (four receipts verified at once with quillmere.aio):")
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
    recorded = run_pipeline(client)
    report_recording(store, recorded)
    print()
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
