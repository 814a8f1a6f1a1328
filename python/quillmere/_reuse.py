"""Finding an earlier execution worth reusing: the reuse index, its look-up, and the rule.

Every execution a step stores is indexed under its method shape by keys of two kinds: the
digest of each input manifest ("m:" + digest: the same data is always found), and the LSH
band keys of each input's MinHash signature ("b<band>:" + 16 hex digits of a hash of
`ROWS_PER_BAND` signature values, for the first `BANDS` bands). With one value a band, two
inputs whose overlap is J share at least one band key with probability 1 - (1 - J)^64:
0.73 at J = 0.02, 0.95 at J = 0.046, above 0.999 from J = 0.1, so that even the low
thresholds of cheap look-ups find their candidates; data that shares nothing shares no key
(the values are 64-bit minima). A look-up reads only the entries that share a key, never
every receipt.

With several inputs, J is that of the least similar input (in order): a result is only as
reusable as its most changed input. The best candidates (by keys shared) are then confirmed: with the exact Jaccard overlap of
the chunk ids of the stored input manifests, or, for record data (CSV, lines), with the
record-level sketch estimate, reported with its error bound. The reuse rule (reuse if and
only if J > C_id / (alpha * C_comp)) decides on the best.
"""

from __future__ import annotations

import hashlib
import struct
import sys
from dataclasses import asdict, dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

from . import _economics, _shapes
from ._stepdata import DataItem, hash_item
from ._receipt import view_of

if TYPE_CHECKING:
    from ._core import Client, Receipt

__all__ = ["ReuseMatch", "band_keys", "find_reusable", "index_entry"]

BANDS = 64
ROWS_PER_BAND = 1
CONFIRMED = 16  # candidates confirmed with the exact overlap, the best by keys shared


@dataclass(frozen=True)
class ReuseMatch:
    """The best earlier execution found for reuse and the rule's verdict on it."""

    rid: str
    j: float  # the overlap the decision used
    exact: bool  # True: exact chunk-level J; False: record-level sketch estimate
    error_bound: float  # 0.0 when exact
    decision: str  # "reuse" or "recompute"
    threshold: float  # C_id / (alpha * C_comp), inf when the product is 0
    economic_delta: float
    output_digest: Optional[str]
    output_locator: Optional[str]
    workload_id: Optional[str]
    trace_id: Optional[str]
    candidates: int  # entries that shared an index key

    def to_dict(self) -> Dict[str, Any]:
        out = asdict(self)
        if out["threshold"] == float("inf"):
            out["threshold"] = None
        return out

    def explain(self) -> str:
        how = "exact chunk overlap" if self.exact else f"record-level estimate, ±{self.error_bound:.3f}"
        threshold = "never (zero saving)" if self.threshold == float("inf") else f"{self.threshold:.4f}"
        sign = ">" if self.decision == "reuse" else "<="
        return (f"{self.decision}: J = {self.j:.4f} ({how}) {sign} threshold {threshold}; "
                f"saving {self.economic_delta:.4g}; receipt {self.rid}"
                + (f" ({self.workload_id})" if self.workload_id else ""))


