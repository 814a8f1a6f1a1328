"""Error classes: each family of native failures arrives as its own class, still a ValueError
with the same text, and survives pickling (Dask ships exceptions between processes)."""

import json
import pickle

import pytest

from conftest import receipts, reseal

import _quillmere
import quillmere as qm


def bad_version(recorded):
    document = json.loads(recorded.to_json())
    document["version"] = "1"
    return reseal(document)


def empty_spans(recorded):
    document = json.loads(recorded.to_json())
    document["payload"]["span_commitments"] = []
    return reseal(document)


# (what fails, the class it must raise, the exact text or its known beginning)
CASES = [
    ("receipt JSON", lambda r, tmp: receipts.receipt_from_json_py("{"), qm.ReceiptFormatError,
     "Failed to create receipt from JSON: JSON deserialization failed: "),
    ("payload JSON", lambda r, tmp: qm.record_work("w", {"x": float("nan")}), qm.ReceiptFormatError,
     "Failed to parse payload JSON: "),
    ("validate", lambda r, tmp: bad_version(r).validate(), qm.ValidationError,
     "Receipt validation failed: Invalid value: Invalid version format: 1 (expected semver-like format)"),
    ("verify", lambda r, tmp: receipts.verify_receipt_py(empty_spans(r)), qm.ValidationError,
     "ValidationError: Invalid value: execution.span_commitments must not be empty"),
    ("storage URL", lambda r, tmp: _quillmere.Client(storage_url="mysql://x"), qm.StoreError,
     "Invalid storage_url: "),
    ("no store", lambda r, tmp: _quillmere.Client().store_receipt(r), qm.StoreError,
     "Storage not configured. Create client with storage_path to enable storage."),
    ("store path", lambda r, tmp: _quillmere.Client(str(tmp / "file") + "/x"), qm.StoreError,
     "Failed to create filesystem store: I/O error: "),
    ("manifest JSON", lambda r, tmp: qm.manifest_from_json("{}"), qm.ManifestError,
     'Invalid manifest JSON: missing member "chunk_scheme"'),
    ("workers", lambda r, tmp: _quillmere.shapes.build_manifest_py(b"x", None, workers=0),
     qm.ManifestError, "workers must be at least 1"),
    ("chunk scheme", lambda r, tmp: qm.data_shape_hash(b"x", chunk_scheme={"type": "zz"}), qm.ShapeError,
     "Invalid chunk_scheme type 'zz', expected 'cdc' or 'fixed'"),
    ("missing file", lambda r, tmp: _quillmere.shapes.compute_data_shape_hash_from_file_py(str(tmp / "none")),
     qm.ShapeError, "Failed to compute data shape hash: "),
    ("method shape", lambda r, tmp: _quillmere.shapes.compute_method_shape_hash_from_signature_py("", ["int"], "bool"),
     qm.ShapeError, "Failed to compute method shape hash: Invalid input: Function name cannot be empty"),
    ("cost model", lambda r, tmp: _quillmere.delta.economic_delta_py(0.5, {}), qm.EconomicsError,
     "Missing required field: c_id"),
]


@pytest.mark.parametrize("name, fail, cls, text", CASES, ids=[c[0] for c in CASES])
def test_each_family_raises_its_class_with_its_text(recorded, tmp_path, name, fail, cls, text):
    (tmp_path / "file").write_bytes(b"")
    with pytest.raises(ValueError) as info:
        fail(recorded, tmp_path)
    error = info.value
    assert type(error) is cls and isinstance(error, qm.QuillmereError)
    assert str(error) == text or (text.endswith(": ") and str(error).startswith(text))
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is cls and str(copy) == str(error)


def test_tree_is_exported_once_under_the_package_name():
    from quillmere import errors

    classes = [getattr(qm, name) for name in errors.__all__]
    assert classes == [getattr(errors, name) for name in errors.__all__]
    assert len(classes) == 9 and qm.QuillmereError.__bases__ == (ValueError,)
    for cls in classes:
        assert cls.__module__ == "quillmere" and getattr(_quillmere, cls.__name__) is cls
        assert cls is qm.QuillmereError or cls.__bases__ == (qm.QuillmereError,)
    # the binding surface the native module lists does not grow by them
    assert not any(name.endswith("Error") for name in _quillmere.__all__)


@pytest.mark.parametrize("fail, classes", [
    (lambda tmp: qm.parse_chunk_scheme("zz:1"), (qm.ShapeError,)),
    (lambda tmp: qm.decide_reuse(1.5, {"c_id": 1, "c_comp": 2, "alpha": 1}), (qm.EconomicsError,)),
    (lambda tmp: qm.Client("sqlite:///tmp/x.db"), (qm.StoreError,)),
    (lambda tmp: qm.data_shape_hash(tmp / "missing"), (FileNotFoundError, qm.QuillmereError)),
], ids=["scheme", "overlap", "url as path", "missing file"])
def test_package_level_checks_use_the_same_families(tmp_path, fail, classes):
    with pytest.raises(classes[0]) as info:
        fail(tmp_path)
    assert isinstance(info.value, classes) and isinstance(info.value, ValueError)
