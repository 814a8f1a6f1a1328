"""Shared fixtures: the freshly built extension, helpers to run code in a fresh interpreter,
and receipts made from the known-answer vectors."""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
VECTORS = ROOT / "tests" / "vectors"

# QM_EXTENSION_DIR names the directory holding the built module (scripts/test.sh sets it,
# together with PYTHONPATH); without it the module must already be importable.
EXTENSION_DIR = os.environ.get("QM_EXTENSION_DIR")
if EXTENSION_DIR and EXTENSION_DIR not in sys.path:
    sys.path.insert(0, EXTENSION_DIR)

# The pure-Python package lives in python/ (scripts/test.sh also puts it on PYTHONPATH).
PACKAGE_DIR = str(ROOT / "python")
if PACKAGE_DIR not in sys.path:
    sys.path.insert(1, PACKAGE_DIR)

import _quillmere  # noqa: E402

receipts = _quillmere.receipts


def extension_path():
    """File of the extension module, found without loading it a second time."""
    return _quillmere.__file__


def child_env():
    env = dict(os.environ)
    directory = str(Path(extension_path()).parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [directory, PACKAGE_DIR, env.get("PYTHONPATH")]))
    env["QM_EXTENSION_PATH"] = extension_path()
    return env


def run_python(code, timeout=120, **kwargs):
    """Runs `code` in a fresh interpreter that can import the extension."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=child_env(),
        timeout=timeout,
        **kwargs,
    )


def load_vectors(name):
    with open(VECTORS / name, encoding="utf-8") as f:
        return json.load(f)


@pytest.fixture(scope="session")
def receipt_vectors():
    return load_vectors("receipts.json")


@pytest.fixture
def recorded():
    return receipts.record_work_py("normalize-prices", {"input": "data"}, trace_id="trace-a")


def reseal(document):
    """The receipt of a JSON document with its hash replaced by the correct one."""
    text = json.dumps(document)
    document = dict(document, hash=receipts.receipt_from_json_py(text).compute_hash())
    return receipts.receipt_from_json_py(json.dumps(document))


def getters(receipt):
    names = ["get_rid", "get_kind", "get_version", "get_hash", "get_dom", "get_cod",
             "get_workload_id", "get_trace_id"]
    return {name: getattr(receipt, name)() for name in names}

