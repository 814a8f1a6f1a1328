"""The filesystem store as Python sees it: directory edge cases, warnings for unparseable
files, and writes that are never visible half-done."""

import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import _quillmere
from conftest import child_env, receipts

Client = _quillmere.Client


@pytest.fixture
def client(tmp_path):
    return Client(storage_path=str(tmp_path))


@pytest.fixture
def receipts_dir(tmp_path, client):
    return tmp_path / "receipts"


def test_removed_receipts_directory(client, receipts_dir, recorded):
    shutil.rmtree(receipts_dir)
    with pytest.raises(ValueError) as info:
        client.store_receipt(recorded)
    assert str(info.value) == (
        f"Failed to store receipt: I/O error: Failed to write receipt to "
        f"{receipts_dir}/{recorded.get_rid()}.json: No such file or directory (os error 2)")
    with pytest.raises(ValueError) as info:
        client.list_receipts()
    assert str(info.value) == (
        f"Failed to query receipts: I/O error: Failed to read receipts directory "
        f"{receipts_dir}: No such file or directory (os error 2)")
    assert not receipts_dir.exists()  # the store does not recreate it


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda d: (d / "x.json").mkdir(),
         "Failed to query receipts: I/O error: Failed to read receipt file: "),
        (lambda d: (d / "bad.json").write_bytes(b'{"rid": "\xff\xfe"}'),
         "Failed to query receipts: I/O error: Failed to read receipt file: "
         "stream did not contain valid UTF-8"),
    ],
    ids=["subdirectory", "invalid-utf8"],
)
def test_unreadable_entries_fail_the_whole_query(client, receipts_dir, recorded, make, message):
    client.store_receipt(recorded)
    make(receipts_dir)
    with pytest.raises(ValueError) as info:
        client.list_receipts()
    assert str(info.value).startswith(message)
    if message.endswith("UTF-8"):
        assert str(info.value) == message
    # the store stays usable once the entry is gone
    shutil.rmtree(receipts_dir / "x.json", ignore_errors=True)
    (receipts_dir / "bad.json").unlink(missing_ok=True)
    assert len(client.list_receipts()) == 1


@pytest.mark.parametrize("content", ["{", "", "[]", '{"rid": "x"}', "not json at all"])
def test_unparseable_file_warns_once_and_is_skipped(client, receipts_dir, recorded, capfd,
                                                    content):
    client.store_receipt(recorded)
    (receipts_dir / "bad.json").write_text(content)
    capfd.readouterr()
    listed = client.list_receipts()
    assert [r.get_rid() for r in listed] == [recorded.get_rid()]
    err = capfd.readouterr().err
    lines = err.splitlines()
    assert len(lines) == 1 and err.endswith("\n")
    assert lines[0].startswith(f"Warning: Failed to parse receipt file {receipts_dir}/bad.json: ")


def test_other_entries_are_ignored(client, receipts_dir, recorded, capfd):
    client.store_receipt(recorded)
    for name in ["notes.txt", ".json", "x.JSON", "y.json.tmp", "z.jsonx"]:
        (receipts_dir / name).write_text("{")
    (receipts_dir / "sub").mkdir()
    capfd.readouterr()
    assert [r.get_rid() for r in client.list_receipts()] == [recorded.get_rid()]
    assert capfd.readouterr().err == ""


def test_foreign_files_are_read_by_content(client, receipts_dir):
    text = receipts.record_work_py("w", {}, trace_id="t").to_json()
    (receipts_dir / "renamed.json").write_text(text)
    (listed,) = client.list_receipts(trace_id="t")
    assert listed.to_json() == text


def test_successful_writes_leave_only_receipt_files(client, receipts_dir):
    made = [receipts.record_work_py("w", {"i": i}) for i in range(20)]
    for r in made + made[:5]:
        client.store_receipt(r)
    assert sorted(os.listdir(receipts_dir)) == sorted(r.get_rid() + ".json" for r in made)


# --- crash safety -------------------------------------------------------------------------

