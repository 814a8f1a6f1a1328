"""Shape hashing and receipts on a Dask cluster (the optional extra ``quillmere[dask]``).

    from distributed import Client
    import quillmere.dask as qd

    client = Client("tcp://scheduler:8786")
    m = qd.manifest("/shared/big.parquet", client)          # one file, in pieces
    ms = qd.shape_files(paths, client)                       # many files, in input order
    with qd.graph_receipts(client, "postgresql://.../receipts") as run:
        result = graph.compute()
    print(run.trace_id)                                      # quillmere dag --trace ...

Every task is a pure function of (path, byte range, scheme, file stamp) that returns bytes
(a manifest piece in its binary form), so Dask may retry it or run it again on another
worker after a worker is lost; the file stamp (size and modification time) makes a task
refuse a file that changed since the work was planned. The files must be readable at the
same path on every worker (shared storage).
"""

from __future__ import annotations

import json
import os
import queue
import threading
import time
import uuid
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Optional, Sequence, Tuple

from distributed.diagnostics.plugin import SchedulerPlugin

from _quillmere import shapes as _native

from . import _core
from ._shapes import ChunkScheme, PathArg, _path_text, parse_chunk_scheme

if TYPE_CHECKING:
    from distributed import Client as DaskClient
    from distributed import Future

    from _quillmere.shapes import ChunkScheme as NativeChunkScheme
    from _quillmere.shapes import Manifest

__all__ = ["DEFAULT_PIECE_SIZE", "FileChangedError", "GraphReceipts", "graph_receipts", "manifest", "shape_files"]

# Large enough that a seam (re-read when the pieces are joined, about one chunk) and the
# per-task cost of the scheduler vanish beside the hashing; small enough to spread a file of
# a few GiB over a handful of workers.
DEFAULT_PIECE_SIZE = 256 << 20
_RETRIES = 2

# Receipts of finished tasks wait at most this long (s), or until this many wait, to be stored.
_STORE_DELAY = 0.25
_STORE_BATCH = 512

Stamp = Tuple[int, int]  # (size, modification time in ns)


class FileChangedError(ValueError):
    """A file changed between planning the work and hashing it (its size or modification
    time differs): the pieces would describe no single version of it."""


def _stamp(path: str) -> Stamp:
    st = os.stat(path)
    return st.st_size, st.st_mtime_ns


def _check_stamp(path: str, stamp: Stamp) -> None:
    now = _stamp(path)
    if now != stamp:
        raise FileChangedError(
            f"{path!r} changed while it was being hashed (size, mtime_ns was {stamp}, now {now})")


def _piece(path: str, offset: int, length: Optional[int], scheme: Optional[NativeChunkScheme], stamp: Stamp) -> bytes:
    _check_stamp(path, stamp)
    piece = _native.build_manifest_piece_py(path, offset, length, scheme)
    _check_stamp(path, stamp)
    return piece


def _join(path: str, stamp: Stamp, *pieces: bytes) -> bytes:
    _check_stamp(path, stamp)
    whole = _native.join_manifest_pieces_py(path, pieces)
    _check_stamp(path, stamp)
    return whole


def _whole_files(items: List[Tuple[str, Optional[NativeChunkScheme], Stamp]]) -> List[bytes]:
    """The whole manifests of several small files, one task for all: the scheduler's time
    between tasks would otherwise weigh on files that hash in a few milliseconds."""
    return [_piece(path, 0, None, scheme, stamp) for path, scheme, stamp in items]


