"""The `quillmere` command, run as a user runs it (a subprocess, real stores in temporary
directories): outputs, exit statuses (0 ok, 1 invalid, 2 bad usage), one-line errors."""

import hashlib
import json
import os
import pty
import re
import shutil
import subprocess
import sys

import pytest

import _quillmere
import quillmere as qmpkg
from conftest import child_env, run_python

shapes = _quillmere.shapes
needs_streaming = pytest.mark.skipif(not hasattr(shapes, "ShapeHasher"), reason="native ShapeHasher not built")
COMMANDS = ["record", "verify", "ls", "show", "shape", "diff", "dag", "migrate"]


def qm(*args, stdin=None, stderr=subprocess.PIPE, check_code=None):
    result = subprocess.run([sys.executable, "-m", "quillmere", *map(str, args)], input=stdin,
                            stdout=subprocess.PIPE, stderr=stderr, text=True, env=child_env(), timeout=120)
    if check_code is not None:
        assert result.returncode == check_code, (result.stdout, result.stderr)
    return result


@pytest.fixture
def store(tmp_path):
    """A store with a three-step pipeline on trace t1 and one unrelated receipt."""
    path = tmp_path / "store"
    parent = None
    rids = []
    for workload in ["extract", "normalize", "aggregate"]:
        args = ["record", workload, "--store", path, "--trace", "t1", "--payload", '{"step": "%s"}' % workload]
        out = qm(*args, *(["--parent", parent] if parent else []), check_code=0).stdout.split()
        assert len(out) == 2 and out[1].startswith("sha256:")
        parent = out[0]
        rids.append(parent)
    qm("record", "other", "--store", path, "--trace", "t2", "--tag", "x", check_code=0)
    return path, rids


def tamper(path, rid):
    file = path / "receipts" / f"{rid}.json"
    document = json.loads(file.read_text())
    document["dom"] = document["dom"][:-1] + ("0" if document["dom"][-1] != "0" else "1")
    file.write_text(json.dumps(document))


@pytest.mark.parametrize("command", [None] + COMMANDS)
def test_help_everywhere(command):
    out = qm(*([command] if command else []), "--help", check_code=0).stdout
    assert out.startswith("usage: quillmere")


def test_ls_show_verify_round_trip(store):
    path, rids = store
    listing = qm("ls", "--store", path, check_code=0).stdout.splitlines()
    assert listing[0].split()[:3] == ["RID", "KIND", "WORKLOAD"] and len(listing) == 5
    assert [line.split()[2] for line in listing[1:4]] == ["extract", "normalize", "aggregate"]
    lines = qm("ls", "--store", path, "--trace", "t1", "--json", check_code=0).stdout.splitlines()
    assert sorted(json.loads(line)["rid"] for line in lines) == sorted(rids)
    assert len(qm("ls", "--store", path, "--workload", "other", "--json").stdout.splitlines()) == 1
    assert len(qm("ls", "--store", path, "--limit", "2", "--json").stdout.splitlines()) == 2
    shown = json.loads(qm("show", rids[1][:8], "--store", path, check_code=0).stdout)
    assert shown["rid"] == rids[1] and shown["links"] == [rids[0]]
    out = qm("verify", "--store", path, check_code=0).stdout
    assert out.count("valid ") == 4 and out.strip().endswith("4 valid, 0 invalid")
    recorded = json.loads(qm("record", "w", "--store", path, "--json", check_code=0).stdout)
    assert _quillmere.verify_receipt_py(_quillmere.receipts.receipt_from_json_py(json.dumps(recorded)))


def test_verify_reports_each_failure(store, tmp_path):
    path, rids = store
    tamper(path, rids[1])
    (path / "receipts" / "broken.json").write_text("{not json")
    result = qm("verify", path, check_code=1)
    assert "3 valid, 2 invalid" in result.stdout and "hash mismatch" in result.stdout
    assert "Failed to create receipt from JSON" in result.stdout
    verdicts = [json.loads(line) for line in qm("verify", rids[0], rids[1], "--store", path, "--json").stdout.splitlines()]
    assert [v["valid"] for v in verdicts] == [True, False]
    single = path / "receipts" / f"{rids[0]}.json"
    assert qm("verify", single).returncode == 0
    assert qm("verify", "0000", "--store", path).returncode == 1


