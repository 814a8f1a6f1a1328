"""PyReceipt and receipt_from_json_py: known receipts, getters, hashing, validation and the
failure table."""

import json
import re

import pytest

import _quillmere
from conftest import getters, load_vectors, receipts, reseal

PyReceipt = receipts.PyReceipt
RECEIPT_VECTORS = load_vectors("receipts.json")
KIND_NAMES = {
    "data_shape": "DataShape",
    "method_shape": "MethodShape",
    "reasoning_shape": "ReasoningShape",
    "execution": "Execution",
    "spend": "Spend",
    "settlement": "Settlement",
}
METHODS = ["validate", "compute_hash", "to_json", "get_rid", "get_kind", "get_version",
           "get_hash", "get_dom", "get_cod", "get_workload_id", "get_trace_id"]
DEFAULT_TRACE = "trace:00000000-0000-0000-0000-000000000001"
UUID_TEXT = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")


def by_name(vectors):
    return pytest.mark.parametrize("vector", vectors, ids=[v["name"] for v in vectors])


@by_name(RECEIPT_VECTORS)
def test_known_receipts_read_write_and_hash(vector):
    document = json.loads(vector["input_json"])
    r = receipts.receipt_from_json_py(vector["input_json"])
    assert r.to_json() == vector["to_json"]
    assert r.compute_hash() == vector["hash"]
    assert r.get_hash() == document["hash"]  # as read, never recomputed
    assert r.get_rid() == document["rid"].lower()
    assert r.get_kind() == KIND_NAMES[document["kind"]]
    assert (r.get_version(), r.get_dom(), r.get_cod()) == (
        document["version"], document["dom"], document["cod"])
    assert r.get_workload_id() is None
    expected_trace = document["payload"]["trace_id"] if document["kind"] == "execution" else None
    assert r.get_trace_id() == expected_trace


@by_name(RECEIPT_VECTORS)
def test_known_receipts_sealed_are_valid_and_verify(vector):
    r = receipts.receipt_from_json_py(vector["sealed_json"])
    assert r.get_hash() == vector["hash"]
    assert r.validate() is None
    assert receipts.verify_receipt_py(r) is True
    assert _quillmere.verify_receipt_py(r) is True


@by_name([v for v in RECEIPT_VECTORS if json.loads(v["input_json"])["hash"] != v["hash"]])
def test_known_receipts_with_stale_hash_fail(vector):
    stale = json.loads(vector["input_json"])["hash"]
    r = receipts.receipt_from_json_py(vector["input_json"])
    with pytest.raises(ValueError) as info:
        r.validate()
    assert str(info.value) == (
        f"Receipt validation failed: Hash mismatch: expected {stale}, computed {vector['hash']}")
    assert receipts.verify_receipt_py(r) is False


RECORD_VECTORS = load_vectors("record_work.json")
CLOCK_DEPENDENT = ("rid", "hash")


@pytest.mark.parametrize("vector", RECORD_VECTORS, ids=[str(i) for i in range(len(RECORD_VECTORS))])
def test_recording_matches_known_receipt_apart_from_identifier_and_time(vector):
    r = receipts.record_work_py(
        vector["workload_id"], json.loads(vector["payload_json"]),
        trace_id=vector["trace_id"], parent_id=vector["parent_id"])
    got = json.loads(r.to_json())
    want = json.loads(vector["receipt_json"])
    for document in (got, want):
        for key in CLOCK_DEPENDENT:
            document.pop(key)
        document["ctx"].pop("timestamp")
    assert got == want
    assert r.compute_hash() == r.get_hash()


def test_recorded_receipt_getters():
    r = receipts.record_work_py("normalize-prices", {"input": "data"}, trace_id="trace-a")
    assert r.get_kind() == "Execution"
    assert r.get_trace_id() == "trace-a"
    assert r.get_workload_id() is None
    assert r.compute_hash() == r.get_hash()
    assert UUID_TEXT.fullmatch(r.get_rid())
    assert r.get_version() == "0.1.0"
    assert receipts.record_work_py("w", {}).get_trace_id() == DEFAULT_TRACE


def test_json_round_trip_keeps_every_getter(recorded):
    again = receipts.receipt_from_json_py(recorded.to_json())
    assert again is not recorded
    assert getters(again) == getters(recorded)
    assert again.to_json() == recorded.to_json()


def test_replaced_hash_is_kept_but_detected(recorded):
    document = json.loads(recorded.to_json())
    document["hash"] = "sha256:" + "ab" * 32
    r = receipts.receipt_from_json_py(json.dumps(document))
    assert r.get_hash() == document["hash"]
    assert r.compute_hash() == recorded.get_hash()
    with pytest.raises(ValueError, match=r"^Receipt validation failed: Hash mismatch: expected "):
        r.validate()
    assert r.get_hash() == document["hash"]  # validating never rewrites the stored hash


