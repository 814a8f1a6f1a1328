"""Recording, verifying and storing receipts: thin wrappers over the native functions.

The wrappers add two things only: ids taken from the current trace and step when none are
passed (see `quillmere.trace` and `quillmere.step`), and `os.PathLike` storage paths.
Every other argument, result and error is the native one.
"""

from __future__ import annotations

import hashlib
import os
import re
import warnings
from contextvars import ContextVar
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, Union

import _quillmere
from _quillmere import receipts as _receipts
from _quillmere import shapes as _shapes
from _quillmere import signing as _signing

from ._sidestore import SideStore, open_side_store

from .errors import StoreError
from ._receipt import PyReceipt, Receipt, ReceiptLike, native_receipt, view

if TYPE_CHECKING:
    from _quillmere.shapes import Manifest

__all__ = ["Client", "Receipt", "ReceiptLike", "record_work", "verify_receipt", "receipt_from_json"]

StoragePath = Union[str, "os.PathLike[str]", "os.PathLike[bytes]"]

# The trace and the receipt that the next recorded unit of work links to. Set by
# `trace` and `step`; contextvars keep them per thread and per asyncio task.
current_trace_id: ContextVar[Optional[str]] = ContextVar("quillmere_trace_id", default=None)
current_parent_id: ContextVar[Optional[str]] = ContextVar("quillmere_parent_id", default=None)
current_client: ContextVar[Optional["Client"]] = ContextVar("quillmere_client", default=None)

_trace_get = current_trace_id.get
_parent_get = current_parent_id.get
_record_work_py = _quillmere.record_work_py


_HEX = "[0-9a-fA-F]"
_HYPHENATED = f"{_HEX}{{8}}-{_HEX}{{4}}-{_HEX}{{4}}-{_HEX}{{4}}-{_HEX}{{12}}"
# The texts the recorder takes as a parent's rid; it drops any other without a word.
_RID_TEXT = re.compile(f"{_HEX}{{32}}|{_HYPHENATED}|\\{{{_HYPHENATED}\\}}|urn:uuid:{_HYPHENATED}")


def _check_parent(parent_id: object) -> None:
    if isinstance(parent_id, str) and not _RID_TEXT.fullmatch(parent_id):
        warnings.warn(f"parent_id {parent_id!r} is not a receipt id (a UUID): the receipt is recorded "
                      "without a link to a parent", stacklevel=3)


def record_work(
    workload_id: str,
    payload: Dict[str, Any],
    *,
    tags: Optional[Sequence[str]] = None,
    trace_id: Optional[str] = None,
    parent_id: Optional[str] = None,
) -> Receipt:
    """Record a unit of work as a sealed execution receipt.

    `trace_id` and `parent_id` default to those of the enclosing `trace` and `step`
    (none outside them). A `parent_id` that is no receipt id gives no link (and a warning).
    The receipt keeps hashes of `payload` (`dom`, `payload["data_shape_hash"]`), never the
    payload itself; `tags` are accepted and not kept (a receipt has no field for them).
    Raises the native `ValueError`s unchanged.

    >>> import quillmere as qm
    >>> receipt = qm.record_work("normalize-prices", {"input": "data"})
    >>> receipt.kind, receipt.workload_id
    ('execution', 'normalize-prices')
    """
    if trace_id is None:
        trace_id = _trace_get()
    if parent_id is None:
        parent_id = _parent_get()
    else:
        _check_parent(parent_id)
    # Positional: the native function's fast path.
    return view(_record_work_py(workload_id, payload, tags, trace_id, parent_id))


def verify_receipt(receipt: ReceiptLike) -> bool:
    """True if the receipt's hash matches its body and it passes validation, False on a hash
    mismatch; a receipt that breaks a validation rule raises `ValueError("ValidationError: ...")`.
    """
    return _quillmere.verify_receipt_py(native_receipt(receipt))


def receipt_from_json(text: str) -> Receipt:
    """The receipt of a JSON text, as read (neither verified nor validated)."""
    return Receipt(_receipts.receipt_from_json_py(text))


