"""Data and method shape hashes and manifests, from bytes, paths, file objects and many files.

Every hash comes from the native chunker: bytes-like input and paths go straight to the
native functions, file objects are fed in blocks to a native `ShapeHasher`.
"""

from __future__ import annotations

import errno
import io
import os
import stat
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Mapping, Optional, Protocol, Sequence, TypeVar, Union, cast

from _quillmere import CancelToken
from _quillmere import shapes as _native

from .errors import ManifestError, QuillmereError, ShapeError

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

    from _quillmere.shapes import ChunkScheme as NativeChunkScheme
    from _quillmere.shapes import Manifest, ShapeHasher
else:
    Manifest = getattr(_native, "Manifest", None)
    ShapeHasher = getattr(_native, "ShapeHasher", None)

__all__ = [
    "ChunkScheme",
    "Manifest",
    "ShapeHasher",
    "data_shape_hash",
    "manifest",
    "manifest_from_bytes",
    "manifest_from_json",
    "method_shape_hash",
    "parse_chunk_scheme",
    "shape_files",
    "signature_shape_hash",
]

# 1 MiB blocks: large enough that the per-call cost vanishes, small enough for a pipe.
BLOCK_SIZE = 1 << 20

T = TypeVar("T")


class BinaryReader(Protocol):
    """A binary file object: anything with `read(n) -> bytes`."""

    def read(self, size: int, /) -> bytes: ...


# bytes, bytearray, memoryview, array.array, mmap.mmap, ...: anything with the buffer protocol.
BytesLike = Union[bytes, "ReadableBuffer"]
PathArg = Union[str, "os.PathLike[str]", "os.PathLike[bytes]"]
# Where only a path can be meant, bytes name a file too. Any name the system accepts works,
# UTF-8 or not: it reaches the system call byte for byte.
FilePath = Union[PathArg, bytes]
Source = Union[BytesLike, PathArg, BinaryReader]
# A scheme dict as the native functions take it ({"type": "cdc", "avg_size": 65536} or
# {"type": "fixed", "size": 4096}), or its short text form "cdc:65536" / "fixed:4096".
ChunkScheme = Union[Mapping[str, Any], str, None]


def parse_chunk_scheme(scheme: ChunkScheme) -> Optional[NativeChunkScheme]:
    """The scheme dict of a chunk scheme given as a dict, a text such as "cdc:65536" or
    "fixed:4096", or None (the default: CDC, average 64 KiB)."""
    if scheme is None:
        return None
    if not isinstance(scheme, str):
        # Checked natively, with the native error texts.
        return cast("NativeChunkScheme", scheme if isinstance(scheme, dict) else dict(scheme))
    kind, _, size = scheme.partition(":")
    if not size.isdigit():
        kind = ""
    if kind == "cdc":
        return {"type": "cdc", "avg_size": int(size)}
    if kind == "fixed":
        return {"type": "fixed", "size": int(size)}
    raise ShapeError(f"invalid chunk scheme {scheme!r}: expected cdc:SIZE or fixed:SIZE")


def _path_text(source: FilePath) -> str:
    path = os.fspath(source)
    return os.fsdecode(path) if isinstance(path, bytes) else path


def _both(base: type) -> type:
    # The OSError subclass of the errno that is also a QuillmereError, the ValueError these
    # functions raised before, so that `except ValueError` keeps working.
    return type(base.__name__, (base, QuillmereError), {"__module__": "quillmere"})


_UNREADABLE: Dict[int, type] = {
    errno.ENOENT: _both(FileNotFoundError),
    errno.EACCES: _both(PermissionError),
    errno.EPERM: _both(PermissionError),
    errno.EISDIR: _both(IsADirectoryError),
    errno.ENOTDIR: _both(NotADirectoryError),
}
_OTHER_UNREADABLE = _both(OSError)


def _path_problem(path: str) -> Optional[OSError]:
    """Why a file cannot be read, as the `OSError` subclass of its errno (FileNotFoundError,
    PermissionError, IsADirectoryError ...; each also a `ValueError`) with the path; None when
    it can be read."""
    try:
        info = os.stat(path)
        if stat.S_ISDIR(info.st_mode):
            code, reason = errno.EISDIR, os.strerror(errno.EISDIR)
        else:
            os.close(os.open(path, os.O_RDONLY | os.O_NONBLOCK))
            return None
    except OSError as error:
        code, reason = error.errno or 0, error.strerror or str(error)
    problem: OSError = _UNREADABLE.get(code, _OTHER_UNREADABLE)(code, reason, path)
    return problem


def _on_file(path: str, function: Callable[..., T], *args: Any, **kwargs: Any) -> T:
    """`function(path, ...)`; a file that cannot be read raises its `OSError` (the native
    error's text names no errno and differs from function to function)."""
    try:
        return function(path, *args, **kwargs)
    except ValueError as error:
        problem = _path_problem(path)
        if problem is None:
            raise
        raise problem from error


