"""The `receipts` view of the SQL stores as people query it: its rows against list_receipts,
the README's example queries through the real `sqlite3` and `psql` clients, the escaped form
of hostile values, the indexes behind a trace filter, and an older layout upgraded in place.
The PostgreSQL cases use the server named by QM_TEST_PG_URL and skip without it."""

import json
import shutil
import sqlite3
import subprocess
from datetime import datetime, timezone
from pathlib import Path

import pytest

import _quillmere
from conftest import reseal
from test_sql_stores import pg_url, psql  # noqa: F401  (pg_url is a fixture)

Client = _quillmere.Client
receipts = _quillmere.receipts
README = (Path(__file__).resolve().parents[2] / "README.md").read_text(encoding="utf-8")


def sqlite_cli(path, sql):
    program = shutil.which("sqlite3")
    assert program, "the sqlite3 command-line client is needed"
    return subprocess.run([program, "-batch", "-noheader", "-bail", str(path)], input=sql,
                          check=True, capture_output=True, text=True, timeout=60).stdout


def lines(text):
    return [line for line in text.splitlines() if line]


def shown(value):
    """The view's text for a stored value: itself when clean, else \\x and its hex."""
    data = value.encode("utf-8", "surrogateescape") if isinstance(value, str) else value
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        text = None
    if text is None or "\0" in text or text.startswith("\\x"):
        return "\\x" + data.hex()
    return text


def at(receipt, when):
    """The receipt with its timestamp set to `when` (RFC 3339), resealed."""
    document = json.loads(receipt.to_json())
    document["ctx"]["timestamp"] = when
    return reseal(document)


def open_store(kind, tmp_path, request):
    if kind == "sqlite":
        path = tmp_path / "receipts.db"
        return Client(storage_url=f"sqlite://{path}"), path
    url = request.getfixturevalue("pg_url")
    return Client(storage_url=url), url


def view_rows(kind, target):
    """Every view row as a dict, in seq order, read through the database's own client."""
    if kind == "sqlite":
        with sqlite3.connect(target) as db:
            db.row_factory = sqlite3.Row
            rows = [dict(r) for r in db.execute("SELECT * FROM receipts ORDER BY seq")]
        for row in rows:
            row["parent_rids"] = json.loads(row["parent_rids"]) if row["parent_rids"] else None
        return rows
    text = psql(target, "SELECT coalesce(json_agg(r ORDER BY seq), '[]') FROM receipts r")
    return json.loads(text)


def utc_seconds(text):
    if text.endswith("Z"):  # SQLite
        return datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=timezone.utc)
    return datetime.fromisoformat(text).astimezone(timezone.utc)  # PostgreSQL timestamptz


@pytest.mark.parametrize("kind", ["sqlite", "postgres"])
def test_view_rows_equal_list_receipts(kind, tmp_path, request):
    client, target = open_store(kind, tmp_path, request)
    first = receipts.record_work_py("prices", {"day": 1}, trace_id="nightly")
    made = [first, receipts.record_work_py("prices", {"day": 2}, trace_id="nightly",
                                           parent_id=first.get_rid())]
    made += [at(receipts.record_work_py(f"w{i % 3}", {"i": i}, trace_id=f"t{i % 2}"),
                f"2026-03-0{i % 4 + 1}T1{i}:30:00.5+02:00") for i in range(8)]
    client.store_receipts(made)
    listed = client.list_receipts()
    rows = view_rows(kind, target)
    assert [r["rid"] for r in rows] == [r.get_rid() for r in listed]
    # The store marks every body it wrote as shown as it is (the view's quick path).
    if kind == "sqlite":
        with sqlite3.connect(target) as db:
            assert db.execute("SELECT count(*) FROM qm_receipts "
                              "WHERE body_clean IS NOT length(body)").fetchone() == (0,)
    else:
        assert lines(psql(target, "SELECT count(*) FROM qm_receipts "
                                  "WHERE body_clean IS DISTINCT FROM octet_length(body)")) == ["0"]
    for row, receipt in zip(rows, listed):
        document = json.loads(receipt.to_json())
        assert row["body_text"] == receipt.to_json()
        assert row["body"] == (document if kind == "postgres" else receipt.to_json())
        assert row["kind"] == document["kind"]
        payload = document["payload"]
        assert (row["workload_id"], row["trace_id"], row["hash"]) == (
            payload["method_ref"]["method_id"], payload["trace_id"], receipt.get_hash())
        assert row["parent_rids"] == document["links"]
        stamp = datetime.fromisoformat(document["ctx"]["timestamp"][:19] +
                                       document["ctx"]["timestamp"][-6:])
        assert utc_seconds(row["timestamp"]) == stamp
    assert rows[1]["parent_rids"] == [first.get_rid()]
    for trace in ["nightly", "t1"]:
        api = [r.get_rid() for r in client.list_receipts(trace_id=trace)]
        assert [r["rid"] for r in rows if r["trace_id"] == trace] == api
    # A body in another key order (another writer's) is read through the JSON functions,
    # never through what the store kept for the body it replaced.
    document = json.loads(made[1].to_json())
    document["links"] = [first.get_rid(), made[2].get_rid()]
    other = json.dumps(document, sort_keys=True, separators=(",", ":")).encode().hex()
    if kind == "sqlite":
        with sqlite3.connect(target) as db:
            db.execute(f"UPDATE qm_receipts SET body = X'{other}' WHERE seq = 2")
    else:
        psql(target, f"UPDATE qm_receipts SET body = '\\x{other}'::bytea WHERE seq = 2")
    row = view_rows(kind, target)[1]
    assert (row["kind"], row["parent_rids"]) == ("execution", document["links"])
    assert json.loads(row["body_text"]) == document