@pytest.mark.parametrize(
    "args, message",
    [
        (["record", "w", "--store", "{store}", "--payload", "{bad"], "is not JSON"),
        (["record", "w", "--store", "{store}", "--payload", "[1]"], "must be a JSON object"),
        (["record", "w", "--store", "{store}", "--parent", "not-a-uuid"], "not a receipt id"),
        (["record", "w", "--store", "{store}", "--payload", "{}", "--payload-file", "x"], "not both"),
        (["ls", "--store", "{missing}"], "no receipt store"),
        (["ls", "--store", "{store}", "--limit", "many"], "invalid int value"),
        (["ls", "--store", "{store}", "--limit", "-1"], "must be at least 0"),
        (["ls", "--store", "sqlite:{missing}"], "no such SQLite database"),
        (["ls", "--store", "mysql://{missing}"], "not supported"),
        (["record", "w", "--store", "{store}", "--parent", "abc123"], "no receipt in the store"),
        (["shape", "{store}", "--workers", "100000000000000000000000000"], "must be at most"),
        (["diff", "{store}", "{store}", "--cost-model", '{"c_id": 1, "c_comp": {"type": "linear", '
          '"per_row": 1, "base": 0}, "alpha": 1}'], "give --rows"),
        (["shape"], "required: PATH"),
        (["shape", "{store}", "--scheme", "big:1"], "invalid chunk scheme"),
        (["dag", "--store", "{store}", "--format", "png"], "invalid choice"),
        (["frobnicate"], "invalid choice"),
    ],
)
def test_bad_usage_is_one_line_and_status_2(tmp_path, args, message):
    env_args = [a.replace("{store}", str(tmp_path)).replace("{missing}", str(tmp_path / "nope")) for a in args]
    result = qm(*env_args)
    assert result.returncode == 2, result.stderr
    assert result.stderr.count("\n") == 1 and message in result.stderr and "Traceback" not in result.stderr
    assert not (tmp_path / "nope").exists()


def test_failures_are_one_line_and_status_1(tmp_path):
    result = qm("shape", tmp_path / "missing.bin")
    assert result.returncode == 1 and result.stderr.count("\n") == 1 and "Traceback" not in result.stderr
    (tmp_path / "receipts").mkdir()
    assert qm("show", "1234", "--store", tmp_path).returncode == 1
    # libpq's two-line connection error, and a directory given as data, each on one line.
    for args in (["ls", "--store", "postgresql://127.0.0.1:1/none?connect_timeout=5"], ["shape", tmp_path]):
        result = qm(*args)
        assert result.returncode == 1 and result.stderr.count("\n") == 1, result.stderr
    assert "Is a directory" in result.stderr


def test_dag_links_steps_in_order_and_marks_invalid(store):
    path, rids = store
    mermaid = qm("dag", "--store", path, "--trace", "t1", check_code=0).stdout
    ids = ["r" + rid.replace("-", "_") for rid in rids]
    assert mermaid.startswith("flowchart")
    assert f"{ids[1]} --> {ids[0]}" in mermaid and f"{ids[2]} --> {ids[1]}" in mermaid
    assert mermaid.count("-->") == 2 and "INVALID" not in mermaid
    graph = json.loads(qm("dag", "--store", path, "--format", "json", check_code=0).stdout)
    assert len(graph["nodes"]) == 4 and {(e["from"], e["to"]) for e in graph["edges"]} == \
        {(rids[1], rids[0]), (rids[2], rids[1])}
    tamper(path, rids[1])
    dot = qm("dag", "--store", path, "--format", "dot", check_code=1).stdout
    assert "INVALID" in dot and dot.count("->") == 2
    if shutil.which("dot"):
        rendered = subprocess.run(["dot", "-Tsvg"], input=dot, capture_output=True, text=True, timeout=60)
        assert rendered.returncode == 0 and "<svg" in rendered.stdout, rendered.stderr
    # A trace whose first step is not listed: the link ends in a "not listed" node.
    partial = qm("dag", "--store", path, "--trace", "t1", "--format", "mermaid").stdout
    assert "class r" in partial and "invalid" in partial


