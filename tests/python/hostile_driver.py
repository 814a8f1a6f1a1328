"""Drives every function and method of the extension with hostile input.

Any exception derived from Exception, except SystemError, is an acceptable answer. Anything
else ends this process with a failure: a crash, an abort, a SystemError (an extension
returning without a result or an error), or the extension's internal-fault exception
(derived from BaseException, so `except Exception` lets it through). Run by test_hostile.py
in a child process:

    python3 hostile_driver.py SEED ITERATIONS   fixed hostile values and mutated receipts
    python3 hostile_driver.py mutating SEED N   N generated calls whose arguments' hooks
                                                mutate, raise or re-enter the extension
    python3 hostile_driver.py leaks             every hostile kind for every argument,
                                                repeated: no object or memory kept per call
"""

import gc
import inspect
import json
import math
import os
import pathlib
import random
import sys
import tempfile
import tracemalloc
import warnings
import weakref

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


def drive_arguments(valid_receipt, client, directory, valid):
    valid = dict(valid, storage_path=str(pathlib.Path(directory) / "store"))
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


# --- arguments whose hooks mutate, raise or re-enter ------------------------------------------
#
# Each kind is a factory: kind(ctx) gives a fresh object. Its hooks (__float__, __index__,
# __eq__, __hash__, __getitem__, __len__, items, __del__) act on ctx: "home" is the container
# the object was put in (a hook may clear it, delete from it or refill it while the extension
# reads it), "reenter" calls back into the extension.

class HookError(Exception):
    pass


class UnprintableError(Exception):
    """An exception whose text cannot be made: error prefixing must still work."""

    def __str__(self):
        raise HookError("no text")


class FloatSub(float):
    pass


class IntSub(int):
    pass


def act(ctx, action):
    """One hostile side effect, chosen by the drawn `action` number."""
    home = ctx.get("home")
    action %= 7
    if action == 1 and isinstance(home, dict):
        home.clear()
    elif action == 2 and isinstance(home, dict) and home:
        del home[next(iter(home))]
    elif action == 3 and isinstance(home, list):
        home.clear()
    elif action == 4 and isinstance(home, (dict, list)):
        # refill: the container's storage is reallocated under the reader
        for i in range(64):
            if isinstance(home, dict):
                home[f"filler{i}"] = i
            else:
                home.append(f"filler{i}")
    elif action == 5 and "reenter" in ctx:
        ctx["reenter"]()
    elif action == 6:
        gc.collect()


def raise_kind(ctx, n):
    n %= 4
    if n == 0:
        return None
    if n == 1:
        raise HookError("hook")
    if n == 2:
        raise UnprintableError()
    raise TypeError("hook type error")