# --- the README's queries ---

# Three workloads over two days, two traces; "ingest" and "train" read the same input shape.
STORY = [
    ("ingest", {"file": "a.csv"}, "nightly", "2026-01-05T09:00:00Z"),
    ("train", {"file": "a.csv"}, "nightly", "2026-01-05T09:10:00Z"),
    ("report", {"model": 1}, "nightly", "2026-01-05T09:05:00Z"),
    ("ingest", {"file": "b.csv"}, "weekly", "2026-01-06T08:00:00Z"),
    ("train", {"file": "b.csv"}, "weekly", "2026-01-06T08:30:00Z"),
    ("ingest", {"file": "c.csv"}, "weekly", "2026-01-06T07:00:00Z"),
]

QUERIES = {
    "trace": {
        "sqlite": "SELECT rid, workload_id, timestamp FROM receipts\n"
                  "WHERE trace_id = 'nightly' ORDER BY timestamp, seq;",
        "postgres": "SELECT rid, workload_id, timestamp FROM receipts\n"
                    "WHERE trace_id = 'nightly' ORDER BY timestamp, seq;",
    },
    "per_day": {
        "sqlite": "SELECT workload_id, substr(timestamp, 1, 10) AS day, count(*) FROM receipts\n"
                  "WHERE workload_id IS NOT NULL GROUP BY workload_id, day ORDER BY workload_id, day;",
        "postgres": "SELECT workload_id, date(timestamp AT TIME ZONE 'UTC') AS day, count(*)\n"
                    "FROM receipts WHERE workload_id IS NOT NULL\n"
                    "GROUP BY workload_id, day ORDER BY workload_id, day;",
    },
    "dom": {
        "sqlite": "SELECT rid, workload_id FROM receipts\n"
                  "WHERE json_extract(body, '$.dom') = :dom ORDER BY seq;",
        "postgres": "SELECT rid, workload_id FROM receipts\n"
                    "WHERE body ->> 'dom' = :'dom' ORDER BY seq;",
    },
    "newest": {
        "sqlite": "SELECT workload_id, rid, timestamp FROM receipts r\n"
                  "WHERE seq = (SELECT seq FROM receipts n WHERE n.workload_id = r.workload_id\n"
                  "             ORDER BY timestamp DESC, seq DESC LIMIT 1)\n"
                  "ORDER BY workload_id;",
        "postgres": "SELECT workload_id, rid, timestamp FROM receipts r\n"
                    "WHERE seq = (SELECT seq FROM receipts n WHERE n.workload_id = r.workload_id\n"
                    "             ORDER BY timestamp DESC, seq DESC LIMIT 1)\n"
                    "ORDER BY workload_id;",
    },
}


@pytest.mark.parametrize("kind", ["sqlite", "postgres"])
def test_readme_queries_through_the_command_line_clients(kind, tmp_path, request):
    client, target = open_store(kind, tmp_path, request)
    made = [at(receipts.record_work_py(w, p, trace_id=t), when) for w, p, t, when in STORY]
    client.store_receipts(made)
    rid = [r.get_rid() for r in made]
    dom = made[0].get_dom()
    assert made[1].get_dom() == dom and len({r.get_dom() for r in made}) == 4

    def run(name):
        sql = QUERIES[name][kind]
        assert sql in README, f"README lost the {kind} query {name!r}"
        if kind == "sqlite":
            return lines(sqlite_cli(target, f".param set :dom '{dom}'\n{sql}"))
        return lines(subprocess.run(
            ["psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-v", f"dom={dom}",
             "-d", target, "-c", "SET TimeZone = 'UTC'", "-f", "-"],
            input=sql, check=True, capture_output=True, text=True, timeout=60).stdout)

    def stamp(when):
        return when if kind == "sqlite" else when.replace("T", " ").replace("Z", "+00")

    assert run("trace") == [f"{rid[i]}|{STORY[i][0]}|{stamp(STORY[i][3])}" for i in (0, 2, 1)]
    assert run("per_day") == ["ingest|2026-01-05|1", "ingest|2026-01-06|2", "report|2026-01-05|1",
                              "train|2026-01-05|1", "train|2026-01-06|1"]
    assert run("dom") == [f"{rid[0]}|ingest", f"{rid[1]}|train"]
    assert run("newest") == [f"{STORY[i][0]}|{rid[i]}|{stamp(STORY[i][3])}" for i in (3, 2, 4)]


