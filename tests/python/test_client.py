"""Recording and verifying through the three entry points, every argument rule, and the
Client's store and list operations."""

import collections
import json
import os
import pathlib
import sys
import types
import uuid

import pytest

import _quillmere
from conftest import getters, load_vectors, receipts, reseal

Client = _quillmere.Client

RECORDERS = {
    "_quillmere.record_work_py": _quillmere.record_work_py,
    "receipts.record_work_py": receipts.record_work_py,
    "Client.record_work": Client().record_work,
    "storing Client.record_work": None,  # filled per test with a storage client
}
VERIFIERS = {
    "_quillmere.verify_receipt_py": _quillmere.verify_receipt_py,
    "receipts.verify_receipt_py": receipts.verify_receipt_py,
    "Client.verify_receipt": Client().verify_receipt,
}


@pytest.fixture(params=list(RECORDERS))
def record(request, tmp_path):
    return RECORDERS[request.param] or Client(storage_path=str(tmp_path)).record_work


@pytest.fixture(params=list(VERIFIERS))
def verify(request):
    return VERIFIERS[request.param]


def nested_dicts(levels):
    payload = {}
    for _ in range(levels - 1):
        payload = {"a": payload}
    return payload


def nested_lists(levels):
    inner = []
    for _ in range(levels - 2):
        inner = [inner]
    return {"a": inner}


# --- recording ---

def test_record_then_verify(record, verify):
    r = record("any-workload", {})
    assert r.get_kind() == "Execution"
    assert verify(r) is True


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("w", {"x": 1}), {"tags": ("a", "b")}),
        (("w", {"x": 1}), {"tags": []}),
        (("w", {"x": 1}), {"tags": None, "trace_id": None, "parent_id": None}),
        (("w", collections.OrderedDict(x=1)), {}),
        (("w", {"x": 1}, ["t"], "trace", "not-a-uuid"), {}),
        ((), {"workload_id": "w", "payload": {}, "tags": ["t"], "trace_id": "t",
              "parent_id": "6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40"}),
    ],
)
def test_accepted_argument_forms(record, args, kwargs):
    assert record(*args, **kwargs).get_kind() == "Execution"


def test_payload_nesting_limit(record):
    assert record("w", nested_dicts(127)).get_kind() == "Execution"
    assert record("w", nested_lists(127)).get_kind() == "Execution"
    for payload in (nested_dicts(128), nested_lists(128)):
        with pytest.raises(ValueError, match=r"^Failed to parse payload JSON: .* at line 1 column \d+$"):
            record("w", payload)


@pytest.mark.parametrize("value", [float("nan"), float("inf"), float("-inf")])
def test_non_finite_floats_do_not_parse(record, value):
    with pytest.raises(ValueError, match=r"^Failed to parse payload JSON: .* at line 1 column \d+$"):
        record("w", {"x": [1, value]})


def test_json_dumps_errors_pass_through(record):
    with pytest.raises(TypeError) as info:
        record("w", {"x": object()})
    assert str(info.value) == "Object of type object is not JSON serializable"
    cyclic = {}
    cyclic["self"] = [cyclic]
    with pytest.raises(ValueError, match="^Circular reference detected$"):
        record("w", cyclic)
    with pytest.raises(RecursionError):
        record("w", nested_lists(100_000))


class Marker(Exception):
    pass