def number_kind(ctx, n):
    class Number:
        def __float__(self):
            act(ctx, n)
            raise_kind(ctx, n // 7)
            return [0.25, FloatSub(0.5), math.nan, -1.0][n % 4]

        def __index__(self):
            act(ctx, n // 3)
            raise_kind(ctx, n // 5)
            return [3, IntSub(1), 2**64, -1, 0][n % 5]

    return Number()


def float_only_kind(ctx, n):
    class FloatOnly:
        def __float__(self):
            act(ctx, n)
            raise_kind(ctx, n // 7)
            return FloatSub(0.75)

    return FloatOnly()


def key_kind(ctx, n):
    target = ["c_id", "c_comp", "alpha", "type", "value", "per_row", "base", "size",
              "avg_size", "a"][n % 10]

    class Key(str):
        def __hash__(self):
            return hash(target)

        def __eq__(self, other):
            if ctx.get("armed"):
                act(ctx, n // 10)
                raise_kind(ctx, n // 70)
            return str.__eq__(self, other)

    return Key("k" + str(n))


def hostile_dict_kind(ctx, n, base):
    reenter = ctx["reenter"]

    class Dict(dict):
        def items(self):
            act(ctx, n)
            return dict.items(self)

        def __del__(self):
            if n % 3 == 0:
                reenter()

    d = Dict(base)
    ctx["home"] = d
    d[key_kind(ctx, n)] = number_kind(ctx, n // 2)
    for key in list(base):
        if n % 4 == 1:
            d[key] = number_kind(ctx, n + len(key))
        elif n % 4 == 2 and key != "type":
            d[key] = float_only_kind(ctx, n)
    if "c_id" in base and n % 5 == 0:
        d["c_id"] = {"type": "linear", "per_row": number_kind(ctx, n), "base": number_kind(ctx, n + 1),
                     key_kind(ctx, n + 3): 0}
    return d


def hostile_sequence_kind(ctx, n):
    class Seq(list):
        def __getitem__(self, i):
            act(ctx, n)
            raise_kind(ctx, n // 7)
            return list.__getitem__(self, i) if n % 2 else FloatSub(1.0)

        def __len__(self):
            act(ctx, n // 2)
            return list.__len__(self) + (n % 3) - 1

    seq = Seq(["a", "b", StrSub("c")])
    ctx["home"] = seq
    return seq


def hostile_str_kind(ctx, n):
    reenter = ctx["reenter"]

    class Text(str):
        def __del__(self):
            reenter()

        def __hash__(self):
            act(ctx, n)
            return str.__hash__(self)

    return Text(["w", "sample", "t", "\ud800", ""][n % 5])


def reentering(depth=[0]):
    """A call back into the extension, at most a few levels deep."""
    def reenter():
        if depth[0] >= 3:
            return
        depth[0] += 1
        try:
            attempt(receipts.record_work_py, "inner", {"i": [1, 2.5, "x"]})
            attempt(_quillmere.delta.economic_delta_py, 0.5, {"c_id": 1, "c_comp": 2, "alpha": 1})
            attempt(_quillmere.shapes.compute_data_shape_hash_from_bytes_py, b"abc",
                    {"type": "fixed", "size": 1})
        finally:
            depth[0] -= 1
    return reenter


DICT_BASES = {
    "payload": {"a": 1, "b": [1, 2]},
    "params": {"k": 1},
    "cost_model": {"c_id": 1, "c_comp": 2, "alpha": 0.5},
    "chunk_scheme": {"type": "fixed", "size": 2},
}


def hostile_value(name, kind, n, ctx):
    """The hostile object of `kind` for parameter `name`."""
    if kind == 0:
        return hostile_dict_kind(ctx, n, DICT_BASES.get(name, {"type": "cdc", "avg_size": 4}))
    if kind == 1:
        return hostile_sequence_kind(ctx, n)
    if kind == 2:
        return number_kind(ctx, n)
    if kind == 3:
        return float_only_kind(ctx, n)
    return hostile_str_kind(ctx, n)


HOSTILE_KINDS = 5


def generated_call(function, bound_self, names, valid, picks, patch_dumps):
    """Builds fresh arguments (picks: parameter index -> (kind, n)) and calls once."""
    ctx = {"reenter": reentering()}
    arguments = [valid.get(name) for name in names]
    for position, (kind, n) in picks.items():
        arguments[position] = hostile_value(names[position], kind, n, ctx)
    prefix = [] if bound_self is None else [bound_self]
    ctx["armed"] = True
    saved = json.dumps
    if patch_dumps:
        reenter = ctx["reenter"]

        class Dumped(str):
            def __del__(self):
                reenter()
        json.dumps = lambda obj: Dumped(saved(obj))
    try:
        attempt(function, *prefix, *arguments)
    finally:
        json.dumps = saved
        ctx.clear()  # hooks refer to ctx: break the cycles now


def signature_names(function, bound_self):
    try:
        names = [p.name for p in inspect.signature(function).parameters.values()]
    except (ValueError, TypeError):
        names = []
    return names[1:] if bound_self is not None else names


def mutating_main(seed, examples):
    from hypothesis import HealthCheck, given, seed as hypothesis_seed, settings
    from hypothesis import strategies as st

    with tempfile.TemporaryDirectory() as directory:
        client, valid_receipt, valid = setup(directory)
        targets = [(f, b, signature_names(f, b)) for f, b in callables(valid_receipt, client)]
        targets = [t for t in targets if t[2]]

        @hypothesis_seed(seed)
        @settings(max_examples=examples, deadline=None, database=None,
                  suppress_health_check=list(HealthCheck))
        @given(st.data())
        def run(data):
            function, bound_self, names = data.draw(st.sampled_from(targets))
            positions = data.draw(st.sets(st.integers(0, len(names) - 1), min_size=1))
            picks = {p: (data.draw(st.integers(0, HOSTILE_KINDS - 1)),
                         data.draw(st.integers(0, 10_000))) for p in positions}
            generated_call(function, bound_self, names, valid, picks, data.draw(st.booleans()))

        run()


def kept_per_call(call, calls=30, rounds=3):
    """Objects and traced bytes left behind by `calls` calls after a warm-up, the least over
    `rounds` rounds: a one-time growth (a cache filling, a table resizing) shows in one
    round, a leak in every round."""
    for _ in range(3):
        call()
    least_objects = least_traced = math.inf
    for _ in range(rounds):
        gc.collect()
        objects = len(gc.get_objects())
        traced = tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            call()
        gc.collect()
        least_objects = min(least_objects, len(gc.get_objects()) - objects)
        least_traced = min(least_traced, tracemalloc.get_traced_memory()[0] - traced)
    return least_objects, least_traced


def leaks_main():
    tracemalloc.start()
    with tempfile.TemporaryDirectory() as directory:
        client, valid_receipt, valid = setup(directory)
        failures = []
        for function, bound_self, _ in [(f, b, None) for f, b in callables(valid_receipt, client)]:
            names = signature_names(function, bound_self)
            cases = [{}] + [{p: (kind, n)} for p in range(len(names))
                            for kind in range(HOSTILE_KINDS) for n in (0, 9, 20)]
            for picks in cases:
                def call():
                    generated_call(function, bound_self, names, valid, picks, False)
                objects, traced = kept_per_call(call)
                if objects > 0 or traced > 256:  # one leaked object per call: 480 or more
                    # Freelists and caches fill unevenly; a leak grows with the calls.
                    objects, traced = kept_per_call(call, calls=300)
                if objects > 0 or traced > 2400:
                    failures.append((getattr(function, "__qualname__", function), picks,
                                     objects, traced))
            # A value passed in must not be kept alive by the call.
            for position in range(len(names)):
                witness = hostile_value(names[position], 2, 0, {"reenter": lambda: None})
                arguments = [valid.get(name) for name in names]
                arguments[position] = witness
                attempt(function, *([] if bound_self is None else [bound_self]), *arguments)
                ref = weakref.ref(witness)
                del witness, arguments
                gc.collect()
                if ref() is not None:
                    failures.append((getattr(function, "__qualname__", function), position,
                                     "argument kept alive"))
    if failures:
        for failure in failures:
            print("leak:", failure, file=sys.stderr)
        sys.exit(1)


def setup(directory):
    os.chdir(directory)  # relative storage paths made of hostile text stay in here
    sample_file = pathlib.Path(directory) / "sample.bin"
    sample_file.write_bytes(b"sample data" * 100)
    client = _quillmere.Client(storage_path=directory)
    valid_receipt = receipts.record_work_py("w", {"a": 1})
    valid = {
        "workload_id": "w", "payload": {"a": 1}, "tags": ["t"], "trace_id": "t",
        "parent_id": None, "receipt": valid_receipt, "json_str": valid_receipt.to_json(),
        "limit": 1, "data": b"abc", "chunk_scheme": None, "path": str(sample_file),
        "code_hash": "sha256:" + "a" * 64, "params": {"k": 1}, "function_name": "f",
        "input_types": ["int"], "output_type": "int", "set1": ["a"], "set2": ["b"],
        "overlap_j": 0.5, "cost_model": {"c_id": 1, "c_comp": 2, "alpha": 0.5}, "row_count": 3,
    }
    return client, valid_receipt, valid


def main():
    warnings.simplefilter("ignore", DeprecationWarning)  # __float__ returning a float subclass
    if len(sys.argv) > 1 and sys.argv[1] == "mutating":
        mutating_main(int(sys.argv[2]), int(sys.argv[3]))
        print("ok", calls)
        return
    if len(sys.argv) > 1 and sys.argv[1] == "leaks":
        leaks_main()
        print("ok", calls)
        return
    seed = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    iterations = int(sys.argv[2]) if len(sys.argv) > 2 else 500
    rng = random.Random(seed)
    sys.setrecursionlimit(10_000)
    with tempfile.TemporaryDirectory() as directory:
        client, valid_receipt, valid = setup(directory)
        drive_arguments(valid_receipt, client, directory, valid)
        for index, text in enumerate(hostile_texts(rng, iterations)):
            receipt = attempt(receipts.receipt_from_json_py, text)
            if receipt is not None:
                exercise_receipt(receipt, client, store=index % 5 == 0)
        attempt(client.list_receipts)
        attempt(client.list_receipts, trace_id="t", limit=3)
    print("ok", calls)


if __name__ == "__main__":
    main()
