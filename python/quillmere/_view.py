"""The few receipt fields the chain check and reuse read, through the receipt view."""

from __future__ import annotations

import json
from typing import Any, Dict, List


def rid_of(receipt: Any) -> str:
    rid = getattr(receipt, "rid", None)
    return str(rid) if isinstance(rid, str) else str(receipt.get_rid())


def document_of(receipt: Any) -> Dict[str, Any]:
    """The receipt as a dict: the view's own when it has one."""
    to_dict = getattr(receipt, "to_dict", None)
    if to_dict is not None:
        return dict(to_dict())
    return dict(json.loads(receipt.to_json()))


def payload_of(receipt: Any) -> Dict[str, Any]:
    payload = getattr(receipt, "payload", None)
    if isinstance(payload, dict):
        return payload
    return dict(document_of(receipt)["payload"])


def links_of(receipt: Any) -> List[str]:
    links = getattr(receipt, "parent_ids", None)
    if isinstance(links, tuple):
        return [str(x) for x in links]
    return [str(x) for x in document_of(receipt).get("links", [])]