def test_json_dumps_is_looked_up_at_each_call(record, monkeypatch):
    vector = load_vectors("record_work.json")[0]
    known_dom = json.loads(vector["receipt_json"])["dom"]
    assert record("w", json.loads(vector["payload_json"])).get_dom() == known_dom

    monkeypatch.setattr(json, "dumps", lambda obj: vector["payload_json"])
    assert record("w", {"something": "else"}).get_dom() == known_dom

    def refuse(obj):
        raise Marker("from dumps")

    monkeypatch.setattr(json, "dumps", refuse)
    with pytest.raises(Marker, match="^from dumps$"):
        record("w", {})

    monkeypatch.setattr(json, "dumps", lambda obj: b"{}")
    with pytest.raises(TypeError, match="json.dumps returned a 'bytes' object"):
        record("w", {})

    fake = types.ModuleType("json")
    fake.dumps = lambda obj: vector["payload_json"]
    monkeypatch.setitem(sys.modules, "json", fake)
    assert record("w", {"x": 1}).get_dom() == known_dom

    # A blocked module fails the way `import json` does.
    monkeypatch.setitem(sys.modules, "json", None)
    with pytest.raises(ModuleNotFoundError, match="import of json halted"):
        record("w", {})


def test_record_does_not_store(tmp_path):
    client = Client(storage_path=str(tmp_path))
    client.record_work("w", {})
    assert os.listdir(tmp_path / "receipts") == []
    assert client.list_receipts() == []


RECORD_FAILURES = [
    ((1, {}), {}, "argument 'workload_id': 'int' object cannot be converted to 'PyString'"),
    ((None, {}), {}, "argument 'workload_id': 'NoneType' object cannot be converted to 'PyString'"),
    (("w", []), {}, "argument 'payload': 'list' object cannot be converted to 'PyDict'"),
    (("w", None), {}, "argument 'payload': 'NoneType' object cannot be converted to 'PyDict'"),
    (("w", "{}"), {}, "argument 'payload': 'str' object cannot be converted to 'PyDict'"),
    # the type's own name, without the module that built-in types carry internally
    (("w", receipts.receipt_from_json_py(load_vectors("receipts.json")[0]["sealed_json"])), {},
     "argument 'payload': 'PyReceipt' object cannot be converted to 'PyDict'"),
    (("w", collections.deque()), {}, "argument 'payload': 'deque' object cannot be converted to 'PyDict'"),
    (("w", {}), {"tags": "etl"}, "argument 'tags': 'str' object cannot be converted to 'Sequence'"),
    (("w", {}), {"tags": {"a"}}, "argument 'tags': 'set' object cannot be converted to 'Sequence'"),
    (("w", {}), {"tags": {"a": 1}}, "argument 'tags': 'dict' object cannot be converted to 'Sequence'"),
    (("w", {}), {"tags": 3}, "argument 'tags': 'int' object cannot be converted to 'Sequence'"),
    (("w", {}), {"tags": ["a", 1]}, "argument 'tags': 'int' object cannot be converted to 'PyString'"),
    (("w", {}), {"tags": [b"a"]}, "argument 'tags': 'bytes' object cannot be converted to 'PyString'"),
    (("w", {}), {"tags": range(3)}, "argument 'tags': 'int' object cannot be converted to 'PyString'"),
    (("w", {}), {"trace_id": 5}, "argument 'trace_id': 'int' object cannot be converted to 'PyString'"),
    (("w", {}), {"parent_id": b"x"}, "argument 'parent_id': 'bytes' object cannot be converted to 'PyString'"),
    # the first failing argument in parameter order is the one reported
    ((1, []), {"tags": "x"}, "argument 'workload_id': 'int' object cannot be converted to 'PyString'"),
    (("w", []), {"trace_id": 1}, "argument 'payload': 'list' object cannot be converted to 'PyDict'"),
    # Python's own argument parsing
    ((), {}, "missing required argument 'workload_id' (pos 1)"),
    (("w",), {}, "missing required argument 'payload' (pos 2)"),
    (("w", {}), {"workload_id": "x"}, "given by name ('workload_id') and position (1)"),
    (("w", {}), {"bogus": 1}, "'bogus' is an invalid keyword argument for"),
    (("w", {}, None, None, None, None), {}, "at most 5 arguments (6 given)"),
]