# A receipt whose JSON text is several megabytes, so that a write takes many system calls.
BIG_RECEIPT = """
import json, _quillmere
def big_receipt(i):
    r = _quillmere.record_work_py("big", {"i": i})
    document = json.loads(r.to_json())
    document["payload"]["span_commitments"] = ["sha256:" + "%064x" % n for n in range(60000)]
    return _quillmere.receipts.receipt_from_json_py(json.dumps(document))
"""


def test_failed_write_leaves_no_file_and_keeps_the_old_receipt(tmp_path):
    """A write refused by the kernel mid-way (file size limit) must leave the earlier
    receipt intact and no temporary file behind."""
    code = BIG_RECEIPT + textwrap.dedent(f"""
        import os, resource, signal, sys
        client = _quillmere.Client(storage_path={str(tmp_path)!r})
        old = _quillmere.record_work_py("small", {{}})
        client.store_receipt(old)
        big = big_receipt(0)
        big_json = json.loads(big.to_json())
        big_json["rid"] = old.get_rid()
        big = _quillmere.receipts.receipt_from_json_py(json.dumps(big_json))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))
        try:
            client.store_receipt(big)
            print("stored")
        except ValueError as e:
            print("error:", e)
        print(old.get_rid())
        print(old.to_json())
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env=child_env(), timeout=120)
    assert result.returncode == 0, result.stderr
    status, rid, old_json = result.stdout.splitlines()
    path = tmp_path / "receipts" / (rid + ".json")
    assert status == (f"error: Failed to store receipt: I/O error: Failed to write receipt to "
                      f"{path}: File too large (os error 27)")
    assert os.listdir(tmp_path / "receipts") == [rid + ".json"]
    assert path.read_text() == old_json


READER = """
import json, os, sys, time
directory, stop_file = sys.argv[1], sys.argv[2]
seen = partial = 0
while True:
    stopping = os.path.exists(stop_file)
    for entry in os.scandir(directory):
        if not entry.name.endswith(".json"):
            continue
        try:
            with open(entry.path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            continue
        seen += 1
        try:
            json.loads(data)
        except ValueError:
            partial += 1
            print("partial", entry.name, len(data), flush=True)
    if stopping:
        break
print("seen", seen, "partial", partial, flush=True)
"""


def test_no_partial_receipt_is_ever_visible(tmp_path):
    """A reader polling the directory from another process never sees a partial receipt
    file, even when the writer is killed in the middle of writing."""
    receipts_dir = tmp_path / "receipts"
    stop_file = tmp_path / "stop"
    Client(storage_path=str(tmp_path))
    writer_code = BIG_RECEIPT + textwrap.dedent(f"""
        client = _quillmere.Client(storage_path={str(tmp_path)!r})
        made = [big_receipt(i) for i in range(4)]
        print("ready", flush=True)
        i = 0
        while True:
            client.store_receipt(made[i % 4])
            i += 1
    """)
    env = child_env()
    reader = subprocess.Popen([sys.executable, "-c", READER, str(receipts_dir), str(stop_file)],
                              stdout=subprocess.PIPE, text=True, env=env)
    writer = subprocess.Popen([sys.executable, "-c", writer_code], stdout=subprocess.PIPE,
                              text=True, env=env)
    try:
        assert writer.stdout.readline().strip() == "ready"
        # Let several writes complete, then kill the writer at an arbitrary point.
        deadline = time.monotonic() + 60
        while len([n for n in os.listdir(receipts_dir) if n.endswith(".json")]) < 4:
            assert time.monotonic() < deadline and writer.poll() is None
            time.sleep(0.01)
        time.sleep(0.137)
        writer.send_signal(signal.SIGKILL)
        writer.wait(timeout=30)
    finally:
        if writer.poll() is None:
            writer.kill()
        stop_file.write_text("")
        output, _ = reader.communicate(timeout=120)
    assert output.splitlines()[-1].startswith("seen ")
    assert "partial" not in output.replace(" partial 0", ""), output
    assert int(output.split()[-3]) > 0
    # Every receipt file left is whole; leftovers of the killed write are never taken
    # for receipts.
    names = [n for n in os.listdir(receipts_dir) if n.endswith(".json")]
    assert len(names) == 4
    assert len(Client(storage_path=str(tmp_path)).list_receipts(workload_id="big")) == 4
