"""The public package: the wrappers agree with the native functions they wrap, ids flow
through trace and step (threads and asyncio tasks included), every kind of source gives the
same shape hash, and the asynchronous versions give the synchronous results."""

import asyncio
import contextvars
import io
import json
import math
import pydoc
import re
import threading
import warnings
from pathlib import Path

import pytest

import _quillmere
import quillmere as qm
from quillmere import aio
from conftest import load_vectors
from test_shapes import vector_input

shapes = _quillmere.shapes
HAS_STREAMING = hasattr(shapes, "ShapeHasher")
needs_streaming = pytest.mark.skipif(not HAS_STREAMING, reason="native ShapeHasher not built")


def links(receipt):
    return json.loads(receipt.to_json())["links"]


# --------------------------------------------------------------------- records and errors

@pytest.mark.parametrize(
    "public, native",
    [
        (lambda: qm.record_work("w", {"x": math.nan}), lambda: _quillmere.record_work_py("w", {"x": math.nan})),
        (lambda: qm.record_work("w", ["not a dict"]), lambda: _quillmere.record_work_py("w", ["not a dict"])),
        (lambda: qm.record_work("w", {}, tags="one"), lambda: _quillmere.record_work_py("w", {}, tags="one")),
        (lambda: qm.receipt_from_json("{"), lambda: _quillmere.receipts.receipt_from_json_py("{")),
        (lambda: qm.Client().store_receipt(qm.record_work("w", {})),
         lambda: _quillmere.Client().store_receipt(_quillmere.record_work_py("w", {}))),
        (lambda: qm.method_shape_hash("nope"), lambda: shapes.compute_method_shape_hash_from_code_py("nope")),
        (lambda: qm.decide_reuse(0.5, {"c_id": 1, "c_comp": 2}),
         lambda: _quillmere.delta.decide_reuse_py(0.5, {"c_id": 1, "c_comp": 2})),
        (lambda: qm.data_shape_hash(b"abc", {"type": "fixed", "size": 0}),
         lambda: shapes.compute_data_shape_hash_from_bytes_py(b"abc", {"type": "fixed", "size": 0})),
    ],
    ids=["nan", "list-payload", "str-tags", "bad-json", "no-storage", "code-hash", "cost-model", "zero-size"],
)
def test_native_errors_pass_through_unchanged(public, native):
    with pytest.raises(Exception) as ours:
        public()
    with pytest.raises(Exception) as theirs:
        native()
    assert type(ours.value) is type(theirs.value)
    assert str(ours.value) == str(theirs.value)


def test_record_verify_and_json_round_trip():
    parent = qm.record_work("extract", {}).get_rid()
    receipt = qm.record_work("normalize", {"rows": 3}, tags=["etl"], trace_id="t", parent_id=parent)
    assert isinstance(receipt, qm.Receipt) and qm.verify_receipt(receipt)
    assert receipt.get_trace_id() == "t" and links(receipt) == [parent]
    again = qm.receipt_from_json(receipt.to_json())
    assert again.get_hash() == receipt.get_hash() == again.compute_hash()
    tampered = json.loads(receipt.to_json())
    tampered["dom"] = tampered["dom"][:-1] + ("0" if tampered["dom"][-1] != "0" else "1")
    assert qm.verify_receipt(qm.receipt_from_json(json.dumps(tampered))) is False


def test_client_takes_path_objects_and_stores(tmp_path):
    client = qm.Client(tmp_path / "store")
    receipt = client.record_work("w", {}, trace_id="t1")
    client.store_receipt(receipt)
    client.store_receipt(client.record_work("w", {}, trace_id="t2"))
    assert (tmp_path / "store" / "receipts" / f"{receipt.get_rid()}.json").is_file()
    assert [r.get_rid() for r in client.list_receipts(trace_id="t1")] == [receipt.get_rid()]
    assert len(client.list_receipts(workload_id="w")) == 2 and client.list_receipts(limit=0) == []
    assert client.verify_receipt(receipt) and repr(client).startswith("Client(")


