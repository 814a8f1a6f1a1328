"""Manifests of one file built in pieces and joined: equal to the one-pass manifest for every
input, scheme and split; the pieces' binary form and the faults a join refuses."""

import os
import random
import re
import tempfile

import pytest
from hypothesis import given, settings, strategies as st

import _quillmere

shapes = _quillmere.shapes

SCHEMES = [
    {"type": "cdc", "avg_size": 1},
    {"type": "cdc", "avg_size": 64},
    {"type": "cdc", "avg_size": 300},
    {"type": "cdc", "avg_size": 8192},  # pieces shorter than a chunk
    {"type": "fixed", "size": 7},
    {"type": "fixed", "size": 1000},
]


def make_data(kind, n, seed):
    rng = random.Random(seed)
    if kind == "random":
        return rng.randbytes(n)
    if kind == "zeros":  # every window hashes to 0: boundaries at the first candidate
        return bytes(n)
    if kind == "ones":  # no window hashes to a multiple: cuts at max_size
        return b"\x01" * n
    words = [b"alpha ", b"beta ", b"gamma\n", b"a", b"  "]
    out = bytearray()
    while len(out) < n:
        out += rng.choice(words)
    return bytes(out[:n])


def joined(path, bounds, scheme, open_end=False):
    pieces = []
    for k, (a, b) in enumerate(zip(bounds, bounds[1:])):
        length = None if open_end and k == len(bounds) - 2 else b - a
        pieces.append(shapes.build_manifest_piece_py(path, a, length, scheme))
    return shapes.manifest_from_piece_py(shapes.join_manifest_pieces_py(path, pieces))


def assert_same(got, want):
    assert got == want
    assert list(got) == list(want)
    assert (got.root, got.total_len, got.shape_hash) == (want.root, want.total_len, want.shape_hash)


@pytest.fixture
def write(tmp_path):
    def write_file(data):
        path = tmp_path / "data.bin"
        path.write_bytes(data)
        return str(path)
    return write_file


@settings(max_examples=150, deadline=None)
@given(
    kind=st.sampled_from(["random", "zeros", "ones", "text"]),
    n=st.integers(0, 20000),
    seed=st.integers(0, 2**32),
    scheme=st.sampled_from(SCHEMES),
    cut_fractions=st.lists(st.floats(0, 1), max_size=12),
    open_end=st.booleans(),
)
def test_joined_pieces_equal_the_one_pass_manifest(kind, n, seed, scheme, cut_fractions, open_end):
    data = make_data(kind, n, seed)
    # Cuts strictly inside the file; repeated cuts give empty pieces between them.
    cuts = sorted(min(n - 1, max(1, int(f * n))) for f in cut_fractions) if n > 1 else []
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "data.bin")
        with open(path, "wb") as f:
            f.write(data)
        want = shapes.build_manifest_from_file_py(path, scheme)
        assert_same(joined(path, [0, *cuts, n], scheme, open_end), want)


@pytest.mark.parametrize(
    "scheme", [{"type": "cdc", "avg_size": 16}, {"type": "cdc", "avg_size": 300}, {"type": "fixed", "size": 5}])
@pytest.mark.parametrize("kind", ["random", "zeros", "ones"])
def test_pieces_of_one_byte(write, scheme, kind):
    data = make_data(kind, 700, 7)
    path = write(data)
    assert_same(joined(path, list(range(len(data) + 1)), scheme), shapes.build_manifest_py(data, scheme))


def test_data_without_boundaries_is_cut_at_max_size(write):
    # The case the "ones" data above stands for: no window ever qualifies.
    scheme = {"type": "cdc", "avg_size": 300}
    m = shapes.build_manifest_py(make_data("ones", 2000, 0), scheme)
    assert [length for _, length, _ in m] == [600, 600, 600, 200]


def test_a_whole_file_piece_is_its_manifest_in_a_compact_form(write):
    data = make_data("random", 300_000, 3)
    path = write(data)
    whole = shapes.build_manifest_piece_py(path, 0)
    want = shapes.build_manifest_py(data)
    assert_same(shapes.manifest_from_piece_py(whole), want)
    assert len(whole) < 40 + 35 * len(want)  # about 35 bytes a chunk, a sixth of the JSON form
    assert shapes.manifest_from_piece_py(bytearray(whole)) == want


def test_join_refuses_pieces_that_do_not_fit(write):
    data = make_data("random", 50_000, 5)
    path = write(data)
    cdc = {"type": "cdc", "avg_size": 256}
    p = [shapes.build_manifest_piece_py(path, a, 10_000, cdc) for a in range(0, 50_000, 10_000)]
    other = shapes.build_manifest_piece_py(path, 10_000, 10_000, {"type": "fixed", "size": 64})
    cases = {
        "gap": ([p[0], *p[2:]], "piece 1 starts at 20000, not where the piece before it ends (10000)"),
        "unfinished": (p[:-1], "the last piece does not end the stream"),
        "scheme": ([p[0], other, *p[2:]], "piece 1 has another chunk scheme than piece 0"),
        "none": ([], "no pieces"),
    }
    for pieces, text in cases.values():
        with pytest.raises(ValueError, match=re.escape("Cannot join manifest pieces: " + text)):
            shapes.join_manifest_pieces_py(path, pieces)
    with pytest.raises(ValueError, match="not a whole stream"):
        shapes.manifest_from_piece_py(p[1])
    # The file shrank after its pieces were made: the seam walk finds it out.
    with open(path, "r+b") as f:
        f.truncate(10_005)  # inside the first seam
    with pytest.raises(ValueError, match="changed after they were made"):
        shapes.join_manifest_pieces_py(path, p)


@pytest.mark.parametrize(
    "mangle, text",
    [
        (lambda b: b[:-1], "chunk .* truncated"),
        (lambda b: b + b"\0", "1 bytes after the last chunk"),
        (lambda b: b"QMPX" + b[4:], "not a manifest piece \\(no QMPC header\\)"),
        (lambda b: b[:4] + b"\x02" + b[5:], "unknown piece version 2"),
        (lambda b: b[:8] + b"\xc0\x00" + b[9:], "truncated or malformed header numbers"),  # 64, not shortest
        (lambda b: b[:8] + b"\x00" + b[9:], "chunk scheme size 0"),
        (lambda b: b[:10], "truncated or malformed header"),
    ],
    ids=["truncated", "trailing", "magic", "version", "long-number", "size-0", "header"],
)
def test_malformed_pieces_are_refused(write, mangle, text):
    path = write(make_data("random", 5000, 1))
    piece = shapes.build_manifest_piece_py(path, 0, None, {"type": "cdc", "avg_size": 64})
    with pytest.raises(ValueError, match="Invalid manifest piece: pieces\\[0\\]: " + text):
        shapes.join_manifest_pieces_py(path, [mangle(piece)])
    with pytest.raises(TypeError, match="pieces\\[0\\] must be a bytes-like object"):
        shapes.join_manifest_pieces_py(path, ["text"])
