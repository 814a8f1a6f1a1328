"""Record and chunk sketches: the overlap they estimate against exact sets, the same sketch
from every path (bytes, file, file object, pieces of any size, worker threads), the record
rules, and the binary form."""

import io
import random

import pytest

import quillmere as qm
from conftest import _quillmere

shapes = _quillmere.shapes


def csv_rows(rows, changed=frozenset(), seed=5):
    rnd = random.Random(seed)
    lines = ["id,name,amount"]
    for i in range(rows):
        amount = rnd.random() * 100 + (1 if i in changed else 0)
        lines.append(f"{i},n{rnd.randrange(10**6)},{amount:.3f}")
    return ("\n".join(lines) + "\n").encode()


def test_scattered_row_changes_show_at_record_level_but_not_at_chunk_level():
    rows = 50_000
    changed = frozenset(random.Random(1).sample(range(rows), rows // 20))
    a, b = csv_rows(rows), csv_rows(rows, changed)
    ma, sa = qm.manifest_and_sketch(a, "csv")
    mb, sb = qm.manifest_and_sketch(b, "csv")
    true_j = (rows - len(changed)) / (rows + len(changed))
    assert abs(sa.jaccard(sb) - true_j) <= 0.05
    assert ma.jaccard(mb) < 0.2  # nearly every 64 KiB chunk holds a changed row
    assert abs(sa.cardinality - rows) <= 4 * sa.cardinality_error * rows
    assert sa.error_bound == pytest.approx(1.96 * 0.5 / 16)


@pytest.mark.parametrize("records", [None, "lines", "csv"])
def test_every_path_gives_the_same_manifest_and_sketch(tmp_path, records):
    data = csv_rows(3000) + b'9,"quoted\r\nnewline",1\r\n\r\nlast,row,no newline\r'
    path = tmp_path / "data.bin"
    path.write_bytes(data)
    m, s = qm.manifest_and_sketch(data, records, "cdc:512")
    assert m == qm.manifest(data, "cdc:512")
    assert s.records == records
    assert qm.manifest_and_sketch(path, records, "cdc:512") == (m, s)
    assert qm.manifest_and_sketch(io.BytesIO(data), records, "cdc:512", workers=2) == (m, s)
    assert qm.manifest_and_sketch(bytearray(data), records, "cdc:512", workers=3) == (m, s)
    assert qm.sketch(path, records, chunk_scheme="cdc:512") == s
    rnd = random.Random(records or "chunks")
    hasher = shapes.ShapeHasher({"type": "cdc", "avg_size": 512}, True, records=records)
    at = 0
    while at < len(data):  # pieces of 0 to 40 bytes split records, "\r\n" and quotes anywhere
        step = rnd.randrange(0, 41)
        hasher.update(data[at : at + step])
        at += step
    assert (hasher.manifest(), hasher.sketch()) == (m, s)
    if records is None:
        assert qm.Sketch.from_manifest(m) == s == qm.sketch(m)


def test_a_record_hash_does_not_depend_on_where_the_record_is_split():
    rnd = random.Random(2)
    for length in [0, 1, 3, 4, 7, 8, 15, 16, 17, 31, 32, 33, 47, 48, 49, 63, 64, 65, 100]:
        record = bytes(rnd.randrange(32, 127) for _ in range(length)) + b"\n"
        whole = qm.sketch(b"x\n" + record, "lines")
        for cut in range(len(record) + 1):
            hasher = shapes.ShapeHasher(records="lines")
            for piece in (b"x\n" + record[:cut], record[cut:]):
                hasher.update(piece)
            assert hasher.sketch() == whole, (length, cut)


@pytest.mark.parametrize(
    "a, b, records, expected",
    [
        (b"r1\nr2\nr3\n", b"r1\r\nr2\r\n\r\nr3", "lines", 1.0),  # CRLF, blank lines, no final newline
        (b"h1\nr1\nr2\n", b"other,header\nr2\nr1\n", "csv", 1.0),  # header left out, order free
        (b"r1\nr1\nr2\n", b"r2\nr1\n", "lines", 1.0),  # a set: duplicates count once
        (b'h\n"a\nb"\n', b'h\n"a\n', "csv", 0.0),  # a quoted newline keeps the row whole
        (b"", b"", "lines", 1.0),
        (b"", b"x\n", "lines", 0.0),
        (b"a\n", b"b\n", "lines", 0.0),
    ],
)
def test_record_rules(a, b, records, expected):
    assert qm.sketch(a, records).jaccard(qm.sketch(b, records)) == expected


def test_cardinality_counts_records_and_is_never_zero_for_data():
    assert qm.sketch(b"h\n1\n2\n2\n3\n", "csv").cardinality == 3
    assert qm.sketch(b"", "lines").cardinality == 0
    assert qm.sketch(b"\n\n\r\n", "lines").cardinality == 0
    assert qm.sketch(b"x", "lines").cardinality == 1


def test_merge_is_the_sketch_of_the_union():
    a = b"".join(b"a%d\n" % i for i in range(5000))
    b = b"".join(b"b%d\n" % i for i in range(3000))
    assert qm.sketch(a, "lines").merge(qm.sketch(b, "lines")) == qm.sketch(a + b, "lines")


def test_auto_chooses_records_by_name_then_content(tmp_path):
    text = b"a,b\n1,2\n"
    (tmp_path / "t.csv").write_bytes(text)
    (tmp_path / "t.dat").write_bytes(text)
    (tmp_path / "t.bin").write_bytes(b"\0\1\2" * 100)
    assert qm.sketch(tmp_path / "t.csv").records == "csv"
    assert qm.sketch(tmp_path / "t.dat").records == "lines"
    assert qm.sketch(tmp_path / "t.bin").records is None
    assert qm.sketch(text).records == "lines"
    assert qm.sketch(io.BytesIO(b"\xff\xfe\0")).records is None


def test_binary_form_round_trips_and_refuses_anything_else():
    s = qm.sketch(csv_rows(500), "csv")
    raw = s.to_bytes()
    assert len(raw) == 9 + 4 * 256 + 4096 and raw[:4] == b"QMSK"
    assert qm.Sketch.from_bytes(raw) == s and qm.Sketch.from_bytes(memoryview(raw)) == s
    for bad, text in [
        (raw[:-1], "sketch of 5128 bytes"),
        (b"XXXX" + raw[4:], "no QMSK header"),
        (raw[:4] + b"\x02" + raw[5:], "unknown sketch format 2"),
        (raw[:5] + b"\x07" + raw[6:], "unknown sketch kind 7"),
        (raw[:-1] + b"\x99", "out of range"),
        (qm.sketch(b"", "lines").to_bytes()[:-1] + b"\x01", "inconsistent sketch"),
    ]:
        with pytest.raises(ValueError, match=text):
            qm.Sketch.from_bytes(bad)


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: qm.sketch(b"a\n", "lines").jaccard(qm.sketch(b"h\na\n", "csv")), ValueError, "lines with one of csv"),
        (lambda: qm.sketch(b"a\n", "lines").jaccard(b"a"), TypeError, "argument 'other'"),
        (lambda: qm.sketch(b"a\n", "tsv"), ValueError, "records must be"),
        (lambda: shapes.sketch_py(b"a\n", "auto"), ValueError, 'records must be None, "lines" or "csv"'),
        (lambda: shapes.ShapeHasher().sketch(), ValueError, "needs a ShapeHasher made with records="),
        (lambda: qm.Sketch.from_manifest(b"x"), TypeError, "argument 'manifest'"),
        (lambda: shapes.sketch_from_file_py("/nonexistent/x.csv", "csv"), ValueError, "Failed to read file"),
    ],
)
def test_misuse_is_refused(call, error, text):
    with pytest.raises(error) as raised:
        call()
    assert text in str(raised.value)


def test_diff_shows_the_record_overlap_beside_the_chunk_overlap(tmp_path):
    import json
    import subprocess
    import sys

    from conftest import child_env

    rows = 20_000
    changed = frozenset(random.Random(4).sample(range(rows), rows // 20))
    (tmp_path / "old.csv").write_bytes(csv_rows(rows))
    (tmp_path / "new.csv").write_bytes(csv_rows(rows, changed))
    (tmp_path / "blob.bin").write_bytes(bytes(range(256)) * 64)

    def diff(*names):
        argv = [sys.executable, "-m", "quillmere", "diff", *(str(tmp_path / n) for n in names), "--json"]
        return json.loads(subprocess.run(argv, capture_output=True, text=True, env=child_env(), check=True).stdout)

    result = diff("old.csv", "new.csv")
    record = result["record_jaccard"]
    assert record["records"] == "csv" and record["error_bound"] == pytest.approx(0.06125)
    assert abs(record["estimate"] - (rows - len(changed)) / (rows + len(changed))) <= 0.05
    assert result["jaccard"] < 0.3
    assert diff("old.csv", "blob.bin")["record_jaccard"] is None
