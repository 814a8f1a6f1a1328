"""Quick start for the quillmere native core.

Records a small three-step pipeline as execution receipts (each step linked to the one
before it), stores them in a temporary directory, lists them back by trace, verifies each,
shows that a tampered copy fails verification, computes shape hashes and prints a short
report. Exits with status 1 if any check does not come out as expected.

Run it with scripts/quickstart.sh, or with the extension on PYTHONPATH:
    PYTHONPATH=build/release/src/python python3 examples/quickstart.py
"""

import json
import sys
import tempfile

import _quillmere
from _quillmere import receipts

TRACE = "trace:quickstart-demo"
PIPELINE = [
    ("extract-orders", {"source": "orders.csv", "rows": 1200}),
    ("normalize-prices", {"currency": "EUR", "rounding": 2}),
    ("aggregate-revenue", {"group_by": ["region", "month"], "metric": "sum"}),
]

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
    return condition


def short(text, keep=19):
    return text if len(text) <= keep else text[:keep] + "..."


def links_of(receipt):
    return json.loads(receipt.to_json())["links"]


def tampered_copy(receipt):
    """The same receipt with one byte of its domain commitment changed, hash left as it was."""
    document = json.loads(receipt.to_json())
    last = document["dom"][-1]
    document["dom"] = document["dom"][:-1] + ("0" if last != "0" else "1")
    return receipts.receipt_from_json_py(json.dumps(document))


def record_pipeline(client):
    recorded, parent = [], None
    for workload, payload in PIPELINE:
        receipt = client.record_work(workload, payload, tags=["quickstart"], trace_id=TRACE,
                                     parent_id=parent)
        client.store_receipt(receipt)
        recorded.append((workload, receipt))
        parent = receipt.get_rid()
    # A receipt on another trace, which listing by trace must leave out.
    client.store_receipt(client.record_work("unrelated-job", {"x": 1}, trace_id="trace:other"))
    return recorded


def report_recording(storage, recorded):
    print(f"Recorded {len(recorded)} units of work on {TRACE}, each linked to the one before:")
    names = {r.get_rid(): workload for workload, r in recorded}
    for step, (workload, receipt) in enumerate(recorded, 1):
        links = links_of(receipt)
        parent = names.get(links[0], "?") if links else "-"
        expected_parent = recorded[step - 2][0] if step > 1 else "-"
        check(parent == expected_parent, f"{workload}: parent link")
        print(f"  {step}. {workload:<18} rid {short(receipt.get_rid(), 8)}  "
              f"hash {short(receipt.get_hash())}  parent {parent}")
    print(f"Stored under {storage}/receipts")


def report_listing(client, recorded):
    listed = client.list_receipts(trace_id=TRACE)
    everything = client.list_receipts()
    wanted = sorted(r.get_rid() for _, r in recorded)
    check(sorted(r.get_rid() for r in listed) == wanted, "listing by trace")
    print(f"Listing by trace: {len(listed)} of {len(everything)} stored receipts "
          f"(the unrelated one is left out)")
    return listed


def report_verification(client, listed, recorded):
    print("Verification:")
    names = {r.get_rid(): workload for workload, r in recorded}
    for receipt in sorted(listed, key=lambda r: list(names).index(r.get_rid())):
        verdict = client.verify_receipt(receipt)
        check(verdict is True, f"verify {names[receipt.get_rid()]}")
        print(f"  {names[receipt.get_rid()]:<48} {'valid' if verdict else 'INVALID'}")
    workload, original = recorded[1]
    verdict = _quillmere.verify_receipt_py(tampered_copy(original))
    check(verdict is False, "tampered copy must not verify")
    print(f"  {'tampered copy of ' + workload + ' (dom changed)':<48} "
          f"{'valid (unexpected!)' if verdict else 'rejected, as it should be'}")


def report_shapes():
    shapes = getattr(_quillmere, "shapes", None)
    if shapes is None or not hasattr(shapes, "compute_data_shape_hash_from_bytes_py"):
        print("Shape hashes: not available in this build")
        return
    data = bytes(range(256)) * 4096  # 1 MiB of sample bytes
    cdc = shapes.compute_data_shape_hash_from_bytes_py(data)
    fixed = shapes.compute_data_shape_hash_from_bytes_py(data, {"type": "fixed", "size": 4096})
    again = shapes.compute_data_shape_hash_from_bytes_py(bytes(data))
    check(cdc == again, "data shape hash is deterministic")
    method = shapes.compute_method_shape_hash_from_signature_py(
        "normalize_prices", ["Table", "str"], "Table")
    print("Shape hashes:")
    print(f"  data shape of 1 MiB (content-defined chunks)  {short(cdc, 30)}")
    print(f"  data shape of 1 MiB (fixed 4 KiB chunks)      {short(fixed, 30)}")
    print(f"  method shape of normalize_prices(Table, str)  {short(method, 30)}")


def main():
    print("quillmere quick start\n")
    with tempfile.TemporaryDirectory(prefix="quillmere-quickstart-") as storage:
        client = _quillmere.Client(storage_path=storage)
        recorded = record_pipeline(client)
        report_recording(storage, recorded)
        print()
        listed = report_listing(client, recorded)
        print()
        report_verification(client, listed, recorded)
    print()
    report_shapes()
    print()
    if failures:
        print("FAILED: " + "; ".join(failures))
        return 1
    print("All checks passed.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
