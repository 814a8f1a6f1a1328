"""Module layout: contents in order, docstrings and text signatures, the once-only rule
and the internal-fault exception."""

import importlib
import inspect
import json
import sys

import pytest

import _quillmere
from conftest import run_python

receipts = _quillmere.receipts

TOP_LEVEL = ["Client", "record_work_py", "verify_receipt_py", "delta", "receipts", "shapes",
             # added beside the contents above
             "CancelToken", "redact_secrets", "signing"]
RECEIPTS = ["PyReceipt", "receipt_from_json_py", "record_work_py", "verify_receipt_py", "record_execution_py"]
DELTA = ["decide_reuse_py", "economic_delta_py", "jaccard_similarity_py"]
SHAPES = [
    "compute_data_shape_hash_from_file_py",
    "compute_data_shape_hash_from_bytes_py",
    "compute_method_shape_hash_from_code_py",
    "compute_method_shape_hash_from_signature_py",
    # added beside the functions above
    "Manifest",
    "ShapeHasher",
    "build_manifest_py",
    "build_manifest_from_file_py",
    "manifest_from_json_py",
    "manifest_from_bytes_py",
    "Sketch",
    "sketch_py",
    "sketch_from_file_py",
    "manifest_and_sketch_py",
    "manifest_and_sketch_from_file_py",
    "build_manifest_piece_py",
    "join_manifest_pieces_py",
    "manifest_from_piece_py",
]


@pytest.mark.parametrize(
    "module, names",
    [
        (_quillmere, TOP_LEVEL),
        (_quillmere.receipts, RECEIPTS),
        (_quillmere.delta, DELTA),
        (_quillmere.shapes, SHAPES),
    ],
    ids=["_quillmere", "receipts", "delta", "shapes"],
)
def test_all_lists_contents_in_order(module, names):
    assert module.__all__ == names
    for name in names:
        assert hasattr(module, name)


@pytest.mark.parametrize(
    "module, doc",
    [
        (_quillmere.receipts, "Python bindings for receipt operations"),
        (_quillmere.delta, "Python bindings for delta compute operations"),
        (_quillmere.shapes, "Python bindings for shape operations"),
    ],
)
def test_submodule_docstrings(module, doc):
    assert module.__doc__ == doc


def test_top_level_docstring():
    # A title, a blank line, then exactly two lines: what the module is, and who wraps it.
    lines = _quillmere.__doc__.split("\n")
    assert len(lines) == 4
    assert lines[0] == "Python module definition"
    assert lines[1] == ""
    assert "_quillmere" in lines[2]
    assert "quillmere/__init__.py" in lines[3] and "asynchronous" in lines[3]


def test_submodules_are_attributes_only():
    for name in ("delta", "receipts", "shapes"):
        sub = getattr(_quillmere, name)
        assert sub.__name__ == name
        assert name not in sys.modules
        assert "_quillmere." + name not in sys.modules
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("_quillmere.receipts")
    from _quillmere import receipts as imported

    assert imported is _quillmere.receipts


def test_classes_live_in_one_module_each():
    assert not hasattr(_quillmere, "PyReceipt")
    assert not hasattr(receipts, "Client")
    assert isinstance(receipts.PyReceipt, type) and isinstance(_quillmere.Client, type)


def test_no_module_exports_an_exception_class_but_the_error_tree():
    # The error classes hang on _quillmere only (outside __all__), all of them ValueErrors that
    # the package quillmere exports; the panic exception is never reachable from a module.
    for module in (_quillmere, receipts, _quillmere.delta, _quillmere.shapes):
        for name, value in vars(module).items():
            if isinstance(value, type) and issubclass(value, BaseException):
                assert module is _quillmere and name not in module.__all__
                assert issubclass(value, ValueError) and value.__module__ == "quillmere"