@pytest.mark.parametrize("kind", ["sqlite", "postgres"])
def test_trace_filter_on_the_view_uses_an_index(kind, tmp_path, request):
    client, target = open_store(kind, tmp_path, request)
    client.store_receipt(receipts.record_work_py("w", {}, trace_id="t"))
    sql = "SELECT * FROM receipts WHERE trace_id = 't' ORDER BY seq"
    if kind == "sqlite":
        plan = sqlite_cli(target, "EXPLAIN QUERY PLAN " + sql)
        assert "USING INDEX qm_receipts_trace_id_text" in plan and "TEMP B-TREE" not in plan
    else:
        plan = psql(target, "SET enable_seqscan = off; EXPLAIN " + sql)
        assert "Index Scan using qm_receipts_trace_id_text" in plan and "Sort" not in plan
    with pytest.raises(subprocess.CalledProcessError):
        if kind == "sqlite":
            sqlite_cli(target, "DELETE FROM receipts")
        else:
            psql(target, "DELETE FROM receipts")


# --- hostile values ---

HOSTILE = ["it's \"quoted\"", "nul\0inside", "\0", "\\x41 looks escaped", "é 漢字 🦀",
           "x" * 100_000, "' OR '1'='1", ""]


@pytest.mark.parametrize("kind", ["sqlite", "postgres"])
def test_hostile_text_escaped_in_the_view_exact_through_the_api(kind, tmp_path, request):
    client, target = open_store(kind, tmp_path, request)
    made = [receipts.record_work_py(text, {"i": i}, trace_id=text) for i, text in enumerate(HOSTILE)]
    client.store_receipts(made)
    rows = view_rows(kind, target)
    for text, receipt, row in zip(HOSTILE, made, rows):
        assert (row["workload_id"], row["trace_id"]) == (shown(text), shown(text))
        assert row["body_text"] == receipt.to_json()
        if kind == "postgres":
            # jsonb holds no NUL: such a body is NULL there, its exact text stays in body_text.
            assert row["body"] == (None if "\0" in text else json.loads(receipt.to_json()))
        got = client.list_receipts(trace_id=text)
        assert [r.to_json() for r in got] == [receipt.to_json()]
        assert json.loads(got[0].to_json())["payload"]["method_ref"]["method_id"] == text
    # The shown text finds the receipt through the view, NUL and all.
    for text in ["nul\0inside", "\\x41 looks escaped"]:
        literal = shown(text)
        if kind == "sqlite":
            found = lines(sqlite_cli(target, f"SELECT count(*) FROM receipts WHERE trace_id = '{literal}'"))
        else:
            found = lines(psql(target, f"SELECT count(*) FROM receipts WHERE trace_id = '{literal}'"))
        assert found == ["1"]
    # Bytes that are not UTF-8 can only come from another writer of the table.
    if kind == "sqlite":
        with sqlite3.connect(target) as db:
            db.execute("UPDATE qm_receipts SET trace_id = X'61FF62' WHERE seq = 1")
    else:
        psql(target, "UPDATE qm_receipts SET trace_id = '\\x61ff62'::bytea, "
                     "workload_id = '\\x80'::bytea WHERE seq = 1")
    if kind == "sqlite":  # SQLite text keeps any bytes: shown as stored
        assert sqlite_cli(target, "SELECT hex(trace_id) FROM receipts WHERE seq = 1") == "61FF62\n"
    else:
        rows = view_rows(kind, target)
        assert (rows[0]["trace_id"], rows[0]["workload_id"]) == ("\\x61ff62", "\\x80")


# --- upgrading the first layout ---

