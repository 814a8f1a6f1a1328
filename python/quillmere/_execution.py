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
) -> Receipt:
    """Record an execution that commits to its inputs, output, method and data sketch.

    - `dom` and `data_shape_hash`: the inputs' shape (one input: its data shape hash; several:
      the hash of {"inputs": [shape, ...], "kind": "inputs"}, so their order counts); with no
      input, the payload's hash as in `record_work`.
    - `cod` and `output_digest`: the output's data shape hash; `manifest_root` and
      `output_size_bytes` from its manifest.
    - `merkle_root`, `chunk_manifest_hash`, `chunk_manifest_size_bytes`: the inputs' root
      and the digest and size of their stored manifest form, when every input is a manifest
      (or data, whose manifest is computed).
    - `minhash_signature`, `hll_cardinality`: from `sketch` (one Sketch, or several merged),
      else the chunk-level sketch of the input manifests.
    - `method_ref.method_shape_root`: `method_shape` (e.g. `method_shape_hash(code, params)`).

    A string input is a data shape hash when it looks like one, otherwise a path.
    `trace_id` and `parent_ids` default to the enclosing `trace` and `step`; the parent then
    also becomes `prev_execution_rid` unless one is given. Every receipt made verifies.
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
    ))