# --------------------------------------------------------------------- trace and step

def test_steps_chain_in_a_trace_and_nest(tmp_path):
    client = qm.Client(tmp_path)
    with qm.trace("pipeline", client=client) as trace_id:
        with qm.step("extract") as extract:
            inner = qm.record_work("inside-extract", {})
        with qm.step("load") as load:
            with qm.step("load-part") as part:
                pass
        after = qm.record_work("after", {})
    assert trace_id == "pipeline"
    assert links(extract.receipt) == [] and links(inner) == [extract.rid]
    assert links(load.receipt) == [extract.rid] and links(part.receipt) == [load.rid]
    assert links(after) == [load.rid]
    stored = {r.get_rid() for r in client.list_receipts(trace_id="pipeline")}
    assert stored == {extract.rid, load.rid, part.rid}  # steps are stored
    # Nothing is left behind once the trace is over.
    outside = qm.record_work("outside", {})
    assert links(outside) == [] and outside.get_trace_id() != "pipeline"


def test_lone_step_and_fresh_trace_ids():
    with qm.step("alone"):
        pass
    assert links(qm.record_work("later", {})) == []
    with qm.trace() as first, qm.trace() as second:
        assert first != second and first.startswith("trace:")
        assert qm.record_work("w", {}).get_trace_id() == second
    with pytest.raises(TypeError):
        qm.step().__enter__()


def test_decorators_sync_and_async():
    seen = []

    @qm.trace("decorated")
    def pipeline():
        first()
        first()
        return qm.record_work("tail", {})

    @qm.step()
    def first():
        seen.append(qm.record_work("child", {}))

    tail = pipeline()
    assert tail.get_trace_id() == "decorated"
    assert links(seen[1]) != links(seen[0])  # each call is its own step
    assert pipeline.__name__ == "pipeline" and first.__name__ == "first"

    @qm.step("async-step")
    async def work():
        await asyncio.sleep(0)
        return qm.record_work("async-child", {})

    async def main():
        async with qm.trace("async-trace"):
            children = await asyncio.gather(work(), work())
            return children, qm.record_work("after", {})

    children, after = asyncio.run(main())
    assert all(c.get_trace_id() == "async-trace" for c in children)
    parents = [links(c)[0] for c in children]
    assert len(set(parents)) == 2
    # Steps in concurrent tasks do not chain into the enclosing task.
    assert links(after) == []


def test_context_follows_into_threads():
    result = {}
    with qm.trace("threaded"), qm.step("outer") as outer:
        context = contextvars.copy_context()
        thread = threading.Thread(target=lambda: result.setdefault("r", context.run(qm.record_work, "t", {})))
        thread.start()
        thread.join()
    assert result["r"].get_trace_id() == "threaded" and links(result["r"]) == [outer.rid]


# --------------------------------------------------------------------- shapes

VECTORS = [v for v in load_vectors("chunking.json") if v["input"]["length"] <= 1 << 20][:12]


class ReadOnly:
    """A binary reader without readinto, handing out odd-sized blocks."""

    def __init__(self, data):
        self.stream = io.BytesIO(data)

    def read(self, size):
        return self.stream.read(min(size, 7777))


@needs_streaming
@pytest.mark.parametrize("vector", VECTORS, ids=lambda v: f"{v['input']['kind']}-{v['input']['length']}")
def test_every_source_gives_the_known_hash(vector, tmp_path):
    data = vector_input(vector["input"])
    scheme = vector["scheme"]
    path = tmp_path / "data.bin"
    path.write_bytes(data)
    sources = [data, bytearray(data), memoryview(data), str(path), path, io.BytesIO(data), ReadOnly(data)]
    with open(path, "rb") as f:
        sources.append(f)
        for source in sources:
            assert qm.data_shape_hash(source, scheme) == vector["data_shape_hash"], type(source)
    m = qm.manifest(io.BytesIO(data), scheme)
    assert m.root == vector["manifest_root"] and len(m) == vector["chunk_count"]
    if vector["chunks"] is not None:  # listed for vectors of at most 64 chunks
        assert [tuple(c[:2]) for c in m] == [tuple(c) for c in vector["chunks"]]
    assert qm.manifest(path, scheme).chunk_ids() == qm.manifest(data, scheme).chunk_ids() == m.chunk_ids()


