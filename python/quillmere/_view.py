"""The receipt view of whatever the chain check and reuse are given (a view or a native
receipt): fields are read through `quillmere.Receipt`, never by parsing JSON here."""

from __future__ import annotations

from typing import Any

from ._receipt import PyReceipt, Receipt


def view_of(receipt: Any) -> Receipt:
    return Receipt(receipt) if isinstance(receipt, PyReceipt) else receipt


def rid_of(receipt: Any) -> str:
    return view_of(receipt).rid
