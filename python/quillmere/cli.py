"""The `quillmere` command: record, verify, list, show and graph receipts; shape hashes of
files and their overlap.

Exit status: 0 when all went well, 1 when something checked is invalid (a receipt that fails
verification, a file that cannot be hashed, a failed store), 2 on bad usage. Errors are one
line on standard error.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import threading
import time
import uuid
from pathlib import Path
from typing import IO, Any, Callable, Dict, Iterator, List, NoReturn, Optional, Sequence, Tuple

from . import __version__, _cli_export, _cli_sign, _dag
from ._core import Client, Receipt, receipt_from_json, record_work
from ._economics import decide_reuse, economic_delta, jaccard
from ._shapes import ChunkScheme, Manifest, manifest, manifest_from_json, map_files, parse_chunk_scheme

PROG = "quillmere"
URL_PREFIXES = ("sqlite:", "postgresql://", "postgres://")


class UsageError(Exception):
    """Bad usage found after parsing: exit status 2."""


class Failure(Exception):
    """Something checked is invalid or an operation failed: exit status 1."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, not argparse's usage block; the usage is one --help away.
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


# ----------------------------------------------------------------------------- stores

def is_url(store: str) -> bool:
    return store.startswith(URL_PREFIXES)


def open_store(store: Optional[str], *, must_exist: bool = True) -> Client:
    """The client of a store given as a directory or a database URL. Reading commands refuse
    a directory that does not exist instead of creating an empty store there."""
    if not store:
        raise UsageError("no store given: pass --store DIR|URL or set QUILLMERE_STORE")
    if is_url(store):
        return Client(storage_url=store)
    if must_exist and not os.path.isdir(store):
        raise UsageError(f"no receipt store at {store!r} (no such directory)")
    return Client(store)


def receipt_files(store: str) -> Optional[List[Path]]:
    """The receipt files of a directory store (None for a database)."""
    if is_url(store):
        return None
    directory = Path(store) / "receipts"
    return sorted(directory.glob("*.json")) if directory.is_dir() else []


def find_receipt(client: Client, store: str, rid: str) -> Receipt:
    """The stored receipt whose rid is `rid` or starts with it."""
    files = receipt_files(store)
    if files is not None:
        exact = Path(store) / "receipts" / f"{rid}.json"
        if exact.is_file():
            return receipt_from_json(exact.read_text(encoding="utf-8"))
        matches = [receipt_from_json(f.read_text(encoding="utf-8")) for f in files if f.name.startswith(rid)]
    else:
        matches = [r for r in client.list_receipts() if r.get_rid().startswith(rid)]
    if not matches:
        raise Failure(f"no receipt {rid!r} in {store}")
    if len(matches) > 1:
        raise UsageError(f"{rid!r} is the start of {len(matches)} rids in {store}; give more of it")
    return matches[0]


def add_store(parser: argparse.ArgumentParser, required: bool = True) -> None:
    default = os.environ.get("QUILLMERE_STORE")
    parser.add_argument(
        "--store", metavar="DIR|URL", default=default,
        help="receipt store: a directory (receipts in DIR/receipts/), sqlite:///abs/path.db, "
             "sqlite:relative.db or postgresql://... (default: $QUILLMERE_STORE)"
             + ("" if required else "; optional here"),
    )


# ----------------------------------------------------------------------------- output

def human_size(count: int) -> str:
    value = float(count)
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if value < 1024 or unit == "TiB":
            return f"{count} B" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    raise AssertionError


