"""Manifests, the streaming shape hasher and the builders: known answers through every path,
any split of a stream, any number of workers, the JSON form and its faults, the overlap, and
the interpreter lock released around long work (pipes fed by the same interpreter, threads,
signals)."""

import array
import hashlib
import json
import mmap
import os
import random
import struct
import threading

import pytest
from hypothesis import given, settings, strategies as st

import _quillmere
from conftest import load_vectors, run_python
from test_shapes import vector_input

shapes = _quillmere.shapes
delta = _quillmere.delta
from_bytes = shapes.compute_data_shape_hash_from_bytes_py
CHUNKING = load_vectors("chunking.json")
SCHEMES = [None, {"type": "cdc", "avg_size": 16}, {"type": "cdc", "avg_size": 1000},
           {"type": "cdc", "avg_size": 4096}, {"type": "fixed", "size": 64},
           {"type": "fixed", "size": 777}]


def random_pieces(data, rng):
    """`data` cut at random places, with empty pieces and cuts near the 48-byte window."""
    pieces, pos = [], 0
    while pos < len(data):
        size = rng.choice([0, 1, 47, 48, 49, rng.randrange(1, 5000), rng.randrange(1, 200_000)])
        pieces.append(data[pos:pos + size])
        pos += size
    return pieces


def lengths_digest(manifest):
    return hashlib.sha256(b"".join(struct.pack(">QQ", o, n) for o, n, _ in manifest)).hexdigest()


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("vector", CHUNKING, ids=lambda v: f"{v['input']['kind']}-{v['input']['length']}-{v['scheme']}")
def test_vectors_through_manifest_and_hasher(vector, workers, tmp_path):
    data = vector_input(vector["input"])
    scheme = vector["scheme"]
    path = tmp_path / "input.bin"
    path.write_bytes(data)
    hasher = shapes.ShapeHasher(scheme, keep_chunks=True, workers=workers)
    for piece in random_pieces(data, random.Random(len(data))):
        hasher.update(piece)
    built = [shapes.build_manifest_py(data, scheme, workers=workers),
             shapes.build_manifest_from_file_py(str(path), scheme, workers=workers),
             hasher.manifest()]
    for m in built:
        assert m.root == vector["manifest_root"]
        assert m.shape_hash == vector["data_shape_hash"]
        assert m.total_len == len(data) and len(m) == vector["chunk_count"]
        assert lengths_digest(m) == vector["chunk_lengths_sha256"]
        if vector["chunks"] is not None:
            assert [[o, n] for o, n, _ in m] == vector["chunks"]
    assert hasher.shape_hash() == vector["data_shape_hash"]
    assert built[0] == built[1] == built[2]


@settings(max_examples=60, deadline=None)
@given(data=st.binary(max_size=3000), seed=st.integers(0, 2**32), workers=st.sampled_from([1, 2]),
       scheme=st.sampled_from(SCHEMES[1:] + [{"type": "cdc", "avg_size": 64}, {"type": "fixed", "size": 1}]))
def test_any_split_equals_the_bytes_function(data, seed, workers, scheme):
    hasher = shapes.ShapeHasher(scheme, keep_chunks=True, workers=workers)
    rng = random.Random(seed)
    pos = 0
    while pos < len(data):  # small pieces here: every cut lands near a window or a boundary
        size = rng.choice([0, 1, 2, 47, 48, rng.randrange(1, 300)])
        hasher.update(data[pos:pos + size])
        pos += size
    manifest = shapes.build_manifest_py(data, scheme)
    assert hasher.shape_hash() == from_bytes(data, scheme) == manifest.shape_hash
    assert hasher.manifest() == manifest


@pytest.mark.parametrize("scheme", SCHEMES, ids=str)
def test_buffers_files_and_workers_agree(scheme, tmp_path):
    rng = random.Random(7)
    data = rng.randbytes(3_000_000) + bytes(300_000) + rng.randbytes(1_000_001)
    path = tmp_path / "data.bin"
    path.write_bytes(data)
    expected = shapes.build_manifest_py(data, scheme)
    assert expected.shape_hash == from_bytes(data, scheme)
    assert sum(n for _, n, _ in expected) == len(data)
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        for workers in (1, 2, 3):
            for buffer in (data, bytearray(data), memoryview(data), mapped):
                assert shapes.build_manifest_py(buffer, scheme, workers=workers) == expected
            assert shapes.build_manifest_from_file_py(path, scheme, workers=workers) == expected
            hasher = shapes.ShapeHasher(scheme, workers=workers)
            for k in range(0, len(data), 1 << 20):
                hasher.update(data[k:k + (1 << 20)])
            assert hasher.shape_hash() == expected.shape_hash