@pytest.mark.parametrize("args, kwargs, message", RECORD_FAILURES)
def test_record_argument_failures(record, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        record(*args, **kwargs)
    text = str(info.value)
    assert text == message if message.startswith("argument '") else message in text


def test_lone_surrogate_text_keeps_its_own_error(record):
    with pytest.raises(UnicodeEncodeError):
        record("w\ud800", {})


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        (("not a receipt",), {}, TypeError,
         "argument 'receipt': 'str' object cannot be converted to 'PyReceipt'"),
        ((None,), {}, TypeError,
         "argument 'receipt': 'NoneType' object cannot be converted to 'PyReceipt'"),
        ((), {}, TypeError, "missing required argument 'receipt' (pos 1)"),
        ((), {"r": 1}, TypeError, "missing required argument 'receipt' (pos 1)"),
        ((1, 2), {}, TypeError, "at most 1 argument (2 given)"),
    ],
)
def test_verify_argument_failures(verify, args, kwargs, error, message):
    with pytest.raises(error) as info:
        verify(*args, **kwargs)
    assert message in str(info.value)


def test_verify_by_keyword_and_validation_error(verify, recorded):
    assert verify(receipt=recorded) is True
    document = json.loads(recorded.to_json())
    document["payload"]["span_commitments"] = []
    with pytest.raises(ValueError) as info:
        verify(reseal(document))
    assert str(info.value) == (
        "ValidationError: Invalid value: execution.span_commitments must not be empty")
    document["version"] = "1"
    with pytest.raises(ValueError, match=r"^ValidationError: Invalid value: Invalid version format: "):
        verify(reseal(document))


# --- Client construction ---

