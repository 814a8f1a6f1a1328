"""The payload commitment of a recorded receipt: the canonical text of what json.dumps
returns, whatever its key order, repeats, escapes or numbers, and the argument forms of
the positional and keyword calls."""

import hashlib
import json

import pytest
from hypothesis import given, settings, strategies as st

from conftest import receipts, run_python

record = receipts.record_work_py


def commitment(canonical_text):
    return "sha256:" + hashlib.sha256(canonical_text.encode("utf-8")).hexdigest()


def canonical(payload):
    """Canonical text for payloads of integers, strings without control characters,
    booleans, None, lists and dicts: sorted keys (code point order is UTF-8 byte order),
    no whitespace, raw UTF-8."""
    return json.dumps(payload, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


texts = st.text(st.characters(blacklist_categories=("Cs", "Cc")), max_size=12)
scalars = st.one_of(st.none(), st.booleans(), st.integers(-(2**63), 2**64 - 1), texts)
payloads = st.dictionaries(
    texts,
    st.recursive(scalars, lambda inner: st.one_of(st.lists(inner, max_size=4),
                                                  st.dictionaries(texts, inner, max_size=4)),
                 max_leaves=12),
    max_size=6)


@settings(max_examples=300, deadline=None)
@given(payloads)
def test_commitment_is_the_hash_of_the_canonical_text(payload):
    assert record("w", payload).get_dom() == commitment(canonical(payload))


@pytest.mark.parametrize("dumped, canonical_text", [
    ('{"b": 1, "a": {"d": [1, {"z": 0, "y": 1}], "c": null}}',
     '{"a":{"c":null,"d":[1,{"y":1,"z":0}]},"b":1}'),
    ('{"1": "a", "1": "b"}', '{"1":"b"}'),  # what a dict with keys 1 and "1" dumps
    ('{"\\u00e9": "\\ud83d\\ude00", "e": "\\/\\n"}', '{"e":"/\\n","\u00e9":"\U0001F600"}'),
    ('{"x": [-0, 1.0, 1e2, 18446744073709551616]}', '{"x":[-0.0,1.0,100.0,1.8446744073709552e19]}'),
])
def test_dumped_text_is_rewritten_canonically(monkeypatch, dumped, canonical_text):
    monkeypatch.setattr(json, "dumps", lambda obj: dumped)
    assert record("w", {}).get_dom() == commitment(canonical_text)


@pytest.mark.parametrize("dumped, message", [
    ('{"a": 1,}', "trailing comma at line 1 column 9"),
    ('{"a": NaN}', "expected value at line 1 column 7"),
    ('{"a":\n [1 2]}', "expected `,` or `]` at line 2 column 5"),
    ("[" * 128 + "]" * 128, "recursion limit exceeded at line 1 column 128"),
])
def test_unreadable_text_gives_the_readers_error(monkeypatch, dumped, message):
    monkeypatch.setattr(json, "dumps", lambda obj: dumped)
    with pytest.raises(ValueError) as info:
        record("w", {})
    assert str(info.value) == "Failed to parse payload JSON: " + message


def test_positional_and_keyword_calls_make_the_same_commitments():
    parent = "0b6f2a8e-1c3d-4e5f-8a9b-0c1d2e3f4a5b"
    a = record("w", {"k": 1}, ["t"], "trace-1", parent)
    b = record(workload_id="w", payload={"k": 1}, tags=["t"], trace_id="trace-1",
               parent_id=parent)
    for getter in ("get_dom", "get_cod", "get_trace_id"):
        assert getattr(a, getter)() == getattr(b, getter)()
    assert record("w", {"k": 1}, None, None, None).get_trace_id() == record("w", {"k": 1}).get_trace_id()


@pytest.mark.parametrize("args, kwargs, message", [
    (("w",), {}, "record_work_py() missing required argument 'payload' (pos 2)"),
    (("w", {}, None, None, None, None), {}, "record_work_py() takes at most 5 arguments (6 given)"),
    (("w", {}), {"workload_id": "x"},
     "argument for record_work_py() given by name ('workload_id') and position (1)"),
])
def test_argument_errors_keep_the_interpreters_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        record(*args, **kwargs)
    assert str(info.value) == message


def test_nested_recording_during_the_call_keeps_each_payload(monkeypatch):
    # json.dumps's result is released mid-call; its __del__ records other work on the same
    # thread. Each receipt must commit to its own payload.
    dumps = json.dumps
    nested = []

    class Text(str):
        def __del__(self):
            if not nested:
                nested.append(None)
                nested.append(record("inner", {"inner": "i" * 300}))

    monkeypatch.setattr(json, "dumps", lambda obj: Text(dumps(obj)))
    outer = record("outer", {"outer": 1})
    monkeypatch.undo()
    inner = nested[1]
    assert outer.get_dom() == commitment(canonical({"outer": 1}))
    assert inner.get_dom() == commitment(canonical({"inner": "i" * 300}))
    assert receipts.verify_receipt_py(outer) and receipts.verify_receipt_py(inner)


# Each call needs about 100 MB of scratch, reached through a different buffer: plain text,
# escapes decoded on the way, members reordered, a long workload id.
LARGE_CALLS = {
    "plain text": ('"w"', '{"a": "x" * 100_000_000}'),
    "escaped text": ('"w"', '{"a": "\\u00e9\\n" * 12_500_000}'),
    "many members": ('"w"', '{"k%07d" % (999_999 - i): 0 for i in range(1_000_000)}'),
    "long workload id": ('"w" * 100_000_000', '{}'),
}


@pytest.mark.parametrize("call", sorted(LARGE_CALLS))
def test_memory_of_a_large_payload_is_given_back(call):
    workload, payload = LARGE_CALLS[call]
    code = f"""
        import gc
        import _quillmere
        record = _quillmere.receipts.record_work_py

        def resident():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096

        workload, payload = {workload}, {payload}
        record("w", {{"small": 1}})
        gc.collect()
        before = resident()
        record(workload, payload)
        gc.collect()
        print((resident() - before) // 2**20)
    """
    result = run_python(code, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    kept_mib = int(result.stdout)
    assert kept_mib < 40, f"{kept_mib} MiB still held after the call"
