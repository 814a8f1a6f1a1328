"""Remembered manifests, sealed steps, the chain check and automatic reuse."""

from __future__ import annotations

import hashlib
import os
import random

import pytest

import quillmere as qm
from test_sql_stores import pg_url  # noqa: F401  (a fixture)

PG_URL = os.environ.get("QM_TEST_PG_URL")


@pytest.fixture(params=["filesystem", "sqlite", "postgresql"])
def client(request, tmp_path):
    if request.param == "filesystem":
        return qm.Client(tmp_path / "store")
    if request.param == "sqlite":
        return qm.Client(storage_url=f"sqlite://{tmp_path}/store.db")
    return qm.Client(storage_url=request.getfixturevalue("pg_url"))


def data(n, seed=1):
    return random.Random(seed).randbytes(n)


# --- manifests -----------------------------------------------------------------------------


@pytest.mark.parametrize("scheme", [None, "cdc:4096", "fixed:1000"])
@pytest.mark.parametrize("size", [0, 1, 999, 300_000, 9_000_000])
def test_binary_form_round_trips_within_bound(scheme, size):
    # Reading back recomputes the root on its own path (subtrees, two threads from 8192
    # chunks): equal to the chunker's root for every count of chunks here.
    m = qm.manifest(data(size), scheme)
    body = m.to_bytes()
    assert qm.manifest_from_bytes(body) == m
    assert qm.manifest_from_bytes(memoryview(bytearray(body))) == m
    assert len(body) <= 64 + 42 * len(m)


def test_binary_form_refuses_every_damage():
    body = qm.manifest(data(50_000), "cdc:1024").to_bytes()
    # Every truncation and every single-bit flip after the scheme is caught (the scheme
    # itself is covered by the digest a store keeps the form under).
    for cut in range(0, len(body), 7):
        with pytest.raises(ValueError, match="^Invalid binary manifest: "):
            qm.manifest_from_bytes(body[:cut])
    rng = random.Random(5)
    for _ in range(300):
        i = rng.randrange(8, len(body))
        damaged = bytearray(body)
        damaged[i] ^= 1 << rng.randrange(8)
        with pytest.raises(ValueError):
            qm.manifest_from_bytes(bytes(damaged))
    with pytest.raises(ValueError, match="bytes follow the last chunk"):
        qm.manifest_from_bytes(body + b"\0")
    with pytest.raises(ValueError, match="exceeds the bytes that follow"):
        qm.manifest_from_bytes(b"QMMF\x01\x00\x80\x80\x04\x00\xff\xff\xff\xff\x0f" + bytes(32))


@pytest.mark.parametrize("size", [3_000, 1_200_000])  # 30 and 12,000 chunks (two threads)
def test_binary_form_checked_against_its_digest(size):
    from _quillmere import shapes as _shapes

    body = qm.manifest(data(size), "fixed:100").to_bytes()
    digest = "sha256:" + hashlib.sha256(body).hexdigest()
    assert _shapes.manifest_from_bytes_py(body, digest=digest) == qm.manifest_from_bytes(body)
    with pytest.raises(ValueError, match="does not match its digest"):
        _shapes.manifest_from_bytes_py(body, digest="sha256:" + "0" * 64)
    # A damaged root under the damaged bytes' own digest is a root fault; under the old
    # digest the mismatch is named first, also when the form no longer reads.
    damaged = body[:20] + bytes([body[20] ^ 1]) + body[21:]
    own = "sha256:" + hashlib.sha256(damaged).hexdigest()
    with pytest.raises(ValueError, match="root does not match"):
        _shapes.manifest_from_bytes_py(damaged, digest=own)
    for bad in (damaged, body[:-1]):
        with pytest.raises(ValueError, match="does not match its digest"):
            _shapes.manifest_from_bytes_py(bad, digest=digest)


def test_manifests_round_trip_through_every_store(client):
    a, b = qm.manifest(data(200_000, 2), "cdc:4096"), qm.manifest(b"")
    da, db = client.store_manifest(a), client.store_manifest(b)
    assert da == "sha256:" + hashlib.sha256(a.to_bytes()).hexdigest()
    assert client.store_manifest(a) == da  # stored once, same digest
    assert client.load_manifest(da) == a and client.load_manifest(db) == b
    with pytest.raises(KeyError):
        client.load_manifest("sha256:" + "0" * 64)


