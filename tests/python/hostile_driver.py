"""Drives every function and method of the extension with hostile input.

Any exception derived from Exception, except SystemError, is an acceptable answer. Anything
else ends this process with a failure: a crash, an abort, a SystemError (an extension
returning without a result or an error), or the extension's internal-fault exception
(derived from BaseException, so `except Exception` lets it through). Run by test_hostile.py
in a child process: python3 hostile_driver.py SEED ITERATIONS
"""

import inspect
import json
import math
import pathlib
import random
import sys
import tempfile

import _quillmere

receipts = _quillmere.receipts
VECTORS = pathlib.Path(__file__).resolve().parents[1] / "vectors"


# --- hostile Python values ------------------------------------------------------------------

class Raises:
    """Every conversion hook raises."""

    def __index__(self):
        raise RuntimeError("index")

    def __float__(self):
        raise RuntimeError("float")

    def __len__(self):
        raise RuntimeError("len")

    def __getitem__(self, key):
        raise RuntimeError("getitem")

    def __str__(self):
        raise RuntimeError("str")

    __repr__ = __str__


class HugeIndex:
    def __index__(self):
        return 10**30


class NegativeIndex:
    def __index__(self):
        return -(10**30)


class LyingSequence:
    """Claims ten items but has two."""

    def __len__(self):
        return 10

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return "item"


class HugeSequence:
    def __len__(self):
        return sys.maxsize

    def __getitem__(self, i):
        if i > 1000:
            raise IndexError(i)
        return "x"


class BadKeysDict(dict):
    def __getitem__(self, key):
        raise KeyError(key)

    def get(self, key, default=None):
        raise RuntimeError("get")


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


def deep_list(levels):
    value = []
    for _ in range(levels - 1):
        value = [value]
    return value


def deep_dict(levels):
    value = {}
    for _ in range(levels - 1):
        value = {"k": value}
    return value


HOSTILE = [
    None, True, False, 0, -1, 2**63, 2**64, -(2**64), 2**4000, 0.5, math.nan, math.inf, -0.0,
    1j, "", "x" * 1_000_000, "\ud800", "a\x00b", "\u00e9\U0001f600", StrSub("s"), b"",
    b"\xff" * 1000, BytesSub(b"x"), bytearray(b"abc"), memoryview(b"abc"), [], ["a"],
    ["a"] * 100_000, [1, 2], ["\ud800"], ("a", "b"), {"a"}, frozenset(), {}, {"a": object()},
    {1: 2}, {"a": math.nan}, {"a": 2**200}, {"a": "\ud800"}, deep_dict(127), deep_dict(128),
    deep_dict(3000), {"a": deep_list(126)}, {"a": deep_list(127)}, deep_list(3000), range(5),
    range(-3, 3), object(), Raises(), HugeIndex(), NegativeIndex(), LyingSequence(),
    HugeSequence(), BadKeysDict(type="fixed", size=1), pathlib.Path("/"), sys, type, json,
    Ellipsis, "/", "/nonexistent/path", "a" * 5000,
    {"type": "fixed", "size": 0}, {"type": "cdc", "avg_size": 0}, {"type": "cdc", "avg_size": 1},
    {"type": "fixed", "size": 2**64 - 1}, {"type": "fixed", "size": 2**64}, {"type": "fixed"},
    {"type": 1}, {"type": "FIXED", "size": 1}, {"type": "fixed", "size": True},
    {"c_id": 1, "c_comp": 2, "alpha": 0.5},
    {"c_id": {"type": "linear", "per_row": Raises(), "base": 1}, "c_comp": 1, "alpha": 1},
    {"c_id": {"type": "linear", "per_row": 1e308, "base": 1e308}, "c_comp": -0.0, "alpha": 0},
    {"c_id": math.nan, "c_comp": math.inf, "alpha": -math.inf},
]


# --- receipts from hostile JSON ----------------------------------------------------------------

def seed_texts():
    texts = []
    for vector in json.loads((VECTORS / "receipts.json").read_text()):
        texts += [vector["input_json"], vector["sealed_json"]]
    texts.append(receipts.record_work_py("w", {"a": [1, 2.5, None]}, trace_id="t").to_json())
    return texts


JSON_REPLACEMENTS = [
    None, True, 0, -1, 2**64, 2**64 - 1, -(2**63), -(2**63) - 1, 2**200, 1e308, -1e-308, 0.1,
    "", "x" * 100_000, "\ud800", "\x00", "sha256:" + "0" * 64, "SHA256:" + "F" * 64, [], {},
    deep_list(120), [None] * 1000, {"type": "x"}, ["6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40"],
    "6F1C1D9E3A534D6B9B0E2F1B7A6C5D40", "{6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40}",
    "urn:uuid:6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40", "2025-13-45T99:99:99Z",
]

SPECIAL_TEXTS = [
    "[" * 200_000, '{"a":' * 200_000, '"' + "a" * 5_000_000 + '"', "1" * 100_000,
    '"\\ud800"', '{"rid": "\\u0000"}', "\ufeff{}", "{}" * 1000, "\x00", "-", "1e999999",
    '{"rid":' + "9" * 10_000 + "}", "[" * 127 + "]" * 127, "[" * 128 + "]" * 128,
]


def paths_of(value, prefix=()):
    yield prefix
    if isinstance(value, dict):
        for key, child in value.items():
            yield from paths_of(child, prefix + (key,))
    elif isinstance(value, list):
        for index, child in enumerate(value[:3]):
            yield from paths_of(child, prefix + (index,))


