"""Sketches of data: a MinHash signature and a HyperLogLog over records or chunks.

Record-level sketches see line-delimited data (CSV with a header, JSON Lines, text) as a
set of records, so two versions of a table that differ in a few scattered rows still show
their overlap, which chunk-level comparison loses as soon as every chunk holds a changed
row. The sketch is taken natively in the same pass that chunks the data.

Sizes and error: 256 MinHash bins (one-permutation hashing, densified), so a Jaccard
estimate lies within `Sketch.error_bound` (0.061) of the true overlap for 95% of pairs at
worst (J near 0.5; closer near 0 and 1); a HyperLogLog of 4096 registers, whose distinct
count has a relative standard error of 1.6%.
"""

from __future__ import annotations

import os
import stat
from typing import TYPE_CHECKING, Literal, Optional, Tuple, Union, cast

from _quillmere import shapes as _native

from ._shapes import (
    BLOCK_SIZE,
    BinaryReader,
    ChunkScheme,
    Manifest,
    Source,
    _feed,
    _is_reader,
    _path_text,
    parse_chunk_scheme,
)

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

    from _quillmere.shapes import Sketch
else:
    Sketch = _native.Sketch

__all__ = ["Records", "Sketch", "manifest_and_sketch", "sketch"]

# "auto": by the file name (.csv and .tsv: csv; .jsonl, .ndjson, .txt, .log: lines), else
# by the first 64 KiB (text without NUL bytes: lines; anything else: chunks);
# "lines", "csv", or None for a chunk-level sketch.
Records = Optional[Literal["auto", "lines", "csv"]]
_Kind = Optional[Literal["lines", "csv"]]

_SUFFIXES = {".csv": "csv", ".tsv": "csv", ".jsonl": "lines", ".ndjson": "lines", ".txt": "lines", ".log": "lines"}
_SNIFF = 1 << 16


def _sniff(head: bytes) -> _Kind:
    """lines for text (UTF-8 without NUL bytes), None for anything else."""
    if b"\0" in head:
        return None
    for cut in range(4):  # the head may end inside a character
        try:
            head[: len(head) - cut].decode("utf-8")
            return "lines"
        except UnicodeDecodeError:
            continue
    return None


def _kind_of_path(path: str) -> _Kind:
    suffix = os.path.splitext(path)[1].lower()
    if suffix in _SUFFIXES:
        return cast(_Kind, _SUFFIXES[suffix])
    try:
        with open(path, "rb") as file:
            if not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
                return None
            return _sniff(file.read(_SNIFF))
    except OSError:
        return None  # the native reader reports the failure with its own text


def _check(records: Records) -> None:
    if records not in ("auto", "lines", "csv", None):
        raise ValueError(f'records must be "auto", "lines", "csv" or None, not {records!r}')


def _native_kind(records: Records, head: bytes) -> _Kind:
    return _sniff(head) if records == "auto" else records


def _from_reader(source: BinaryReader, records: Records, chunk_scheme: ChunkScheme, workers: int, keep: bool) -> Tuple[Optional[Manifest], Sketch]:
    first = source.read(BLOCK_SIZE)
    if not isinstance(first, (bytes, bytearray, memoryview)):
        raise TypeError(f"the file object's read() gave {type(first).__name__}, not bytes")
    kind = _native_kind(records, bytes(first[:_SNIFF]))
    hasher = _native.ShapeHasher(parse_chunk_scheme(chunk_scheme), keep, workers=workers, records=kind)
    hasher.update(first)
    if first:
        _feed(hasher, source, None)
    return (hasher.manifest() if keep else None), hasher.sketch()


def manifest_and_sketch(
    source: Source, records: Records = "auto", chunk_scheme: ChunkScheme = None, *, workers: int = 1
) -> Tuple[Manifest, Sketch]:
    """The manifest of the data (as `quillmere.manifest` gives it) and its sketch, from ONE
    pass over the bytes. `source` is a path, bytes-like data or a binary file object."""
    _check(records)
    scheme = parse_chunk_scheme(chunk_scheme)
    if isinstance(source, (str, os.PathLike)):
        path = _path_text(source)
        kind = _kind_of_path(path) if records == "auto" else records
        return _native.manifest_and_sketch_from_file_py(path, kind, scheme, workers=workers)
    if _is_reader(source):
        built, sk = _from_reader(cast(BinaryReader, source), records, chunk_scheme, workers, True)
        assert built is not None
        return built, sk
    data = cast("ReadableBuffer", source)
    kind = _native_kind(records, bytes(memoryview(data)[:_SNIFF])) if records == "auto" else records
    return _native.manifest_and_sketch_py(data, kind, scheme, workers=workers)


def sketch(source: Union[Source, Manifest], records: Records = "auto", *, chunk_scheme: ChunkScheme = None, workers: int = 1) -> Sketch:
    """The sketch of a file (read once, memory flat), bytes-like data, a binary file object,
    or a Manifest (chunk-level). `records`: "auto", "lines", "csv" or None (chunks)."""
    _check(records)
    if isinstance(source, Manifest):
        return Sketch.from_manifest(source)
    scheme = parse_chunk_scheme(chunk_scheme)
    if isinstance(source, (str, os.PathLike)):
        path = _path_text(source)
        kind = _kind_of_path(path) if records == "auto" else records
        return _native.sketch_from_file_py(path, kind, scheme, workers=workers)
    if _is_reader(source):
        return _from_reader(cast(BinaryReader, source), records, chunk_scheme, workers, False)[1]
    data = cast("ReadableBuffer", source)
    kind = _native_kind(records, bytes(memoryview(data)[:_SNIFF])) if records == "auto" else records
    return _native.sketch_py(data, kind, scheme, workers=workers)