def band_keys(sketch: Any) -> List[str]:
    signature = getattr(sketch, "signature", None)
    if not signature:
        return []
    keys = []
    for band in range(min(BANDS, len(signature) // ROWS_PER_BAND)):
        values = signature[band * ROWS_PER_BAND:(band + 1) * ROWS_PER_BAND]
        digest = hashlib.blake2b(struct.pack(f"<{len(values)}Q", *values), digest_size=8).hexdigest()
        keys.append(f"b{band}:{digest}")
    return keys


def _keys(digests: Sequence[str], sketches: Sequence[Any]) -> List[str]:
    keys = ["m:" + d for d in digests]
    for sketch in sketches:
        keys.extend(band_keys(sketch))
    return keys


def _sketch_bytes(sketch: Any) -> Optional[str]:
    to_bytes = getattr(sketch, "to_bytes", None)
    return None if to_bytes is None else bytes(to_bytes()).hex()


def index_entry(receipt: "Receipt", method_shape: str, inputs: Sequence[DataItem], digests: Sequence[str],
                output: Optional[DataItem]) -> Tuple[Dict[str, Any], List[str]]:
    """The reuse index entry of a stored execution, and its keys."""
    view = view_of(receipt)
    sketches = [i.sketch for i in inputs]
    entry = {
        "rid": view.rid,
        "method": method_shape,
        "workload_id": view.workload_id,
        "trace_id": view.trace_id,
        "inputs": list(digests),
        "input_shapes": [i.shape_hash for i in inputs],
        "records": [getattr(s, "records", None) for s in sketches],
        # Record sketches only: chunk-level overlap is confirmed on the stored manifests.
        "sketches": [None if getattr(s, "records", None) is None else _sketch_bytes(s) for s in sketches],
        "output_digest": None if output is None else output.shape_hash,
        "output_locator": None if output is None else output.locator,
    }
    return entry, _keys(digests, [s for s in sketches if s is not None])


def _inputs_jaccard(a: Sequence[_shapes.Manifest], b: Sequence[_shapes.Manifest]) -> float:
    """The overlap of two lists of inputs: that of the least similar pair in order, since a
    result is only as reusable as its most changed input; 0.0 when the counts differ."""
    if len(a) != len(b) or not a:
        return 0.0
    return min(x.jaccard(y) for x, y in zip(a, b))


def _record_estimate(today: Sequence[Any], entry: Dict[str, Any]) -> Optional[Tuple[float, float]]:
    """The record-level J estimate and its bound, when both sides are record sketches."""
    stored = entry.get("sketches") or []
    sketch_class = getattr(sys.modules.get("quillmere"), "Sketch", None)
    if (sketch_class is None or not today or len(stored) != len(today)
            or any(getattr(s, "records", None) is None for s in today)
            or any(r is None for r in entry.get("records") or [None])):
        return None
    estimates = []
    for mine, theirs in zip(today, stored):
        if theirs is None:
            return None
        estimates.append(mine.jaccard(sketch_class.from_bytes(bytes.fromhex(theirs))))
    return min(estimates), max(float(s.error_bound) for s in today)


def find_reusable(client: "Client", method: str, inputs: Sequence[Any], cost_model: _economics.CostModel,
                  row_count: Optional[int] = None, *, sketches: Optional[Sequence[Any]] = None) -> Optional[ReuseMatch]:
    items = [hash_item(x) for x in inputs]
    if sketches is not None:
        for item, sketch in zip(items, sketches):
            if sketch is not None:
                item.sketch = sketch
    manifests = [i.manifest for i in items]
    digests = ["sha256:" + hashlib.sha256(m.to_bytes()).hexdigest() for m in manifests]
    found = client._side_store().candidates(method, _keys(digests, [i.sketch for i in items if i.sketch is not None]))
    if not found:
        return None
    found.sort(key=lambda pair: -pair[1])
    best: Optional[Tuple[float, bool, float, Dict[str, Any]]] = None
    for entry, _ in found[:CONFIRMED]:
        estimate = _record_estimate([i.sketch for i in items], entry)
        if estimate is not None:
            j, bound, exact = estimate[0], estimate[1], False
        else:
            try:
                theirs = [client.load_manifest(d) for d in entry["inputs"]]
            except (KeyError, ValueError):
                continue  # its manifests are gone or damaged: not a candidate
            j, bound, exact = _inputs_jaccard(manifests, theirs), 0.0, True
        if best is None or j > best[0]:
            best = (j, exact, bound, entry)
    if best is None:
        return None
    j, exact, bound, entry = best
    verdict = _economics.decide_reuse(j, cost_model, row_count)
    justification = verdict["justification"]
    threshold = _economics.reuse_threshold(justification["c_id"], justification["alpha"], justification["c_comp"])
    return ReuseMatch(
        rid=entry["rid"], j=justification["overlap_j"], exact=exact, error_bound=bound,
        decision=verdict["decision"], threshold=threshold,
        economic_delta=_economics.economic_delta(j, cost_model, row_count),
        output_digest=entry.get("output_digest"), output_locator=entry.get("output_locator"),
        workload_id=entry.get("workload_id"), trace_id=entry.get("trace_id"), candidates=len(found),
    )