RECORD_SIG = "(workload_id, payload, tags=None, trace_id=None, parent_id=None)"
SIGNATURES = [
    ("record_work_py", _quillmere.record_work_py, RECORD_SIG),
    ("verify_receipt_py", _quillmere.verify_receipt_py, "(receipt)"),
    ("receipts.record_work_py", receipts.record_work_py, RECORD_SIG),
    ("receipts.verify_receipt_py", receipts.verify_receipt_py, "(receipt)"),
    ("receipts.receipt_from_json_py", receipts.receipt_from_json_py, "(json_str)"),
    ("Client", _quillmere.Client, "(storage_path=None, *, storage_url=None)"),
    ("Client.record_work", _quillmere.Client.record_work, "(self, /, " + RECORD_SIG[1:]),
    ("Client.verify_receipt", _quillmere.Client.verify_receipt, "(self, /, receipt)"),
    ("Client.store_receipt", _quillmere.Client.store_receipt, "(self, /, receipt)"),
    (
        "Client.list_receipts",
        _quillmere.Client.list_receipts,
        "(self, /, workload_id=None, trace_id=None, limit=None)",
    ),
] + [
    ("PyReceipt." + name, getattr(receipts.PyReceipt, name), "(self, /)")
    for name in ["validate", "compute_hash", "to_json", "get_rid", "get_kind", "get_version",
                 "get_hash", "get_dom", "get_cod", "get_workload_id", "get_trace_id"]
]


@pytest.mark.parametrize("name, obj, signature", SIGNATURES, ids=[s[0] for s in SIGNATURES])
def test_text_signatures(name, obj, signature):
    assert str(inspect.signature(obj)) == signature


FIRST_DOC_LINES = [
    (_quillmere.record_work_py, "Module-level function: Record a unit of work."),
    (_quillmere.verify_receipt_py, "Module-level function: Verify receipt integrity."),
    (receipts.record_work_py, "Record a unit of work and produce a verifiable receipt."),
    (receipts.verify_receipt_py, "Verify receipt integrity and hash correctness."),
    (receipts.receipt_from_json_py, "Create a receipt from JSON string."),
    (_quillmere.Client, "Thin client for Quillmere SDK."),
    (_quillmere.Client.record_work, "Record a unit of work and produce a verifiable receipt."),
    (_quillmere.Client.verify_receipt, "Verify receipt integrity and hash correctness."),
    (_quillmere.Client.store_receipt, "Store a receipt in the configured storage backend."),
    (_quillmere.Client.list_receipts, "List receipts matching the query criteria."),
    (receipts.PyReceipt, "Python wrapper for Receipt"),
    (receipts.PyReceipt.validate, "Validate this receipt."),
    (receipts.PyReceipt.compute_hash, "Compute hash from canonical body."),
    (receipts.PyReceipt.to_json, "Serialize receipt to JSON string."),
    (receipts.PyReceipt.get_rid, "Get receipt ID (RID) as string."),
    (receipts.PyReceipt.get_kind, "Get receipt kind as string."),
    (receipts.PyReceipt.get_version, "Get receipt version."),
    (receipts.PyReceipt.get_hash, "Get receipt hash."),
    (receipts.PyReceipt.get_dom, "Get domain shape commitment (dom)."),
    (receipts.PyReceipt.get_cod, "Get codomain shape commitment (cod)."),
    (
        receipts.PyReceipt.get_workload_id,
        "Get workload ID from execution payload (if this is an execution receipt).",
    ),
    (
        receipts.PyReceipt.get_trace_id,
        "Get trace ID from execution payload (if this is an execution receipt).",
    ),
]


@pytest.mark.parametrize("obj, first_line", FIRST_DOC_LINES)
def test_docstring_first_lines(obj, first_line):
    assert obj.__doc__.split("\n")[0] == first_line