def redact_secrets(text: str, url: Optional[str] = None) -> str:
    """`text` with every password it may hold replaced by "***": the password of any URL in
    it, any `password=` value, and every secret of `url` wherever it appears (as written or
    percent-decoded). Storage URLs and database messages pass through it before display."""
    return _quillmere.redact_secrets(text, url)


def _path_text(path: StoragePath) -> str:
    text = os.fspath(path)
    return os.fsdecode(text) if isinstance(text, bytes) else text


# A storage URL (or any URL) given where a directory is expected would otherwise become a
# directory tree named after it ("./sqlite:/tmp/x.db/receipts/").
_URL = re.compile(r"^(?:sqlite:|postgres(?:ql)?:|[A-Za-z][A-Za-z0-9+.-]*://)")


def _refuse_url(path: str) -> None:
    if _URL.match(path):
        kind = "a storage URL" if path.startswith(("sqlite:", "postgres")) else "a URL, not a directory"
        raise StoreError(f"storage_path looks like {kind}; pass database URLs as "
                         f"Client(storage_url=...) (a directory named like this: use ./{path.split(':')[0]}:...)")


class Client:
    """A receipt store, or none: `Client()` records and verifies in memory only.

    `Client("/path/to/dir")` keeps one JSON file per receipt under `dir/receipts/`;
    `Client(storage_url="sqlite:///abs/path.db")` or a `postgresql://` URL uses a database
    (where the native module offers them). Both at once is a `ValueError`, and so is a URL
    given as the storage path (it would become a directory named like the URL).

    With `signing_key` (see `quillmere.load_signing_key`), every receipt stored through this
    client is signed first, steps included; a receipt signed already keeps its signature.
    """

    __slots__ = ("_native", "_side", "locator_key", "signing_key", "storage_path", "storage_url")

    def __init__(
        self,
        storage_path: Optional[StoragePath] = None,
        *,
        storage_url: Optional[str] = None,
        locator_key: Optional[bytes] = None,
        signing_key: Optional[_signing.SigningKey] = None,
    ) -> None:
        if signing_key is not None and not isinstance(signing_key, _signing.SigningKey):
            raise TypeError(f"signing_key must be a SigningKey (quillmere.load_signing_key), "
                            f"not {type(signing_key).__name__}")
        self.signing_key = signing_key
        self.storage_path: Optional[str] = None if storage_path is None else _path_text(storage_path)
        if self.storage_path is not None:
            _refuse_url(self.storage_path)
        self.storage_url = storage_url
        if storage_url is None:
            self._native = _quillmere.Client(self.storage_path)
        else:
            self._native = _quillmere.Client(self.storage_path, storage_url=storage_url)
        self._side: Optional[SideStore] = None
        if locator_key is not None and len(locator_key) != 32:
            raise ValueError(f"locator_key must be 32 bytes, not {len(locator_key)}")
        # Steps encrypt the locators of their inputs and output with it (AES-256-GCM).
        self.locator_key = locator_key

    @property
    def native(self) -> _quillmere.Client:
        """The native client this one wraps."""
        return self._native

    def __repr__(self) -> str:
        if self.storage_url is not None:
            parts = [f"storage_url={redact_secrets(self.storage_url)!r}"]
        else:
            parts = [] if self.storage_path is None else [repr(self.storage_path)]
        key = getattr(self, "signing_key", None)
        if key is not None:
            parts.append(f"signing_key={key!r}")
        return f"Client({', '.join(parts)})"

    def record_work(
        self,
        workload_id: str,
        payload: Dict[str, Any],
        *,
        tags: Optional[Sequence[str]] = None,
        trace_id: Optional[str] = None,
        parent_id: Optional[str] = None,
    ) -> Receipt:
        """As `quillmere.record_work`; the receipt is not stored (see `store_receipt`)."""
        if trace_id is None:
            trace_id = _trace_get()
        if parent_id is None:
            parent_id = _parent_get()
        else:
            _check_parent(parent_id)
        return view(self._native.record_work(workload_id, payload, tags, trace_id, parent_id))

    def verify_receipt(self, receipt: ReceiptLike) -> bool:
        """As `quillmere.verify_receipt`."""
        return self._native.verify_receipt(native_receipt(receipt))

    def _signed(self, receipt: ReceiptLike) -> PyReceipt:
        native = native_receipt(receipt)
        key = self.signing_key
        return native if key is None else _signing.sign_receipt_py(native, key, replace=False)

    def store_receipt(self, receipt: ReceiptLike) -> Receipt:
        """Store one receipt; one with the same rid is replaced. Gives back the receipt as
        stored: signed, when the client has a signing key."""
        native = self._signed(receipt)
        self._native.store_receipt(native)
        if isinstance(receipt, Receipt) and receipt.native is native:
            return receipt
        return Receipt(native)

    def list_receipts(
        self,
        workload_id: Optional[str] = None,
        trace_id: Optional[str] = None,
        limit: Optional[int] = None,
    ) -> List[Receipt]:
        """Stored execution receipts matching every filter given, at most `limit` of them."""
        return [view(r) for r in self._native.list_receipts(workload_id, trace_id, limit)]

    def find_receipts(self, rid_prefix: str, limit: Optional[int] = None) -> List[Receipt]:
        """Stored receipts whose rid is or begins with `rid_prefix` (hex digits in either case,
        with the hyphens of the written form or none), in rid order, at most `limit` of them.
        Looked up by rid: no other receipt is read."""
        return [view(r) for r in self._native.find_receipts(rid_prefix, limit)]

    def store_receipts(self, receipts: Sequence[ReceiptLike]) -> None:
        """Store many receipts at once: in one transaction in a database (all or none);
        each signed first when the client has a signing key."""
        if self.signing_key is not None:
            receipts = [self._signed(r) for r in receipts]
        elif isinstance(receipts, (list, tuple)):
            receipts = [native_receipt(r) for r in receipts]
        self._native.store_receipts(receipts)  # type: ignore[arg-type]

    def copy_receipts_to(self, other: "Client") -> int:
        """Copy every receipt of this store into `other`'s, byte for byte (not signed by
        either client's key); the count copied."""
        return self._native.copy_receipts_to(other._native)

    def _side_store(self) -> SideStore:
        """What the store keeps beside its receipts (manifests, the reuse index)."""
        if self._side is None:
            self._side = open_side_store(self.storage_path, self.storage_url, self._native)
            if self._side is None:
                raise ValueError("this client has no store: give Client a storage path or URL")
        return self._side

    def store_manifest(self, manifest: "Manifest") -> str:
        """Keep a manifest under its digest ("sha256:" + SHA-256 of `manifest.to_bytes()`), once."""
        body = manifest.to_bytes()
        digest = "sha256:" + hashlib.sha256(body).hexdigest()
        self._side_store().put_manifest(digest, body)
        return digest

    def load_manifest(self, digest: str) -> "Manifest":
        """The manifest stored under `digest`, checked as it is read; KeyError if none."""
        body = self._side_store().get_manifest(digest)
        if body is None:
            raise KeyError(f"no manifest {digest} in {self!r}")
        # The bytes are checked against their digest while the root is recomputed.
        return _shapes.manifest_from_bytes_py(body, digest=digest)

    def _index_execution(self, receipt: Receipt, method_shape: str, inputs: Sequence[Any],
                        digests: Sequence[str], output: Any) -> None:
        """Index a stored execution for `find_reusable` (steps do this for their receipts)."""
        from ._reuse import index_entry

        self._side_store().put_entries([index_entry(receipt, method_shape, inputs, digests, output)])

    def find_reusable(self, method: str, inputs: Sequence[Any], cost_model: Mapping[str, Any],
                      row_count: Optional[int] = None, *, sketches: Optional[Sequence[Any]] = None) -> Any:
        """The stored execution of `method` (a method shape hash) most worth reusing for
        `inputs`, as a `ReuseMatch` with the reuse rule's verdict; None if none shares data."""
        from ._reuse import find_reusable

        return find_reusable(self, method, inputs, cost_model, row_count, sketches=sketches)
