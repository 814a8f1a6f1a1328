"""The record-level overlap that `quillmere diff` shows beside the chunk-level one."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

from ._shapes import ChunkScheme, Manifest
from ._sketch import Sketch, manifest_and_sketch


def data_side(path: str, scheme: ChunkScheme) -> Tuple[Manifest, Optional[Sketch]]:
    """The manifest of a data file and, from the same pass, its record sketch (none when
    the file is not line-delimited text)."""
    built, sketch = manifest_and_sketch(path, "auto", scheme)
    return built, sketch if sketch.records is not None else None


def record_overlap(old: Optional[Sketch], new: Optional[Sketch]) -> Optional[Dict[str, Any]]:
    """{"estimate", "error_bound", "records"} when both sides are records of one kind."""
    if old is None or new is None or old.records != new.records:
        return None
    return {"estimate": old.jaccard(new), "error_bound": old.error_bound, "records": old.records}


def record_lines(result: Dict[str, Any]) -> List[Tuple[str, str, str]]:
    """`diff`'s line for the record-level overlap of its result."""
    overlap = result["record_jaccard"]
    if overlap is None:
        return [("record overlap", "n/a", "needs two line-delimited data files of one kind")]
    return [("record overlap", f"{overlap['estimate']:.4f} +/- {overlap['error_bound']:.3f}",
             f"estimated over {overlap['records']} records, 95% bound")]