def replaced(document, path, value):
    if not path:
        return value
    copy = json.loads(json.dumps(document))
    target = copy
    for key in path[:-1]:
        target = target[key]
    target[path[-1]] = value
    return copy


def byte_mutation(text, rng):
    data = bytearray(text.encode())
    for _ in range(rng.randint(1, 4)):
        position = rng.randrange(len(data))
        choice = rng.randrange(3)
        if choice == 0:
            data[position] = rng.randrange(256)
        elif choice == 1:
            del data[position]
        else:
            data.insert(position, rng.choice(b'{}[]",:\\0-e.'))
    return data.decode("utf-8", "replace")


def hostile_texts(rng, iterations):
    seeds = seed_texts()
    yield from SPECIAL_TEXTS
    yield from seeds
    for _ in range(iterations):
        text = rng.choice(seeds)
        if rng.random() < 0.4:
            yield byte_mutation(text, rng)
        else:
            document = json.loads(text)
            path = rng.choice(list(paths_of(document)))
            yield json.dumps(replaced(document, path, rng.choice(JSON_REPLACEMENTS)))


# --- driving --------------------------------------------------------------------------------

calls = 0


def attempt(function, *args, **kwargs):
    global calls
    calls += 1
    try:
        return function(*args, **kwargs)
    except SystemError:
        raise  # the interpreter's sign of an extension returning without a result or error
    except Exception:
        return None


def exercise_receipt(receipt, client, store):
    for name in ["validate", "compute_hash", "to_json", "get_rid", "get_kind", "get_version",
                 "get_hash", "get_dom", "get_cod", "get_workload_id", "get_trace_id"]:
        attempt(getattr(receipt, name))
    attempt(_quillmere.verify_receipt_py, receipt)
    attempt(receipts.verify_receipt_py, receipt)
    attempt(client.verify_receipt, receipt)
    if store:
        attempt(client.store_receipt, receipt)
    text = attempt(receipt.to_json)
    if text is not None:
        again = attempt(receipts.receipt_from_json_py, text)
        assert again is None or again.to_json() == text, "JSON round trip changed a receipt"


def callables(valid_receipt, client):
    found = [(receipts.receipt_from_json_py, None)]
    for module in (_quillmere, receipts, _quillmere.delta, _quillmere.shapes):
        for name in getattr(module, "__all__", []):
            value = getattr(module, name)
            if callable(value) and not isinstance(value, type):
                found.append((value, None))
    found.append((_quillmere.Client, None))
    for name in ["record_work", "verify_receipt", "store_receipt", "list_receipts"]:
        found.append((getattr(client, name), None))
        found.append((getattr(_quillmere.Client, name), client))
    for name in ["validate", "to_json", "get_rid", "get_trace_id"]:
        found.append((getattr(receipts.PyReceipt, name), valid_receipt))
    return found


def creates_outside(name, value):
    """A storage path that would make the store create directories outside the test area."""
    return name == "storage_path" and isinstance(value, str) and value.startswith("/")


def drive_arguments(valid_receipt, client, directory):
    sample_file = pathlib.Path(directory) / "sample.bin"
    sample_file.write_bytes(b"sample data" * 100)
    valid = {
        "workload_id": "w", "payload": {"a": 1}, "tags": ["t"], "trace_id": "t",
        "parent_id": None, "receipt": valid_receipt, "json_str": valid_receipt.to_json(),
        "storage_path": str(pathlib.Path(directory) / "store"), "limit": 1, "data": b"abc",
        "chunk_scheme": None, "path": str(sample_file), "code_hash": "sha256:" + "a" * 64,
        "params": {"k": 1}, "function_name": "f", "input_types": ["int"], "output_type": "int",
        "set1": ["a"], "set2": ["b"], "overlap_j": 0.5,
        "cost_model": {"c_id": 1, "c_comp": 2, "alpha": 0.5}, "row_count": 3,
    }
    for function, bound_self in callables(valid_receipt, client):
        try:
            parameters = list(inspect.signature(function).parameters.values())
        except (ValueError, TypeError):
            parameters = []
        if bound_self is not None:
            parameters = parameters[1:]
        prefix = [] if bound_self is None else [bound_self]
        names = [p.name for p in parameters]
        defaults = [valid.get(name) for name in names]
        attempt(function, *prefix, *defaults)
        attempt(function, *prefix, *defaults, None)
        attempt(function, *prefix, bogus=1)
        for value in HOSTILE:
            if not any(creates_outside(name, value) for name in names):
                attempt(function, *prefix, *([value] * len(names)))
            for position, name in enumerate(names):
                if creates_outside(name, value):
                    continue
                arguments = list(defaults)
                arguments[position] = value
                attempt(function, *prefix, *arguments)
                attempt(function, *prefix, **dict(zip(names, arguments)))


def main():
    seed = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    iterations = int(sys.argv[2]) if len(sys.argv) > 2 else 500
    rng = random.Random(seed)
    sys.setrecursionlimit(10_000)
    with tempfile.TemporaryDirectory() as directory:
        client = _quillmere.Client(storage_path=directory)
        valid_receipt = receipts.record_work_py("w", {"a": 1})
        drive_arguments(valid_receipt, client, directory)
        for index, text in enumerate(hostile_texts(rng, iterations)):
            receipt = attempt(receipts.receipt_from_json_py, text)
            if receipt is not None:
                exercise_receipt(receipt, client, store=index % 5 == 0)
        attempt(client.list_receipts)
        attempt(client.list_receipts, trace_id="t", limit=3)
    print("ok", calls)


if __name__ == "__main__":
    main()
