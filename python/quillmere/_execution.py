"""Execution receipts that commit to the data they read and wrote.

`record_execution` is the native `record_execution_py` with the trace and parent taken from
the enclosing `trace` and `step` when none are given, and inputs or outputs also accepted
as paths, bytes or file objects (their manifests are computed here).
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Dict, Optional, Sequence, Union

from _quillmere import receipts as _receipts

from ._core import Receipt, _parent_get, _trace_get
from ._receipt import view
from ._shapes import Manifest, Source, manifest

if TYPE_CHECKING:
    from _quillmere.receipts import LocatorRef
    from _quillmere.shapes import Sketch

__all__ = ["record_execution"]

# A data commitment: a Manifest, a data shape hash ("sha256:" + 64 hex digits), or data
# whose manifest is computed (a path, bytes-like data or a binary file object).
DataArg = Union[Manifest, str, "os.PathLike[str]", Source]


def _is_shape_hash(text: str) -> bool:
    return len(text) == 71 and text.startswith("sha256:")


def _as_commitment(value: DataArg) -> Union[Manifest, str]:
    if isinstance(value, Manifest):
        return value
    if isinstance(value, str) and _is_shape_hash(value):
        return value
    return manifest(value)


def record_execution(
    workload_id: str,
    payload: Optional[Dict[str, Any]] = None,
    *,
    inputs: Sequence[DataArg] = (),
    output: Optional[DataArg] = None,
    output_size: Optional[int] = None,
    output_mime_type: Optional[str] = None,
    method_shape: Optional[str] = None,
    sketch: Union["Sketch", Sequence["Sketch"], None] = None,
    trace_id: Optional[str] = None,
    parent_ids: Optional[Sequence[str]] = None,
    prev_execution_rid: Optional[str] = None,
    input_locator_refs: Sequence["LocatorRef"] = (),
    output_locator_ref: Optional["LocatorRef"] = None,
    tags: Optional[Sequence[str]] = None,
    rid: Optional[str] = None,
) -> Receipt:
    """Record an execution that commits to its inputs (`dom`, `merkle_root`, stored manifest
    digest, sketch), its output (`cod`, `output_digest`) and `method_shape`; see the README's
    "Receipts that commit to the data". Inputs and output are Manifests, data shape hashes or
    data (a str that is no shape hash is a path). Trace and parent default to the enclosing
    `trace` and `step`; `rid` is the receipt's id when drawn beforehand. Every receipt made
    verifies.
    """
    if trace_id is None:
        trace_id = _trace_get()
    if parent_ids is None:
        parent = _parent_get()
        parent_ids = () if parent is None else (parent,)
        if prev_execution_rid is None:
            prev_execution_rid = parent
    return view(_receipts.record_execution_py(
        workload_id,
        payload,
        inputs=[_as_commitment(value) for value in inputs],
        output=None if output is None else _as_commitment(output),
        output_size=output_size,
        output_mime_type=output_mime_type,
        method_shape=method_shape,
        sketch=sketch,
        trace_id=trace_id,
        parent_ids=parent_ids,
        prev_execution_rid=prev_execution_rid,
        input_locator_refs=input_locator_refs,
        output_locator_ref=output_locator_ref,
        tags=tags,
        rid=rid,
    ))
