"""Remembered manifests, sealed steps, the chain check and automatic reuse."""

from __future__ import annotations

import hashlib
import os
import random

import pytest

import quillmere as qm

PG_URL = os.environ.get("QM_TEST_PG_URL")


@pytest.fixture(params=["filesystem", "sqlite", "postgresql"])
def client(request, tmp_path):
    if request.param == "filesystem":
        return qm.Client(tmp_path / "store")
    if request.param == "sqlite":
        return qm.Client(storage_url=f"sqlite://{tmp_path}/store.db")
    if not PG_URL:
        pytest.skip("QM_TEST_PG_URL is not set")
    return qm.Client(storage_url=PG_URL)


def data(n, seed=1):
    return random.Random(seed).randbytes(n)


# --- manifests -----------------------------------------------------------------------------


@pytest.mark.parametrize("scheme", [None, "cdc:4096", "fixed:1000"])
@pytest.mark.parametrize("size", [0, 1, 999, 300_000])
def test_binary_form_round_trips_within_bound(scheme, size):
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