def test_dag_labels_are_escaped(tmp_path):
    qm("record", 'say "hi" <b>', "--store", tmp_path, check_code=0)
    mermaid = qm("dag", "--store", tmp_path, check_code=0).stdout
    assert "#quot;hi#quot; #lt;b#gt;" in mermaid
    dot = qm("dag", "--store", tmp_path, "--format", "dot", check_code=0).stdout
    assert r'say \"hi\" <b>' in dot


@needs_streaming
def test_shape_and_diff(tmp_path):
    # Not periodic: repeated content would collapse into a few distinct chunk ids.
    old = hashlib.shake_256(b"old").digest(2048 * 256)
    new = old[:300_000] + b"a small edit" + old[300_000:]
    (tmp_path / "old.bin").write_bytes(old)
    (tmp_path / "new.bin").write_bytes(new)
    out = qm("shape", tmp_path / "old.bin", tmp_path / "new.bin", "--scheme", "cdc:4096", "--json",
             check_code=0)
    rows = [json.loads(line) for line in out.stdout.splitlines()]
    assert [r["shape_hash"] for r in rows] == [
        shapes.compute_data_shape_hash_from_bytes_py(d, {"type": "cdc", "avg_size": 4096}) for d in (old, new)]
    assert out.stderr == ""  # no progress bar when stderr is not a terminal
    piped = qm("shape", "-", stdin=None, check_code=None)
    assert piped.returncode == 0
    saved = tmp_path / "old.manifest.json"
    qm("shape", tmp_path / "old.bin", "--scheme", "cdc:4096", "--manifest-out", saved, check_code=0)
    model = '{"c_id": 10, "c_comp": {"type": "linear", "per_row": 0.5, "base": 20}, "alpha": 0.8}'
    # The saved manifest's scheme applies to the data file on the other side.
    result = json.loads(qm("diff", saved, tmp_path / "new.bin", "--cost-model", model, "--rows", "100",
                           "--json", check_code=0).stdout)
    direct = json.loads(qm("diff", tmp_path / "old.bin", tmp_path / "new.bin", "--scheme", "cdc:4096",
                           "--cost-model", model, "--rows", "100", "--json", check_code=0).stdout)
    assert result["jaccard"] == direct["jaccard"] and 0.5 < result["jaccard"] < 1.0
    assert result["reuse"]["decision"] == "reuse" and result["economic_delta"] == direct["economic_delta"]
    text = qm("diff", tmp_path / "old.bin", tmp_path / "old.bin", check_code=0).stdout
    assert "jaccard overlap   1.0000" in text
    mismatch = qm("diff", saved, tmp_path / "new.bin", "--scheme", "fixed:4096")
    assert mismatch.returncode == 2 and "chunked differently" in mismatch.stderr


def on_terminal(*args, env=None):
    """(stdout, what reached the terminal on stderr, status) of a command whose standard error
    is a terminal."""
    leader, follower = pty.openpty()
    try:
        process = subprocess.Popen([sys.executable, "-m", "quillmere", *map(str, args)], stdout=subprocess.PIPE,
                                   stderr=follower, env=dict(child_env(), **(env or {})), text=True)
        os.close(follower)
        out, _ = process.communicate(timeout=120)
        drawn = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:
                break
            if not chunk:
                break
            drawn += chunk
    finally:
        os.close(leader)
    return out, drawn, process.returncode


@needs_streaming
@pytest.mark.parametrize("no_color", [False, True])
def test_progress_bar_only_on_a_terminal(tmp_path, no_color):
    data = tmp_path / "data.bin"
    data.write_bytes(os.urandom(1 << 20))
    out, drawn, code = on_terminal("shape", data, "--progress-min", "0", env={"NO_COLOR": "1"} if no_color else {})
    assert code == 0 and out.startswith("sha256:")
    # Drawn, then cleared away (the last thing written erases the line).
    assert b"1.0/1.0 MiB" in drawn and drawn.endswith(b"\x1b[2K")
    assert bool(re.search(rb"\x1b\[[0-9;]*3\dm", drawn)) is not no_color