def test_filesystem_manifest_is_one_file_and_checked_on_load(tmp_path):
    client = qm.Client(tmp_path)
    digest = client.store_manifest(qm.manifest(data(10_000)))
    client.store_manifest(qm.manifest(data(10_000)))
    files = os.listdir(tmp_path / "manifests")
    assert files == [digest[7:] + ".qmm"]
    path = tmp_path / "manifests" / files[0]
    path.write_bytes(path.read_bytes()[:-1] + b"\0")
    with pytest.raises(ValueError, match="does not match its digest"):
        client.load_manifest(digest)


# --- steps and the chain check -------------------------------------------------------------

needs_execution = pytest.mark.skipif(not hasattr(qm, "record_execution"), reason="no record_execution")


def write(path, content):
    path.write_bytes(content)
    return path


@needs_execution
def test_failed_step_stores_nothing_and_is_not_a_parent(tmp_path):
    client = qm.Client(tmp_path / "store")
    src = write(tmp_path / "in.bin", data(5000))
    with qm.trace("t", client=client):
        with qm.step("a", inputs=[src]) as first:
            pass
        with pytest.raises(KeyError):
            with qm.step("b", inputs=[src]) as failed:
                raise KeyError("x")
        with qm.step("c") as after:
            pass
        inside = qm.record_work("w", {})
    assert failed.receipt is None
    assert sorted(r.workload_id for r in client.list_receipts(trace_id="t")) == ["a", "c"]
    assert after.receipt.parent_ids == (first.rid,)
    assert inside.parent_ids == (after.rid,)
    assert qm.verify_trace(client, "t").ok


@needs_execution
def test_steps_on_files_compose_and_external_inputs_are_not_faults(tmp_path):
    client = qm.Client(tmp_path / "store")
    raw, mid, out = tmp_path / "raw.bin", tmp_path / "mid.bin", tmp_path / "out.bin"
    write(raw, data(40_000))
    with qm.trace("t", client=client):
        with qm.step("a", inputs=raw, outputs=mid) as a:
            mid.write_bytes(raw.read_bytes()[::2])
        with qm.step("b", {"k": 1}, inputs=[mid, raw], outputs=out) as b:
            out.write_bytes(mid.read_bytes()[:100])
    assert a.receipt.parent_ids == ()
    assert b.receipt.parent_ids == (a.rid,)
    assert a.receipt.cod == qm.data_shape_hash(mid) == b.receipt.payload["input_locator_refs"][0]["content_hash"]
    assert a.receipt.payload.get("prev_execution_rid") is None  # first of its trace
    assert b.receipt.payload["prev_execution_rid"] == a.rid
    report = qm.verify_trace(client, "t")
    assert report.ok and report.faults == []
    # raw.bin came from outside: external for both steps, with its readable locator.
    assert [(e.index, e.locator) for e in report.external] == [(0, str(raw)), (1, str(raw))]


@needs_execution
def test_output_changed_in_place_breaks_composition_at_its_index(tmp_path):
    client = qm.Client(tmp_path / "store")
    raw, mid = write(tmp_path / "raw.bin", data(9000)), tmp_path / "mid.bin"
    with qm.trace("t", client=client):
        with qm.step("a", inputs=raw, outputs=mid) as a:
            mid.write_bytes(b"written by a")
        mid.write_bytes(b"changed behind the trace's back")
        with qm.step("b", inputs=mid) as b:
            pass
    assert b.receipt.parent_ids == (a.rid,)  # linked by the place a wrote to
    report = qm.verify_trace(client, "t")
    assert not report.ok
    assert [(f.kind, f.text) for f in report.faults] == [(
        "composition",
        f"Composition error at receipt 1: expected cod {a.receipt.cod}, got dom {b.receipt.dom}",
    )]


