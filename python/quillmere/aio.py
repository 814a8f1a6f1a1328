"""Asynchronous recording, verifying, storing and shape hashing.

Each coroutine runs the native work in a worker thread (`asyncio.to_thread`), so the event
loop stays free; the native hashing and storing run without the interpreter lock, so several
of them overlap on several cores. The current `trace` and `step` follow into the thread.
Data arriving asynchronously (an async iterable of byte blocks, or a reader with an async
`read(n)` such as `asyncio.StreamReader`) is hashed block by block as it comes.
"""

from __future__ import annotations

import asyncio
import inspect
from typing import Any, AsyncIterable, Awaitable, Callable, Dict, List, Optional, Protocol, Sequence, TypeVar, Union

from _quillmere import CancelToken

from . import _core, _shapes, _signing
from ._core import Client, Receipt, ReceiptLike, StoragePath
from ._signing import KeyringLike, SigningKey, Verdict
from ._shapes import BLOCK_SIZE, ChunkScheme, FilePath, Manifest, ShapeHasher, Source

__all__ = [
    "AsyncClient",
    "check_receipt",
    "data_shape_hash",
    "manifest",
    "record_work",
    "shape_files",
    "sign_receipt",
    "verify_receipt",
]


class AsyncReader(Protocol):
    """A reader whose `read(n)` is a coroutine (`asyncio.StreamReader` and the like)."""

    def read(self, n: int, /) -> Awaitable[bytes]: ...


AsyncSource = Union[Source, AsyncIterable[bytes], AsyncReader]
T = TypeVar("T")


async def _off_loop(function: Callable[..., T], /, *args: Any, **kwargs: Any) -> T:
    """`function(*args, **kwargs)` in a worker thread (`asyncio.to_thread`, so the current
    trace and step follow). Cancelled, it cancels the native work through a CancelToken
    and waits for the thread to stop: nothing keeps hashing or waiting on a database
    behind a cancelled task, and `asyncio.run` returns promptly."""
    token = CancelToken(CancelToken.current())

    def run() -> T:
        with token:
            return function(*args, **kwargs)

    work = asyncio.ensure_future(asyncio.to_thread(run))
    try:
        return await asyncio.shield(work)
    except asyncio.CancelledError:
        token.cancel()
        await asyncio.wait([work])
        if not work.cancelled():
            work.exception()  # retrieved: the cancellation is what the caller sees
        raise


async def record_work(
    workload_id: str,
    payload: Dict[str, Any],
    *,
    tags: Optional[Sequence[str]] = None,
    trace_id: Optional[str] = None,
    parent_id: Optional[str] = None,
) -> Receipt:
    """`quillmere.record_work`, off the event loop."""
    return await _off_loop(
        _core.record_work, workload_id, payload, tags=tags, trace_id=trace_id, parent_id=parent_id
    )


async def verify_receipt(receipt: Receipt) -> bool:
    """`quillmere.verify_receipt`, off the event loop."""
    return await _off_loop(_core.verify_receipt, receipt)


async def sign_receipt(receipt: ReceiptLike, key: SigningKey) -> Receipt:
    """`quillmere.sign_receipt`, off the event loop."""
    return await _off_loop(_signing.sign_receipt, receipt, key)


async def check_receipt(receipt: ReceiptLike, keyring: Optional[KeyringLike] = None) -> Verdict:
    """`quillmere.check_receipt`, off the event loop."""
    return await _off_loop(_signing.check_receipt, receipt, keyring)


async def _feed_async(hasher: ShapeHasher, source: Union[AsyncIterable[bytes], AsyncReader]) -> None:
    if isinstance(source, AsyncIterable):
        async for block in source:
            await _off_loop(hasher.update, block)
        return
    while block := await source.read(BLOCK_SIZE):
        await _off_loop(hasher.update, block)


def _is_async(source: object) -> bool:
    if isinstance(source, AsyncIterable):
        return True
    read = getattr(source, "read", None)
    return read is not None and inspect.iscoroutinefunction(read)


async def data_shape_hash(source: AsyncSource, chunk_scheme: ChunkScheme = None, *, workers: int = 1) -> str:
    """`quillmere.data_shape_hash` off the event loop; also takes asynchronous sources."""
    if _is_async(source):
        hasher = _shapes._hasher(_shapes.parse_chunk_scheme(chunk_scheme), False, workers)
        await _feed_async(hasher, source)  # type: ignore[arg-type]
        return hasher.shape_hash()
    return await _off_loop(_shapes.data_shape_hash, source, chunk_scheme, workers=workers)


async def manifest(source: AsyncSource, chunk_scheme: ChunkScheme = None, *, workers: int = 1) -> Manifest:
    """`quillmere.manifest` off the event loop; also takes asynchronous sources."""
    if _is_async(source):
        hasher = _shapes._hasher(_shapes.parse_chunk_scheme(chunk_scheme), True, workers)
        await _feed_async(hasher, source)  # type: ignore[arg-type]
        return hasher.manifest()
    return await _off_loop(_shapes.manifest, source, chunk_scheme, workers=workers)


async def shape_files(
    paths: Sequence[FilePath], chunk_scheme: ChunkScheme = None, workers: Optional[int] = None
) -> List[str]:
    """`quillmere.shape_files` off the event loop."""
    return await _off_loop(_shapes.shape_files, paths, chunk_scheme, workers)


class AsyncClient:
    """`quillmere.Client` with coroutine methods; each runs in a worker thread."""

    __slots__ = ("client",)

    def __init__(
        self,
        storage_path: Optional[StoragePath] = None,
        *,
        storage_url: Optional[str] = None,
        signing_key: Optional[SigningKey] = None,
    ) -> None:
        self.client = Client(storage_path, storage_url=storage_url, signing_key=signing_key)

    def __repr__(self) -> str:
        return f"Async{self.client!r}"

    async def record_work(
        self,
        workload_id: str,
        payload: Dict[str, Any],
        *,
        tags: Optional[Sequence[str]] = None,
        trace_id: Optional[str] = None,
        parent_id: Optional[str] = None,
    ) -> Receipt:
        return await _off_loop(
            self.client.record_work, workload_id, payload, tags=tags, trace_id=trace_id,
            parent_id=parent_id,
        )

    async def verify_receipt(self, receipt: Receipt) -> bool:
        return await _off_loop(self.client.verify_receipt, receipt)

    async def store_receipt(self, receipt: Receipt) -> Receipt:
        return await _off_loop(self.client.store_receipt, receipt)

    async def list_receipts(
        self,
        workload_id: Optional[str] = None,
        trace_id: Optional[str] = None,
        limit: Optional[int] = None,
    ) -> List[Receipt]:
        return await _off_loop(self.client.list_receipts, workload_id, trace_id, limit)

    async def find_receipts(self, rid_prefix: str, limit: Optional[int] = None) -> List[Receipt]:
        return await _off_loop(self.client.find_receipts, rid_prefix, limit)