def test_docstring_details():
    client_doc = _quillmere.Client.__doc__.split("\n")
    assert client_doc[1:] == [
        "",
        "Provides a simple interface for recording work and verifying receipts.",
        "Storage is optional and decoupled - receipts can be created without storage.",
    ]
    top_record = _quillmere.record_work_py.__doc__
    for text in ["Identifier for this unit of work (required)",
                 "Work payload as a dictionary (required)", "Optional tags for categorization",
                 "Optional trace ID for grouping related work units",
                 "Optional parent receipt ID for DAG composition", "import quillmere as qm",
                 "qm.record_work"]:
        assert text in top_record
    assert "Raises:" not in top_record
    assert "ValueError: If receipt creation fails" in receipts.record_work_py.__doc__
    verify = receipts.verify_receipt_py.__doc__
    for text in ["Hash integrity: receipt.hash == compute_hash(receipt)",
                 "Syntactic validation: receipt structure is well-formed",
                 "ValueError: If verification fails due to error (not invalid receipt)"]:
        assert text in verify
    assert "`True` if the receipt is valid, `False` if invalid." in (
        _quillmere.verify_receipt_py.__doc__)
    assert "qm.verify_receipt" in _quillmere.verify_receipt_py.__doc__
    assert "Nothing on success, raises an error if storage is not configured or storage fails." in (
        _quillmere.Client.store_receipt.__doc__)


# --- the once-only rule and the internal-fault exception (each in a fresh interpreter) ---

LOADER = """
import importlib.machinery, importlib.util, os
def load(name):
    path = os.environ["QM_EXTENSION_PATH"]
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    module_spec = importlib.util.spec_from_loader(name, loader, origin=path)
    return importlib.util.module_from_spec(module_spec)
"""


def run_json(code):
    """Runs code that prints one JSON document on its last line; returns that document."""
    result = run_python(LOADER + code)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


ONCE_ONLY = "may only be initialized once per interpreter process"


def test_reimport_after_removal_from_sys_modules_raises_import_error():
    out = run_json("""
import sys, json
import _quillmere
del sys.modules["_quillmere"]
try:
    import _quillmere
    print(json.dumps(["imported"]))
except ImportError as e:
    print(json.dumps([type(e).__name__, str(e)]))
""")
    assert out[0] == "ImportError" and ONCE_ONLY in out[1]


@pytest.mark.parametrize("name", ["receipts", "delta", "shapes"])
def test_submodule_entry_after_top_level_raises_import_error(name):
    out = run_json(f"""
import json
import _quillmere
try:
    load({name!r})
    print(json.dumps(["loaded"]))
except ImportError as e:
    print(json.dumps([type(e).__name__, str(e)]))
""")
    assert out[0] == "ImportError" and ONCE_ONLY in out[1]


@pytest.mark.parametrize(
    "name, contents", [("receipts", RECEIPTS), ("delta", DELTA), ("shapes", SHAPES)])
def test_stand_alone_submodule_then_top_level_import_is_an_internal_fault(name, contents):
    out = run_json(f"""
import json
sub = load({name!r})
contents = sub.__all__
second = None
try:
    load({name!r})
except ImportError as e:
    second = str(e)
caught_as_exception = False
try:
    try:
        import _quillmere
    except Exception:
        caught_as_exception = True
except BaseException as e:
    print(json.dumps({{"contents": contents, "second": second,
                      "caught_as_exception": caught_as_exception,
                      "is_exception": isinstance(e, Exception), "message": str(e)}}))
""")
    assert out["contents"] == contents
    assert ONCE_ONLY in out["second"]
    assert not out["caught_as_exception"] and not out["is_exception"]
    assert out["message"].startswith("failed to wrap pymodule")
    assert ONCE_ONLY in out["message"]


def test_stand_alone_receipts_module_works():
    out = run_json("""
import json
receipts = load("receipts")
r = receipts.record_work_py("w", {"a": 1})
print(json.dumps([receipts.__name__, r.get_kind(), receipts.verify_receipt_py(r)]))
""")
    assert out == ["receipts", "Execution", True]
