"""Overlap of chunk sets and the reuse-or-recompute rule, from the native delta functions."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, Optional, Sequence, Union, cast

from _quillmere import delta as _delta
from _quillmere import shapes as _shapes

from .errors import EconomicsError

if TYPE_CHECKING:
    from _quillmere.delta import CostModel as NativeCostModel
    from _quillmere.delta import ReuseJustification as Justification
    from _quillmere.delta import ReuseResult as ReuseDecision
    from _quillmere.shapes import Manifest
else:
    # The native results' shapes are defined once, in the extension's stubs; at run time they
    # are plain dicts, named here so that help() lists them in a line each.
    Justification = Dict[str, Any]
    ReuseDecision = Dict[str, Any]


__all__ = ["CostModel", "Justification", "ReuseDecision", "decide_reuse", "economic_delta", "jaccard"]

# {"c_id": cost, "c_comp": cost, "alpha": cost}, each cost a number or
# {"type": "constant", "value": v} or {"type": "linear", "per_row": p, "base": b}.
CostModel = Mapping[str, Any]
ChunkIds = Union["Manifest", Sequence[str], Iterable[str]]


def reuse_threshold(c_id: float, alpha: float, c_comp: float) -> float:
    """The overlap above which reuse pays, c_id / (alpha * c_comp); inf when the product is 0
    (reuse saves nothing)."""
    product = alpha * c_comp
    return float("inf") if product == 0 else c_id / product


def _ids(chunks: ChunkIds) -> Union[Sequence[str], List[str]]:
    if isinstance(chunks, (list, tuple, str)):
        return chunks  # a str goes on to the native function, which refuses it
    if isinstance(chunks, _shapes.Manifest):
        return chunks.chunk_ids()
    return list(chunks)


def jaccard(a: ChunkIds, b: ChunkIds) -> float:
    """Jaccard overlap |A ∩ B| / |A ∪ B| of two sets of chunk ids (1.0 for two empty sets):
    two manifests, or sequences (or other iterables) of chunk id strings."""
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return _delta.jaccard_similarity_py(a, b)
    if isinstance(a, _shapes.Manifest) and isinstance(b, _shapes.Manifest):
        return a.jaccard(b)  # natively, on the digests
    return _delta.jaccard_similarity_py(_ids(a), _ids(b))


def _model(cost_model: CostModel) -> NativeCostModel:
    return cast("NativeCostModel", cost_model if isinstance(cost_model, dict) else dict(cost_model))


def _checked(overlap_j: float, cost_model: CostModel, row_count: Optional[int]) -> NativeCostModel:
    """The cost model, after refusing what the native rule would take silently: an overlap
    outside [0, 1] (it would be clamped) and a linear cost without a row count (it would be
    evaluated for 0 rows)."""
    if isinstance(overlap_j, (int, float)) and not 0.0 <= overlap_j <= 1.0:
        raise EconomicsError(f"overlap_j must be a Jaccard overlap within [0, 1], not {overlap_j!r}")
    model = _model(cost_model)
    if row_count is None:
        for name in ("c_id", "c_comp", "alpha"):
            cost = model.get(name)
            if isinstance(cost, Mapping) and cost.get("type") == "linear":
                raise EconomicsError(f"{name} is a linear cost (per_row * rows + base): give row_count")
    return model


def decide_reuse(overlap_j: float, cost_model: CostModel, row_count: Optional[int] = None) -> ReuseDecision:
    """{"decision": "reuse" | "recompute", "justification": {...}}: reuse if and only if
    J > C_id / (alpha * C_comp).

    `overlap_j` is the Jaccard overlap of the old and new data, within [0, 1]. The cost model
    holds three costs: `c_id`, the cost of identifying and checking earlier results to reuse;
    `c_comp`, the cost of computing from scratch, in the same unit as `c_id` (seconds,
    CPU-hours, money: any unit, the same for both); and `alpha`, the fraction of `c_comp`
    that reuse saves (0 to 1). Each is a number, {"type": "constant", "value": v} or
    {"type": "linear", "per_row": p, "base": b} (p * row_count + b; needs `row_count`).
    An overlap outside [0, 1] and a linear cost without `row_count` are `ValueError`s."""
    return _delta.decide_reuse_py(overlap_j, _checked(overlap_j, cost_model, row_count), row_count)


def economic_delta(overlap_j: float, cost_model: CostModel, row_count: Optional[int] = None) -> float:
    """The estimated saving of reuse, alpha * C_comp * J - C_id, in the unit of the costs
    (negative: reuse costs more). Arguments and refusals as for `decide_reuse`."""
    return _delta.economic_delta_py(overlap_j, _checked(overlap_j, cost_model, row_count), row_count)