def table(rows: Sequence[Sequence[str]], out: IO[str]) -> None:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        out.write("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() + "\n")


def short_time(timestamp: str) -> str:
    # 2026-12-07T12:21:40.989210903+00:00 -> 2026-12-07 12:21:40
    return timestamp[:19].replace("T", " ") if len(timestamp) >= 19 else timestamp


def json_line(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False)


class Progress:
    """A progress bar on standard error, redrawn from a thread; only used on a terminal."""

    def __init__(self, total: int, stream: IO[str]) -> None:
        self.total = max(total, 1)
        self.done = 0
        self.stream = stream
        self.lock = threading.Lock()
        self.start = time.monotonic()
        self.finished = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def add(self, count: int) -> None:
        with self.lock:
            self.done += count

    def _draw(self) -> None:
        width = 30
        fraction = min(self.done / self.total, 1.0)
        filled = int(fraction * width)
        elapsed = max(time.monotonic() - self.start, 1e-9)
        rate = human_size(int(self.done / elapsed)) + "/s"
        self.stream.write(
            f"\r[{'#' * filled}{'.' * (width - filled)}] {fraction * 100:5.1f}%  "
            f"{human_size(self.done)} of {human_size(self.total)}  {rate}\x1b[K"
        )
        self.stream.flush()

    def _run(self) -> None:
        # Drawn at once, then every 0.1 s: a short job still shows its bar.
        self._draw()
        while not self.finished.wait(0.1):
            self._draw()

    def __enter__(self) -> "Progress":
        self.thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.finished.set()
        self.thread.join()
        self.stream.write("\r\x1b[K")
        self.stream.flush()


# ----------------------------------------------------------------------------- commands

def cmd_record(args: argparse.Namespace) -> int:
    if args.payload is not None and args.payload_file is not None:
        raise UsageError("give --payload or --payload-file, not both")
    text = args.payload if args.payload is not None else "{}"
    where = "--payload"
    if args.payload_file is not None:
        where = args.payload_file
        try:
            text = sys.stdin.read() if args.payload_file == "-" else Path(args.payload_file).read_text(encoding="utf-8")
        except OSError as error:
            raise UsageError(f"cannot read {args.payload_file}: {error.strerror}") from None
    try:
        payload = json.loads(text)
    except json.JSONDecodeError as error:
        raise UsageError(f"{where} is not JSON: {error}") from None
    if not isinstance(payload, dict):
        raise UsageError(f"{where} must be a JSON object, not {type(payload).__name__}")
    if args.parent is not None:
        # The native recorder drops a parent that is no UUID without a word; a typo here
        # would silently cut the receipt off its pipeline.
        try:
            uuid.UUID(args.parent)
        except ValueError:
            raise UsageError(f"--parent {args.parent!r} is not a receipt id (a UUID)") from None
    client = open_store(args.store, must_exist=False)
    receipt = record_work(args.workload, payload, tags=args.tag, trace_id=args.trace, parent_id=args.parent)
    client.store_receipt(receipt)
    print(receipt.to_json() if args.json else f"{receipt.get_rid()} {receipt.get_hash()}")
    return 0


def verify_targets(args: argparse.Namespace) -> Iterator[Tuple[str, Optional[Receipt], Optional[str]]]:
    """(where it came from, receipt or None, why it could not be read) for each target."""
    targets: List[str] = list(args.targets)
    client = None
    if not targets:
        if not args.store:
            raise UsageError("nothing to verify: give receipt files, directories or rids, or --store")
        client = open_store(args.store)
        files = receipt_files(args.store)
        if files is None:
            for receipt in client.list_receipts():
                yield args.store, receipt, None
            return
        targets = [str(f) for f in files]
    for target in targets:
        path = Path(target)
        if path.is_dir():
            paths = sorted(p for p in path.rglob("*.json") if p.is_file())
        elif path.is_file():
            paths = [path]
        elif args.store:
            client = client or open_store(args.store)
            try:
                yield f"{args.store}", find_receipt(client, args.store, target), None
            except Failure as error:
                yield target, None, str(error)
            continue
        else:
            yield target, None, "no such file or directory (give --store to look up a rid)"
            continue
        for p in paths:
            try:
                yield str(p), _cli_sign.read_receipt(p.read_text(encoding="utf-8"), args, UsageError,
                                                     receipt_from_json), None
            except (OSError, UnicodeDecodeError, ValueError) as error:
                yield str(p), None, str(error)


def cmd_verify(args: argparse.Namespace) -> int:
    counts = {"valid": 0, "invalid": 0}
    rows: List[List[str]] = []
    _cli_sign.load_keyring(args, UsageError)  # a missing or empty --keys stops here, once
    for source, receipt, problem in verify_targets(args):
        rid = workload = signature = None
        if receipt is not None:
            rid = receipt.get_rid()
            valid, problem, signature = _cli_sign.verdict(receipt, args, UsageError)
            try:
                workload = _dag.Node.of(receipt).workload
            except ValueError:
                workload = None
        else:
            valid = False
        counts["valid" if valid else "invalid"] += 1
        if args.json:
            print(json_line({"rid": rid, "workload": workload, "source": source, "valid": valid,
                             "problem": problem} | ({"signature": signature} if args.keys else {})))
        else:
            status = "valid" if valid else "INVALID"
            signed = [f"signature {signature or '-'}"] if args.keys else []
            rows.append([status, rid or "-", workload or "-", source] + signed + ([problem] if problem else []))
    if not args.json:
        if rows:
            width = max(len(r) for r in rows)
            table([r + [""] * (width - len(r)) for r in rows], sys.stdout)
        print(f"{counts['valid']} valid, {counts['invalid']} invalid")
    if counts["valid"] + counts["invalid"] == 0:
        raise Failure("no receipts found to verify")
    return 1 if counts["invalid"] else 0


def cmd_ls(args: argparse.Namespace) -> int:
    client = open_store(args.store)
    receipts = client.list_receipts(args.workload, args.trace, args.limit)
    if args.json:
        for receipt in receipts:
            print(receipt.to_json())
        return 0
    nodes = _dag.ordered([_dag.Node.of(r) for r in receipts])
    rows = [["RID", "KIND", "WORKLOAD", "TRACE", "TIME (UTC)", "HASH"]]
    rows += [[n.rid, n.kind, n.workload or "-", n.trace or "-", short_time(n.time), n.hash[:19]] for n in nodes]
    table(rows, sys.stdout)
    return 0


def cmd_show(args: argparse.Namespace) -> int:
    client = open_store(args.store)
    receipt = find_receipt(client, args.store, args.rid)
    print(json.dumps(json.loads(receipt.to_json()), indent=2, ensure_ascii=False))
    return 0


def shape_inputs(paths: Sequence[str]) -> List[Tuple[str, int]]:
    inputs = []
    for path in paths:
        if path == "-":
            inputs.append((path, 0))
            continue
        try:
            inputs.append((path, os.stat(path).st_size))
        except OSError as error:
            raise Failure(f"cannot read {path}: {error.strerror}") from None
    return inputs


def scheme_argument(text: str) -> ChunkScheme:
    try:
        return parse_chunk_scheme(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def cmd_shape(args: argparse.Namespace) -> int:
    scheme = args.scheme
    if args.manifest_out and len(args.paths) != 1:
        raise UsageError("--manifest-out takes exactly one PATH")
    if args.workers is not None and args.workers < 1:
        raise UsageError("--workers must be at least 1")
    if args.paths.count("-") > 1:
        raise UsageError("standard input ('-') can be read only once")
    inputs = shape_inputs(args.paths)
    total = sum(size for _, size in inputs)
    # One input: the workers share it; several: each worker takes whole files.
    inner = (args.workers or 1) if len(inputs) == 1 else 1
    progress: Optional[Progress] = None
    if sys.stderr.isatty() and total >= args.progress_min:
        progress = Progress(total, sys.stderr)

    def build(path: str) -> Manifest:
        if path == "-":
            return manifest(sys.stdin.buffer, scheme, workers=inner)
        if progress is None:
            return manifest(path, scheme, workers=inner)
        with open(path, "rb") as f:
            return manifest(_Counted(f, progress.add), scheme, workers=inner)

    def run() -> List[Manifest]:
        return map_files(build, [p for p, _ in inputs], args.workers if len(inputs) > 1 else 1)

    if progress is not None:
        with progress:
            results = run()
    else:
        results = run()
    for (path, _), m in zip(inputs, results):
        if args.json:
            print(json_line({"path": path, "shape_hash": m.shape_hash, "root": m.root,
                             "total_len": m.total_len, "chunks": len(m), "chunk_scheme": m.chunk_scheme}))
        else:
            print(f"{m.shape_hash}  {human_size(m.total_len):>10}  {len(m):>8} chunks  {path}")
    if args.manifest_out:
        Path(args.manifest_out).write_text(results[0].to_json(), encoding="utf-8")
    return 0


class _Counted:
    """A binary file whose reads are counted into a progress bar."""

    def __init__(self, f: IO[bytes], add: Callable[[int], None]) -> None:
        self.f = f
        self.add = add

    def readinto(self, buffer: Any) -> int:
        count = self.f.readinto(buffer)  # type: ignore[attr-defined]
        self.add(count)
        return int(count)

    def read(self, size: int, /) -> bytes:
        block = self.f.read(size)
        self.add(len(block))
        return block


def looks_like_manifest(path: str) -> bool:
    """A saved manifest (`shape --manifest-out`) rather than data: a JSON object whose first
    kilobytes hold a manifest key (the written form begins with "chunk_scheme")."""
    with open(path, "rb") as f:
        head = f.read(4096)
    return head.lstrip().startswith(b"{") and (b'"chunk_scheme"' in head or b'"total_len"' in head)


def load_side(path: str, scheme: ChunkScheme) -> Manifest:
    try:
        if looks_like_manifest(path):
            return manifest_from_json(Path(path).read_text(encoding="utf-8"))
    except OSError as error:
        raise Failure(f"cannot read {path}: {error.strerror}") from None
    return manifest(path, scheme)


def cmd_diff(args: argparse.Namespace) -> int:
    cost_model = None
    if args.cost_model is not None:
        try:
            cost_model = json.loads(args.cost_model)
        except json.JSONDecodeError as error:
            raise UsageError(f"--cost-model is not JSON: {error}") from None
        if not isinstance(cost_model, dict):
            raise UsageError("--cost-model must be a JSON object with c_id, c_comp and alpha")
    scheme = args.scheme
    saved = [p for p in (args.old, args.new) if os.path.isfile(p) and looks_like_manifest(p)]
    if scheme is None and saved:
        scheme = manifest_from_json(Path(saved[0]).read_text(encoding="utf-8")).chunk_scheme
    old = load_side(args.old, scheme)
    new = load_side(args.new, scheme)
    if old.chunk_scheme != new.chunk_scheme:
        raise UsageError(f"OLD and NEW are chunked differently ({old.chunk_scheme} vs "
                         f"{new.chunk_scheme}); their overlap would mean nothing")
    overlap = jaccard(old, new)
    result: Dict[str, Any] = {
        "old": {"path": args.old, "shape_hash": old.shape_hash, "total_len": old.total_len, "chunks": len(old)},
        "new": {"path": args.new, "shape_hash": new.shape_hash, "total_len": new.total_len, "chunks": len(new)},
        "chunk_scheme": old.chunk_scheme,
        "jaccard": overlap,
    }
    if cost_model is not None:
        result["reuse"] = decide_reuse(overlap, cost_model, args.rows)
        result["economic_delta"] = economic_delta(overlap, cost_model, args.rows)
    if args.json:
        print(json.dumps(result, indent=2))
        return 0
    rows = [[side, info["path"], human_size(info["total_len"]), f"{info['chunks']} chunks", info["shape_hash"]]
            for side, info in (("old", result["old"]), ("new", result["new"]))]
    table(rows, sys.stdout)
    print(f"jaccard overlap   {overlap:.4f}")
    if cost_model is not None:
        reuse = result["reuse"]
        why = reuse["justification"]
        threshold = why["c_id"] / (why["alpha"] * why["c_comp"]) if why["alpha"] * why["c_comp"] else float("inf")
        print(f"decision          {reuse['decision']}  (reuse when J > c_id / (alpha * c_comp) = {threshold:.4g})")
        print(f"economic delta    {result['economic_delta']:,.2f}  (alpha * c_comp * J - c_id)")
    return 0


def cmd_dag(args: argparse.Namespace) -> int:
    client = open_store(args.store)
    nodes = [_dag.Node.of(r, check=True) for r in client.list_receipts(None, args.trace, None)]
    sys.stdout.write(_dag.FORMATS[args.format](nodes))
    return 1 if any(n.valid is False for n in nodes) else 0


def cmd_migrate(args: argparse.Namespace) -> int:
    source = open_store(args.source)
    target = open_store(args.target, must_exist=False)
    copied = source.copy_receipts_to(target)
    print(f"copied {copied} receipts from {args.source} to {args.target}")
    return 0


# ----------------------------------------------------------------------------- parser

def build_parser() -> Parser:
    parser = Parser(prog=PROG, description="Record, verify and look at receipts of computational "
                    "work; shape hashes of data and the overlap of two versions.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    commands.required = True

    def command(name: str, help: str, run: Callable[[argparse.Namespace], int], **kw: Any) -> Parser:
        sub: Parser = commands.add_parser(name, help=help, description=help[:1].upper() + help[1:] + ".", **kw)
        sub.set_defaults(run=run)
        return sub

    p = command("record", "record a unit of work as a receipt and store it", cmd_record)
    p.add_argument("workload", metavar="WORKLOAD", help="workload id, e.g. normalize-prices")
    p.add_argument("--payload", metavar="JSON", help="the work's payload, a JSON object (default {})")
    p.add_argument("--payload-file", metavar="F", help="read the payload from file F ('-': standard input)")
    p.add_argument("--tag", metavar="T", action="append", help="a tag (repeatable)")
    p.add_argument("--trace", metavar="ID", help="trace id grouping related work")
    p.add_argument("--parent", metavar="RID", help="rid of the receipt this work follows")
    add_store(p)
    p.add_argument("--json", action="store_true", help="print the whole receipt as JSON")

    p = command("verify", "verify receipt files, directories of them, or stored rids", cmd_verify)
    p.add_argument("targets", metavar="PATH|RID", nargs="*",
                   help="receipt file, directory (searched for *.json), or rid (or its start) in --store; "
                        "none: every receipt of --store")
    add_store(p, required=False)
    p.add_argument("--json", action="store_true", help="one JSON object per receipt")
    _cli_sign.add_verify_options(p)

    p = command("ls", "list the receipts of a store", cmd_ls)
    add_store(p)
    p.add_argument("--trace", metavar="ID", help="only this trace")
    p.add_argument("--workload", metavar="W", help="only this workload")
    p.add_argument("--limit", metavar="N", type=int, help="at most N receipts")
    p.add_argument("--json", action="store_true", help="each receipt's JSON on its own line")

    p = command("show", "print one stored receipt as indented JSON", cmd_show)
    p.add_argument("rid", metavar="RID", help="the receipt's rid, or enough of its start")
    add_store(p)

    p = command("shape", "data shape hash, size and chunk count of files", cmd_shape)
    p.add_argument("paths", metavar="PATH", nargs="+", help="files to hash ('-': standard input)")
    p.add_argument("--scheme", metavar="SCHEME", default=None, type=scheme_argument,
                   help="chunking: cdc:AVG_SIZE or fixed:SIZE (default cdc:65536)")
    p.add_argument("--workers", metavar="N", type=int, default=None,
                   help="threads: files hashed at once, or for one file, threads sharing it "
                        "(default: one per core for many files, 1 for one)")
    p.add_argument("--manifest-out", metavar="F", help="save the manifest of the (one) file to F, for diff")
    p.add_argument("--json", action="store_true", help="one JSON object per file")
    p.add_argument("--progress-min", type=int, default=64 << 20, help=argparse.SUPPRESS)

    p = command("diff", "overlap of two versions of data, and whether to reuse", cmd_diff)
    p.add_argument("old", metavar="OLD", help="the earlier version: a data file or a saved manifest")
    p.add_argument("new", metavar="NEW", help="the later version: a data file or a saved manifest")
    p.add_argument("--scheme", metavar="SCHEME", type=scheme_argument, help="chunking for data files (default: that of a "
                   "saved manifest given, else cdc:65536)")
    p.add_argument("--cost-model", metavar="JSON",
                   help='e.g. \'{"c_id": 10, "c_comp": {"type": "linear", "per_row": 0.5, "base": 20}, '
                        '"alpha": 0.8}\'; prints the reuse decision and the economic delta')
    p.add_argument("--rows", metavar="N", type=int, help="row count for linear costs")
    p.add_argument("--json", action="store_true", help="the result as JSON")

    p = command("dag", "graph of receipts joined by their links", cmd_dag)
    add_store(p)
    p.add_argument("--trace", metavar="ID", help="only this trace")
    p.add_argument("--format", choices=sorted(_dag.FORMATS), default="mermaid",
                   help="mermaid (default), dot (Graphviz) or json")

    p = command("migrate", "copy every receipt of one store into another", cmd_migrate)
    p.add_argument("source", metavar="FROM", help="source store: directory or URL")
    p.add_argument("target", metavar="TO", help="target store: directory or URL (created if need be)")

    _cli_sign.register(command, add_store, open_store, find_receipt, Failure)
    _cli_export.register(command)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    if not (sys.argv[1:] if argv is None else argv):
        parser.print_help(sys.stderr)
        return 2
    args = parser.parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    prefix = f"{PROG} {args.command}"
    try:
        return run(args)
    except UsageError as error:
        sys.stderr.write(f"{prefix}: error: {error}\n")
        return 2
    except (Failure, ValueError, OSError) as error:
        text = str(error) if not isinstance(error, OSError) or not error.strerror else \
            f"{error.filename + ': ' if error.filename else ''}{error.strerror}"
        if isinstance(error, BrokenPipeError):
            return 1
        sys.stderr.write(f"{prefix}: error: {text}\n")
        return 1
    except KeyboardInterrupt:
        sys.stderr.write(f"{prefix}: interrupted\n")
        return 130


def entry() -> None:
    """Console script entry point."""
    code = main()
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        # Output piped to a program that stopped reading (head): nothing more to say.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        code = code or 1
    sys.exit(code)
