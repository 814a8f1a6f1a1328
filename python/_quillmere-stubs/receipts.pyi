"""Python bindings for receipt operations."""

from typing import Any, Sequence, TypedDict, final

from .shapes import Manifest, Sketch

__all__ = ["PyReceipt", "receipt_from_json_py", "record_work_py", "verify_receipt_py", "record_execution_py"]

class LocatorRef(TypedDict):
    encrypted_data: bytes
    content_hash: str
    encryption_scheme: str

@final
class PyReceipt:
    """One receipt, read-only; made by record_work_py or receipt_from_json_py."""

    def validate(self) -> None: ...
    def compute_hash(self) -> str: ...
    def to_json(self) -> str: ...
    def get_rid(self) -> str: ...
    def get_kind(self) -> str: ...
    def get_version(self) -> str: ...
    def get_hash(self) -> str: ...
    def get_dom(self) -> str: ...
    def get_cod(self) -> str: ...
    def get_workload_id(self) -> str | None: ...
    def get_trace_id(self) -> str | None: ...

def receipt_from_json_py(json_str: str) -> PyReceipt: ...
def record_work_py(
    workload_id: str,
    payload: dict[str, Any],
    tags: Sequence[str] | None = None,
    trace_id: str | None = None,
    parent_id: str | None = None,
) -> PyReceipt: ...
def verify_receipt_py(receipt: PyReceipt) -> bool: ...
def record_execution_py(
    workload_id: str,
    payload: dict[str, Any] | None = None,
    *,
    inputs: Sequence[Manifest | str] = (),
    output: Manifest | str | None = None,
    output_size: int | None = None,
    output_mime_type: str | None = None,
    method_shape: str | None = None,
    sketch: Sketch | Sequence[Sketch] | None = None,
    trace_id: str | None = None,
    parent_ids: Sequence[str] = (),
    prev_execution_rid: str | None = None,
    input_locator_refs: Sequence[LocatorRef] = (),
    output_locator_ref: LocatorRef | None = None,
    tags: Sequence[str] | None = None,
    rid: str | None = None,
) -> PyReceipt: ...