def _ranges(size: int, piece_size: int, scheme: Optional[NativeChunkScheme]) -> List[Tuple[int, Optional[int]]]:
    """(offset, length) of each piece; the last one runs to the end of the file. Under a fixed
    scheme pieces start on chunk boundaries, so every seam is met at once."""
    if piece_size < 1:
        raise ValueError(f"piece_size must be at least 1, not {piece_size}")
    if scheme is not None and scheme.get("type") == "fixed":
        unit = int(scheme["size"])  # type: ignore[typeddict-item]
        if unit > 0:
            piece_size = max(unit, piece_size - piece_size % unit)
    count = max(1, -(-size // piece_size))
    return [(k * piece_size, piece_size if k + 1 < count else None) for k in range(count)]


def _stamps(client: DaskClient, paths: List[str]) -> List[Stamp]:
    """The stamp of each file, taken here, or on a worker for the files this process does not
    see (the client may have no access to the cluster's storage)."""
    stamps: Dict[int, Stamp] = {}
    unseen: List[int] = []
    for index, path in enumerate(paths):
        try:
            stamps[index] = _stamp(path)
        except FileNotFoundError:
            unseen.append(index)
    if unseen:
        untyped: Any = client
        remote = untyped.submit(_stamp_all, [paths[i] for i in unseen], pure=False).result()
        stamps.update(zip(unseen, remote))
    return [stamps[index] for index in range(len(paths))]


def _stamp_all(paths: List[str]) -> List[Stamp]:
    return [_stamp(path) for path in paths]


def _file_future(
    client: DaskClient, path: str, stamp: Stamp, scheme: Optional[NativeChunkScheme], piece_size: int,
    retries: int, call: str,
) -> Tuple["Future[bytes]", List["Future[bytes]"]]:
    """The future of the file's whole manifest in binary form, and every future it needs.
    Keys are those of this call (`call`): cancelling them cannot touch another call's tasks."""
    from dask.base import tokenize

    ranges = _ranges(stamp[0], piece_size, scheme)
    pieces = [
        client.submit(_piece, path, offset, length, scheme, stamp, retries=retries,
                      key=f"quillmere-piece-{tokenize(call, path, offset, length, scheme, stamp)}")
        for offset, length in ranges
    ]
    if len(pieces) == 1:
        return pieces[0], pieces
    joined = client.submit(_join, path, stamp, *pieces, retries=retries,
                           key=f"quillmere-join-{tokenize(call, path, stamp, ranges, scheme)}")
    return joined, pieces + [joined]


def _run(
    client: DaskClient, paths: Sequence[PathArg], chunk_scheme: ChunkScheme, piece_size: int,
    progress: bool, retries: int,
) -> List[Manifest]:
    scheme = parse_chunk_scheme(chunk_scheme)
    call = uuid.uuid4().hex
    results: List["Future[bytes]"] = []
    every: List["Future[bytes]"] = []
    untyped: Any = client  # distributed's gather, cancel and progress carry no annotations
    texts = [_path_text(path) for path in paths]
    # Files of less than a quarter piece go several to a task, up to a piece's bytes: where
    # each lands in its batch's list of manifests is kept beside the batch.
    places: List[Tuple[int, Optional[int]]] = []  # (index of the future, index in its batch)
    batch: List[Tuple[str, Optional[NativeChunkScheme], Stamp]] = []
    batch_places: List[int] = []
    batch_bytes = 0

    def flush() -> None:
        nonlocal batch, batch_places, batch_bytes
        if batch:
            from dask.base import tokenize

            future: Any = client.submit(_whole_files, batch, retries=retries,
                                        key=f"quillmere-files-{tokenize(call, batch)}")
            for slot, place in enumerate(batch_places):
                places[place] = (len(results), slot)
            results.append(future)
            every.append(future)
        batch, batch_places, batch_bytes = [], [], 0

    try:
        for path, stamp in zip(texts, _stamps(client, texts)):
            places.append((-1, None))
            if stamp[0] < piece_size // 4:
                batch.append((path, scheme, stamp))
                batch_places.append(len(places) - 1)
                batch_bytes += stamp[0]
                if batch_bytes >= piece_size // 2:
                    flush()
                continue
            result, needed = _file_future(client, path, stamp, scheme, piece_size, retries, call)
            places[-1] = (len(results), None)
            results.append(result)
            every.extend(needed)
        flush()
        if progress:
            import distributed

            show_progress: Any = distributed.progress
            show_progress(every)
        gathered: List[Any] = untyped.gather(results)
        return [_native.manifest_from_piece_py(gathered[i] if slot is None else gathered[i][slot])
                for i, slot in places]
    finally:
        # Nothing is left running on the cluster when this call ends, by error or by Ctrl-C.
        untyped.cancel(every)


def manifest(
    path: PathArg,
    client: DaskClient,
    *,
    chunk_scheme: ChunkScheme = None,
    piece_size: int = DEFAULT_PIECE_SIZE,
    progress: bool = False,
    retries: int = _RETRIES,
) -> Manifest:
    """The manifest of one file, hashed as pieces of `piece_size` bytes on the cluster's
    workers and joined there; equal to `quillmere.manifest(path)` for every file and split.
    `progress` shows Dask's progress bar; a failed piece is retried up to `retries` times."""
    return _run(client, [path], chunk_scheme, piece_size, progress, retries)[0]


def shape_files(
    paths: Iterable[PathArg],
    client: DaskClient,
    *,
    chunk_scheme: ChunkScheme = None,
    piece_size: int = DEFAULT_PIECE_SIZE,
    progress: bool = False,
    retries: int = _RETRIES,
) -> List[Manifest]:
    """The manifest of each file, in input order, hashed on the cluster's workers (files
    larger than `piece_size` in pieces); `m.shape_hash` equals `quillmere.shape_files`'s
    result for the same file."""
    return _run(client, list(paths), chunk_scheme, piece_size, progress, retries)


# ----------------------------------------------------------------------------- graph receipts


def _open_store(store: str) -> _core.Client:
    if "://" in store:
        return _core.Client(storage_url=store)
    return _core.Client(store)


def _key_text(key: object) -> str:
    if isinstance(key, tuple):
        return "/".join(str(part) for part in key)
    return str(key)


def _linked_receipt(workload_id: str, payload: Dict[str, Any], trace_id: str, parents: Sequence[str]) -> _core.Receipt:
    """An execution receipt linked to every receipt in `parents`."""
    import quillmere

    record_execution = getattr(quillmere, "record_execution", None)
    if record_execution is not None:
        receipt: _core.Receipt = record_execution(workload_id, payload, trace_id=trace_id, parent_ids=tuple(parents))
        return receipt
    receipt = _core.record_work(workload_id, payload, trace_id=trace_id, parent_id=parents[0] if parents else None)
    if len(parents) < 2:
        return receipt
    # The links of a task with several dependencies: the same receipt with every link,
    # sealed again (the hash covers the links).
    document = receipt.to_dict()
    document["links"] = list(parents)
    document["hash"] = _core.receipt_from_json(json.dumps(document)).compute_hash()
    return _core.receipt_from_json(json.dumps(document))


class _ReceiptPlugin(SchedulerPlugin):
    """Scheduler plugin: one receipt per task of the watched client that reaches memory,
    recorded on a thread of its own so the scheduler's loop never waits for the store."""

    def __init__(self, store: str, trace_id: str, client_id: str) -> None:
        self.store = store
        self.trace_id = trace_id
        self.client_id = client_id

    async def start(self, scheduler: Any) -> None:
        self.scheduler = scheduler
        self.mine: set[Any] = set()
        self.rids: Dict[Any, str] = {}
        self.errors: List[str] = []
        self.count = 0
        self.queue: "queue.Queue[Optional[Tuple[Any, Optional[str], Dict[str, Any], List[Any]]]]" = queue.Queue()
        self.client = _open_store(self.store)
        self.thread = threading.Thread(target=self._record_loop, name="quillmere-receipts", daemon=True)
        self.thread.start()

    def update_graph(self, scheduler: Any, *, client: str, tasks: Iterable[Any] = (), **kwargs: Any) -> None:
        if client == self.client_id:
            self.mine.update(tasks)

    def transition(self, key: Any, start: str, finish: str, *args: Any, **kwargs: Any) -> None:
        # Runs in the scheduler's event loop: take what the receipt needs, nothing more.
        if finish != "memory" or start != "processing" or key not in self.mine:
            return
        self.mine.discard(key)  # recomputed after a lost worker: one receipt is enough
        ts = self.scheduler.tasks.get(key)
        dependencies = [] if ts is None else [d.key for d in ts.dependencies]
        prefix = None if ts is None else ts.prefix.name
        self.queue.put((key, prefix, kwargs, dependencies))

    def _receipt(self, key: Any, prefix: Optional[str], finished: Dict[str, Any], dependencies: List[Any]) -> _core.Receipt:
        name = _key_text(key)
        payload: Dict[str, Any] = {"task": name, "worker": str(finished.get("worker", ""))}
        if prefix is not None:
            payload["prefix"] = prefix
        for startstop in finished.get("startstops") or ():
            if startstop.get("action") == "compute":
                payload["compute_seconds"] = round(float(startstop["stop"]) - float(startstop["start"]), 6)
        if finished.get("typename"):
            payload["type"] = str(finished["typename"])
        if finished.get("nbytes") is not None:
            payload["nbytes"] = int(finished["nbytes"])
        parents = [self.rids[d] for d in sorted(dependencies, key=_key_text) if d in self.rids]
        receipt = _linked_receipt(name, payload, self.trace_id, parents)
        self.rids[key] = receipt.get_rid()
        return receipt

    def _record_loop(self) -> None:
        # Receipts are made as tasks finish (a dependent needs its dependencies' rids) and
        # stored in batches: one transaction, at most _STORE_DELAY after the first waiting one.
        batch: List[_core.Receipt] = []
        due = 0.0
        stopping = False
        while not stopping:
            try:
                item = self.queue.get(timeout=max(0.0, due - time.monotonic()) if batch else None)
            except queue.Empty:
                item = None
            else:
                stopping = item is None
            if item is not None:
                try:
                    batch.append(self._receipt(*item))
                except Exception as error:  # reported by finish(); the scheduler goes on
                    self.errors.append(f"{type(error).__name__}: {error}")
                if len(batch) == 1:
                    due = time.monotonic() + _STORE_DELAY
            if batch and (item is None or len(batch) >= _STORE_BATCH):
                try:
                    self.client.store_receipts(batch)
                    self.count += len(batch)
                except Exception as error:
                    self.errors.append(f"{type(error).__name__}: {error}")
                batch = []

    def finish(self) -> Tuple[int, List[str]]:
        """Stores the receipts of every task finished so far and stops recording;
        (receipts stored, errors)."""
        self.mine.clear()
        self.queue.put(None)
        self.thread.join()
        return self.count, list(self.errors)

    async def close(self) -> None:
        if self.thread.is_alive():
            self.finish()


class GraphReceipts:
    """Records one execution receipt per task that finishes on the cluster while it is open,
    for the graphs this Dask client submits: all in one trace (`trace_id`), each linked to the
    receipts of the task's dependencies; a task that fails stores none. The scheduler records
    them into `store` (a directory on the scheduler's machine, a `sqlite:///` or a
    `postgresql://` URL), so it must be able to import quillmere and reach the store."""

    def __init__(self, client: DaskClient, store: str, *, trace_id: Optional[str] = None) -> None:
        self.client = client
        self.store = store
        self.trace_id = trace_id or f"trace:{uuid.uuid4()}"
        self.name = f"quillmere-receipts-{uuid.uuid4().hex[:12]}"
        self.count = 0

    def __enter__(self) -> "GraphReceipts":
        plugin = _ReceiptPlugin(self.store, self.trace_id, self.client.id)
        self.client.register_plugin(plugin, name=self.name)
        return self

    def __exit__(self, *exc: object) -> None:
        name = self.name

        def finish(dask_scheduler: Any) -> Tuple[int, List[str]]:
            result: Tuple[int, List[str]] = dask_scheduler.plugins[name].finish()
            return result

        try:
            untyped: Any = self.client
            self.count, errors = untyped.run_on_scheduler(finish)
        finally:
            self.client.unregister_scheduler_plugin(name)
        if errors and exc[0] is None:
            raise RuntimeError(f"{len(errors)} task receipts could not be stored: {errors[0]}")


def graph_receipts(client: DaskClient, store: str, *, trace_id: Optional[str] = None) -> GraphReceipts:
    """A context manager that records the receipts of the graphs run inside it (see
    `GraphReceipts`); its `trace_id` names the run for `quillmere dag --trace`."""
    return GraphReceipts(client, store, trace_id=trace_id)