@pytest.mark.parametrize(
    "text, scheme",
    [("cdc:4096", {"type": "cdc", "avg_size": 4096}), ("fixed:512", {"type": "fixed", "size": 512}), (None, None)],
)
def test_scheme_text_form(text, scheme):
    assert qm.parse_chunk_scheme(text) == scheme
    data = bytes(range(256)) * 64
    assert qm.data_shape_hash(data, text) == shapes.compute_data_shape_hash_from_bytes_py(data, scheme)


@pytest.mark.parametrize("text", ["cdc", "fixed:", "cdc:-1", "CDC:64", "sha:1"])
def test_bad_scheme_text(text):
    with pytest.raises(ValueError, match="invalid chunk scheme"):
        qm.parse_chunk_scheme(text)


@needs_streaming
def test_text_mode_files_are_refused(tmp_path):
    path = tmp_path / "t.txt"
    path.write_text("abc")
    with open(path) as f, pytest.raises(TypeError, match="binary mode"):
        qm.data_shape_hash(f)


@pytest.mark.parametrize("workers", [None, 1, 3])
def test_shape_files_keeps_order(tmp_path, workers):
    paths = []
    for i in range(5):
        path = tmp_path / f"f{i}"
        path.write_bytes(bytes([i]) * (1000 * i + 1))
        paths.append(path)
    expected = [shapes.compute_data_shape_hash_from_file_py(str(p)) for p in paths]
    assert qm.shape_files(paths, workers=workers) == expected
    with pytest.raises(FileNotFoundError, match="No such file or directory: .*missing") as raised:
        qm.shape_files(paths + [tmp_path / "missing"], workers=workers)
    assert isinstance(raised.value, ValueError)  # what it was before, still caught as such


@needs_streaming
def test_jaccard_forms():
    a, b = ["c1", "c2", "c3"], ["c2", "c3", "c4"]
    assert qm.jaccard(a, b) == qm.jaccard(tuple(a), iter(b)) == qm.jaccard(set(a), set(b)) == 0.5
    model = {"c_id": 10, "c_comp": 100, "alpha": 0.5}
    assert qm.decide_reuse(0.3, model) == _quillmere.delta.decide_reuse_py(0.3, model)
    assert qm.economic_delta(0.3, model) == 5.0
    assert qm.signature_shape_hash("f", ["int"], "str") == \
        shapes.compute_method_shape_hash_from_signature_py("f", ["int"], "str")


@needs_streaming
def test_manifest_jaccard_equals_list_jaccard():
    old = bytes(vector_input({"kind": "sha", "seed": "old", "length": 400_000}))
    new = old[:150_000] + b"inserted" + old[150_000:]
    m_old, m_new = qm.manifest(old, "cdc:4096"), qm.manifest(new, "cdc:4096")
    assert qm.jaccard(m_old, m_new) == qm.jaccard(m_old.chunk_ids(), m_new) == \
        _quillmere.delta.jaccard_similarity_py(m_old.chunk_ids(), m_new.chunk_ids())
    assert 0.5 < qm.jaccard(m_old, m_new) < 1.0
    assert qm.manifest_from_json(m_new.to_json()).chunk_ids() == m_new.chunk_ids()


# --------------------------------------------------------------------- asyncio

async def blocks(data, size):
    for start in range(0, len(data), size):
        await asyncio.sleep(0)
        yield data[start:start + size]