@needs_execution
def test_every_fault_of_a_trace_is_reported(tmp_path):
    client = qm.Client(tmp_path / "store")
    with qm.trace("t", client=client):
        for name in "abc":
            with qm.step(name):
                pass
    receipts = {r.workload_id: r for r in client.list_receipts(trace_id="t")}
    # Tamper with a's file and delete b's: a fails its hash, c links to a missing receipt.
    doc = receipts["a"].to_dict()
    doc["dom"] = "sha256:" + "1" * 64
    import json

    (tmp_path / "store" / "receipts" / f"{receipts['a'].rid}.json").write_text(json.dumps(doc))
    os.remove(tmp_path / "store" / "receipts" / f"{receipts['b'].rid}.json")
    report = qm.verify_trace(client, "t")
    assert sorted((f.rid, f.kind) for f in report.faults) == sorted(
        [(receipts["a"].rid, "hash"), (receipts["c"].rid, "unresolved-link")])
    unsigned = [f for f in qm.verify_trace(client, "t", require_signature=True).faults if f.kind == "signature"]
    assert [f.text for f in unsigned] == ["the receipt is not signed"] * 2


@needs_execution
def test_decorator_async_and_encrypted_locators(tmp_path):
    import asyncio

    key = bytes(range(32))
    client = qm.Client(tmp_path / "store", locator_key=key)
    src = write(tmp_path / "in.bin", data(3000))

    @qm.step(inputs=src)
    def work():
        return 7

    async def later():
        async with qm.step("async", inputs=src) as s:
            await asyncio.sleep(0)
        return s

    with qm.trace("t", client=client):
        assert work() == 7
        handle = asyncio.run(later())
    ref = handle.receipt.payload["input_locator_refs"][0]
    assert ref["encryption_scheme"] == "aes-256-gcm" and bytes(ref["encrypted_data"]) != str(src).encode()
    report = qm.verify_trace(client, "t")
    assert report.ok and {e.locator for e in report.external} == {str(src)}
    assert {e.locator for e in qm.verify_trace(qm.Client(tmp_path / "store"), "t").external} == {None}


# --- automatic reuse -----------------------------------------------------------------------


