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
- SQLite and PostgreSQL: tables `qm_manifests`, `qm_reuse_entries` and `qm_reuse_keys`,
  created if missing when the store is first used (beside the receipt tables, outside the
  receipt schema's version), written in one transaction per call. `qm_reuse_keys` holds one
  row (a 64-bit key, the rid) per key of an execution: the key is a hash of the method shape
  and the key text, so the rows stay small; the entry's method is compared on look-up.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import hashlib
import json
import os
import sqlite3
import threading
import time
import uuid
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

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


class SqliteSide(SideStore):
    """Its own connection to the store's database file (WAL mode lets both write)."""

    def __init__(self, path: str) -> None:
        self.path = path
        self._lock = threading.Lock()
        self._db: Optional[sqlite3.Connection] = None
        self._pid = 0

    def _conn(self) -> sqlite3.Connection:
        if self._db is None or self._pid != os.getpid():
            db = sqlite3.connect(self.path, timeout=60.0, isolation_level=None, check_same_thread=False)
            db.execute("PRAGMA journal_mode=WAL")
            db.execute("PRAGMA synchronous=FULL")
            with db:
                db.execute("BEGIN IMMEDIATE")
                for statement in _TABLES:
                    db.execute(statement.format(blob="BLOB", int64="INTEGER", rowid=" WITHOUT ROWID"))
            self._db, self._pid = db, os.getpid()
        return self._db

    def put_manifest(self, digest: str, body: bytes) -> None:
        _hex_of(digest)
        with self._lock:
            db = self._conn()
            with db:
                db.execute("BEGIN IMMEDIATE")
                db.execute("INSERT OR IGNORE INTO qm_manifests (digest, body) VALUES (?, ?)", (digest, body))

    def get_manifest(self, digest: str) -> Optional[bytes]:
        with self._lock:
            row = self._conn().execute("SELECT body FROM qm_manifests WHERE digest = ?", (digest,)).fetchone()
        return None if row is None else bytes(row[0])

    def put_entries(self, entries: Sequence[Tuple[Entry, Sequence[str]]]) -> None:
        with self._lock:
            db = self._conn()
            with db:
                db.execute("BEGIN IMMEDIATE")
                db.executemany(
                    "INSERT OR REPLACE INTO qm_reuse_entries (rid, method, entry) VALUES (?, ?, ?)",
                    [(e["rid"], e["method"], json.dumps(e, sort_keys=True)) for e, _ in entries],
                )
                db.executemany(
                    "INSERT OR IGNORE INTO qm_reuse_keys (key, rid) VALUES (?, ?)",
                    [(_index_key(e["method"], k), e["rid"]) for e, keys in entries for k in keys],
                )

    def candidates(self, method: str, band_keys: Sequence[str]) -> List[Tuple[Entry, int]]:
        keys = sorted({_index_key(method, k) for k in band_keys})
        if not keys:
            return []
        marks = ",".join("?" * len(keys))
        with self._lock:
            rows = self._conn().execute(
                "SELECT e.entry, c.n FROM (SELECT rid, COUNT(*) AS n FROM qm_reuse_keys "
                f"WHERE key IN ({marks}) GROUP BY rid) AS c "
                "JOIN qm_reuse_entries AS e ON e.rid = c.rid WHERE e.method = ?",
                [*keys, method],
            ).fetchall()
        return [(json.loads(text), int(n)) for text, n in rows]


class PostgresSide(SideStore):
    """libpq (the library the native store uses) through ctypes, text parameters only."""

    _lib: Any = None
    OK_STATUSES = (1, 2)  # PGRES_COMMAND_OK, PGRES_TUPLES_OK

    def __init__(self, url: str) -> None:
        self.url = url
        self._lock = threading.Lock()
        self._conn_handle: Optional[int] = None
        self._pid = 0

    def __del__(self) -> None:
        if self._conn_handle is not None and self._pid == os.getpid() and self._lib is not None:
            self._lib.PQfinish(self._conn_handle)
            self._conn_handle = None

    @classmethod
    def _libpq(cls) -> Any:
        if cls._lib is None:
            name = ctypes.util.find_library("pq") or "libpq.so.5"
            lib = ctypes.CDLL(name)
            lib.PQconnectdb.argtypes = [ctypes.c_char_p]
            lib.PQconnectdb.restype = ctypes.c_void_p
            lib.PQstatus.argtypes = [ctypes.c_void_p]
            lib.PQstatus.restype = ctypes.c_int
            lib.PQerrorMessage.argtypes = [ctypes.c_void_p]
            lib.PQerrorMessage.restype = ctypes.c_char_p
            lib.PQfinish.argtypes = [ctypes.c_void_p]
            lib.PQfinish.restype = None
            lib.PQexecParams.argtypes = [
                ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p,
                ctypes.POINTER(ctypes.c_char_p), ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int,
            ]
            lib.PQexecParams.restype = ctypes.c_void_p
            lib.PQresultStatus.argtypes = [ctypes.c_void_p]
            lib.PQresultStatus.restype = ctypes.c_int
            lib.PQresultErrorMessage.argtypes = [ctypes.c_void_p]
            lib.PQresultErrorMessage.restype = ctypes.c_char_p
            lib.PQntuples.argtypes = [ctypes.c_void_p]
            lib.PQntuples.restype = ctypes.c_int
            lib.PQnfields.argtypes = [ctypes.c_void_p]
            lib.PQnfields.restype = ctypes.c_int
            lib.PQgetvalue.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
            lib.PQgetvalue.restype = ctypes.c_char_p
            lib.PQclear.argtypes = [ctypes.c_void_p]
            lib.PQclear.restype = None
            cls._lib = lib
        return cls._lib

    def _exec(self, sql: str, params: Sequence[Optional[str]] = ()) -> List[List[str]]:
        lib = self._libpq()
        if self._conn_handle is None or self._pid != os.getpid():
            conn = lib.PQconnectdb(self.url.encode())
            if conn is None:
                raise MemoryError("libpq could not allocate a connection")
            if lib.PQstatus(conn) != 0:
                message = (lib.PQerrorMessage(conn) or b"").decode(errors="replace").strip()
                lib.PQfinish(conn)
                raise ValueError(f"Cannot open the PostgreSQL store: {_redact(message, self.url)}")
            self._conn_handle, self._pid = conn, os.getpid()
            # Two processes creating the tables at once would collide in the catalog:
            # one at a time, under a transaction-scoped advisory lock.
            self._exec("BEGIN")
            self._exec("SELECT pg_advisory_xact_lock(7162534)")
            for statement in _TABLES:
                self._exec(statement.format(blob="BYTEA", int64="BIGINT", rowid=""))
            self._exec("COMMIT")
        values = (ctypes.c_char_p * max(1, len(params)))(*[None if p is None else p.encode() for p in params])
        result = lib.PQexecParams(self._conn_handle, sql.encode(), len(params), None, values, None, None, 0)
        if lib.PQstatus(self._conn_handle) != 0:  # the connection is gone: a new one next time
            lib.PQfinish(self._conn_handle)
            self._conn_handle = None
            if result is not None:
                lib.PQclear(result)
            raise ValueError("PostgreSQL store: the connection was lost")
        if result is None:
            raise MemoryError("libpq could not allocate a result")
        try:
            if lib.PQresultStatus(result) not in self.OK_STATUSES:
                message = (lib.PQresultErrorMessage(result) or b"").decode(errors="replace").strip()
                raise ValueError(f"PostgreSQL store: {_redact(message, self.url)}")
            return [
                [(lib.PQgetvalue(result, r, c) or b"").decode() for c in range(lib.PQnfields(result))]
                for r in range(lib.PQntuples(result))
            ]
        finally:
            lib.PQclear(result)

    def _transaction(self, statements: Iterable[Tuple[str, Sequence[Optional[str]]]]) -> None:
        with self._lock:
            self._exec("BEGIN")
            try:
                for sql, params in statements:
                    self._exec(sql, params)
            except BaseException:
                if self._conn_handle is not None:
                    try:
                        self._exec("ROLLBACK")
                    except ValueError:
                        pass  # the first error says more
                raise
            self._exec("COMMIT")

    def put_manifest(self, digest: str, body: bytes) -> None:
        _hex_of(digest)
        self._transaction([(
            "INSERT INTO qm_manifests (digest, body) VALUES ($1, decode($2, 'hex')) ON CONFLICT DO NOTHING",
            [digest, body.hex()],
        )])

    def get_manifest(self, digest: str) -> Optional[bytes]:
        with self._lock:
            rows = self._exec("SELECT encode(body, 'hex') FROM qm_manifests WHERE digest = $1", [digest])
        return bytes.fromhex(rows[0][0]) if rows else None

    def put_entries(self, entries: Sequence[Tuple[Entry, Sequence[str]]]) -> None:
        statements: List[Tuple[str, Sequence[Optional[str]]]] = []
        for e, keys in entries:
            statements.append((
                "INSERT INTO qm_reuse_entries (rid, method, entry) VALUES ($1, $2, $3) "
                "ON CONFLICT (rid) DO UPDATE SET method = EXCLUDED.method, entry = EXCLUDED.entry",
                [e["rid"], e["method"], json.dumps(e, sort_keys=True)],
            ))
            if keys:
                statements.append((
                    "INSERT INTO qm_reuse_keys (key, rid) SELECT unnest($1::bigint[]), $2 ON CONFLICT DO NOTHING",
                    ["{" + ",".join(str(_index_key(e["method"], k)) for k in keys) + "}", e["rid"]],
                ))
        self._transaction(statements)

    def candidates(self, method: str, band_keys: Sequence[str]) -> List[Tuple[Entry, int]]:
        keys = sorted({_index_key(method, k) for k in band_keys})
        if not keys:
            return []
        with self._lock:
            rows = self._exec(
                "SELECT e.entry, c.n FROM (SELECT rid, COUNT(*) AS n FROM qm_reuse_keys "
                "WHERE key = ANY($1::bigint[]) GROUP BY rid) AS c "
                "JOIN qm_reuse_entries AS e ON e.rid = c.rid WHERE e.method = $2",
                ["{" + ",".join(map(str, keys)) + "}", method],
            )
        return [(json.loads(text), int(n)) for text, n in rows]


def _redact(message: str, url: str) -> str:
    if "@" in url and ":" in url.split("@", 1)[0].split("//", 1)[-1]:
        secret = url.split("@", 1)[0].split("//", 1)[-1].split(":", 1)[1]
        if secret:
            message = message.replace(secret, "***")
    return message


def open_side_store(storage_path: Optional[str], storage_url: Optional[str]) -> Optional[SideStore]:
    """The side store of a client's store; None for a client without one."""
    if storage_path is not None:
        return FilesystemSide(storage_path)
    if storage_url is None:
        return None
    if storage_url.startswith("sqlite:"):
        rest = storage_url[len("sqlite:"):]
        path = rest[2:] if rest.startswith("//") else rest
        return SqliteSide(path)
    return PostgresSide(storage_url)