@pytest.mark.skipif(not hasattr(_quillmere.Client, "copy_receipts_to"), reason="no database stores in this build")
def test_migrate_to_sqlite_keeps_every_receipt(store, tmp_path):
    path, rids = store
    url = f"sqlite:///{tmp_path / 'receipts.db'}"
    assert qm("migrate", path, url, check_code=0).stdout.startswith("copied 4 receipts")
    before = sorted(qm("ls", "--store", path, "--json").stdout.splitlines())
    assert sorted(qm("ls", "--store", url, "--json", check_code=0).stdout.splitlines()) == before
    assert qm("verify", "--store", url, check_code=0).stdout.strip().endswith("4 valid, 0 invalid")
    assert json.loads(qm("show", rids[2][:6], "--store", url, check_code=0).stdout)["rid"] == rids[2]
    assert "-->" in qm("dag", "--store", url, check_code=0).stdout
    assert qm("migrate", tmp_path / "absent", url).returncode == 2


# --------------------------------------------------------------------- hostile text, limits, pipes

HOSTILE = "evil\x1b[31mRED\x07\r\x9b\u202e\nvalid  forged.json"


def test_control_characters_never_reach_the_terminal_and_columns_are_capped(tmp_path):
    store = tmp_path / "store"
    client = qmpkg.Client(store)
    client.store_receipts([client.record_work(HOSTILE, {}, trace_id="t" + HOSTILE)]
                          + [client.record_work("w" * 20_000, {}, trace_id="t") for _ in range(50)])
    named = tmp_path / ("receipt" + HOSTILE)
    shutil.copy(next((store / "receipts").iterdir()), named)
    shutil.copy(named, os.fsencode(store / "receipts") + b"/caf\xe9.json")  # a name that is no UTF-8
    outputs = [qm("ls", "--store", store, check_code=0).stdout,
               qm("verify", store / "receipts", named, check_code=0).stdout,
               qm("dag", "--store", store, check_code=0).stdout,
               qm("shape", named, check_code=0).stdout]
    for out in outputs:
        assert not re.search("[\x00-\x09\x0b-\x1f\x7f-\x9f\u202e]", out), out
        assert max(map(len, out.splitlines())) < 400
    verified = outputs[1].splitlines()
    assert len(verified) == 1 + 53 + 1 and not any(line.startswith("valid  forged") for line in verified)
    assert "caf\\xe9.json" in outputs[1]
    # JSON stays exact, and show's JSON reads back to the same text.
    listed = [json.loads(line) for line in qm("ls", "--store", store, "--json").stdout.splitlines()]
    assert sorted(r["payload"]["method_ref"]["method_id"] for r in listed)[0] == HOSTILE
    rid = next(r["rid"] for r in listed if r["payload"]["method_ref"]["method_id"] == HOSTILE)
    shown = qm("show", rid, "--store", store, check_code=0).stdout
    assert "\x9b" not in shown and json.loads(shown)["payload"]["method_ref"]["method_id"] == HOSTILE
    assert json.loads(qm("show", rid[:6], "--store", store, "--json").stdout)["rid"] == rid


def test_limit_keeps_the_newest_whatever_the_store_order(tmp_path):
    store = tmp_path / "store"
    (store / "receipts").mkdir(parents=True)
    # Times run against rid order (the order of the files), with mixed offsets and fractions.
    times = ["2026-01-01T00:00:05+00:00", "2026-01-01T00:00:04.5+00:00", "2026-01-01T01:00:04.25+01:00",
             "2026-01-01T00:00:03.999999999Z", "2026-01-01T00:00:01+00:00"]
    base = json.loads(qmpkg.record_work("w", {}).to_json())
    for index, timestamp in enumerate(times):
        rid = f"{index:08x}-0000-4000-8000-000000000000"
        document = dict(base, rid=rid, ctx=dict(base["ctx"], timestamp=timestamp))
        (store / "receipts" / f"{rid}.json").write_text(json.dumps(document))
    newest = [json.loads(line)["ctx"]["timestamp"]
              for line in qm("ls", "--store", store, "--limit", "3", "--json", check_code=0).stdout.splitlines()]
    assert newest == [times[2], times[1], times[0]]
    huge = qm("ls", "--store", store, "--limit", "1" + "0" * 25, "--json", check_code=0).stdout
    assert len(huge.splitlines()) == 5


def test_closed_pipe_ends_quietly_with_status_0(tmp_path):
    client = qmpkg.Client(tmp_path)
    client.store_receipts([client.record_work(f"w{i}", {}) for i in range(600)])
    for args in (["ls"], ["ls", "--json"], ["verify"]):
        process = subprocess.Popen([sys.executable, "-m", "quillmere", *args, "--store", str(tmp_path)],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env())
        process.stdout.readline()
        process.stdout.close()
        assert process.wait(timeout=120) == 0 and process.stderr.read() == b""