def test_other_buffer_forms():
    words = array.array("I", range(100_000))
    assert shapes.build_manifest_py(words).shape_hash == from_bytes(words.tobytes())
    strided = memoryview(bytes(range(256)) * 1000)[::3]  # not contiguous: copied
    assert shapes.build_manifest_py(strided).shape_hash == from_bytes(strided.tobytes())
    empty = shapes.build_manifest_py(b"")
    assert (len(empty), empty.total_len, list(empty)) == (0, 0, [])
    assert empty.root == "sha256:" + hashlib.sha256(b"\0").hexdigest()


def test_manifest_members():
    data = bytes(100_000)
    m = shapes.build_manifest_py(data, {"type": "cdc", "avg_size": 65536})
    ids = m.chunk_ids()
    assert m.chunk_scheme == {"type": "cdc", "avg_size": 65536}
    assert [(o, n) for o, n, _ in m] == [(0, 32816), (32816, 32816), (65632, 32816), (98448, 1552)]
    assert ids[0] == ids[1] == "sha256:" + hashlib.sha256(bytes(32816)).hexdigest()
    assert m[-1] == m[3] == (98448, 1552, ids[3])
    with pytest.raises(IndexError):
        m[4]
    with pytest.raises(TypeError):
        shapes.Manifest()
    f = shapes.build_manifest_py(b"abcdefghij", {"type": "fixed", "size": 4})
    assert f.chunk_scheme == {"type": "fixed", "size": 4}
    assert [n for _, n, _ in f] == [4, 4, 2]


def test_jaccard_equals_the_list_function():
    rng = random.Random(3)
    base = rng.randbytes(2_000_000)
    variants = [b"", base, base[500_000:], base[:1_000_000] + rng.randbytes(10_000) + base[1_000_000:],
                bytes(400_000), rng.randbytes(100_000)]
    scheme = {"type": "cdc", "avg_size": 8192}
    manifests = [shapes.build_manifest_py(v, scheme) for v in variants]
    for a in manifests:
        for b in manifests:
            assert a.jaccard(b) == delta.jaccard_similarity_py(a.chunk_ids(), b.chunk_ids())
    with pytest.raises(TypeError, match="argument 'other'"):
        manifests[0].jaccard(manifests[0].chunk_ids())


def test_json_round_trip():
    for scheme in SCHEMES:
        m = shapes.build_manifest_py(bytes(range(256)) * 300, scheme)
        text = m.to_json()
        back = shapes.manifest_from_json_py(text)
        assert back == m and back.to_json() == text and back.shape_hash == m.shape_hash
    doc = json.loads(text)
    assert sorted(doc) == ["chunk_scheme", "chunks", "root", "total_len"]
    assert doc["chunks"][0] == list(m[0])


