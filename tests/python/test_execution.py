"""Execution receipts that commit to their data: the commitments against values computed
here independently (hashlib, json), and every receipt verifying."""

import base64
import hashlib
import json

import pytest

import quillmere as qm
from conftest import receipts


def b64(raw: bytes) -> str:
    return base64.urlsafe_b64encode(raw).rstrip(b"=").decode()


def sha(text) -> str:
    return "sha256:" + hashlib.sha256(text.encode() if isinstance(text, str) else text).hexdigest()


def payload_of(receipt) -> dict:
    return json.loads(receipt.to_json())["payload"]


DATA_A = b"id,v\n" + b"".join(b"%d,%d\n" % (i, i * i) for i in range(5000))
DATA_B = bytes(range(256)) * 300


@pytest.fixture(scope="module")
def manifests():
    return qm.manifest(DATA_A, "cdc:1024"), qm.manifest(DATA_B, "cdc:1024")


def test_one_manifest_input_commits_to_its_shape_root_and_stored_form(manifests):
    m, out = manifests
    method = qm.method_shape_hash("ab" * 32, {"k": 1})
    r = qm.record_execution("train", {"lr": 0.1}, inputs=[m], output=out, output_mime_type="text/csv", method_shape=method)
    assert qm.verify_receipt(r) is True
    body = json.loads(r.to_json())
    p = body["payload"]
    assert body["dom"] == p["data_shape_hash"] == m.shape_hash
    assert body["cod"] == p["output_digest"] == out.shape_hash
    assert p["method_ref"]["method_shape_root"] == method
    assert p["merkle_root"] == b64(bytes.fromhex(m.root[7:]))
    assert p["manifest_root"] == b64(bytes.fromhex(out.root[7:]))
    form = m.to_bytes()
    assert p["chunk_manifest_hash"] == b64(hashlib.sha256(form).digest())
    assert p["chunk_manifest_size_bytes"] == len(form)
    assert p["output_size_bytes"] == len(DATA_B) and p["output_mime_type"] == "text/csv"
    # The payload stays the one span commitment, as record_work has it.
    assert p["span_commitments"] == [sha('{"lr":0.1}')]
    # No sketch given: the chunk-level sketch of the input.
    assert bytes(p["minhash_signature"]) == b"".join(v.to_bytes(4, "little") for v in qm.Sketch.from_manifest(m).signature)
    assert p["hll_cardinality"] == qm.Sketch.from_manifest(m).cardinality
    assert abs(p["hll_cardinality"] - len(set(m.chunk_ids()))) <= 2


def test_several_inputs_combine_in_order(manifests):
    m, n = manifests
    r = qm.record_execution("join", inputs=[m, n])
    swapped = qm.record_execution("join", inputs=[n, m])
    expected = sha(json.dumps({"inputs": [m.shape_hash, n.shape_hash], "kind": "inputs"}, separators=(",", ":"), sort_keys=True))
    assert r.get_dom() == expected != swapped.get_dom()
    p = payload_of(r)
    roots = bytes.fromhex(m.root[7:]) + bytes.fromhex(n.root[7:])
    assert p["merkle_root"] == b64(hashlib.sha256(b"\x02" + roots).digest())
    forms = [x.to_bytes() for x in (m, n)]
    framed = b"".join(len(f).to_bytes(8, "big") + f for f in forms)
    assert p["chunk_manifest_hash"] == b64(hashlib.sha256(framed).digest())
    assert p["chunk_manifest_size_bytes"] == sum(map(len, forms))
    merged = qm.Sketch.from_manifest(m).merge(qm.Sketch.from_manifest(n))
    assert bytes(p["minhash_signature"]) == b"".join(v.to_bytes(4, "little") for v in merged.signature)
    # A shape hash alone carries no root, stored form or sketch.
    q = payload_of(qm.record_execution("join", inputs=[m, n.shape_hash]))
    assert {"merkle_root", "chunk_manifest_hash", "minhash_signature", "hll_cardinality"}.isdisjoint(q)


