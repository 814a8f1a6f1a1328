"""What a store keeps beside its receipts: manifests by digest, and the reuse index.

Manifests are kept in their binary form under their digest ("sha256:" + SHA-256 of the
form), so storing one twice keeps one copy. The reuse index holds, for every stored
execution, a small JSON entry (its rid, method shape, input manifests and sketches, output
digest) and the LSH band keys of its input sketches, so that candidates for reuse are found
by key, never by reading every receipt.

Layout by store kind:
- filesystem: `<base>/manifests/<hex>.qmm`; `<base>/reuse/entries/<rid>.json`; and one empty
  file `<base>/reuse/bands/<method hex>/<band key>/<rid>` per band key. Files are written
  to a temporary name, synced, renamed into place and the directory synced, so a name only
  ever shows a whole file.
- SQLite and PostgreSQL: the store's own tables `qm_manifests`, `qm_reuse_entries` and
  `qm_reuse_keys` (part of its versioned table layout), reached through the native client,
  written in one transaction per call. `qm_reuse_keys` holds one row (a 64-bit key, the
  rid) per key of an execution: the key is a hash of the method shape and the key text
  (`_index_key`), so the rows stay small; the entry's method is compared on look-up.
"""

from __future__ import annotations

import hashlib
import json
import os
import time
import uuid
from typing import Any, Dict, List, Optional, Sequence, Tuple

__all__ = ["SideStore", "open_side_store"]

Entry = Dict[str, Any]

_TABLES = (
    "CREATE TABLE IF NOT EXISTS qm_manifests (digest TEXT NOT NULL PRIMARY KEY, body {blob} NOT NULL){rowid}",
    "CREATE TABLE IF NOT EXISTS qm_reuse_entries (rid TEXT NOT NULL PRIMARY KEY, "
    "method TEXT NOT NULL, entry TEXT NOT NULL){rowid}",
    "CREATE TABLE IF NOT EXISTS qm_reuse_keys (key {int64} NOT NULL, rid TEXT NOT NULL, "
    "PRIMARY KEY (key, rid)){rowid}",
)


def _index_key(method: str, key: str) -> int:
    """The signed 64-bit row key of one index key of a method."""
    return int.from_bytes(hashlib.blake2b(f"{method}\n{key}".encode(), digest_size=8).digest(), "big", signed=True)


def _hex_of(digest: str) -> str:
    hexpart = digest[7:] if digest.startswith("sha256:") else ""
    if len(hexpart) != 64 or any(c not in "0123456789abcdef" for c in hexpart):
        raise ValueError(f"not a manifest digest: {digest!r}")
    return hexpart


class SideStore:
    """The interface every store kind implements."""

    def put_manifest(self, digest: str, body: bytes) -> None:
        raise NotImplementedError

    def get_manifest(self, digest: str) -> Optional[bytes]:
        raise NotImplementedError

    def put_entries(self, entries: Sequence[Tuple[Entry, Sequence[str]]]) -> None:
        """Index executions: each entry (with "rid" and "method") with its band keys."""
        raise NotImplementedError

    def candidates(self, method: str, band_keys: Sequence[str]) -> List[Tuple[Entry, int]]:
        """Indexed executions of `method` sharing a band key, with the count shared."""
        raise NotImplementedError


