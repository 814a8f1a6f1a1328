"""`quillmere export`: a store's receipts (the RIDs given, or one trace's, or all) in a format
other tools read, one record per line on standard output or in a file. FORMATS maps each
format's name to its writer."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Callable, Dict, Iterator, List, Sequence

from ._core import Receipt

# A writer: the receipts and the parsed arguments in, lines of text out (each ending in \n).
Writer = Callable[[Sequence[Receipt], argparse.Namespace], Iterator[str]]


def _openlineage(receipts: Sequence[Receipt], args: argparse.Namespace) -> Iterator[str]:
    from . import _openlineage as lineage

    for event in lineage.run_events(receipts, namespace=args.namespace):
        yield json.dumps(event, ensure_ascii=False, separators=(",", ":")) + "\n"


def _dsse(receipts: Sequence[Receipt], args: argparse.Namespace) -> Iterator[str]:
    from ._dsse import dsse_envelope
    from ._signing import load_signing_key

    key = load_signing_key(args.key)
    for receipt in receipts:
        yield json.dumps(dsse_envelope(receipt, key), separators=(",", ":")) + "\n"


FORMATS: Dict[str, Writer] = {
    "openlineage": _openlineage,  # one run event per execution receipt (see _openlineage.py)
    "dsse": _dsse,  # one DSSE envelope per receipt, signed with --key (see _dsse.py)
}
# Formats whose output is signed, and so need --key.
SIGNED_FORMATS: "set[str]" = {"dsse"}


def cmd_export(args: argparse.Namespace) -> int:
    from .cli import UsageError, find_receipt, open_store

    if args.format in SIGNED_FORMATS and not args.key:
        raise UsageError(f"--format {args.format} needs --key K: its output is signed")
    client = open_store(args.store)
    receipts: List[Receipt]
    if args.rids:
        receipts = [find_receipt(client, args.store, rid) for rid in args.rids]
    else:
        receipts = client.list_receipts(None, args.trace, None)
    lines = FORMATS[args.format](receipts, args)
    if args.output in (None, "-"):
        sys.stdout.writelines(lines)
        return 0
    partial = args.output + ".partial"
    try:
        with open(partial, "w", encoding="utf-8") as f:
            f.writelines(lines)
    except BaseException:
        os.unlink(partial)  # a failed export leaves no file behind
        raise
    os.replace(partial, args.output)
    return 0


def register(command: Callable[..., Any]) -> None:
    """Adds the subcommand through cli.py's `command(name, help, run)`."""
    from .cli import add_store

    p = command("export", "write receipts in another format: " + ", ".join(sorted(FORMATS)), cmd_export)
    p.add_argument("rids", metavar="RID", nargs="*",
                   help="receipts to export (or the start of their rids); none: the whole store or --trace")
    add_store(p)
    p.add_argument("--format", choices=sorted(FORMATS), required=True, help="the format to write")
    p.add_argument("--trace", metavar="ID", help="only this trace")
    p.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of standard output")
    p.add_argument("--key", metavar="K", help="signed formats: the private key file to sign with")
    p.add_argument("--namespace", default="quillmere",
                   help="openlineage: namespace of jobs and datasets (default quillmere)")
