"""quillmere.Receipt: fields read back from what was recorded, equality by canonical content,
and the view and the native receipt accepted alike wherever a receipt goes."""

import json
import pickle
import re

import pytest

import _quillmere
import quillmere as qm
from conftest import load_vectors

VECTORS = {v["name"]: v for v in load_vectors("receipts.json")}


def test_fields_read_back_what_was_recorded(tmp_path):
    parent = qm.record_work("extract", {})
    receipt = qm.record_work("normalize-prices", {"rows": 3}, trace_id="t-1", parent_id=parent.rid.upper())
    assert (receipt.kind, receipt.workload_id, receipt.trace_id) == ("execution", "normalize-prices", "t-1")
    assert receipt.get_workload_id() == "normalize-prices" and receipt.get_kind() == "Execution"
    assert receipt.parent_ids == receipt.links == (parent.rid,) and parent.parent_ids == ()
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?\+00:00", receipt.timestamp)
    assert receipt.sig is None and receipt.hash == receipt.compute_hash()
    # The payload holds hashes of what was given, never the given payload.
    assert "rows" not in json.dumps(receipt.payload) and receipt.payload["trace_id"] == "t-1"
    document = receipt.to_dict()
    assert document == json.loads(receipt.to_json())
    document["payload"]["trace_id"] = "changed"
    assert receipt.payload["trace_id"] == "t-1"  # copies, not the view's own state
    stored = qm.Client(tmp_path)
    stored.store_receipt(receipt)
    assert stored.list_receipts() == [receipt] and isinstance(stored.list_receipts()[0], qm.Receipt)


@pytest.mark.parametrize("name, kind, workload, trace", [
    ("data_shape_min", "data_shape", None, None),
    ("method_shape", "method_shape", None, None),
    ("spend", "spend", None, None),
    ("execution_full", "execution", "m", "t"),
])
def test_known_receipts_of_every_kind(name, kind, workload, trace):
    vector = VECTORS[name]
    receipt = qm.receipt_from_json(vector["input_json"])
    expected = json.loads(vector["to_json"])
    assert (receipt.kind, receipt.rid, receipt.hash) == (kind, expected["rid"], expected["hash"])
    assert receipt.workload_id == (expected["payload"].get("method_ref") or {}).get("method_id") == workload
    assert receipt.trace_id == trace
    assert receipt.timestamp == expected["ctx"]["timestamp"] and receipt.links == tuple(expected["links"])
    assert receipt.to_dict() == expected and receipt.to_json() == vector["to_json"]


def test_equality_is_by_canonical_content_and_signature():
    receipt = qm.record_work("w", {"a": 1}, trace_id="t")
    again = qm.receipt_from_json(receipt.to_json())
    assert receipt == again and receipt == receipt.native and hash(receipt) == hash(again)
    assert len({receipt, again, qm.receipt_from_json(receipt.to_json())}) == 1
    assert receipt != qm.record_work("w", {"a": 1}, trace_id="t")  # new rid and time
    document = receipt.to_dict()
    signed = qm.receipt_from_json(json.dumps(dict(document, sig={"alg": "ed25519", "kid": "k", "sig": "s"})))
    assert signed.hash == receipt.hash and signed.compute_hash() == receipt.compute_hash()
    assert signed != receipt and signed.sig == {"alg": "ed25519", "kid": "k", "sig": "s"}
    tampered = qm.receipt_from_json(json.dumps(dict(document, nonce="x", links=[receipt.rid])))
    assert tampered != receipt and (receipt == "not a receipt") is False


def test_repr_pickle_and_native_interchange():
    receipt = qm.record_work("normalize-prices", {}, trace_id="nightly")
    text = repr(receipt)
    assert text.startswith("<Receipt execution ") and receipt.rid in text
    assert "workload='normalize-prices'" in text and "trace='nightly'" in text
    long = qm.record_work("x" * 10_000, {})
    assert len(repr(long)) < 300
    assert pickle.loads(pickle.dumps(receipt)) == receipt
    # The view goes wherever a native receipt does, through the package or by `.native`.
    native = _quillmere.record_work_py("w", {})
    assert qm.verify_receipt(native) and qm.verify_receipt(receipt)
    assert _quillmere.verify_receipt_py(receipt.native) and qm.Client().verify_receipt(native)
    with pytest.raises(TypeError, match="receipt_from_json"):
        qm.Receipt(receipt.to_json())  # type: ignore[arg-type]