@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((pathlib.Path("/tmp"),), {},
         "argument 'storage_path': 'PosixPath' object cannot be converted to 'PyString'"),
        ((), {"storage_path": b"/tmp"},
         "argument 'storage_path': 'bytes' object cannot be converted to 'PyString'"),
        ((3,), {}, "argument 'storage_path': 'int' object cannot be converted to 'PyString'"),
        (("a", "b"), {}, "at most 1 argument"),
        ((), {"path": "a"}, "'path' is an invalid keyword argument for"),
    ],
)
def test_client_argument_failures(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Client(*args, **kwargs)
    assert message in str(info.value)


def test_client_store_creation_failure(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(ValueError) as info:
        Client(storage_path=str(blocker))
    assert str(info.value) == (
        f"Failed to create filesystem store: I/O error: Failed to create receipts directory "
        f"{blocker}/receipts: Not a directory (os error 20)")


def test_client_without_store(recorded):
    client = Client()
    assert Client(None) is not client and Client(storage_path=None) is not None
    assert client.verify_receipt(recorded) is True
    with pytest.raises(ValueError) as info:
        client.store_receipt(recorded)
    assert str(info.value) == (
        "Storage not configured. Create client with storage_path to enable storage.")
    with pytest.raises(ValueError) as info:
        client.list_receipts()
    assert str(info.value) == (
        "Storage not configured. Create client with storage_path to enable listing.")
    assert not [name for name in vars(Client) if not name.startswith("__")
                and name not in ("record_work", "verify_receipt", "store_receipt", "list_receipts",
                                 "store_receipts", "copy_receipts_to", "store_manifest_bytes",
                                 "load_manifest_bytes", "index_executions", "reuse_candidates",
                                 "find_receipts")]


def test_arguments_are_checked_before_the_store():
    client = Client()
    with pytest.raises(TypeError, match="argument 'receipt'"):
        client.store_receipt({})
    with pytest.raises(TypeError, match="argument 'workload_id'"):
        client.list_receipts(workload_id=1)
    with pytest.raises(OverflowError):
        client.list_receipts(limit=-1)


# --- storing and listing ---

@pytest.fixture
def store_dir(tmp_path):
    return tmp_path / "nested" / "base"


def test_store_creates_directories_and_one_file_per_receipt(store_dir, recorded):
    client = Client(storage_path=str(store_dir))
    assert (store_dir / "receipts").is_dir()
    assert client.store_receipt(recorded) is None
    client.store_receipt(receipt=recorded)
    path = store_dir / "receipts" / (recorded.get_rid() + ".json")
    assert sorted(os.listdir(store_dir / "receipts")) == [path.name]
    assert path.read_bytes() == recorded.to_json().encode()
    (listed,) = client.list_receipts()
    assert listed is not recorded and getters(listed) == getters(recorded)


def test_relative_storage_path(tmp_path, monkeypatch, recorded):
    monkeypatch.chdir(tmp_path)
    Client(storage_path="./receipts").store_receipt(recorded)
    assert (tmp_path / "receipts" / "receipts" / (recorded.get_rid() + ".json")).is_file()


def test_clients_on_one_directory_share_its_content(tmp_path, recorded):
    Client(storage_path=str(tmp_path)).store_receipt(recorded)
    (listed,) = Client(storage_path=str(tmp_path)).list_receipts()
    assert listed.get_hash() == recorded.get_hash()


@pytest.fixture
def populated(tmp_path):
    """A store holding five receipts of workload w1 (traces a, a, b, b, b), one of w2 (trace a)
    and one receipt of every other kind."""
    client = Client(storage_path=str(tmp_path))
    made = []
    for workload, trace in [("w1", "a"), ("w1", "a"), ("w1", "b"), ("w1", "b"), ("w1", "b"),
                            ("w2", "a")]:
        r = client.record_work(workload, {"n": len(made)}, trace_id=trace)
        client.store_receipt(r)
        made.append((r.get_rid(), workload, trace))
    for vector in load_vectors("receipts.json"):
        document = json.loads(vector["sealed_json"])
        document["rid"] = str(uuid.uuid4())  # the vectors share one identifier
        client.store_receipt(receipts.receipt_from_json_py(json.dumps(document)))
    return client, made


def rids(listed):
    return sorted(r.get_rid() for r in listed)


@pytest.mark.parametrize(
    "query, pick",
    [
        ({"trace_id": "a"}, lambda w, t: t == "a"),
        ({"trace_id": "b"}, lambda w, t: t == "b"),
        ({"workload_id": "w1"}, lambda w, t: w == "w1"),
        ({"workload_id": "w2", "trace_id": "a"}, lambda w, t: w == "w2" and t == "a"),
        ({"workload_id": "w2", "trace_id": "b"}, lambda w, t: False),
        ({"trace_id": "missing"}, lambda w, t: False),
    ],
)
def test_list_filters_match_only_execution_receipts(populated, query, pick):
    client, made = populated
    assert rids(client.list_receipts(**query)) == sorted(rid for rid, w, t in made if pick(w, t))


def test_list_without_filters_returns_everything(populated):
    client, made = populated
    listed = client.list_receipts()
    assert len(listed) == len(made) + len(load_vectors("receipts.json"))
    assert {r.get_kind() for r in listed} == {
        "DataShape", "MethodShape", "ReasoningShape", "Execution", "Spend", "Settlement"}


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("limit, count", [(0, 0), (2, 2), (Index(3), 3), (True, 1), (10**6, 3),
                                          (2**64 - 1, 3), (None, 3)])
def test_list_limit(populated, limit, count):
    client, _ = populated
    everything = client.list_receipts(trace_id="b")
    limited = client.list_receipts(trace_id="b", limit=limit)
    assert [r.get_rid() for r in limited] == [r.get_rid() for r in everything][:count]


@pytest.mark.parametrize(
    "limit, error, message",
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (Index(-5), OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (1.5, TypeError, "argument 'limit': 'float' object cannot be interpreted as an integer"),
        ("2", TypeError, "argument 'limit': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_list_limit_failures(populated, limit, error, message):
    client, _ = populated
    with pytest.raises(error) as info:
        client.list_receipts(limit=limit)
    assert str(info.value) == message
