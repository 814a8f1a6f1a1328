"""The delta module: Jaccard overlap, the reuse decision and its justification, the economic
delta, the cost model dict with every message, argument conversion and docstrings."""

import inspect
import math
import textwrap

import pytest

import _quillmere
from conftest import run_python

delta = _quillmere.delta
jaccard = delta.jaccard_similarity_py
decide = delta.decide_reuse_py
economic = delta.economic_delta_py

MODEL = {"c_id": 10, "c_comp": 100, "alpha": 0.5}


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ([], [], 1.0),
        ([], ["a"], 0.0),
        (["a", "b"], ("b", "a"), 1.0),
        (["a", "a", "b"], ["b", "c"], 1 / 3),
        (["x", "y"], ["y", "z", "w"], 0.25),
        (["é"], ["e\u0301"], 0.0),  # compared as exact text, no normalisation
    ],
)
def test_jaccard(a, b, expected):
    assert jaccard(a, b) == pytest.approx(expected, abs=0)
    assert jaccard(set2=a, set1=b) == pytest.approx(expected, abs=0)


@pytest.mark.parametrize(
    "a, b, message",
    [
        ({"a"}, [], "argument 'set1': 'set' object cannot be converted to 'Sequence'"),
        ([], "ab", "argument 'set2': 'str' object cannot be converted to 'Sequence'"),
        ([], {"a": 1}, "argument 'set2': 'dict' object cannot be converted to 'Sequence'"),
        (["a", None], [], "argument 'set1': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_jaccard_argument_errors(a, b, message):
    with pytest.raises(TypeError) as error:
        jaccard(a, b)
    assert str(error.value) == message


@pytest.mark.parametrize(
    "overlap, decision, saving",
    [(0.3, "reuse", 5.0), (0.2, "recompute", 0.0), (0.1, "recompute", -5.0), (0.5, "reuse", 15.0)],
)
def test_threshold_is_strict(overlap, decision, saving):
    result = decide(overlap, MODEL)
    assert result == {
        "decision": decision,
        "justification": {"overlap_j": overlap, "alpha": 0.5, "c_id": 10.0, "c_comp": 100.0, "decision": decision},
    }
    assert list(result) == ["decision", "justification"]
    assert list(result["justification"]) == ["overlap_j", "alpha", "c_id", "c_comp", "decision"]
    assert all(type(result["justification"][k]) is float for k in ("overlap_j", "alpha", "c_id", "c_comp"))
    assert economic(overlap, MODEL) == pytest.approx(saving)


@pytest.mark.parametrize("overlap, clamped", [(1.7, 1.0), (-0.2, 0.0), (True, 1.0), (0, 0.0)])
def test_overlap_is_clamped(overlap, clamped):
    assert decide(overlap, MODEL)["justification"]["overlap_j"] == clamped
    assert economic(overlap, MODEL) == clamped * 50.0 - 10.0


@pytest.mark.parametrize(
    "model",
    [{"c_id": 0, "c_comp": 0, "alpha": 0.5}, {"c_id": 0, "c_comp": 100, "alpha": 0}, {"c_id": 3, "c_comp": 100, "alpha": -0.0}],
)
def test_zero_product_always_recomputes(model):
    assert decide(1.0, model)["decision"] == "recompute"
    assert economic(1.0, model) == -model["c_id"]


def test_nan_recomputes():
    assert decide(float("nan"), MODEL)["decision"] == "recompute"
    assert math.isnan(decide(float("nan"), MODEL)["justification"]["overlap_j"])
    assert decide(0.9, dict(MODEL, c_id=float("nan")))["decision"] == "recompute"
    assert decide(0.0, dict(MODEL, c_id=-1))["decision"] == "reuse"  # negative threshold


@pytest.mark.parametrize(
    "c_comp, rows, value",
    [
        ({"type": "linear", "per_row": 2, "base": 10}, 5, 20.0),
        ({"type": "linear", "per_row": 2, "base": 10}, None, 10.0),
        ({"type": "linear", "per_row": 1, "base": 0}, 2**64 - 1, 18446744073709551616.0),
        ({"type": "linear", "per_row": 1, "base": 0}, True, 1.0),
        ({"type": "constant", "value": 7}, 5, 7.0),
        (-1, None, -1.0),
    ],
)
def test_cost_values(c_comp, rows, value):
    model = {"c_id": 1, "c_comp": c_comp, "alpha": 1}
    assert decide(0.5, model, rows)["justification"]["c_comp"] == value
    assert decide(0.5, model, row_count=rows)["justification"]["c_comp"] == value


class Fraction:
    def __float__(self):
        return 0.25


class Broken:
    def __float__(self):
        raise RuntimeError("no float")


@pytest.mark.parametrize(
    "model, message",
    [
        ({"c_comp": 1, "alpha": 1}, "Missing required field: c_id"),
        ({"c_id": 1, "c_comp": 1}, "Missing required field: alpha"),
        ({"c_id": 1, "c_comp": 1, "alpha": "0.5"}, "alpha: expected float or dict, got builtins.str"),
        ({"c_id": None, "c_comp": 1, "alpha": 1}, "c_id: expected float or dict, got builtins.NoneType"),
        ({"c_id": 1, "c_comp": [1], "alpha": 1}, "c_comp: expected float or dict, got builtins.list"),
        ({"c_id": Broken(), "c_comp": 1, "alpha": 1}, f"c_id: expected float or dict, got {__name__}.Broken"),
        ({"c_id": {"type": "Linear"}, "c_comp": 1, "alpha": 1}, "c_id: invalid type 'Linear', expected 'constant' or 'linear'"),
        ({"c_id": {}, "c_comp": 1, "alpha": 1}, "c_id: missing 'type' field"),
        ({"c_id": {"type": 1}, "c_comp": 1, "alpha": 1}, "c_id: missing 'type' field"),
        ({"c_id": {"type": "constant"}, "c_comp": 1, "alpha": 1}, "c_id: missing 'value' field"),
        ({"c_id": {"type": "constant", "value": "1"}, "c_comp": 1, "alpha": 1}, "c_id: missing 'value' field"),
        ({"c_id": 1, "c_comp": {"type": "linear", "base": 1}, "alpha": 1}, "c_comp: missing 'per_row' field"),
        ({"c_id": 1, "c_comp": {"type": "linear", "per_row": 1}, "alpha": 1}, "c_comp: missing 'base' field"),
        # keys are read in the order c_id, c_comp, alpha
        ({"alpha": "x", "c_comp": "y"}, "Missing required field: c_id"),
        ({"c_id": 1, "alpha": "x", "c_comp": "y"}, "c_comp: expected float or dict, got builtins.str"),
    ],
)
def test_cost_model_errors(model, message):
    for function in (decide, economic):
        with pytest.raises(ValueError) as error:
            function(0.5, model)
        assert str(error.value) == message


class CollidingKey:
    def __init__(self, text):
        self.text = text

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        raise KeyError("compared " + self.text)


@pytest.mark.parametrize("model", [{CollidingKey("c_id"): 1}, {"c_id": {CollidingKey("type"): 1}}])
def test_key_lookup_errors_propagate(model):
    with pytest.raises(KeyError, match="compared"):
        decide(0.5, model)


def test_float_conversions():
    model = {"c_id": Fraction(), "c_comp": {"type": "constant", "value": Fraction()}, "alpha": True}
    justification = decide(Fraction(), model)["justification"]
    assert (justification["overlap_j"], justification["c_id"], justification["c_comp"], justification["alpha"]) == (0.25, 0.25, 0.25, 1.0)


@pytest.mark.parametrize(
    "args, error, message",
    [
        (("0.5", MODEL), TypeError, "argument 'overlap_j': must be real number, not str"),
        ((0.5, [MODEL]), TypeError, "argument 'cost_model': 'list' object cannot be converted to 'PyDict'"),
        ((0.5, MODEL, 2.0), TypeError, "argument 'row_count': 'float' object cannot be interpreted as an integer"),
        ((0.5, MODEL, -1), OverflowError, "can't convert negative int to unsigned"),
        ((0.5, MODEL, 2**64), OverflowError, None),
        # conversion order: overlap_j, cost_model, row_count, then the cost model's contents
        (("x", {}, -1), TypeError, "argument 'overlap_j': must be real number, not str"),
        ((0.5, {}, -1), OverflowError, "can't convert negative int to unsigned"),
    ],
)
def test_argument_errors(args, error, message):
    for function in (decide, economic):
        with pytest.raises(error) as raised:
            function(*args)
        if message is not None:
            assert str(raised.value) == message


DOCS = {
    "jaccard_similarity_py": [
        "jaccard_similarity_py(set1, set2)", "--", "",
        "Compute Jaccard similarity between two sets.", "",
        "Jaccard similarity is defined as: J(U,V) = |U ∩ V| / |U ∪ V|", "",
        "Args:",
        "    set1: First set of chunk identifiers (list of strings)",
        "    set2: Second set of chunk identifiers (list of strings)", "",
        "Returns:", "    Jaccard similarity in [0, 1]",
    ],
    "decide_reuse_py": [
        "decide_reuse_py(overlap_j, cost_model, row_count=None)", "--", "",
        "Decide whether to reuse based on overlap and cost model.", "",
        "Implements the reuse rule: Reuse iff J > C_id / (α · C_comp)", "",
        "Args:",
        "    overlap_j: Jaccard overlap [0,1] between prior and current chunk sets",
        "    cost_model: Cost model dict with keys: c_id, c_comp, alpha",
        "    row_count: Optional row count for linear cost calculation", "",
        "Returns:",
        "    Tuple of (decision, justification) where:",
        '    - decision: "reuse", "recompute", or "hybrid"',
        "    - justification: Dict with overlap_j, alpha, c_id, c_comp, decision",
    ],
    "economic_delta_py": [
        "economic_delta_py(overlap_j, cost_model, row_count=None)", "--", "",
        "Compute economic delta (savings estimate) from reuse decision.", "",
        "Economic delta is defined as: ΔC ≈ α · C_comp · J - C_id",
        "Positive values indicate savings from reuse.", "",
        "Args:",
        "    overlap_j: Jaccard overlap [0,1]",
        "    cost_model: Cost model dict with keys: c_id, c_comp, alpha",
        "    row_count: Optional row count for linear cost calculation", "",
        "Returns:", "    Economic delta (positive = savings, negative = cost)",
    ],
}


@pytest.mark.parametrize("name", DOCS)
def test_docstrings_and_signatures(name):
    function = getattr(delta, name)
    lines = DOCS[name]
    assert function.__doc__ == "\n".join(lines[3:])
    assert str(inspect.signature(function)) == lines[0][len(name):]


# A value's conversion hooks may remove it from the cost model while it is being read; the
# reader must keep its own reference. Each hook below frees the object under a borrowed
# reference and immediately reuses its memory with different content, so a reader still
# holding the stale pointer gives a wrong answer (or crashes) instead of passing by luck.
FREED_UNDER_THE_READER = {
    "float hook deletes the cost value itself": """
        class Cost(dict):
            def __float__(self):
                del model["c_id"]
                del self  # the last reference: freed here
                keep.append(Cost(type="constant", value=4242.0))  # same memory, new content
                raise TypeError("not a number")
        model = {"c_id": Cost(type="constant", value=1.0), "c_comp": 100, "alpha": 0.5}
        expected = 0.5 * 100 * 0.3 - 1.0
    """,
    "float hook of a field deletes the linear dict": """
        class PerRow:
            def __float__(self):
                del model["c_id"]  # frees the linear dict that holds this object
                keep.append({"type": "linear", "per_row": 0.0, "base": 4242.0})
                return 2.0
        model = {"c_id": {"type": "linear", "per_row": PerRow(), "base": 1.0},
                 "c_comp": 100, "alpha": 0.5}
        expected = 0.5 * 100 * 0.3 - 1.0
    """,
    "index hook deletes the value": """
        class Cost(dict):
            def __index__(self):
                del model["c_comp"]
                del self
                keep.append(Cost(type="constant", value=4242.0))
                raise TypeError("no")
        model = {"c_id": 1.0, "c_comp": Cost(type="constant", value=100.0), "alpha": 0.5}
        expected = 0.5 * 100 * 0.3 - 1.0
    """,
    "key __eq__ empties the dict during a later lookup": """
        class Key(str):
            def __hash__(self):
                return hash("base")
            def __eq__(self, other):
                if not keep:  # armed once the model exists, fires once
                    keep.append(None)
                    del model["c_id"]  # frees the dict being read
                    keep.append({"type": "linear", "per_row": 0.0, "base": 4242.0})
                return False
        keep.append("building")
        model = {"c_id": {"type": "linear", "per_row": 0.0, Key("x"): 0, "base": 1.0},
                 "c_comp": 100, "alpha": 0.5}
        keep.clear()
        expected = 0.5 * 100 * 0.3 - 1.0
    """,
}


@pytest.mark.parametrize("case", sorted(FREED_UNDER_THE_READER))
def test_values_freed_by_hooks_are_not_read_afterwards(case):
    code = "import _quillmere\nkeep = []\n" + textwrap.dedent(FREED_UNDER_THE_READER[case]) + (
        "got = _quillmere.delta.economic_delta_py(0.3, model)\n"
        "assert got == expected, (got, expected)\n"
        "print('ok')\n")
    result = run_python(code)
    assert result.returncode == 0 and result.stdout == "ok\n", result.stderr[-2000:]
