"""`Receipt`: a readable, comparable view of one native receipt.

The native receipt gives its identity and commitments through getters only; everything else
(workload, links, time, payload, signature) sits in its JSON form. This view parses that JSON
once, on first use, and every field is read from there, so nothing else in the package parses
receipt JSON. The native receipt stays inside (`native`) for the native functions.
"""

from __future__ import annotations

import copy
import json
from typing import TYPE_CHECKING, Any, Dict, Optional, Tuple, Union

from _quillmere import receipts as _receipts

__all__ = ["Receipt", "ReceiptLike", "native_receipt", "view", "view_of"]

PyReceipt = _receipts.PyReceipt
_from_json = _receipts.receipt_from_json_py


def _short(text: str, limit: int = 48) -> str:
    return text if len(text) <= limit else text[: limit - 1] + "\u2026"


class Receipt:
    """One receipt, read-only: made by `record_work`, a `Client` or `receipt_from_json`.

    Fields are properties (`rid`, `kind`, `workload_id`, `trace_id`, `parent_ids`, `links`,
    `timestamp`, `hash`, `dom`, `cod`, `sig`, `payload`, `version`); `to_json()` is the exact
    stored text and `to_dict()` its parsed form. Two receipts are equal when their canonical
    content is: the same canonical body, stored hash and signature (`r ==
    receipt_from_json(r.to_json())`). The native getters (`get_rid()` ...) remain, with
    `get_workload_id()` giving the workload as `workload_id` does.
    """

    __slots__ = ("_native", "_doc", "_key")

    def __init__(self, native: PyReceipt) -> None:
        if not isinstance(native, PyReceipt):
            raise TypeError(f"Receipt() takes a native receipt, not {type(native).__name__}; "
                            "use quillmere.receipt_from_json(text) for JSON text")
        self._native = native

    @classmethod
    def from_json(cls, text: str) -> "Receipt":
        """The receipt of a JSON text, as read (neither verified nor validated)."""
        return cls(_from_json(text))

    @property
    def native(self) -> PyReceipt:
        """The native receipt this view wraps (what the `_quillmere` functions take)."""
        return self._native

    # ------------------------------------------------------------------ fields

    # The parsed JSON and the identity are made on first use (unset slots until then), so
    # that a receipt that is only stored or verified costs one small object.
    if TYPE_CHECKING:
        _doc: Dict[str, Any]
        _key: Tuple[str, str, str]

    def _document(self) -> Dict[str, Any]:
        try:
            return self._doc
        except AttributeError:
            doc: Dict[str, Any] = json.loads(self._native.to_json())
            self._doc = doc
            return doc

    def _execution(self) -> Optional[Dict[str, Any]]:
        doc = self._document()
        payload = doc.get("payload")
        return payload if doc.get("kind") == "execution" and isinstance(payload, dict) else None

    @property
    def rid(self) -> str:
        """The receipt id: a UUID in lowercase hyphenated form."""
        return self._native.get_rid()

    @property
    def kind(self) -> str:
        """The kind as written in the JSON form: "execution", "data_shape", "spend" ..."""
        return str(self._document()["kind"])

    @property
    def version(self) -> str:
        return self._native.get_version()

    @property
    def workload_id(self) -> Optional[str]:
        """The workload that an execution receipt records (its method id); None for other kinds."""
        payload = self._execution()
        method = payload.get("method_ref") if payload is not None else None
        value = method.get("method_id") if isinstance(method, dict) else None
        return value if isinstance(value, str) else None

    @property
    def trace_id(self) -> Optional[str]:
        """The trace of an execution receipt; None for other kinds."""
        return self._native.get_trace_id()

    @property
    def links(self) -> Tuple[str, ...]:
        """The rids of the earlier receipts this one continues, in order."""
        return tuple(str(link) for link in self._document().get("links") or ())

    @property
    def parent_ids(self) -> Tuple[str, ...]:
        """The rids this receipt links to (its parents): the same as `links`."""
        return self.links

    @property
    def timestamp(self) -> str:
        """When it was recorded: the RFC 3339 text exactly as stored (UTC, "+00:00")."""
        ctx = self._document().get("ctx")
        return str(ctx.get("timestamp", "")) if isinstance(ctx, dict) else ""

    @property
    def hash(self) -> str:
        """The stored receipt hash, "sha256:" and 64 hex digits (not recomputed)."""
        return self._native.get_hash()

    @property
    def dom(self) -> str:
        return self._native.get_dom()

    @property
    def cod(self) -> str:
        return self._native.get_cod()

    @property
    def sig(self) -> Optional[Dict[str, str]]:
        """The signature object ({"alg", "kid", "sig"}), or None when unsigned."""
        sig = self._document().get("sig")
        return dict(sig) if isinstance(sig, dict) else None

    @property
    def payload(self) -> Dict[str, Any]:
        """The payload record as stored (a copy). For work recorded with `record_work` this holds
        hashes of the payload given, never the payload itself, and no tags."""
        return copy.deepcopy(self._document().get("payload") or {})

    def to_dict(self) -> Dict[str, Any]:
        """The whole receipt as a new dict: the parsed form of `to_json()`."""
        return copy.deepcopy(self._document())

    # ------------------------------------------------------------------ native methods

    def to_json(self) -> str:
        """The receipt's exact JSON text (its stored form)."""
        return self._native.to_json()

    def compute_hash(self) -> str:
        """The hash recomputed from the canonical body (compare with `hash`)."""
        return self._native.compute_hash()

    def validate(self) -> None:
        """Raise `ValueError` when the receipt breaks a validation rule."""
        self._native.validate()

    def get_rid(self) -> str:
        return self._native.get_rid()

    def get_kind(self) -> str:
        """The kind's display name: "Execution", "DataShape" ... (`kind` is the JSON form)."""
        return self._native.get_kind()

    def get_version(self) -> str:
        return self._native.get_version()

    def get_hash(self) -> str:
        return self._native.get_hash()

    def get_dom(self) -> str:
        return self._native.get_dom()

    def get_cod(self) -> str:
        return self._native.get_cod()

    def get_workload_id(self) -> Optional[str]:
        return self.workload_id

    def get_trace_id(self) -> Optional[str]:
        return self._native.get_trace_id()

    # ------------------------------------------------------------------ identity

    def _identity(self) -> Tuple[str, str, str]:
        try:
            return self._key
        except AttributeError:
            try:
                body = self._native.compute_hash()
            except ValueError:
                # No canonical form: fall back on the exact text.
                body = "json:" + self._native.to_json()
            sig = self._document().get("sig")
            key = self._key = (body, self._native.get_hash(), json.dumps(sig, sort_keys=True))
            return key

    def __eq__(self, other: object) -> bool:
        if isinstance(other, PyReceipt):
            other = Receipt(other)
        if not isinstance(other, Receipt):
            return NotImplemented
        return self is other or self._identity() == other._identity()

    def __hash__(self) -> int:
        return hash(self._identity())

    def __repr__(self) -> str:
        parts = [f"{self.kind} {self.rid}"]
        workload = self.workload_id
        if workload is not None:
            parts.append(f"workload={_short(workload)!r}")
        trace = self.trace_id
        if trace is not None:
            parts.append(f"trace={_short(trace)!r}")
        if self.links:
            parts.append("parents=" + ",".join(link[:8] for link in self.links))
        parts.append(f"at {self.timestamp}")
        if self.sig is not None:
            parts.append("signed")
        return f"<Receipt {' '.join(parts)}>"

    def __reduce__(self) -> Tuple[Any, Tuple[str]]:
        # Pickled as its JSON text: the defined form that crosses processes.
        return (Receipt.from_json, (self._native.to_json(),))


ReceiptLike = Union[Receipt, PyReceipt]

_new = object.__new__


def view(native: PyReceipt) -> Receipt:
    """`Receipt(native)` for a native receipt known to be one (the package's own results)."""
    receipt: Receipt = _new(Receipt)
    receipt._native = native
    return receipt


def view_of(receipt: ReceiptLike) -> Receipt:
    """The view of a receipt given either way (a view, or a native receipt); fields are read
    through it, never by parsing the receipt's JSON elsewhere."""
    return receipt if isinstance(receipt, Receipt) else Receipt(receipt)


def native_receipt(receipt: ReceiptLike) -> PyReceipt:
    """The native receipt of a view, or the native receipt itself; anything else is given
    back unchanged so that the native function reports it in its own words."""
    return receipt._native if isinstance(receipt, Receipt) else receipt