def test_async_wrappers(tmp_path):
    data = bytes(range(256)) * 4096
    expected = shapes.compute_data_shape_hash_from_bytes_py(data)

    async def main():
        client = aio.AsyncClient(tmp_path)
        async with qm.trace("aio"):
            receipts = await asyncio.gather(*(aio.record_work(f"w{i}", {"i": i}) for i in range(4)))
            mine = await client.record_work("mine", {})
        await asyncio.gather(*(client.store_receipt(r) for r in receipts))
        listed = await client.list_receipts(trace_id="aio")
        verdicts = await asyncio.gather(*(aio.verify_receipt(r) for r in receipts), client.verify_receipt(mine))
        hashes = [await aio.data_shape_hash(data)]
        if HAS_STREAMING:
            reader = asyncio.StreamReader()
            reader.feed_data(data)
            reader.feed_eof()
            hashes += [await aio.data_shape_hash(blocks(data, 100_000)), await aio.data_shape_hash(reader),
                       (await aio.manifest(blocks(data, 65_000))).shape_hash]
        files = await aio.shape_files([tmp_path / "receipts" / f"{r.get_rid()}.json" for r in receipts])
        return receipts, mine, listed, verdicts, hashes, files

    receipts, mine, listed, verdicts, hashes, files = asyncio.run(main())
    assert all(r.get_trace_id() == "aio" for r in receipts) and mine.get_trace_id() == "aio"
    assert sorted(r.get_rid() for r in listed) == sorted(r.get_rid() for r in receipts)
    assert all(verdicts) and set(hashes) == {expected} and len(files) == 4


# --------------------------------------------------------------------- traps refused

@pytest.mark.parametrize("url", ["sqlite:///tmp/x/z.db", "sqlite:rel.db", "postgresql://u@h/db", "mysql://x"])
def test_a_url_is_no_storage_path(url, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError, match="storage_url"):
        qm.Client(url)
    assert list(tmp_path.iterdir()) == []  # no directory tree named like the URL
    assert repr(qm.Client(storage_url=f"sqlite:///{tmp_path}/a.db")).startswith("Client(storage_url=")


@pytest.mark.parametrize("j, model, rows, message", [
    (1.5, {"c_id": 1, "c_comp": 2, "alpha": 1}, None, "within"),
    (-0.1, {"c_id": 1, "c_comp": 2, "alpha": 1}, None, "within"),
    (math.nan, {"c_id": 1, "c_comp": 2, "alpha": 1}, None, "within"),
    (0.5, {"c_id": 1, "c_comp": {"type": "linear", "per_row": 1, "base": 0}, "alpha": 1}, None, "c_comp is a linear"),
])
def test_economics_refuse_what_would_be_clamped_or_zeroed(j, model, rows, message):
    for function in (qm.decide_reuse, qm.economic_delta):
        with pytest.raises(ValueError, match=message):
            function(j, model, rows)
    linear = {"c_id": 1, "c_comp": {"type": "linear", "per_row": 2, "base": 10}, "alpha": 0.5}
    assert qm.economic_delta(1.0, linear, 5) == 9.0 and qm.decide_reuse(0.0, linear, 0)["decision"] == "recompute"


@pytest.mark.parametrize("workers", [1, 2])
def test_unreadable_paths_raise_their_oserror(tmp_path, workers):
    missing, directory = tmp_path / "missing.csv", tmp_path
    calls = [lambda p: qm.data_shape_hash(p, workers=workers), lambda p: qm.manifest(p, workers=workers),
             lambda p: qm.shape_files([p], workers=workers)]
    for call in calls:
        for path, kind in ((missing, FileNotFoundError), (directory, IsADirectoryError)):
            with pytest.raises(kind, match=re.escape(str(path))):
                call(path)


def test_a_parent_that_is_no_rid_is_warned_about():
    with pytest.warns(UserWarning, match="not a receipt id"):
        receipt = qm.record_work("w", {}, parent_id="41b6")
    assert receipt.parent_ids == ()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert qm.record_work("w", {}, parent_id=receipt.rid.upper()).parent_ids == (receipt.rid,)


def test_help_is_short_and_has_no_inherited_dict_methods():
    text = pydoc.render_doc(qm, renderer=pydoc.plaintext)
    assert len(text.splitlines()) < 700 and "inherited from builtins.dict" not in text
