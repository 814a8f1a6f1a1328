"""quillmere: verifiable receipts of computational work, with data and method shape hashes
and the reuse-or-recompute economics of overlapping data.

    import quillmere as qm

    client = qm.Client("/var/lib/receipts")
    with qm.trace("nightly-etl", client=client):
        with qm.step("extract-orders", {"source": "orders.csv"}):
            ...
        with qm.step("normalize-prices", {"currency": "EUR"}):
            ...

A thin, typed layer over the native module `_quillmere`: every call goes to the native
function, whose errors (with their texts) pass through unchanged: each is a `QuillmereError`
of its family, a `ValueError` (the tree: `help(quillmere.errors)`). Receipts come back as
`Receipt` views (`rid`, `workload_id`, `trace_id`, `parent_ids`, `timestamp`, `to_dict()` ...).
`quillmere.aio` has the asynchronous versions; the `quillmere` command line looks at stores
and files.
"""

from __future__ import annotations

from ._core import Client, Receipt, receipt_from_json, record_work, redact_secrets, verify_receipt
from ._dsse import EnvelopeCheck, dsse_envelope, open_dsse
from ._economics import CostModel, Justification, ReuseDecision, decide_reuse, economic_delta, jaccard
from ._shapes import (
    ChunkScheme,
    Manifest,
    ShapeHasher,
    data_shape_hash,
    manifest,
    manifest_from_bytes,
    manifest_from_json,
    method_shape_hash,
    parse_chunk_scheme,
    shape_files,
    signature_shape_hash,
)
from ._chain import verify_trace
# The types of what steps, the chain check and reuse give back: importable by name for
# annotations, left out of __all__ (and help()) for brevity.
from ._chain import ExternalInput as ExternalInput
from ._chain import TraceFault as TraceFault
from ._chain import TraceReport as TraceReport
from ._reuse import ReuseMatch as ReuseMatch
from ._steps import StepHandle as StepHandle
# SigningKey, PublicKey, Verdict, EnvelopeCheck and the DSSE functions are importable but left
# out of __all__, to keep help(quillmere) short; their own help has the details.
from ._signing import (
    Keyring,
    PublicKey,
    SigningKey,
    Verdict,
    check_receipt,
    generate_key,
    load_public_key,
    load_signing_key,
    sign_receipt,
    signed_message,
)
from ._trace import step, trace
from ._execution import record_execution
from ._sketch import Sketch, manifest_and_sketch, sketch

# The error classes are attributes here (qm.StoreError) and listed in quillmere.errors; they stay
# out of __all__ so that help(quillmere) does not repeat what every exception inherits.
from .errors import (
    EconomicsError,
    HashError,
    ManifestError,
    QuillmereError,
    ReceiptFormatError,
    ShapeError,
    SignatureError,
    StoreError,
    ValidationError,
)

__version__ = "0.2.0"

__all__ = [
    "ChunkScheme",
    "Client",
    "CostModel",
    "Justification",
    "Keyring",
    "Manifest",
    "Receipt",
    "ReuseDecision",
    "ShapeHasher",
    "__version__",
    "check_receipt",
    "data_shape_hash",
    "decide_reuse",
    "economic_delta",
    "generate_key",
    "jaccard",
    "load_public_key",
    "load_signing_key",
    "manifest",
    "manifest_from_bytes",
    "manifest_from_json",
    "method_shape_hash",
    "parse_chunk_scheme",
    "receipt_from_json",
    "record_work",
    "redact_secrets",
    "shape_files",
    "sign_receipt",
    "signature_shape_hash",
    "signed_message",
    "Sketch",
    "sketch",
    "manifest_and_sketch",
    "record_execution",
    "step",
    "trace",
    "verify_receipt",
    "verify_trace",
]
