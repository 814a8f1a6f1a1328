"""Python bindings for delta compute operations."""

from typing import Any, Literal, Sequence, SupportsFloat, SupportsIndex, TypedDict

from typing_extensions import TypeAlias

__all__ = ["decide_reuse_py", "economic_delta_py", "jaccard_similarity_py"]

class ConstantCost(TypedDict):
    type: Literal["constant"]
    value: float

class LinearCost(TypedDict):
    """per_row * row_count + base (row_count 0 when none is given)."""

    type: Literal["linear"]
    per_row: float
    base: float

CostValue: TypeAlias = float | ConstantCost | LinearCost

class CostModel(TypedDict):
    c_id: CostValue
    c_comp: CostValue
    alpha: CostValue

# What the functions take: a CostModel, or any dict read by the same rules at run time.
CostModelArg: TypeAlias = CostModel | dict[str, Any]

Decision: TypeAlias = Literal["reuse", "recompute"]

class ReuseJustification(TypedDict):
    overlap_j: float
    alpha: float
    c_id: float
    c_comp: float
    decision: Decision

class ReuseResult(TypedDict):
    decision: Decision
    justification: ReuseJustification

def jaccard_similarity_py(set1: Sequence[str], set2: Sequence[str]) -> float: ...
def decide_reuse_py(
    overlap_j: SupportsFloat | SupportsIndex, cost_model: CostModelArg, row_count: int | None = None
) -> ReuseResult: ...
def economic_delta_py(
    overlap_j: SupportsFloat | SupportsIndex, cost_model: CostModelArg, row_count: int | None = None
) -> float: ...
