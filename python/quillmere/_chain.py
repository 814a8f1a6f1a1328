"""The chain check of a trace: every receipt's hash, every link found in the store, and
composition: a receipt that declares inputs (its `input_locator_refs`) must, for each
receipt it links to, read that receipt's output, so the linked receipt's `cod` must equal
the content hash of one of its inputs. An output changed in place between two steps breaks
this, and is reported with the text of `CompositionError`. Inputs that no linked receipt
produced come from outside the trace: they are listed as external, never as faults. Every
fault is reported, not only the first.
"""

from __future__ import annotations

import heapq
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, List, Optional

from ._stepdata import read_locator
from ._receipt import Receipt, view_of

if TYPE_CHECKING:
    from ._core import Client

__all__ = ["TraceFault", "ExternalInput", "TraceReport", "verify_trace", "composition_text"]


def composition_text(index: int, expected_cod: str, got_dom: str) -> str:
    return f"Composition error at receipt {index}: expected cod {expected_cod}, got dom {got_dom}"


@dataclass(frozen=True)
class TraceFault:
    index: int  # the receipt's place in the trace's order
    rid: str
    kind: str  # "hash", "invalid", "signature", "unresolved-link" or "composition"
    text: str


@dataclass(frozen=True)
class ExternalInput:
    index: int
    rid: str
    content_hash: str
    locator: Optional[str]  # None when encrypted without the key at hand


@dataclass
class TraceReport:
    trace_id: str
    receipts: List[Receipt] = field(default_factory=list)  # in the trace's order
    faults: List[TraceFault] = field(default_factory=list)
    external: List[ExternalInput] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return not self.faults and bool(self.receipts)


def _order(receipts: List[Receipt]) -> List[Receipt]:
    """Parents before children (links and prev_execution_rid within the trace), otherwise by
    timestamp, then as listed."""
    by_rid = {r.rid: (i, r) for i, r in enumerate(receipts)}
    before: Dict[str, List[str]] = {rid: [] for rid in by_rid}
    waiting: Dict[str, int] = {rid: 0 for rid in by_rid}
    for rid, (_, r) in by_rid.items():
        prev = r.payload.get("prev_execution_rid")
        for parent in set(r.links) | ({prev} if prev else set()):
            if parent in by_rid and parent != rid:
                before[parent].append(rid)
                waiting[rid] += 1

    def key(rid: str) -> Any:
        return (by_rid[rid][1].timestamp, by_rid[rid][0], rid)

    ready = [key(rid) for rid, n in waiting.items() if n == 0]
    heapq.heapify(ready)
    out: List[str] = []
    while ready:
        rid = heapq.heappop(ready)[2]
        out.append(rid)
        for child in before[rid]:
            waiting[child] -= 1
            if waiting[child] == 0:
                heapq.heappush(ready, key(child))
    # A cycle (only in forged stores) leaves receipts behind: they come last, in order.
    out.extend(sorted((rid for rid in by_rid if rid not in set(out)), key=key))
    return [by_rid[rid][1] for rid in out]


def verify_trace(client: "Client", trace_id: str, *, keyring: Any = None,
                 require_signature: bool = False) -> TraceReport:
    """Check every receipt of a trace and the links between them (see the module text)."""
    from . import _core
    from ._signing import check_receipt

    listed = [view_of(r) for r in client.list_receipts(trace_id=trace_id)]
    in_trace = {r.rid: r for r in listed}
    report = TraceReport(trace_id, _order(listed))
    everything: Optional[Dict[str, Receipt]] = None

    for index, receipt in enumerate(report.receipts):
        rid = receipt.rid

        def fault(kind: str, text: str) -> None:
            report.faults.append(TraceFault(index, rid, kind, text))

        try:
            if not _core.verify_receipt(receipt):
                fault("hash", f"Hash mismatch: stored hash {receipt.hash} does not match the receipt's body")
        except ValueError as error:
            fault("invalid", str(error))
        if keyring is not None or require_signature:
            # The signature over the recomputed hash, by a key of the keyring (the hash itself
            # is reported above).
            problem = check_receipt(receipt, keyring).signature_fault(require_signature)
            if problem is not None:
                fault("signature", problem)

        linked: List[Receipt] = []
        for parent in receipt.links:
            found = in_trace.get(parent)
            if found is None:
                if everything is None:
                    everything = {r.rid: r for r in map(view_of, client.list_receipts())}
                found = everything.get(parent)
            if found is None:
                fault("unresolved-link", f"link {parent} is not in the store")
            else:
                linked.append(found)

        refs = receipt.payload.get("input_locator_refs") or []
        if not refs:
            continue  # no declared inputs: links are ordering only
        shapes = [str(ref.get("content_hash")) for ref in refs]
        broken = False
        for parent_receipt in linked:
            if parent_receipt.cod not in shapes:
                broken = True
                fault("composition", composition_text(index, parent_receipt.cod, receipt.dom))
        if broken:
            continue
        produced = {parent_receipt.cod for parent_receipt in linked}
        for ref, shape in zip(refs, shapes):
            if shape not in produced:
                locator = read_locator(ref, getattr(client, "locator_key", None))
                report.external.append(ExternalInput(index, rid, shape, locator))
    return report
