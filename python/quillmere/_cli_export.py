"""`quillmere export --format F`: stored receipts written in a form other tools read.

Each format is one entry of FORMATS: its help line and the function that writes the export
of the parsed arguments to standard output (returning the exit status).
"""

from __future__ import annotations

import argparse
import io
import json
import sys
from dataclasses import dataclass
from typing import IO, Callable, Dict

from ._core import Client, Receipt
from ._dsse import dsse_envelope
from ._signing import load_signing_key


@dataclass(frozen=True)
class Context:
    """What an export format gets from the command line around it."""

    args: argparse.Namespace
    open_store: Callable[..., Client]
    find_receipt: Callable[[Client, str, str], Receipt]
    usage: Callable[[str], Exception]
    out: IO[str]


@dataclass(frozen=True)
class ExportFormat:
    help: str
    write: Callable[[Context], int]


def export_dsse(context: Context) -> int:
    """One DSSE envelope per receipt, one per line, signed by --key (an unsigned receipt is
    signed by it inside the envelope too)."""
    args = context.args
    if not args.key:
        raise context.usage("--format dsse needs --key K: the envelope is signed")
    if not args.targets:
        raise context.usage("--format dsse needs the RID of at least one receipt")
    key = load_signing_key(args.key)
    client = context.open_store(args.store)
    for rid in args.targets:
        receipt = context.find_receipt(client, args.store, rid)
        context.out.write(json.dumps(dsse_envelope(receipt, key), separators=(",", ":")) + "\n")
    return 0


FORMATS: Dict[str, ExportFormat] = {
    "dsse": ExportFormat("a DSSE envelope per receipt (signed with --key); 'verify --keys' reads it back",
                         export_dsse),
}


def register(command: Callable[..., argparse.ArgumentParser], add_store: Callable[..., None],
             open_store: Callable[..., Client], find_receipt: Callable[[Client, str, str], Receipt],
             usage: Callable[[str], Exception]) -> None:
    def run(args: argparse.Namespace) -> int:
        # Written whole or not at all: nothing reaches FILE when the export fails midway.
        buffer = io.StringIO()
        status = FORMATS[args.format].write(Context(args, open_store, find_receipt, usage, buffer))
        if not args.output or args.output == "-":
            sys.stdout.write(buffer.getvalue())
        else:
            with open(args.output, "w", encoding="utf-8") as f:
                f.write(buffer.getvalue())
        return status

    formats = "; ".join(f"{name}: {f.help}" for name, f in FORMATS.items())
    p = command("export", "write stored receipts in another format", run)
    p.add_argument("targets", metavar="RID", nargs="*", help="receipts to export (or the start of their rids)")
    p.add_argument("--format", required=True, choices=sorted(FORMATS), help=formats)
    p.add_argument("--key", metavar="K", help="private key file, for formats that sign (dsse)")
    p.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of standard output")
    add_store(p)

