"""`quillmere verify --trace T` (the chain check of a trace) and `quillmere reuse` (which
earlier execution could serve these inputs, and why)."""

from __future__ import annotations

import argparse
import errno
import json
import os
import sys
from typing import Any, Callable

from ._chain import verify_trace
from ._cli_output import plural
from ._core import Client
from ._stepdata import method_shape_of


def _json(value: Any) -> str:
    return json.dumps(value, sort_keys=True, separators=(",", ":"))


def cmd_verify_trace(args: argparse.Namespace, open_store: Callable[..., Client], keyring: Any = None) -> int:
    client = open_store(args.store)
    report = verify_trace(client, args.trace, keyring=keyring,
                          require_signature=bool(getattr(args, "require_signature", False)))
    if args.json:
        print(_json({
            "trace_id": report.trace_id,
            "ok": report.ok,
            "receipts": len(report.receipts),
            "faults": [vars(f) for f in report.faults],
            "external": [vars(e) for e in report.external],
        }))
    else:
        for fault in report.faults:
            print(f"FAULT  #{fault.index} {fault.rid} {fault.kind}: {fault.text}")
        for ext in report.external:
            where = ext.locator if ext.locator is not None else "(locator encrypted)"
            print(f"external  #{ext.index} {ext.rid} reads {where} {ext.content_hash}")
        print(f"trace {report.trace_id}: {plural(len(report.receipts), 'receipt')}, "
              f"{plural(len(report.faults), 'fault')}, {plural(len(report.external), 'external input')}")
    if not report.receipts:
        sys.stderr.write(f"quillmere verify: error: no receipts of trace {args.trace!r}\n")
        return 1
    return 0 if report.ok else 1


def cmd_reuse(args: argparse.Namespace, open_store: Callable[..., Client], usage: Callable[[str], Exception]) -> int:
    try:
        cost_model = json.loads(args.cost_model)
        params = None if args.params is None else json.loads(args.params)
    except json.JSONDecodeError as error:
        raise usage(f"--cost-model and --params must be JSON: {error}") from None
    if not isinstance(cost_model, dict):
        raise usage("--cost-model must be a JSON object with c_id, c_comp and alpha")
    for path in args.inputs:
        if not os.path.isfile(path):
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path)
    method = method_shape_of(args.method, None, params)
    client = open_store(args.store)
    match = client.find_reusable(method, args.inputs, cost_model, args.rows)
    if args.json:
        print(_json({"method_shape": method, "match": None if match is None else match.to_dict()}))
    elif match is None:
        print(f"recompute: no stored execution of {args.method} shares data with these inputs")
    else:
        print(match.explain())
        if match.output_locator:
            print(f"its output: {match.output_locator} {match.output_digest}")
    return 0


def register(command: Callable[..., Any], add_store: Callable[..., None], open_store: Callable[..., Client],
             usage: Callable[[str], Exception]) -> None:
    p = command("reuse", "find an earlier execution to reuse for these inputs, and say why",
                lambda args: cmd_reuse(args, open_store, usage))
    p.add_argument("inputs", metavar="INPUT", nargs="+", help="the input files, in order")
    p.add_argument("--method", metavar="M", required=True,
                   help="the step's workload id (or a method shape hash sha256:...)")
    p.add_argument("--params", metavar="JSON", help="the step's payload, when it has one")
    p.add_argument("--cost-model", metavar="JSON", default='{"c_id": 1, "c_comp": 100, "alpha": 0.9}',
                   help="c_id, c_comp and alpha (default: %(default)s)")
    p.add_argument("--rows", metavar="N", type=int, help="row count for linear costs")
    p.add_argument("--json", action="store_true", help="the result as JSON")
    add_store(p)


VERIFY_TRACE_HELP = "check the chain of trace T in --store: hashes, links, composition; external inputs listed"
