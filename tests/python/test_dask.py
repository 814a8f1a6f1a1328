"""quillmere.dask on a real LocalCluster of 2 worker processes: manifests and shape hashes
equal the local ones, a worker killed mid-run changes nothing, and a graph's receipts link
like the graph and verify (SQLite, and PostgreSQL from QM_TEST_PG_URL)."""

import json
import logging
import os
import random
import signal
import threading
import time

import pytest

distributed = pytest.importorskip("distributed")
import dask  # noqa: E402
from dask.core import get_deps  # noqa: E402

import quillmere as qm  # noqa: E402
import quillmere.dask as qd  # noqa: E402
from conftest import child_env  # noqa: E402
from quillmere import cli  # noqa: E402

PG_URL = os.environ.get("QM_TEST_PG_URL")
MiB = 1 << 20


@pytest.fixture(scope="session")
def cluster():
    # Worker processes import quillmere and the extension built for this run.
    os.environ["PYTHONPATH"] = child_env()["PYTHONPATH"]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", silence_logs=logging.CRITICAL) as local:
        with distributed.Client(local) as client:
            yield local, client


@pytest.fixture(scope="session")
def files(tmp_path_factory):
    directory = tmp_path_factory.mktemp("dask-files")
    rng = random.Random(22)
    contents = {
        "random.bin": rng.randbytes(5 * MiB + 12345),
        "zeros.bin": bytes(3 * MiB + 7),
        "text.txt": b"".join(rng.choice([b"id,name\n", b"7,alpha\n", b"\n"]) for _ in range(200_000)),
        "small.bin": b"tiny",
        "empty.bin": b"",
    }
    paths = []
    for name, data in contents.items():
        (directory / name).write_bytes(data)
        paths.append(str(directory / name))
    return paths


@pytest.mark.parametrize("scheme", [None, "fixed:4096", {"type": "cdc", "avg_size": 4096}])
def test_cluster_manifests_equal_the_local_ones(cluster, files, scheme):
    _, client = cluster
    manifests = qd.shape_files(files, client, chunk_scheme=scheme, piece_size=MiB + 1)
    assert [m.shape_hash for m in manifests] == qm.shape_files(files, chunk_scheme=scheme)
    for path, m in zip(files, manifests):
        want = qm.manifest(path, scheme)
        assert m == want and list(m) == list(want)
    assert qd.manifest(files[0], client, chunk_scheme=scheme, piece_size=300_000) == qm.manifest(files[0], scheme)


def test_a_file_that_changes_is_refused(cluster, tmp_path):
    _, client = cluster
    path = tmp_path / "moving.bin"
    path.write_bytes(os.urandom(MiB))
    stamp = qd._stamp(str(path))
    path.write_bytes(os.urandom(MiB + 1))
    with pytest.raises(qd.FileChangedError, match="changed while it was being hashed"):
        qd._piece(str(path), 0, None, None, stamp)


def graph():
    @dask.delayed(pure=True)
    def load(n):
        return list(range(n))

    @dask.delayed(pure=True)
    def total(*parts):
        return sum(p if isinstance(p, int) else sum(p) for p in parts)

    @dask.delayed(pure=True)
    def fail(x):
        raise RuntimeError("this task fails")

    a, b, c = load(3), load(4), load(5)
    ab = total(a, b)
    abc = total(ab, c)
    return [ab, abc], fail(load(6))


def receipts_of(store, trace_id):
    client = qm.Client(storage_url=store) if "://" in store else qm.Client(store)
    nodes = {}
    for receipt in client.list_receipts(None, trace_id, None):
        document = json.loads(receipt.to_json())
        name = document["payload"]["method_ref"]["method_id"]
        nodes[name] = (document["rid"], document["links"], qm.verify_receipt(receipt))
    return nodes


STORES = ["sqlite", pytest.param("postgresql", marks=pytest.mark.skipif(not PG_URL, reason="QM_TEST_PG_URL is not set"))]


@pytest.mark.parametrize("kind", STORES)
def test_graph_receipts_link_like_the_graph_and_verify(cluster, tmp_path, kind, capsys):
    _, client = cluster
    store = f"sqlite:///{tmp_path}/receipts.db" if kind == "sqlite" else PG_URL
    wanted, failing = graph()
    with qd.graph_receipts(client, store) as run:
        assert dask.compute(*wanted) == (9, 19)
        with pytest.raises(RuntimeError, match="this task fails"):
            dask.compute(failing)
    nodes = receipts_of(store, run.trace_id)
    # Every task that finished, none that failed: 4 loads, 2 totals.
    assert run.count == len(nodes) == 6
    assert not any(name.startswith("fail") for name in nodes)
    assert all(valid for _, _, valid in nodes.values())
    rids = {name: rid for name, (rid, _, _) in nodes.items()}
    dependencies, _ = get_deps({**wanted[1].__dask_graph__(), **failing.__dask_graph__()})
    for name, (_, links, _) in nodes.items():
        assert sorted(links) == sorted(rids[str(d)] for d in dependencies[name]), name
    assert len(nodes[str(wanted[1].key)][1]) == 2  # the total of (a + b) and c

    assert cli.main(["dag", "--store", store, "--trace", run.trace_id, "--format", "json"]) == 0
    drawn = json.loads(capsys.readouterr().out)
    assert len(drawn["nodes"]) == 6 and drawn["missing"] == []
    assert len(drawn["edges"]) == sum(len(links) for _, links, _ in nodes.values()) == 4


def test_a_worker_killed_mid_run_still_gives_the_right_manifest(cluster, tmp_path):
    local, client = cluster
    path = tmp_path / "big.bin"
    path.write_bytes(random.Random(5).randbytes(24 * MiB))
    scheme = {"type": "cdc", "avg_size": 256}  # slow enough to catch pieces in flight
    want = qm.manifest(path, scheme)
    pids = client.run(os.getpid)
    killed = []

    def kill_one_busy_worker():
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and not killed:
            for worker, keys in client.processing().items():
                if any(str(k).startswith("quillmere-piece") for k in keys) and worker in pids:
                    os.kill(pids[worker], signal.SIGKILL)
                    killed.append(worker)
                    break
            time.sleep(0.01)

    killer = threading.Thread(target=kill_one_busy_worker)
    killer.start()
    try:
        got = qd.manifest(path, client, chunk_scheme=scheme, piece_size=MiB // 2)
    finally:
        killer.join()
    assert killed, "no worker was caught hashing a piece"
    assert got == want and list(got) == list(want)
    client.wait_for_workers(2, timeout=60)  # the nanny starts a new one