def _feed(hasher: ShapeHasher, source: BinaryReader, progress: Optional[Callable[[int], None]]) -> None:
    if isinstance(source, io.TextIOBase):
        raise TypeError("the file object must be opened in binary mode")
    readinto = getattr(source, "readinto", None)
    if readinto is not None:
        buffer = bytearray(BLOCK_SIZE)
        view = memoryview(buffer)
        while (count := readinto(buffer)):
            hasher.update(view[:count])
            if progress is not None:
                progress(count)
        return
    while True:
        block = source.read(BLOCK_SIZE)
        if not block:
            return
        if not isinstance(block, (bytes, bytearray, memoryview)):
            raise TypeError(f"the file object's read() gave {type(block).__name__}, not bytes")
        hasher.update(block)
        if progress is not None:
            progress(len(block))


def _hasher(scheme: Optional[NativeChunkScheme], keep_chunks: bool, workers: int) -> ShapeHasher:
    if workers == 1:
        return _native.ShapeHasher(scheme, keep_chunks)
    return _native.ShapeHasher(scheme, keep_chunks, workers=workers)


def _is_reader(source: object) -> bool:
    return hasattr(source, "read") and not isinstance(source, (str, bytes, bytearray, memoryview))


def data_shape_hash(source: Source, chunk_scheme: ChunkScheme = None, *, workers: int = 1) -> str:
    """The data shape hash ("sha256:" + 64 hex digits) of bytes-like data, of a file named by
    a path (`str` or `os.PathLike`), or of a binary file object read to its end in blocks.
    `workers` > 1 splits the work on one input across that many threads. A file that cannot
    be read raises its `OSError` (`FileNotFoundError`, `IsADirectoryError` ...) naming it."""
    scheme = parse_chunk_scheme(chunk_scheme)
    if isinstance(source, (str, os.PathLike)):
        path = _path_text(source)
        if workers == 1:
            return _on_file(path, _native.compute_data_shape_hash_from_file_py, scheme)
        return _on_file(path, _native.build_manifest_from_file_py, scheme, workers=workers).shape_hash
    if type(source) is bytes and workers == 1:
        return _native.compute_data_shape_hash_from_bytes_py(source, scheme)
    hasher = _hasher(scheme, False, workers)
    if _is_reader(source):
        _feed(hasher, cast(BinaryReader, source), None)
    else:
        hasher.update(cast("ReadableBuffer", source))
    return hasher.shape_hash()


def manifest(source: Source, chunk_scheme: ChunkScheme = None, *, workers: int = 1) -> Manifest:
    """The manifest (chunk offsets, lengths and ids, root, shape hash) of bytes-like data, a
    file named by a path, or a binary file object read to its end."""
    scheme = parse_chunk_scheme(chunk_scheme)
    extra = {} if workers == 1 else {"workers": workers}
    if isinstance(source, (str, os.PathLike)):
        return _on_file(_path_text(source), _native.build_manifest_from_file_py, scheme, **extra)
    if _is_reader(source):
        hasher = _hasher(scheme, True, workers)
        _feed(hasher, cast(BinaryReader, source), None)
        return hasher.manifest()
    return _native.build_manifest_py(cast("ReadableBuffer", source), scheme, **extra)


def manifest_from_json(text: str) -> Manifest:
    """A manifest read back from `Manifest.to_json()` text; refuses any inconsistency."""
    return _native.manifest_from_json_py(text)


def manifest_from_bytes(data: BytesLike) -> Manifest:
    """A manifest read back from `Manifest.to_bytes()`; refuses any inconsistency."""
    return _native.manifest_from_bytes_py(data)


def method_shape_hash(code_hash: str, params: Optional[Dict[str, Any]] = None) -> str:
    """The method shape hash of a code hash ("sha256:<64hex>" or the 64 hex digits) and
    optional JSON-serialisable parameters."""
    return _native.compute_method_shape_hash_from_code_py(code_hash, params)


def signature_shape_hash(function_name: str, input_types: Sequence[str], output_type: str) -> str:
    """The method shape hash of a function signature."""
    return _native.compute_method_shape_hash_from_signature_py(function_name, input_types, output_type)


def map_files(function: Callable[[str], T], paths: Iterable[FilePath], workers: Optional[int]) -> List[T]:
    """`function` of each path, in order, on a pool of `workers` threads (default: one per
    core). The first failure is raised and the files not yet started are left alone; on any
    failure (Ctrl-C included) the native work still running stops at its next block, so the
    pool is joined at once."""
    texts = [_path_text(p) for p in paths]
    count = workers if workers is not None else min(len(texts), os.cpu_count() or 1)
    if count < 1 and workers is not None:
        raise ManifestError(f"workers must be at least 1, not {workers}")
    if count <= 1 or len(texts) <= 1:
        return [function(p) for p in texts]
    # Under the caller's token (if any), so cancelling that stops these files too.
    token = CancelToken(CancelToken.current())

    def run(path: str) -> T:
        with token:
            return function(path)

    pool = ThreadPoolExecutor(max_workers=count, thread_name_prefix="quillmere-shape")
    try:
        return list(pool.map(run, texts))
    except BaseException:
        token.cancel()
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def shape_files(
    paths: Iterable[FilePath], chunk_scheme: ChunkScheme = None, workers: Optional[int] = None
) -> List[str]:
    """The data shape hash of each file, in the order given, hashed on `workers` threads at
    once (default: one per core); the native hashing runs without the interpreter lock, so
    the threads use the cores in parallel."""
    scheme = parse_chunk_scheme(chunk_scheme)
    hash_file = _native.compute_data_shape_hash_from_file_py
    return map_files(lambda path: _on_file(path, hash_file, scheme), paths, workers)
