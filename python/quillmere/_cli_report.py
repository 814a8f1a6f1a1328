"""`quillmere report`: a store's receipts (or one trace's) as one self-contained HTML page."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Callable

from . import _report
from ._cli_output import plural


def cmd_report(args: argparse.Namespace) -> int:
    from .cli import open_store

    client = open_store(args.store)
    rows = _report.rows_of(client.list_receipts(None, args.trace, None))
    page = _report.render(rows, store=args.store, trace_id=args.trace, dot=None if args.no_dot else "auto")
    if args.output == "-":
        sys.stdout.write(page)
    else:
        # Written whole, then renamed: an interrupted run leaves no half page behind.
        partial = args.output + ".partial"
        with open(partial, "w", encoding="utf-8") as f:
            f.write(page)
        os.replace(partial, args.output)
        print(f"wrote {args.output} ({plural(len(rows), 'receipt')})", file=sys.stderr)
    # As `dag`: a receipt that fails verification makes the status 1 (the page shows it).
    return 1 if any(_report.failed(row) for row in rows) else 0


def register(command: Callable[..., Any]) -> None:
    """Adds the subcommand through cli.py's `command(name, help, run)`."""
    from .cli import add_store

    p = command("report", "a self-contained HTML page of receipts: graph, status, reuse decisions",
                cmd_report)
    add_store(p)
    p.add_argument("--trace", metavar="ID", help="only this trace")
    p.add_argument("-o", "--output", metavar="FILE", required=True, help="the HTML file to write ('-': standard output)")
    p.add_argument("--no-dot", action="store_true",
                   help="lay the graph out without Graphviz even when dot is installed")
