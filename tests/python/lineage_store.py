"""A small store for the report and export tests: a three-step trace (one workload name full of
markup), a receipt changed after sealing, and a spend receipt carrying a reuse decision."""

import json

from conftest import receipts, reseal

import quillmere as qm

MARKUP = 'normalize <b>"prices"</b> & <script>alert(1)</script>'
TAMPERED = "0e5d1c2b-0000-4000-8000-00000000abcd"
SPEND = "6f1c1b9e-8a43-4f55-9d2e-1e0c3a5b7d11"


def make_store(path):
    """Returns the three good execution receipts, in order."""
    client = qm.Client(str(path))
    made = []
    with qm.trace("etl", client=client):
        for name in ("extract-orders", MARKUP, "aggregate"):
            with qm.step(name, {"step": name}) as handle:
                pass
            made.append(handle.receipt)
    last = json.loads(made[-1].to_json())
    changed = json.loads(reseal(dict(last, rid=TAMPERED)).to_json())
    changed["ctx"]["nonce"] = "changed after sealing"  # the hash no longer matches
    client.store_receipt(receipts.receipt_from_json_py(json.dumps(changed)))
    empty = dict.fromkeys(["vcpu_sec", "gpu_sec", "gb_sec", "requests", "energy_kwh"])
    spend = dict(last, rid=SPEND, kind="spend", links=[made[-1].get_rid()], payload={
        "meter": dict(empty, vcpu_sec=2.0), "unit_prices": dict(empty, vcpu_sec=0.5), "currency": "EUR",
        "pricing_policy_ref": None, "total_value": 1.0, "pointers": {"trace_id": "etl", "span_ids": None},
        "justification": {"overlap_j": 0.93, "alpha": 0.8, "c_id": 10.0, "c_comp": 500.0, "decision": "reuse",
                          "layer": "data", "minhash_sketch": None}})
    client.store_receipt(reseal(spend))
    return made
