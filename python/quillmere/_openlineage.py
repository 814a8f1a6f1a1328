"""Execution receipts as run events of the OpenLineage standard (schema version 2-0-2), so that lineage
tools can take in what quillmere recorded.

One event per execution receipt, with eventType COMPLETE and nothing before it: a receipt is
written once, when its work is done, and holds one time, so a START event would have to invent
when the work began. (The standard asks for a START and an end event per run; consumers accept a
lone COMPLETE as a run that started and ended then.) Receipts of other kinds are left out.

    run.runId          the receipt's rid (a UUID)
    eventTime          the receipt's timestamp, as stored
    job                namespace (default "quillmere") and the workload id
    inputs / outputs   one dataset each, named by the receipt's dom / cod commitment: a receipt
                       follows another when its dom equals the other's cod, so runs join in
                       lineage tools exactly where receipts compose
    run.facets         "quillmere_receipt": rid, hash, commitments, shape hashes, links; its
                       JSON schema ships with the package (`facet_schema()`)
"""

from __future__ import annotations

import json
from importlib import resources
from typing import Any, Dict, Iterable, List, Optional

from ._core import ReceiptLike
from ._receipt import view_of

FACET = "quillmere_receipt"
SCHEMA_FILE = "ReceiptRunFacet.json"
RUN_EVENT_SCHEMA = "https://openlineage.io/spec/2-0-2/OpenLineage.json#/$defs/RunEvent"
DEFAULT_NAMESPACE = "quillmere"


def facet_schema() -> Dict[str, Any]:
    """The JSON schema of the "quillmere_receipt" run facet, as shipped in the package."""
    text = resources.files("quillmere").joinpath("schemas", SCHEMA_FILE).read_text(encoding="utf-8")
    schema: Dict[str, Any] = json.loads(text)
    return schema


def _producer() -> str:
    from . import __version__

    return f"urn:quillmere:{__version__}"


def _facet_url() -> str:
    return str(facet_schema()["$id"]) + "#/$defs/ReceiptRunFacet"


def event_of(receipt: ReceiptLike, *, namespace: str = DEFAULT_NAMESPACE,
             producer: Optional[str] = None, facet_url: Optional[str] = None) -> Optional[Dict[str, Any]]:
    """The run event of an execution receipt (None for receipts of other kinds)."""
    view = view_of(receipt)
    if view.kind != "execution":
        return None
    payload = view.payload
    method: Dict[str, Any] = payload["method_ref"]
    producer = producer or _producer()
    facet: Dict[str, Any] = {
        "_producer": producer,
        "_schemaURL": facet_url or _facet_url(),
        "rid": view.rid,
        "kind": "execution",
        "version": view.version,
        "hash": view.hash,
        "signed": view.sig is not None,
        "traceId": payload["trace_id"],
        "timestamp": view.timestamp,
        "dom": view.dom,
        "cod": view.cod,
        "links": list(view.links),
        "method": {"id": method["method_id"], "version": method["version"],
                   "shapeRoot": method["method_shape_root"]},
        "dataShapeHash": payload["data_shape_hash"],
    }
    output = {name: payload[key] for key, name in (("output_digest", "digest"), ("output_size_bytes", "sizeBytes"),
                                                   ("output_mime_type", "mimeType")) if payload.get(key) is not None}
    if output:
        facet["output"] = output
    if payload.get("chunk_manifest_size_bytes") is not None:
        facet["chunkManifestSizeBytes"] = payload["chunk_manifest_size_bytes"]
    if payload.get("hll_cardinality") is not None:
        facet["cardinalityEstimate"] = payload["hll_cardinality"]
    return {
        "eventType": "COMPLETE",
        "eventTime": view.timestamp,
        "producer": producer,
        "schemaURL": RUN_EVENT_SCHEMA,
        "run": {"runId": view.rid, "facets": {FACET: facet}},
        "job": {"namespace": namespace, "name": method["method_id"], "facets": {}},
        "inputs": [{"namespace": namespace, "name": view.dom, "facets": {}, "inputFacets": {}}],
        "outputs": [{"namespace": namespace, "name": view.cod, "facets": {}, "outputFacets": {}}],
    }


def run_events(receipts: Iterable[ReceiptLike], *, namespace: str = DEFAULT_NAMESPACE) -> List[Dict[str, Any]]:
    """The run events of the execution receipts among `receipts`, oldest first."""
    producer, url = _producer(), _facet_url()
    events = [e for e in (event_of(r, namespace=namespace, producer=producer, facet_url=url) for r in receipts)
              if e is not None]
    events.sort(key=lambda e: (e["eventTime"], e["run"]["runId"]))
    return events