def test_parent_prefix_unknown_parent_and_tags(tmp_path):
    first = qm("record", "a", "--store", tmp_path, check_code=0).stdout.split()[0]
    second = qm("record", "b", "--store", tmp_path, "--parent", first[:5].upper(), "--tag", "x", check_code=0)
    assert "tags are not kept" in second.stderr
    assert json.loads(qm("show", second.stdout.split()[0], "--store", tmp_path).stdout)["links"] == [first]
    absent = "12345678-1234-4234-8234-123456789abc"
    third = qm("record", "c", "--store", tmp_path, "--parent", absent, check_code=0)
    assert "warning: parent" in third.stderr and third.stderr.count("\n") == 1


def test_verify_refuses_what_is_no_receipt_without_reading_it(tmp_path):
    big = tmp_path / "big.bin"
    with open(big, "wb") as f:
        f.truncate(1 << 40)  # sparse: a terabyte that would take hours to read
    result = qm("verify", big, "/dev/zero", "--json", check_code=1)
    problems = [json.loads(line)["problem"] for line in result.stdout.splitlines()]
    assert "not a receipt: 1.0 TiB" in problems[0] and "not a regular file" in problems[1]


@needs_streaming
def test_shape_streams_without_keeping_chunks(tmp_path):
    data = tmp_path / "data.bin"
    data.write_bytes(os.urandom(4 << 20))
    code = f"""
        import resource, sys
        from quillmere import cli
        sys.argv = ["quillmere", "shape", {str(data)!r}, "--scheme", "fixed:1", "--json"]
        assert cli.main() == 0
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
    """
    result = run_python(code)
    lines = result.stdout.splitlines()
    shape = json.loads(lines[0])
    assert shape["total_len"] == 4 << 20 and shape["chunks"] is None
    assert shape["shape_hash"] == shapes.compute_data_shape_hash_from_file_py(str(data), {"type": "fixed", "size": 1})
    # Kept, 4 Mi chunks would take 200 MB.
    assert int(lines[1]) < 120_000, lines[1]
    counted = json.loads(qm("shape", data, "--scheme", "fixed:65536", "--chunks", "--json").stdout)
    assert counted["chunks"] == 64 and counted["shape_hash"] == qmpkg.data_shape_hash(data, "fixed:65536")


@needs_streaming
def test_diff_counts_shared_and_changed_chunks_and_bytes(tmp_path):
    blocks = [hashlib.sha256(bytes([i])).digest() * 128 for i in range(12)]  # 4 KiB each, distinct
    (tmp_path / "old").write_bytes(b"".join(blocks[:10]))
    (tmp_path / "new").write_bytes(b"".join(blocks[:3] + [blocks[10]] + blocks[4:10] + [blocks[11]]))
    args = ["diff", tmp_path / "old", tmp_path / "new", "--scheme", "fixed:4096"]
    overlap = json.loads(qm(*args, "--json", check_code=0).stdout)["overlap"]
    assert overlap == {"chunks": {"shared": 9, "only_old": 1, "only_new": 2},
                       "bytes": {"shared_in_new": 9 * 4096, "only_old": 4096, "only_new": 2 * 4096}}
    text = qm(*args, check_code=0).stdout
    assert re.search(r"shared\s+9 chunks\s+\(36.0 KiB of NEW \(81.8%\) is in OLD\)", text)
    assert re.search(r"changed\s+2 chunks\s+\(8.0 KiB of NEW is not in OLD\)", text)


def test_counts_agree_with_their_nouns(store, tmp_path):
    path, _ = store  # trace t2 holds one receipt
    said = qm("verify", "--store", path, "--trace", "t2", check_code=0).stdout
    assert said.splitlines()[-1] == "trace t2: 1 receipt, 0 faults, 0 external inputs"
    page = tmp_path / "r.html"
    done = qm("report", "--store", path, "--trace", "t2", "--no-dot", "-o", page, check_code=0)
    assert "(1 receipt)" in done.stderr and "<span>1 receipt</span>" in page.read_text(encoding="utf-8")