def _mutations():
    m = shapes.build_manifest_py(bytes(range(256)) * 100, {"type": "fixed", "size": 1000})
    doc = json.loads(m.to_json())

    def edit(f):
        d = json.loads(json.dumps(doc))
        f(d)
        return json.dumps(d)

    other_id = "sha256:" + "0" * 64
    return [
        ("not json", "not JSON"),
        ("[]", "not a JSON object"),
        (edit(lambda d: d.pop("chunk_scheme")), 'missing member "chunk_scheme"'),
        (edit(lambda d: d.update(chunk_scheme={"type": "fixed", "size": 0})), '"size" above 0'),
        (edit(lambda d: d.update(chunk_scheme={"type": "CDC", "avg_size": 4})), 'type "CDC"'),
        (edit(lambda d: d.update(root="sha256:" + "A" * 64)), '"root" is not a hash string'),
        (edit(lambda d: d.pop("total_len")), 'missing member "total_len"'),
        (edit(lambda d: d.update(total_len=-1)), '"total_len" is not an unsigned integer'),
        (edit(lambda d: d.update(chunks={})), '"chunks" is not an array'),
        (edit(lambda d: d["chunks"][2].pop()), "chunk 2 is not [offset, length, id]"),
        (edit(lambda d: d["chunks"][1].__setitem__(1, 0)), "chunk 1: length is not an integer above 0"),
        (edit(lambda d: d["chunks"][3].__setitem__(2, "sha256:xyz")), "chunk 3: id is not a hash string"),
        (edit(lambda d: d["chunks"][0].__setitem__(0, 1)), "chunk 0: offset 1 does not continue"),
        (edit(lambda d: d["chunks"].pop(4)), "chunk 4: offset 5000 does not continue the chunks before it (expected 4000)"),
        (edit(lambda d: d["chunks"].pop()), "the chunk lengths add up to 25000, not total_len 25600"),
        (edit(lambda d: d.update(total_len=25601)), "add up to 25600, not total_len 25601"),
        (edit(lambda d: d["chunks"][5].__setitem__(2, other_id)), '"root" does not match the root of the chunk ids'),
    ]


@pytest.mark.parametrize("text, fault", _mutations())
def test_json_faults_are_named(text, fault):
    with pytest.raises(ValueError) as e:
        shapes.manifest_from_json_py(text)
    assert str(e.value).startswith("Invalid manifest JSON: ") and fault in str(e.value)


def test_hasher_rules():
    h = shapes.ShapeHasher()
    h.update(b"abc")
    first = h.shape_hash()
    assert first == h.shape_hash() == from_bytes(b"abc")
    with pytest.raises(ValueError, match="after the shape hash was finished"):
        h.update(b"more")
    with pytest.raises(ValueError, match="keep_chunks=True"):
        h.manifest()
    with pytest.raises(ValueError, match="Chunk size must be > 0"):
        shapes.ShapeHasher({"type": "fixed", "size": 0})
    with pytest.raises(ValueError, match="Missing 'avg_size' field"):
        shapes.ShapeHasher({"type": "cdc"})
    with pytest.raises(ValueError, match="workers must be at least 1"):
        shapes.ShapeHasher(workers=0)
    with pytest.raises(TypeError):
        shapes.ShapeHasher(None, False, 2)  # workers is keyword-only
    with pytest.raises(TypeError, match="argument 'data'"):
        h.update("text")


@pytest.mark.parametrize("call, message", [
    (lambda: shapes.build_manifest_py(b"x", {"type": "fixed", "size": 0}),
     "Failed to build manifest: Chunking failed: Chunk size must be > 0"),
    (lambda: shapes.build_manifest_py(b"x", {"type": "cdc", "avg_size": 0}),
     "Failed to build manifest: Chunking failed: Average chunk size must be > 0"),
    (lambda: shapes.build_manifest_from_file_py("/nonexistent/x"),
     'Failed to read file: No such file or directory (os error 2). Context: path: "/nonexistent/x"'),
    (lambda: shapes.build_manifest_from_file_py("/"), "Is a directory (os error 21)"),
])
def test_builder_errors(call, message):
    with pytest.raises(ValueError) as e:
        call()
    assert message in str(e.value)