def variant(base, changed, seed):
    """`base` with `changed` of its 64-byte blocks replaced."""
    out = bytearray(base)
    rng = random.Random(seed)
    for block in rng.sample(range(len(base) // 64), changed):
        out[block * 64:(block + 1) * 64] = rng.randbytes(64)
    return bytes(out)


@needs_execution
def test_find_reusable_agrees_with_exact_jaccard(client, tmp_path):
    base = data(400_000, 3)
    # A method of its own: a PostgreSQL store keeps what earlier runs stored.
    method = qm.method_shape_hash("sha256:" + "ab" * 32, {"run": os.urandom(8).hex()})
    stored = []
    for i, changed in enumerate([0, 3, 40, 400]):
        m = qm.manifest(variant(base, changed, i), "cdc:4096")
        with qm.step("w", inputs=m, method=method, client=client) as s:
            pass
        stored.append((s.rid, m))
    today = qm.manifest(variant(base, 2, 99), "cdc:4096")
    model = {"c_id": 1, "c_comp": 100, "alpha": 0.9}
    match = client.find_reusable(method, [today], model)
    best_rid, best_m = max(stored, key=lambda p: today.jaccard(p[1]))
    assert match.exact and match.rid == best_rid and match.j == today.jaccard(best_m)
    assert match.decision == qm.decide_reuse(match.j, model)["decision"]
    assert match.economic_delta == qm.economic_delta(match.j, model)
    other = qm.method_shape_hash("sha256:" + "cd" * 32)
    assert client.find_reusable(other, [today], model) is None


@pytest.mark.parametrize("kind", ["sqlite", "postgresql"])
def test_native_reuse_index_counts_shared_keys_and_refuses_bad_input(kind, tmp_path, request):
    url = f"sqlite://{tmp_path}/store.db" if kind == "sqlite" else request.getfixturevalue("pg_url")
    native = qm.Client(storage_url=url).native
    method, other = "sha256:" + "1" * 64, "sha256:" + "2" * 64
    native.index_executions([("r1", method, '{"n":1}', [1, 2, 3, -(2**63)]), ("r2", method, "{}", [3, 4]),
                             ("r3", other, "{}", [1, 2, 3])])
    native.index_executions([("r1", method, '{"n":2}', [2**63 - 1])])  # replaced text, keys kept
    found = sorted(native.reuse_candidates(method, [1, 3, 4, 2**63 - 1, -(2**63), 99]))
    assert found == [('{"n":2}', 4), ("{}", 2)]
    assert native.reuse_candidates(method, []) == []
    body = b"\0\xff" * 1000
    digest = native.store_manifest_bytes(body)
    assert digest == "sha256:" + hashlib.sha256(body).hexdigest()
    assert native.load_manifest_bytes(digest) == body and native.store_manifest_bytes(body) == digest
    assert native.load_manifest_bytes("sha256:" + "0" * 64) is None
    for bad in ["sha256:" + "A" * 64, "sha256:abc", digest + "0"]:
        with pytest.raises(ValueError, match="not a manifest digest"):
            native.load_manifest_bytes(bad)
    with pytest.raises(ValueError, match="UTF-8 without NUL"):
        native.index_executions([("r9", method, "a\0b", [1])])
    with pytest.raises(OverflowError):
        native.reuse_candidates(method, [2**63])
    assert sorted(native.reuse_candidates(method, [4])) == [("{}", 1)]  # nothing half-written
    with pytest.raises(ValueError, match="only the SQL stores"):
        qm.Client(tmp_path / "fs").native.load_manifest_bytes(digest)


# The tables an earlier release made beside the versioned layout (version 2) for the
# manifests and the reuse index; the upgrade adopts them with their rows.
EARLIER_TABLES = {
    "sqlite": [
        "CREATE TABLE qm_manifests (digest TEXT NOT NULL PRIMARY KEY, body BLOB NOT NULL) WITHOUT ROWID",
        "CREATE TABLE qm_reuse_entries (rid TEXT NOT NULL PRIMARY KEY, method TEXT NOT NULL, "
        "entry TEXT NOT NULL) WITHOUT ROWID",
        "CREATE TABLE qm_reuse_keys (key INTEGER NOT NULL, rid TEXT NOT NULL, PRIMARY KEY (key, rid)) "
        "WITHOUT ROWID",
    ],
    "postgresql": [
        "CREATE TABLE qm_manifests (digest TEXT NOT NULL PRIMARY KEY, body BYTEA NOT NULL)",
        "CREATE TABLE qm_reuse_entries (rid TEXT NOT NULL PRIMARY KEY, method TEXT NOT NULL, entry TEXT NOT NULL)",
        "CREATE TABLE qm_reuse_keys (key BIGINT NOT NULL, rid TEXT NOT NULL, PRIMARY KEY (key, rid))",
    ],
}
SIDE = ["qm_manifests", "qm_reuse_entries", "qm_reuse_keys"]


@needs_execution
@pytest.mark.parametrize("kind", ["sqlite", "postgresql"])
def test_side_tables_of_an_earlier_release_upgrade_in_place(kind, tmp_path, request):
    import sqlite3

    from test_sql_stores import psql

    if kind == "sqlite":
        url = f"sqlite://{tmp_path}/store.db"

        def run(statements):
            with sqlite3.connect(tmp_path / "store.db") as db:
                return [list(r) for s in statements for r in db.execute(s).fetchall()]
    else:
        url = request.getfixturevalue("pg_url")

        def run(statements):
            return [line.split("|") for line in psql(url, ";\n".join(statements)).splitlines() if line]
    client = qm.Client(storage_url=url)
    method = qm.method_shape_hash("sha256:" + "ef" * 32)
    m = qm.manifest(data(300_000, 5), "cdc:4096")
    with qm.step("w", inputs=m, method=method, client=client) as s:
        pass
    del client
    # The database as the earlier release left it: version 2 (its view is made again by the
    # upgrade), its own tables beside the layout with these rows.
    copy = [f"CREATE TABLE kept_{t} AS SELECT * FROM {t}" for t in SIDE]
    back = [f"INSERT INTO {t} SELECT * FROM kept_{t}" for t in SIDE]
    kept = ["kind_text", "links_json", "body_clean"] if kind == "sqlite" else ["body_clean"]
    layout = (["DROP VIEW receipts"] + [f"ALTER TABLE qm_receipts DROP COLUMN {c}" for c in kept]
              + ["CREATE VIEW receipts AS SELECT rid FROM qm_receipts",
                 "DELETE FROM qm_schema_version WHERE version >= 3"])
    run(copy + [f"DROP TABLE {t}" for t in SIDE] + EARLIER_TABLES[kind] + back
        + [f"DROP TABLE kept_{t}" for t in SIDE] + layout)
    rows = run([f"SELECT count(*) FROM {t}" for t in SIDE])
    assert [int(n) for (n,) in rows][:2] == [1, 1] and int(rows[2][0]) > 60
    upgraded = qm.Client(storage_url=url)
    assert sorted(int(v) for (v,) in run(["SELECT version FROM qm_schema_version"]))[-3:] == [2, 3, 4]
    assert run([f"SELECT count(*) FROM {t}" for t in SIDE]) == rows
    assert [r.get_rid() for r in upgraded.list_receipts()] == [s.rid]
    assert upgraded.load_manifest("sha256:" + hashlib.sha256(m.to_bytes()).hexdigest()) == m
    match = upgraded.find_reusable(method, [m], {"c_id": 1, "c_comp": 100, "alpha": 0.9})
    assert match.rid == s.rid and match.j == 1.0 and match.exact


@needs_execution
@pytest.mark.parametrize("c_id", [1.0, 30.0, 80.0, 1000.0])
def test_reuse_skips_the_block_exactly_when_the_rule_says_so(tmp_path, c_id):
    client = qm.Client(tmp_path / "store")
    base = data(300_000, 4)
    src, out = tmp_path / "in.bin", tmp_path / "out.bin"
    model = {"c_id": c_id, "c_comp": 100, "alpha": 0.9}
    calls = []

    @qm.step("job", inputs=src, outputs=out, reuse=model, client=client, chunk_scheme="cdc:4096")
    def job():
        calls.append(1)
        out.write_bytes(src.read_bytes()[:1000])

    src.write_bytes(base)
    job()
    first = client.list_receipts()[0]
    src.write_bytes(variant(base, 20, 5))
    j = qm.manifest(src, "cdc:4096").jaccard(qm.manifest(base, "cdc:4096"))
    reuse = qm.decide_reuse(j, model)["decision"] == "reuse"
    job()
    assert len(calls) == (1 if reuse else 2)
    second = [r for r in client.list_receipts() if r.rid != first.rid][0]
    assert (second.payload.get("prev_execution_rid") == first.rid) == reuse
    if reuse:  # an output that no longer matches is not reused
        out.write_bytes(b"edited")
        job()
        assert len(calls) == 2


@needs_execution
def test_a_with_block_that_writes_anyway_is_not_recorded_as_reuse(tmp_path):
    client = qm.Client(tmp_path / "store")
    src, out = write(tmp_path / "in.bin", data(50_000)), tmp_path / "out.bin"
    model = {"c_id": 1, "c_comp": 100, "alpha": 0.9}
    for content in (b"first", b"second, written although reuse was offered"):
        with qm.step("job", inputs=src, outputs=out, reuse=model, client=client) as s:
            out.write_bytes(content)
    assert s.match is not None and s.match.decision == "reuse" and s.reused is None
    assert s.receipt.cod == qm.data_shape_hash(out) and "prev_execution_rid" not in s.receipt.payload


@needs_execution
def test_cli_verify_trace_and_reuse(tmp_path, capsys):
    from quillmere import cli

    store = tmp_path / "store"
    client = qm.Client(store)
    src, out = write(tmp_path / "in.bin", data(100_000)), tmp_path / "out.bin"
    with qm.trace("t", client=client):
        with qm.step("job", inputs=src, outputs=out):
            out.write_bytes(b"x")
    assert cli.main(["verify", "--store", str(store), "--trace", "t"]) == 0
    assert "0 faults, 1 external" in capsys.readouterr().out
    assert cli.main(["verify", "--store", str(store), "--trace", "nothing"]) == 1
    capsys.readouterr()
    assert cli.main(["reuse", "--store", str(store), "--method", "job", str(src)]) == 0
    said = capsys.readouterr().out
    assert said.startswith("reuse: J = 1.0000") and str(out) in said