@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"inputs": [b""]},  # an empty input: no chunk, so no sketch (never hll_cardinality 0)
        {"inputs": [sha("x")], "output": sha("y"), "output_size": 0},
        {"sketch": "empty-sketch"},
        {"inputs": [DATA_A], "sketch": "records", "output": b"", "output_mime_type": ""},
        {"parent_ids": ["{12345678-1234-1234-1234-1234567890AB}"], "prev_execution_rid": "00000000000000000000000000000001"},
        {"input_locator_refs": [{"encrypted_data": b"\x00\xff", "content_hash": sha("a"), "encryption_scheme": "plain"}],
         "output_locator_ref": {"encrypted_data": b"", "content_hash": "", "encryption_scheme": "x"}},
    ],
    ids=["bare", "empty-input", "hashes-only", "empty-sketch", "records", "links", "locators"],
)
def test_every_receipt_verifies_and_round_trips(kwargs):
    if kwargs.get("sketch") == "empty-sketch":
        kwargs = {"sketch": qm.sketch(b"", "lines")}
    elif kwargs.get("sketch") == "records":
        kwargs = dict(kwargs, sketch=[qm.sketch(DATA_A, "csv"), qm.sketch(b"1,2\n", "csv")])
    r = qm.record_execution("w", {"a": [1, 2.5]}, **kwargs)
    assert qm.verify_receipt(r) is True
    r.validate()
    again = receipts.receipt_from_json_py(r.to_json())
    assert again.to_json() == r.to_json() and receipts.verify_receipt_py(again)
    p = payload_of(r)
    assert p.get("hll_cardinality", 1) > 0
    if "minhash_signature" in p:
        assert len(p["minhash_signature"]) == 1024 and p["hll_cardinality"] >= 1


def test_without_inputs_the_commitments_are_record_works():
    r = qm.record_execution("w", {"b": 1, "a": 2})
    w = qm.record_work("w", {"a": 2, "b": 1})
    assert (r.get_dom(), r.get_cod()) == (w.get_dom(), w.get_cod())
    assert payload_of(r)["method_ref"] == payload_of(w)["method_ref"]
    links = json.loads(qm.record_execution("w", parent_ids=[w.get_rid()], prev_execution_rid=w.get_rid()).to_json())
    assert links["links"] == [w.get_rid()] and links["payload"]["prev_execution_rid"] == w.get_rid()


def test_trace_and_parent_come_from_the_enclosing_step():
    with qm.trace("t") as t:
        with qm.step("first"):
            pass
        r = qm.record_execution("second")
    body = json.loads(r.to_json())
    assert body["payload"]["trace_id"] == t
    assert len(body["links"]) == 1 and body["payload"]["prev_execution_rid"] == body["links"][0]


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"inputs": ["sha256:" + "A" * 64]}, ValueError, "inputs[0] must be a Manifest or a data shape hash"),
        ({"inputs": [42]}, TypeError, "argument 'inputs[0]'"),
        ({"inputs": "sha256:"}, TypeError, "argument 'inputs'"),
        ({"output": "not a hash"}, ValueError, "output must be a Manifest"),
        ({"method_shape": "sha256:xyz"}, ValueError, "method_shape must be a method shape hash"),
        ({"parent_ids": ["nope"]}, ValueError, "parent_ids[0] is not a receipt id"),
        ({"prev_execution_rid": "nope"}, ValueError, "prev_execution_rid is not a receipt id"),
        ({"sketch": [b"x"]}, TypeError, "argument 'sketch'"),
        ({"input_locator_refs": [{"content_hash": "", "encryption_scheme": ""}]}, ValueError, "has no 'encrypted_data'"),
        ({"output_size": -1}, OverflowError, ""),
    ],
)
def test_bad_arguments_are_refused_with_their_name(kwargs, error, text):
    with pytest.raises(error, match=None) as raised:
        receipts.record_execution_py("w", None, **kwargs)
    assert text in str(raised.value)


def test_sketches_of_different_kinds_are_not_merged():
    with pytest.raises(ValueError, match="cannot compare a sketch of lines with one of csv"):
        qm.record_execution("w", sketch=[qm.sketch(b"a\n", "lines"), qm.sketch(b"h\na\n", "csv")])