class FilesystemSide(SideStore):
    def __init__(self, base: str) -> None:
        self.base = base
        self.manifests = os.path.join(base, "manifests")
        self.entries = os.path.join(base, "reuse", "entries")
        self.bands = os.path.join(base, "reuse", "bands")
        for d in (self.manifests, self.entries, self.bands):
            os.makedirs(d, exist_ok=True)
        # A writer killed between writing and renaming leaves its temporary file: those an
        # hour old belong to no live writer.
        stale = time.time() - 3600
        for d in (self.manifests, self.entries):
            for name in os.listdir(d):
                if name.startswith(".tmp-"):
                    try:
                        if os.stat(os.path.join(d, name)).st_mtime < stale:
                            os.unlink(os.path.join(d, name))
                    except FileNotFoundError:
                        pass

    @staticmethod
    def _write(directory: str, name: str, body: bytes) -> None:
        temp = os.path.join(directory, f".tmp-{uuid.uuid4().hex}")
        fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        try:
            view = memoryview(body)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        except BaseException:
            os.close(fd)
            os.unlink(temp)
            raise
        os.close(fd)
        os.replace(temp, os.path.join(directory, name))
        _sync_dir(directory)

    def put_manifest(self, digest: str, body: bytes) -> None:
        name = _hex_of(digest) + ".qmm"
        if not os.path.exists(os.path.join(self.manifests, name)):
            self._write(self.manifests, name, body)

    def get_manifest(self, digest: str) -> Optional[bytes]:
        try:
            with open(os.path.join(self.manifests, _hex_of(digest) + ".qmm"), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def put_entries(self, entries: Sequence[Tuple[Entry, Sequence[str]]]) -> None:
        for entry, keys in entries:
            rid = str(uuid.UUID(entry["rid"]))
            # The entry first: a band file whose entry is missing is skipped on lookup.
            self._write(self.entries, rid + ".json", json.dumps(entry, sort_keys=True).encode())
            method_dir = os.path.join(self.bands, _hex_of(entry["method"]))
            for key in keys:
                bucket = os.path.join(method_dir, key)
                os.makedirs(bucket, exist_ok=True)
                os.close(os.open(os.path.join(bucket, rid), os.O_WRONLY | os.O_CREAT, 0o666))
            if keys:
                _sync_dir(method_dir)

    def candidates(self, method: str, band_keys: Sequence[str]) -> List[Tuple[Entry, int]]:
        method_dir = os.path.join(self.bands, _hex_of(method))
        counts: Dict[str, int] = {}
        for key in set(band_keys):
            try:
                names = os.listdir(os.path.join(method_dir, key))
            except FileNotFoundError:
                continue
            for rid in names:
                counts[rid] = counts.get(rid, 0) + 1
        found = []
        for rid, count in counts.items():
            try:
                with open(os.path.join(self.entries, rid + ".json"), "rb") as f:
                    found.append((json.loads(f.read()), count))
            except (FileNotFoundError, ValueError):
                continue
        return found


def _sync_dir(directory: str) -> None:
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    except OSError:
        pass  # a file system that cannot sync directories
    finally:
        os.close(fd)


class NativeSide(SideStore):
    """The SQL stores' own tables, through the native client (one transaction a call)."""

    def __init__(self, native: Any) -> None:
        self.native = native

    def put_manifest(self, digest: str, body: bytes) -> None:
        _hex_of(digest)
        stored = self.native.store_manifest_bytes(body)
        if stored != digest:
            raise ValueError(f"the manifest's digest is {stored}, not {digest}")

    def get_manifest(self, digest: str) -> Optional[bytes]:
        _hex_of(digest)
        body: Optional[bytes] = self.native.load_manifest_bytes(digest)
        return body

    def put_entries(self, entries: Sequence[Tuple[Entry, Sequence[str]]]) -> None:
        self.native.index_executions([
            (e["rid"], e["method"], json.dumps(e, sort_keys=True), [_index_key(e["method"], k) for k in keys])
            for e, keys in entries
        ])

    def candidates(self, method: str, band_keys: Sequence[str]) -> List[Tuple[Entry, int]]:
        keys = sorted({_index_key(method, k) for k in band_keys})
        if not keys:
            return []
        return [(json.loads(text), int(n)) for text, n in self.native.reuse_candidates(method, keys)]


def open_side_store(storage_path: Optional[str], storage_url: Optional[str], native: Any) -> Optional[SideStore]:
    """The side store of a client's store (`native`: its native client); None for a client
    without one."""
    if storage_path is not None:
        return FilesystemSide(storage_path)
    if storage_url is None:
        return None
    return NativeSide(native)