def test_uppercase_hash_is_a_format_error_and_does_not_verify(recorded):
    document = json.loads(recorded.to_json())
    document["hash"] = document["hash"].upper().replace("SHA256", "sha256")
    r = receipts.receipt_from_json_py(json.dumps(document))
    with pytest.raises(ValueError) as info:
        r.validate()
    assert str(info.value) == (
        f"Receipt validation failed: Invalid hash format: {document['hash']}"
        " (must match ^sha256:[0-9a-f]{64}$)")
    assert receipts.verify_receipt_py(r) is False


@pytest.mark.parametrize(
    "change",
    [
        lambda d: d.update(dom="sha256:" + "1" * 64),
        lambda d: d.update(cod="sha256:" + "2" * 64),
        lambda d: d.update(version="0.1.1"),
        lambda d: d["ctx"].update(timestamp="2030-01-01T00:00:00Z"),
        lambda d: d["payload"].update(trace_id="other"),
        lambda d: d.update(links=["6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40"]),
    ],
    ids=["dom", "cod", "version", "timestamp", "trace_id", "links"],
)
def test_tampered_body_verifies_false(recorded, change):
    document = json.loads(recorded.to_json())
    change(document)
    tampered = receipts.receipt_from_json_py(json.dumps(document))
    assert receipts.verify_receipt_py(tampered) is False
    assert receipts.verify_receipt_py(recorded) is True


def test_signature_is_outside_the_hash(recorded):
    document = json.loads(recorded.to_json())
    document["sig"] = {"alg": "ed25519", "kid": "k1", "sig": "c2ln"}
    assert receipts.verify_receipt_py(receipts.receipt_from_json_py(json.dumps(document))) is True


def test_other_kinds_have_no_trace_id():
    for vector in RECEIPT_VECTORS:
        r = receipts.receipt_from_json_py(vector["sealed_json"])
        if r.get_kind() != "Execution":
            assert r.get_trace_id() is None


# --- failure table ---

def test_no_constructor():
    for args, kwargs in [((), {}), ((1,), {}), ((), {"rid": "x"})]:
        with pytest.raises(TypeError, match=r"^No constructor defined$"):
            PyReceipt(*args, **kwargs)


@pytest.mark.parametrize("method", METHODS)
def test_methods_take_no_arguments(recorded, method):
    with pytest.raises(TypeError):
        getattr(recorded, method)(1)
    with pytest.raises(TypeError):
        getattr(recorded, method)(x=1)


@pytest.mark.parametrize("method", METHODS)
def test_unbound_methods_refuse_other_objects(method):
    for other in (object(), "text", _quillmere.Client()):
        with pytest.raises(TypeError):
            getattr(PyReceipt, method)(other)


def test_receipt_has_no_writable_state(recorded):
    with pytest.raises(AttributeError):
        recorded.rid = "x"
    with pytest.raises(AttributeError):
        recorded.get_rid = lambda: "x"
    with pytest.raises((AttributeError, TypeError)):
        PyReceipt.get_rid = None


def test_receipts_compare_by_identity(recorded):
    twin = receipts.receipt_from_json_py(recorded.to_json())
    assert twin != recorded and twin == twin
    assert len({twin, recorded}) == 2


@pytest.mark.parametrize(
    "argument, message",
    [
        (b"{}", "argument 'json_str': 'bytes' object cannot be converted to 'PyString'"),
        (None, "argument 'json_str': 'NoneType' object cannot be converted to 'PyString'"),
        ({}, "argument 'json_str': 'dict' object cannot be converted to 'PyString'"),
    ],
)
def test_receipt_from_json_refuses_non_str(argument, message):
    with pytest.raises(TypeError) as info:
        receipts.receipt_from_json_py(argument)
    assert str(info.value) == message


@pytest.mark.parametrize("text", ["", "not json", "{", "{}", "[]", "null", '{"rid": 1}'])
def test_receipt_from_json_refuses_bad_documents(text):
    with pytest.raises(ValueError, match=r"^Failed to create receipt from JSON: JSON deser"):
        receipts.receipt_from_json_py(text)


def test_receipt_from_json_argument_forms(recorded):
    text = recorded.to_json()
    assert receipts.receipt_from_json_py(json_str=text).get_rid() == recorded.get_rid()
    with pytest.raises(TypeError, match="missing required argument 'json_str'"):
        receipts.receipt_from_json_py()
    with pytest.raises(TypeError, match="missing required argument 'json_str'"):
        receipts.receipt_from_json_py(text=text)
    with pytest.raises(TypeError, match=r"^receipt_from_json_py\(\) takes at most 1 keyword"):
        receipts.receipt_from_json_py(json_str=text, text=text)
    with pytest.raises(TypeError, match=r"at most 1 argument"):
        receipts.receipt_from_json_py(text, text)


def test_validation_failure_with_matching_hash_is_an_error(recorded):
    document = json.loads(recorded.to_json())
    document["version"] = "1"
    bad = reseal(document)
    with pytest.raises(ValueError) as info:
        bad.validate()
    assert str(info.value) == (
        "Receipt validation failed: Invalid value: Invalid version format: 1"
        " (expected semver-like format)")