def test_concurrent_updates_on_one_hasher_are_serialised():
    piece = bytes(range(256)) * 4096  # equal pieces: every order of updates gives one stream
    h = shapes.ShapeHasher({"type": "cdc", "avg_size": 4096})

    def feed():
        for _ in range(20):
            h.update(piece)

    threads = [threading.Thread(target=feed) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert h.shape_hash() == from_bytes(piece * 80, {"type": "cdc", "avg_size": 4096})


def test_two_threads_hash_at_once(tmp_path):
    rng = random.Random(11)
    inputs = [rng.randbytes(20_000_000), rng.randbytes(15_000_000)]
    paths = []
    for k, data in enumerate(inputs):
        paths.append(tmp_path / f"in{k}")
        paths[-1].write_bytes(data)
    expected = [from_bytes(d) for d in inputs]
    results = {}

    def work(k):
        results[k] = (from_bytes(inputs[k]), shapes.compute_data_shape_hash_from_file_py(str(paths[k])),
                      shapes.build_manifest_from_file_py(paths[k], workers=2).shape_hash)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {k: (expected[k],) * 3 for k in range(2)}


def test_bytearray_cannot_be_resized_during_the_call():
    data = bytearray(random.Random(5).randbytes(48_000_000))
    original = bytes(data)
    refused = []
    result = []
    t = threading.Thread(target=lambda: result.append(shapes.build_manifest_py(data)))
    t.start()
    while t.is_alive():
        try:
            data.extend(b"x")
            del data[-1]
        except BufferError:
            refused.append(1)
    t.join()
    assert refused
    assert result[0].shape_hash in (from_bytes(original), from_bytes(original + b"x"))


def test_pipe_fed_by_a_thread_of_the_same_interpreter():
    # Each call blocks on the pipe until the writer thread (same interpreter) writes, which it
    # can only do while the call has the interpreter lock released; under a timeout, so a
    # deadlock fails the test instead of hanging the run.
    child = run_python("""
        import os, tempfile, threading
        from _quillmere import shapes
        data = os.urandom(3_000_000)
        fifo = os.path.join(tempfile.mkdtemp(), "fifo")
        os.mkfifo(fifo)

        def writer():
            with open(fifo, "wb") as f:
                f.write(data)

        calls = [lambda: shapes.compute_data_shape_hash_from_file_py(fifo),
                 lambda: shapes.build_manifest_from_file_py(fifo).shape_hash,
                 lambda: shapes.build_manifest_from_file_py(fifo, workers=2).shape_hash]
        for call in calls:
            t = threading.Thread(target=writer)
            t.start()
            assert call() == shapes.compute_data_shape_hash_from_bytes_py(data)
            t.join()
        print("ok")
    """, timeout=60)
    assert child.returncode == 0 and child.stdout.strip() == "ok", child.stderr


@pytest.mark.parametrize("call", [
    "shapes.compute_data_shape_hash_from_file_py(path)",
    "shapes.build_manifest_from_file_py(path)",
    "shapes.build_manifest_from_file_py(path, workers=2)",
])
def test_signals_stop_hashing_or_let_it_go_on(call, tmp_path):
    # A handler that raises stops hashing an endless file and a FIFO nobody writes to; a
    # handler that does not raise leaves the call running: an open() waiting for the FIFO's
    # writer is resumed, not reported as an interrupted system call.
    child = run_python(f"""
        import os, signal, threading, time
        from _quillmere import shapes

        class Stop(Exception):
            pass

        def stop(*_):
            raise Stop()

        fifo = {str(tmp_path / "fifo")!r}
        os.mkfifo(fifo)
        signal.signal(signal.SIGALRM, stop)
        for path in ["/dev/zero", fifo]:
            signal.setitimer(signal.ITIMER_REAL, 0.3)
            try:
                {call}
                raise SystemExit("not stopped: " + path)
            except Stop:
                pass

        ticks = []
        signal.signal(signal.SIGALRM, lambda *_: ticks.append(1))
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
        data = os.urandom(100_000)

        def writer():
            time.sleep(0.5)
            with open(fifo, "wb") as f:
                f.write(data)

        threading.Thread(target=writer).start()
        path = fifo
        result = {call}
        signal.setitimer(signal.ITIMER_REAL, 0)
        result = result if isinstance(result, str) else result.shape_hash
        assert result == shapes.compute_data_shape_hash_from_bytes_py(data), result
        assert len(ticks) >= 3
        print("ok")
    """, timeout=60)
    assert child.returncode == 0 and child.stdout.strip() == "ok", child.stderr


def merkle_root(ids):
    """The Merkle root over chunk ids, written out from the definition (odd nodes carried up)."""
    level = [hashlib.sha256(b"\0" + bytes.fromhex(i[7:])).digest() for i in ids]
    if not level:
        return "sha256:" + hashlib.sha256(b"\0").hexdigest()
    while len(level) > 1:
        pairs = [hashlib.sha256(b"\1" + level[k] + level[k + 1]).digest() for k in range(0, len(level) - 1, 2)]
        level = pairs + ([level[-1]] if len(level) % 2 else [])
    return "sha256:" + level[0].hex()


def test_jaccard_orders_ids_that_share_their_first_bytes():
    # Ids are read from JSON, so they can share any prefix; the overlap still counts exact ids.
    rng = random.Random(9)
    shared_prefix = ["sha256:" + "00000000" + rng.randbytes(28).hex() for _ in range(300)]
    def manifest(ids):
        doc = {"chunk_scheme": {"type": "fixed", "size": 10}, "root": merkle_root(ids),
               "total_len": 10 * len(ids), "chunks": [[10 * k, 10, i] for k, i in enumerate(ids)]}
        return shapes.manifest_from_json_py(json.dumps(doc))
    a_ids = shared_prefix[:200] + shared_prefix[:50]
    b_ids = shared_prefix[100:] + ["sha256:" + rng.randbytes(32).hex() for _ in range(20)]
    a, b = manifest(a_ids), manifest(b_ids)
    assert a.root == merkle_root(a_ids)
    assert a.jaccard(b) == delta.jaccard_similarity_py(a_ids, b_ids) == 100 / 320


def tiled(data, scheme, lengths):
    """Manifest JSON of `data` cut into `lengths`, with the true ids and root of that tiling."""
    chunks, offset = [], 0
    for n in lengths:
        chunks.append([offset, n, "sha256:" + hashlib.sha256(data[offset:offset + n]).hexdigest()])
        offset += n
    assert offset == len(data)
    return json.dumps({"chunk_scheme": scheme, "chunks": chunks,
                       "root": merkle_root([c[2] for c in chunks]), "total_len": len(data)})


FIXED_7 = {"type": "fixed", "size": 7}
CDC_64 = {"type": "cdc", "avg_size": 64}  # min_size 32, max_size 128; first boundary at 80


@pytest.mark.parametrize("scheme, lengths, fault", [
    (FIXED_7, [1000, 1000], "chunk 0: length 1000 cannot come from its scheme"),
    (FIXED_7, [7, 6, 7], "chunk 1: length 6"),
    (FIXED_7, [7, 8], "chunk 1: length 8"),
    (CDC_64, [129, 100], "chunk 0: length 129"),
    (CDC_64, [79, 100], "chunk 0: length 79"),
    (CDC_64, [128, 176], "chunk 1: length 176"),  # the last runs past max_size by 48
    ({"type": "cdc", "avg_size": 1}, [3, 2], "chunk 0: length 3"),  # only max_size (2) fits
])
def test_json_chunk_lengths_must_fit_the_scheme(scheme, lengths, fault):
    data = bytes(range(256)) * 8
    with pytest.raises(ValueError, match="Invalid manifest JSON: " + fault):
        shapes.manifest_from_json_py(tiled(data[:sum(lengths)], scheme, lengths))


@pytest.mark.parametrize("scheme, lengths", [
    (FIXED_7, [7, 7, 1]),
    (FIXED_7, [7]),
    (CDC_64, [80, 128, 128, 175]),  # boundary, limit, limit, last with the 47-byte overshoot
    (CDC_64, [1]),
    ({"type": "cdc", "avg_size": 1}, [2, 2, 49]),
])
def test_json_chunk_lengths_the_chunker_can_cut_are_accepted(scheme, lengths):
    data = bytes(range(256)) * 8
    shapes.manifest_from_json_py(tiled(data[:sum(lengths)], scheme, lengths))


@settings(max_examples=60, deadline=None)
@given(st.binary(max_size=3000), st.sampled_from([FIXED_7, CDC_64, {"type": "cdc", "avg_size": 5}]))
def test_an_accepted_manifest_rechunks_to_itself(data, scheme):
    # The chunker's own cut is always accepted; a fixed-size tiling is accepted only when it
    # is that cut (with CDC, the lengths alone cannot tell where the content cuts).
    m = shapes.build_manifest_py(data, scheme)
    assert shapes.manifest_from_json_py(m.to_json()) == m
    if scheme["type"] == "fixed" and len(data) > 8:
        other = [3] + [7] * ((len(data) - 3) // 7) + ([(len(data) - 3) % 7] if (len(data) - 3) % 7 else [])
        with pytest.raises(ValueError, match="cannot come from its scheme"):
            shapes.manifest_from_json_py(tiled(data, scheme, other))