FIRST_LAYOUT = {
    "sqlite": [
        "CREATE TABLE qm_schema_version (version INTEGER NOT NULL)",
        "CREATE TABLE qm_receipts (rid TEXT NOT NULL PRIMARY KEY, seq INTEGER NOT NULL UNIQUE, "
        "workload_id BLOB, trace_id BLOB, timestamp_s INTEGER, policy_ref BLOB, change_epoch BLOB, "
        "pac BLOB, hash BLOB NOT NULL, body BLOB NOT NULL)",
    ],
    "postgres": [
        "CREATE TABLE qm_schema_version (version BIGINT NOT NULL)",
        "CREATE TABLE qm_receipts (rid TEXT NOT NULL PRIMARY KEY, seq BIGINT GENERATED ALWAYS AS "
        "IDENTITY UNIQUE, workload_id BYTEA, trace_id BYTEA, timestamp_s BIGINT, policy_ref BYTEA, "
        "change_epoch BYTEA, pac BYTEA, hash BYTEA NOT NULL, body BYTEA NOT NULL)",
    ],
}
FIRST_INDEXES = ["workload_id", "trace_id", "timestamp_s", "policy_ref", "change_epoch", "pac", "hash"]
COLUMNS = "rid, workload_id, trace_id, timestamp_s, policy_ref, change_epoch, pac, hash, body"


def first_layout(kind):
    statements = list(FIRST_LAYOUT[kind])
    statements += [f"CREATE INDEX qm_receipts_{c} ON qm_receipts ({c}{', seq' if c != 'hash' else ''})"
                   for c in FIRST_INDEXES]
    return statements + ["INSERT INTO qm_schema_version VALUES (1)"]


@pytest.mark.parametrize("kind", ["sqlite", "postgres"])
def test_first_layout_upgrades_in_place_and_keeps_every_receipt(kind, tmp_path, request):
    # Rows written by the current store, moved into tables of the first layout.
    client, target = open_store(kind, tmp_path, request)
    made = [receipts.record_work_py(t, {"i": i}, trace_id=t) for i, t in enumerate(HOSTILE)]
    client.store_receipts(made)
    if kind == "sqlite":
        old = tmp_path / "old.db"
        with sqlite3.connect(old) as db:
            for statement in first_layout(kind):
                db.execute(statement)
            db.execute(f"ATTACH '{target}' AS new")
            db.execute(f"INSERT INTO qm_receipts ({COLUMNS}, seq) SELECT {COLUMNS}, seq + 10 "
                       "FROM new.qm_receipts")
            raw = db.execute(f"SELECT {COLUMNS} FROM qm_receipts ORDER BY seq").fetchall()
        upgraded = Client(storage_url=f"sqlite://{old}")
        with sqlite3.connect(old) as db:
            assert db.execute(f"SELECT {COLUMNS} FROM qm_receipts ORDER BY seq").fetchall() == raw
            versions = [v for (v,) in db.execute("SELECT version FROM qm_schema_version")]
            indexes = {n for (n,) in db.execute(
                "SELECT name FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL")}
        old_target = old
    else:
        new_schema = target.rsplit("%3D", 1)[1]
        old_target = target.replace(new_schema, new_schema + "_old")
        psql(target, f"CREATE SCHEMA {new_schema}_old")
        try:
            psql(old_target, ";\n".join(first_layout(kind)) + ";\n" +
                 f"INSERT INTO qm_receipts ({COLUMNS}) SELECT {COLUMNS} FROM "
                 f"{new_schema}.qm_receipts ORDER BY seq")
            dump = f"SELECT md5(string_agg(row({COLUMNS})::text, ',' ORDER BY seq)) FROM qm_receipts"
            raw = psql(old_target, dump)
            upgraded = Client(storage_url=old_target)
            assert psql(old_target, dump) == raw
            versions = [int(v) for v in lines(psql(old_target, "SELECT version FROM qm_schema_version"))]
            indexes = set(lines(psql(old_target, "SELECT indexname FROM pg_indexes WHERE "
                                                 "schemaname = current_schema()")))
        except BaseException:
            psql(target, f"DROP SCHEMA {new_schema}_old CASCADE")
            raise
    assert sorted(versions) == [1, 2, 3, 4]
    assert {"qm_receipts_trace_id_text", "qm_receipts_workload_id_text",
            "qm_receipts_timestamp_s"} <= indexes
    assert not {"qm_receipts_trace_id", "qm_receipts_workload_id", "qm_receipts_hash"} & indexes
    assert [r.to_json() for r in upgraded.list_receipts()] == [r.to_json() for r in made]
    for text, receipt in zip(HOSTILE, made):
        assert [r.get_rid() for r in upgraded.list_receipts(trace_id=text)] == [receipt.get_rid()]
    assert [r["rid"] for r in view_rows(kind, old_target)] == [r.get_rid() for r in made]
    Client(storage_url=str(f"sqlite://{old_target}" if kind == "sqlite" else old_target))  # reopens
    if kind == "postgres":
        psql(target, f"DROP SCHEMA {new_schema}_old CASCADE")
