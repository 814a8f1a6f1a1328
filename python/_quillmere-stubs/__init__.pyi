"""Type stubs of the native module `_quillmere` (wrapped by the package `quillmere`)."""

from types import TracebackType
from typing import Any, Literal, Sequence, final

from _typeshed import StrPath

from . import delta as delta, receipts as receipts, shapes as shapes, signing as signing
from .receipts import PyReceipt

# The top-level functions take and give exactly what their namesakes in `receipts` do.
from .receipts import record_work_py as record_work_py, verify_receipt_py as verify_receipt_py

__all__ = [
    "Client", "record_work_py", "verify_receipt_py", "delta", "receipts", "shapes",
    "CancelToken", "redact_secrets", "signing",
]

@final
class Client:
    """Records and verifies receipts; stores them when a storage path or URL is given."""

    def __new__(cls, storage_path: StrPath | None = None, *, storage_url: str | None = None) -> Client: ...
    def record_work(
        self,
        workload_id: str,
        payload: dict[str, Any],
        tags: Sequence[str] | None = None,
        trace_id: str | None = None,
        parent_id: str | None = None,
    ) -> PyReceipt: ...
    def verify_receipt(self, receipt: PyReceipt) -> bool: ...
    def store_receipt(self, receipt: PyReceipt) -> None: ...
    def store_receipts(self, receipts: Sequence[PyReceipt]) -> None: ...
    def list_receipts(
        self, workload_id: str | None = None, trace_id: str | None = None, limit: int | None = None
    ) -> list[PyReceipt]: ...
    def copy_receipts_to(self, other: Client) -> int: ...

@final
class CancelToken:
    """Stops native work started on a thread inside `with token:` once cancelled."""

    def __new__(cls, parent: CancelToken | None = None) -> CancelToken: ...
    def cancel(self) -> None: ...
    @property
    def cancelled(self) -> bool: ...
    def __enter__(self) -> CancelToken: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None, /
    ) -> Literal[False]: ...
    @staticmethod
    def current() -> CancelToken | None: ...

def redact_secrets(text: str, url: str | None = None) -> str: ...
