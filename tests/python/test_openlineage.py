"""Lineage export: every execution receipt of a trace becomes one run event that the standard's
own client package parses into its event classes (their checks: runId a UUID, eventTime a
date-time, the schema version named in schemaURL) and writes back unchanged, with the receipt in a facet
that the JSON schema shipped in the package accepts."""

import json
import subprocess
import sys

import jsonschema
import pytest
from openlineage.client.event_v2 import InputDataset, Job, OutputDataset, Run, RunEvent, RunState
from openlineage.client.serde import Serde

from conftest import child_env
from lineage_store import make_store

from quillmere import _openlineage


@pytest.fixture(scope="module")
def exported(tmp_path_factory):
    store = tmp_path_factory.mktemp("lineage") / "store"
    made = make_store(store)
    done = subprocess.run([sys.executable, "-m", "quillmere", "export", "--format", "openlineage", "--trace", "etl",
                           "--store", str(store), "--namespace", "shop"],
                          capture_output=True, text=True, env=child_env(), timeout=120)
    assert done.returncode == 0, done.stderr
    return made, [json.loads(line) for line in done.stdout.splitlines()]


def parsed(event):
    """The event rebuilt from the client package's classes, facets left out."""
    def datasets(cls, items):
        return [cls(namespace=d["namespace"], name=d["name"]) for d in items]
    return RunEvent(eventType=RunState(event["eventType"]), eventTime=event["eventTime"], producer=event["producer"],
                    run=Run(runId=event["run"]["runId"]), job=Job(namespace=event["job"]["namespace"],
                                                                 name=event["job"]["name"]),
                    inputs=datasets(InputDataset, event["inputs"]), outputs=datasets(OutputDataset, event["outputs"]))


def test_events_parse_into_the_standard_classes_and_write_back_unchanged(exported):
    made, events = exported
    # the three recorded steps and the changed copy; the spend receipt is not an execution
    assert len(events) == 4
    for event in events:
        facetless = json.loads(json.dumps(event))
        facetless["run"]["facets"] = {}
        assert Serde.to_dict(parsed(event)) == facetless


def test_events_carry_the_receipts(exported):
    made, events = exported
    by_rid = {e["run"]["runId"]: e for e in events}
    for receipt in made:
        document = json.loads(receipt.to_json())
        event = by_rid[document["rid"]]
        facet = event["run"]["facets"]["quillmere_receipt"]
        assert (event["eventType"], event["eventTime"]) == ("COMPLETE", document["ctx"]["timestamp"])
        assert event["job"] == {"namespace": "shop", "name": document["payload"]["method_ref"]["method_id"],
                                "facets": {}}
        assert [d["name"] for d in event["inputs"]] == [document["dom"]]
        assert [d["name"] for d in event["outputs"]] == [document["cod"]]
        assert (facet["hash"], facet["links"], facet["dataShapeHash"]) == (
            document["hash"], document["links"], document["payload"]["data_shape_hash"])
    assert [e["eventTime"] for e in events] == sorted(e["eventTime"] for e in events)


def test_facet_schema_ships_with_the_package_and_accepts_the_facets(exported):
    schema = _openlineage.facet_schema()
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    for event in exported[1]:
        facet = event["run"]["facets"]["quillmere_receipt"]
        validator.validate(facet)
        assert facet["_schemaURL"].startswith(schema["$id"])
    broken = dict(exported[1][0]["run"]["facets"]["quillmere_receipt"], hash="sha256:zz")
    assert not validator.is_valid(broken)
