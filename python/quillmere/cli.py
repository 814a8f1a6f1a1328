"""The `quillmere` command: record, verify, list, show and graph receipts; shape hashes of
files and their overlap.

Exit status: 0 when all went well, 1 when something checked is invalid (a receipt that fails
verification, a file that cannot be hashed, a failed store), 2 on bad usage. Errors are one
line on standard error; output cut short by a closed pipe ends quietly with status 0. What
people read goes through `_cli_output` (escaped, capped, rich on a terminal); `--json` output
is exact.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import stat
import sys
import uuid
from pathlib import Path
from typing import IO, Any, Callable, Dict, Iterator, List, NamedTuple, NoReturn, Optional, Sequence, Tuple

from . import __version__, _cli_export, _cli_report, _cli_sign, _cli_sketch, _cli_trace, _dag
from ._cli_output import VERDICT_STYLES, Column, clean, is_terminal, one_line, plural, progress, status_line, table
from ._core import Client, Receipt, receipt_from_json, record_work, redact_secrets
from ._economics import decide_reuse, economic_delta, jaccard, reuse_threshold
from ._shapes import (
    BLOCK_SIZE,
    ChunkScheme,
    Manifest,
    ShapeHasher,
    data_shape_hash,
    manifest,
    manifest_from_json,
    map_files,
    parse_chunk_scheme,
)
from ._sketch import Sketch

PROG = "quillmere"


class UsageError(Exception):
    """Bad usage found after parsing: exit status 2."""


class Failure(Exception):
    """Something checked is invalid or an operation failed: exit status 1."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, not argparse's usage block; the usage is one --help away.
        self.exit(2, f"{self.prog}: error: {one_line(message)} (see '{self.prog} --help')\n")


# ----------------------------------------------------------------------------- stores

# A store given on the command line: a directory, or one of these URLs.
URL_SCHEMES = ("sqlite:", "postgresql://", "postgres://")
_SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*://")
# Receipts are small: a file larger than this is refused unread.
MAX_RECEIPT_BYTES = 16 << 20
_RID_START = re.compile(r"^[0-9a-fA-F-]{1,36}$")


def is_url(store: str) -> bool:
    return store.startswith(URL_SCHEMES)


def sqlite_file(url: str) -> str:
    """The database file a sqlite: URL names (sqlite:///abs/path or sqlite:relative/path)."""
    path = url[len("sqlite:"):]
    return path[2:] if path.startswith("//") else path


def shown(store: str) -> str:
    """A store as shown to the user: a database URL without its password."""
    return redact_secrets(store)


def open_store(store: Optional[str], *, must_exist: bool = True) -> Client:
    """The client of a store given as a directory or a database URL. Reading commands refuse
    a store that does not exist (a missing directory or SQLite file) instead of creating an
    empty one there; a URL of any other kind is refused, not taken for a directory."""
    if not store:
        raise UsageError("no store given: pass --store DIR|URL or set QUILLMERE_STORE")
    if is_url(store):
        if must_exist and store.startswith("sqlite:") and not os.path.isfile(sqlite_file(store)):
            raise UsageError(f"no receipt store at {clean(store)!r} (no such SQLite database file)")
        return Client(storage_url=store)
    if _SCHEME.match(store):
        raise UsageError(f"{clean(store.split('://')[0])}:// stores are not supported: give a directory, "
                         "sqlite:PATH or postgresql://...")
    if must_exist and not os.path.isdir(store):
        raise UsageError(f"no receipt store at {clean(store)!r} (no such directory)")
    return Client(store)


def receipt_files(store: str) -> Optional[List[Path]]:
    """The receipt files of a directory store (None for a database)."""
    if is_url(store):
        return None
    directory = Path(store) / "receipts"
    return sorted(directory.glob("*.json")) if directory.is_dir() else []


def rid_or_start(text: str) -> str:
    """A rid in its stored form, or the lowercase start of one; anything else is bad usage."""
    try:
        return str(uuid.UUID(text))
    except ValueError:
        pass
    if not _RID_START.match(text):
        raise UsageError(f"{clean(text)!r} is not a receipt id (a UUID) or the start of one")
    return text.lower()


def find_receipt(client: Client, store: str, rid: str) -> Receipt:
    """The stored receipt whose rid is `rid` or starts with it."""
    rid = rid_or_start(rid)
    files = receipt_files(store)
    if files is not None:
        exact = Path(store) / "receipts" / f"{rid}.json"
        if exact.is_file():
            return receipt_from_json(read_receipt_text(exact))
        matches = [receipt_from_json(read_receipt_text(f)) for f in files if f.name.startswith(rid)]
    else:
        matches = [r for r in client.list_receipts() if r.rid.startswith(rid)]
    if not matches:
        raise Failure(f"no receipt {rid!r} in {clean(shown(store))}")
    if len(matches) > 1:
        raise UsageError(f"{rid!r} is the start of {len(matches)} rids in {clean(shown(store))}; give more of it")
    return matches[0]


def read_receipt_text(path: Path) -> str:
    """The text of a receipt file, refused unread when it is no regular file or is larger than
    any receipt (a data file given by mistake)."""
    # Non-blocking: opening a named pipe must not wait for a writer.
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    with open(fd, "rb") as f:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise ValueError("not a receipt: not a regular file")
        if info.st_size > MAX_RECEIPT_BYTES:
            raise ValueError(f"not a receipt: {human_size(info.st_size)} is more than a receipt "
                             f"may take ({human_size(MAX_RECEIPT_BYTES)})")
        data = f.read(MAX_RECEIPT_BYTES + 1)
    if len(data) > MAX_RECEIPT_BYTES:
        raise ValueError(f"not a receipt: more than {human_size(MAX_RECEIPT_BYTES)}")
    return data.decode("utf-8")


def add_store(parser: argparse.ArgumentParser, required: bool = True) -> None:
    default = os.environ.get("QUILLMERE_STORE")
    parser.add_argument(
        "--store", metavar="DIR|URL", default=default,
        help="receipt store: a directory (receipts in DIR/receipts/), sqlite:///abs/path.db, "
             "sqlite:relative.db or postgresql://... (default: $QUILLMERE_STORE)"
             + ("" if required else "; optional here"),
    )


def count_argument(lowest: int, highest: Optional[int] = None) -> Callable[[str], int]:
    """An argparse type: a whole number from `lowest` up to `highest`."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid int value: {clean(text)!r}") from None
        if value < lowest:
            raise argparse.ArgumentTypeError(f"must be at least {lowest}, not {value}")
        if highest is not None and value > highest:
            raise argparse.ArgumentTypeError(f"must be at most {highest}, not {value}")
        return value

    return parse


# ----------------------------------------------------------------------------- output

def human_size(count: int) -> str:
    value = float(count)
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if value < 1024 or unit == "TiB":
            return f"{count} B" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    raise AssertionError


def short_time(timestamp: str) -> str:
    # 2026-12-07T12:21:40.989210903+00:00 -> 2026-12-07 12:21:40
    return timestamp[:19].replace("T", " ") if len(timestamp) >= 19 else timestamp


def json_line(value: Any, **kw: Any) -> str:
    text = json.dumps(value, ensure_ascii=False, **kw)
    # A file name that is no UTF-8 holds lone surrogates: written as \udcXX escapes instead.
    return text if not _SURROGATE.search(text) else json.dumps(value, **kw)


_SURROGATE = re.compile("[\ud800-\udfff]")


def say(message: str) -> None:
    """A note or warning on standard error, one clean line."""
    sys.stderr.write(f"{PROG}: {one_line(message)}\n")


# ----------------------------------------------------------------------------- commands

def resolve_parent(client: Client, store: str, parent: str) -> str:
    """The full rid of --parent (a rid or an unambiguous start of one in the store); a full
    rid not in the store is kept, with a warning."""
    text = rid_or_start(parent)
    if len(text) == 36:
        try:
            find_receipt(client, store, text)
        except Failure:
            say(f"warning: parent {text} is not in the store; the receipt links to it all the same")
        return text
    try:
        return find_receipt(client, store, text).rid
    except Failure:
        raise UsageError(f"--parent {parent!r}: no receipt in the store starts with it") from None


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
        # The recorder drops a parent that is no UUID without a word; a typo here would
        # silently cut the receipt off its pipeline.
        rid_or_start(args.parent)
    client = open_store(args.store, must_exist=False)
    parent = resolve_parent(client, args.store, args.parent) if args.parent is not None else None
    if args.tag:
        say("note: tags are not kept in the receipt (a receipt has no field for them)")
    receipt = record_work(args.workload, payload, tags=args.tag, trace_id=args.trace, parent_id=parent)
    client.store_receipt(receipt)
    print(receipt.to_json() if args.json else f"{receipt.rid} {receipt.hash}")
    return 0


Target = Tuple[str, Optional[Receipt], Optional[str]]


def verify_targets(args: argparse.Namespace) -> Tuple[int, Iterator[Target]]:
    """How many targets, and (where it came from, receipt or None, why it could not be read)
    for each."""
    targets: List[str] = list(args.targets)
    if not targets:
        if not args.store:
            raise UsageError("nothing to verify: give receipt files, directories or rids, or --store")
        client = open_store(args.store)
        files = receipt_files(args.store)
        if files is None:
            stored = client.list_receipts()
            return len(stored), ((shown(args.store), receipt, None) for receipt in stored)
        targets = [str(f) for f in files]
    work: List[Tuple[str, Optional[Path]]] = []
    for target in targets:
        path = Path(target)
        if path.is_dir():
            work += [(str(p), p) for p in sorted(path.rglob("*.json")) if p.is_file()]
        else:
            work.append((target, path if os.path.lexists(path) or not args.store else None))

    def each() -> Iterator[Target]:
        client = None
        for target, path in work:
            if path is None:
                client = client or open_store(args.store)
                try:
                    yield shown(args.store), find_receipt(client, args.store, target), None
                except (Failure, UsageError) as error:
                    yield target, None, str(error)
                continue
            try:
                yield target, _cli_sign.read_receipt(read_receipt_text(path), args, UsageError,
                                                     receipt_from_json), None
            except FileNotFoundError:
                yield target, None, "no such file or directory (give --store to look up a rid)"
            except OSError as error:
                yield target, None, error.strerror or str(error)
            except (UnicodeDecodeError, ValueError) as error:
                yield target, None, str(error)

    return len(work), each()


def cmd_verify(args: argparse.Namespace) -> int:
    keyring = _cli_sign.load_keyring(args, UsageError)  # a missing or empty --keys stops here, once
    if args.trace is not None:
        return _cli_trace.cmd_verify_trace(args, open_store, keyring)
    counts = {"valid": 0, "invalid": 0}
    rows: List[List[str]] = []
    total, targets = verify_targets(args)
    with progress("verifying", total, enabled=not args.json and total > 1) as advance:
        for source, receipt, problem in targets:
            rid = workload = signature = None
            if receipt is not None:
                rid = receipt.rid
                valid, problem, signature = _cli_sign.verdict(receipt, args, UsageError)
                workload = receipt.workload_id
            else:
                valid = False
            counts["valid" if valid else "invalid"] += 1
            advance(1)
            if args.json:
                print(json_line({"rid": rid, "workload": workload, "source": source, "valid": valid,
                                 "problem": problem} | ({"signature": signature} if args.keys else {})))
            else:
                signed = [signature or "-"] if args.keys else []
                rows.append(["valid" if valid else "INVALID", rid or "-", workload or "-", source] + signed
                            + [problem or ""])
    if not args.json:
        if rows:
            columns = [Column("STATUS", 7, styles=VERDICT_STYLES), Column("RID", 36), Column("WORKLOAD", 40, shrink=True),
                       Column("SOURCE", 80, keep_end=True, shrink=True)]
            columns += [Column("SIGNATURE", 40, shrink=True)] if args.keys else []
            columns += [Column("PROBLEM", 100, shrink=True)]
            if not any(row[-1] for row in rows):
                columns, rows = columns[:-1], [row[:-1] for row in rows]
            table(columns, rows)
        status_line(f"{counts['valid']} valid, {counts['invalid']} invalid",
                    "bold red" if counts["invalid"] else "green")
    if counts["valid"] + counts["invalid"] == 0:
        raise Failure("no receipts found to verify")
    return 1 if counts["invalid"] else 0


def cmd_ls(args: argparse.Namespace) -> int:
    client = open_store(args.store)
    # Every match, oldest first by time; --limit keeps the newest N (any store, any order of
    # files in a directory).
    receipts = _dag.chronological(client.list_receipts(args.workload, args.trace, None))
    if args.limit is not None:
        receipts = receipts[max(len(receipts) - args.limit, 0):]
    if args.json:
        for receipt in receipts:
            print(receipt.to_json())
        return 0
    columns = [Column("RID", 36), Column("KIND", 15), Column("WORKLOAD", 40, shrink=True), Column("TRACE", 42, shrink=True),
               Column("TIME (UTC)", 19), Column("HASH", 19)]
    table(columns, [[r.rid, r.kind, r.workload_id or "-", r.trace_id or "-", short_time(r.timestamp), r.hash[:19]]
                    for r in receipts])
    return 0


# Characters a terminal would act on, inside JSON strings: written as \u escapes, which
# read back to the same text.
_JSON_CONTROL = re.compile("[\x7f-\x9f\u061c\u200e\u200f\u2028\u2029\u202a-\u202e\u2066-\u2069]")


def cmd_show(args: argparse.Namespace) -> int:
    client = open_store(args.store)
    receipt = find_receipt(client, args.store, args.rid)
    if args.json:
        print(receipt.to_json())
        return 0
    text = json.dumps(receipt.to_dict(), indent=2, ensure_ascii=False)
    print(_JSON_CONTROL.sub(lambda m: f"\\u{ord(m.group()):04x}", text))
    return 0


def shape_inputs(paths: Sequence[str]) -> List[Tuple[str, int]]:
    inputs = []
    for path in paths:
        if path == "-":
            inputs.append((path, 0))
            continue
        try:
            info = os.stat(path)
        except OSError as error:
            raise Failure(f"cannot read {path}: {error.strerror}") from None
        if stat.S_ISDIR(info.st_mode):
            raise Failure(f"cannot read {path}: Is a directory")
        inputs.append((path, info.st_size if stat.S_ISREG(info.st_mode) else 0))
    return inputs


def scheme_argument(text: str) -> ChunkScheme:
    try:
        return parse_chunk_scheme(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


class Shape(NamedTuple):
    path: str
    shape_hash: str
    total_len: int
    manifest: Optional[Manifest]


def cmd_shape(args: argparse.Namespace) -> int:
    scheme = parse_chunk_scheme(args.scheme)
    if args.manifest_out and len(args.paths) != 1:
        raise UsageError("--manifest-out takes exactly one PATH")
    if args.paths.count("-") > 1:
        raise UsageError("standard input ('-') can be read only once")
    keep = bool(args.chunks or args.manifest_out)
    inputs = shape_inputs(args.paths)
    total = sum(size for _, size in inputs)
    # One input: the workers share it; several: each worker takes whole files.
    inner = (args.workers or 1) if len(inputs) == 1 else 1
    show_bar = not args.json and (total >= args.progress_min or len(inputs) > 1 and total > 0) \
        and is_terminal(sys.stderr)

    with progress("hashing", total or None, unit="bytes", enabled=show_bar) as advance:

        def build(path: str) -> Shape:
            if path == "-":
                return _stream(path, sys.stdin.buffer, scheme, keep, inner, advance)
            if not show_bar and (keep or inner == 1):
                # The native reader, start to end without the interpreter lock.
                if keep:
                    m = manifest(path, scheme, workers=inner)
                    return Shape(path, m.shape_hash, m.total_len, m)
                size = os.stat(path).st_size
                return Shape(path, data_shape_hash(path, scheme), size, None)
            with open(path, "rb") as f:
                return _stream(path, f, scheme, keep, inner, advance)

        results = map_files(build, [p for p, _ in inputs], args.workers if len(inputs) > 1 else 1)
    for shape in results:
        m = shape.manifest
        if args.json:
            print(json_line({"path": shape.path, "shape_hash": shape.shape_hash, "total_len": shape.total_len,
                             "chunks": len(m) if m is not None else None, "root": m.root if m is not None else None,
                             "chunk_scheme": m.chunk_scheme if m is not None else scheme_text(scheme)}))
        else:
            chunks = f"  {len(m):>8} chunks" if m is not None else ""
            print(f"{shape.shape_hash}  {human_size(shape.total_len):>10}{chunks}  {clean(shape.path)}")
    if args.manifest_out:
        kept = results[0].manifest
        assert kept is not None
        Path(args.manifest_out).write_text(kept.to_json(), encoding="utf-8")
    return 0


def scheme_text(scheme: Any) -> Any:
    return scheme if scheme is not None else {"type": "cdc", "avg_size": 65536}


def _stream(path: str, source: IO[bytes], scheme: Any, keep: bool, workers: int,
            advance: Callable[[int], None]) -> Shape:
    """The shape of a stream read in blocks: the manifest only when chunks are kept."""
    hasher = ShapeHasher(scheme, keep) if workers == 1 else ShapeHasher(scheme, keep, workers=workers)
    buffer = bytearray(BLOCK_SIZE)
    view = memoryview(buffer)
    size = 0
    while count := source.readinto(buffer):  # type: ignore[attr-defined]
        hasher.update(view[:count])
        size += count
        advance(count)
    if keep:
        m = hasher.manifest()
        return Shape(path, m.shape_hash, m.total_len, m)
    return Shape(path, hasher.shape_hash(), size, None)


def looks_like_manifest(path: str) -> bool:
    """A saved manifest (`shape --manifest-out`) rather than data: a JSON object whose first
    kilobytes hold a manifest key (the written form begins with "chunk_scheme")."""
    with open(path, "rb") as f:
        head = f.read(4096)
    return head.lstrip().startswith(b"{") and (b'"chunk_scheme"' in head or b'"total_len"' in head)


def load_side(path: str, scheme: ChunkScheme) -> Tuple[Manifest, Optional[Sketch]]:
    try:
        if looks_like_manifest(path):
            return manifest_from_json(Path(path).read_text(encoding="utf-8")), None
    except IsADirectoryError:
        raise Failure(f"cannot read {path}: Is a directory") from None
    except OSError as error:
        raise Failure(f"cannot read {path}: {error.strerror}") from None
    return _cli_sketch.data_side(path, scheme)


def chunk_overlap(old: Manifest, new: Manifest) -> Dict[str, Dict[str, int]]:
    """Distinct chunks in both, only in OLD, only in NEW, and the bytes they cover (every
    occurrence counted: the bytes of NEW found in OLD, the bytes of each side not in the
    other)."""
    old_ids = {chunk_id for _, _, chunk_id in old}
    new_ids = {chunk_id for _, _, chunk_id in new}
    only_old_bytes = sum(length for _, length, chunk_id in old if chunk_id not in new_ids)
    only_new_bytes = sum(length for _, length, chunk_id in new if chunk_id not in old_ids)
    return {
        "chunks": {"shared": len(old_ids & new_ids), "only_old": len(old_ids - new_ids),
                   "only_new": len(new_ids - old_ids)},
        "bytes": {"shared_in_new": new.total_len - only_new_bytes, "only_old": only_old_bytes,
                  "only_new": only_new_bytes},
    }


def percent(part: int, whole: int) -> str:
    return f"{100 * part / whole:.1f}%" if whole else "-"


# What `diff` says below the two sides: (label, value, note) lines, each from the result.
DiffLine = Tuple[str, str, str]


def overlap_lines(result: Dict[str, Any]) -> List[DiffLine]:
    chunks, sizes = result["overlap"]["chunks"], result["overlap"]["bytes"]
    new_len = result["new"]["total_len"]
    return [
        ("jaccard overlap", f"{result['jaccard']:.4f}", "distinct chunks in both / in either"),
        ("shared", f"{chunks['shared']} chunks", f"{human_size(sizes['shared_in_new'])} of NEW "
                                                 f"({percent(sizes['shared_in_new'], new_len)}) is in OLD"),
        ("changed", f"{chunks['only_new']} chunks", f"{human_size(sizes['only_new'])} of NEW is not in OLD"),
        ("dropped", f"{chunks['only_old']} chunks", f"{human_size(sizes['only_old'])} of OLD is not in NEW"),
    ]


def reuse_lines(result: Dict[str, Any]) -> List[DiffLine]:
    if "reuse" not in result:
        return []
    reuse = result["reuse"]
    why = reuse["justification"]
    threshold = reuse_threshold(why["c_id"], why["alpha"], why["c_comp"])
    return [
        ("decision", reuse["decision"], f"reuse when J > c_id / (alpha * c_comp) = {threshold:.4g}"),
        ("economic delta", f"{result['economic_delta']:,.2f}",
         "alpha * c_comp * J - c_id, in the unit of c_id and c_comp; positive: reuse saves"),
    ]


# Sections of `diff`'s text output, in order; each adds its lines from the result.
DIFF_SECTIONS: List[Callable[[Dict[str, Any]], List[DiffLine]]] = [overlap_lines, _cli_sketch.record_lines,
                                                                  reuse_lines]


def cmd_diff(args: argparse.Namespace) -> int:
    cost_model = None
    if args.cost_model is not None:
        try:
            cost_model = json.loads(args.cost_model)
        except json.JSONDecodeError as error:
            raise UsageError(f"--cost-model is not JSON: {error}") from None
        if not isinstance(cost_model, dict):
            raise UsageError("--cost-model must be a JSON object with c_id, c_comp and alpha")
        try:
            decide_reuse(0.5, cost_model, args.rows)  # refused before any data is read
        except (TypeError, ValueError) as error:
            raise UsageError(f"--cost-model: {str(error).replace('give row_count', 'give --rows')}") from None
    scheme = args.scheme
    saved = [p for p in (args.old, args.new) if os.path.isfile(p) and looks_like_manifest(p)]
    if scheme is None and saved:
        scheme = manifest_from_json(Path(saved[0]).read_text(encoding="utf-8")).chunk_scheme
    old, old_sketch = load_side(args.old, scheme)
    new, new_sketch = load_side(args.new, scheme)
    if old.chunk_scheme != new.chunk_scheme:
        raise UsageError(f"OLD and NEW are chunked differently ({old.chunk_scheme} vs "
                         f"{new.chunk_scheme}); their overlap would mean nothing")
    overlap = jaccard(old, new)
    result: Dict[str, Any] = {
        "old": {"path": args.old, "shape_hash": old.shape_hash, "total_len": old.total_len, "chunks": len(old)},
        "new": {"path": args.new, "shape_hash": new.shape_hash, "total_len": new.total_len, "chunks": len(new)},
        "chunk_scheme": old.chunk_scheme,
        "jaccard": overlap,
        "overlap": chunk_overlap(old, new),
        "record_jaccard": _cli_sketch.record_overlap(old_sketch, new_sketch),
    }
    if cost_model is not None:
        result["reuse"] = decide_reuse(overlap, cost_model, args.rows)
        result["economic_delta"] = economic_delta(overlap, cost_model, args.rows)
    if args.json:
        print(json_line(result, indent=2))
        return 0
    table([Column(""), Column("PATH", 60, keep_end=True, shrink=True), Column("SIZE", 12, justify="right"),
           Column("CHUNKS", 16, justify="right"), Column("SHAPE HASH", 71)],
          [[side, info["path"], human_size(info["total_len"]), str(info["chunks"]), info["shape_hash"]]
           for side, info in (("old", result["old"]), ("new", result["new"]))])
    lines = [line for section in DIFF_SECTIONS for line in section(result)]
    label_width = max([16] + [len(label) for label, _, _ in lines])
    value_width = max(len(value) for _, value, _ in lines)
    for label, value, note in lines:
        print(f"{label:<{label_width}}  {value:<{value_width}}  ({note})")
    return 0


def cmd_dag(args: argparse.Namespace) -> int:
    client = open_store(args.store)
    nodes = [_dag.Node.of(r, check=True) for r in client.list_receipts(None, args.trace, None)]
    sys.stdout.write(_dag.FORMATS[args.format](nodes))
    return 1 if any(n.valid is False for n in nodes) else 0


def cmd_migrate(args: argparse.Namespace) -> int:
    source = open_store(args.source)
    target = open_store(args.target, must_exist=False)
    # One native call copies everything byte for byte: the bar shows activity, not a count.
    with progress("copying receipts", None, enabled=not args.json):
        copied = source.copy_receipts_to(target)
    if args.json:
        print(json_line({"copied": copied}))
    else:
        print(f"copied {plural(copied, 'receipt')} from {clean(shown(args.source))} to {clean(shown(args.target))}")
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
    p.add_argument("--tag", metavar="T", action="append",
                   help="a tag (repeatable); accepted but not kept: a receipt has no field for tags")
    p.add_argument("--trace", metavar="ID", help="trace id grouping related work")
    p.add_argument("--parent", metavar="RID", help="rid of the receipt this work follows, or an unambiguous "
                   "start of one in --store (a rid not in the store is warned about)")
    add_store(p)
    p.add_argument("--json", action="store_true", help="print the whole receipt as JSON")

    p = command("verify", "verify receipt files, directories of them, or stored rids", cmd_verify)
    p.add_argument("targets", metavar="PATH|RID", nargs="*",
                   help="receipt file, directory (searched for *.json), or rid (or its start) in --store; "
                        "none: every receipt of --store")
    add_store(p, required=False)
    p.add_argument("--json", action="store_true", help="one JSON object per receipt")
    p.add_argument("--trace", metavar="T", help=_cli_trace.VERIFY_TRACE_HELP)
    _cli_sign.add_verify_options(p)

    p = command("ls", "list the receipts of a store", cmd_ls)
    add_store(p)
    p.add_argument("--trace", metavar="ID", help="only this trace")
    p.add_argument("--workload", metavar="W", help="only this workload")
    p.add_argument("--limit", metavar="N", type=count_argument(0), help="only the N newest receipts "
                   "(by time, then rid); the listing is oldest first either way")
    p.add_argument("--json", action="store_true", help="each receipt's JSON on its own line")

    p = command("show", "print one stored receipt as indented JSON", cmd_show,
                epilog="A receipt keeps hashes of the payload given to record (payload.data_shape_hash, "
                       "dom), never the payload itself, and no tags.")
    p.add_argument("rid", metavar="RID", help="the receipt's rid, or enough of its start")
    add_store(p)
    p.add_argument("--json", action="store_true", help="the receipt's exact stored JSON, on one line")

    p = command("shape", "data shape hash and size of files, streamed", cmd_shape)
    p.add_argument("paths", metavar="PATH", nargs="+", help="files to hash ('-': standard input)")
    p.add_argument("--scheme", metavar="SCHEME", default=None, type=scheme_argument,
                   help="chunking: cdc:AVG_SIZE or fixed:SIZE (default cdc:65536)")
    p.add_argument("--workers", metavar="N", type=count_argument(1, 256), default=None,
                   help="threads: files hashed at once, or for one file, threads sharing it "
                        "(default: one per core for many files, 1 for one)")
    p.add_argument("--chunks", action="store_true", help="also count the chunks and give the Merkle root "
                   "(keeps every chunk in memory, 48 bytes each)")
    p.add_argument("--manifest-out", metavar="F", help="save the manifest of the (one) file to F, for diff "
                   "(keeps every chunk in memory)")
    p.add_argument("--json", action="store_true", help="one JSON object per file")
    p.add_argument("--progress-min", type=count_argument(0), default=64 << 20, help=argparse.SUPPRESS)

    p = command("diff", "overlap of two versions of data, and whether to reuse", cmd_diff)
    p.add_argument("old", metavar="OLD", help="the earlier version: a data file or a saved manifest")
    p.add_argument("new", metavar="NEW", help="the later version: a data file or a saved manifest")
    p.add_argument("--scheme", metavar="SCHEME", type=scheme_argument, help="chunking for data files (default: that of a "
                   "saved manifest given, else cdc:65536)")
    p.add_argument("--cost-model", metavar="JSON",
                   help='e.g. \'{"c_id": 10, "c_comp": {"type": "linear", "per_row": 0.5, "base": 20}, '
                        '"alpha": 0.8}\'; prints the reuse decision and the economic delta. c_id: the '
                        'cost of finding and checking earlier results to reuse; c_comp: the cost of '
                        'computing from scratch, in the same unit (seconds, CPU-hours, dollars...); alpha: '
                        'the fraction of c_comp that reuse saves, 0 to 1. A cost is a number, '
                        '{"type": "constant", "value": V} or {"type": "linear", "per_row": P, "base": B} '
                        '(P * rows + B, needs --rows)')
    p.add_argument("--rows", metavar="N", type=count_argument(0, 2**64 - 1), help="row count for linear costs")
    p.add_argument("--json", action="store_true", help="the result as JSON")

    p = command("dag", "graph of receipts joined by their links", cmd_dag)
    add_store(p)
    p.add_argument("--trace", metavar="ID", help="only this trace")
    p.add_argument("--format", choices=sorted(_dag.FORMATS), default="mermaid",
                   help="mermaid (default), dot (Graphviz) or json")

    p = command("migrate", "copy every receipt of one store into another", cmd_migrate)
    p.add_argument("source", metavar="FROM", help="source store: directory or URL")
    p.add_argument("target", metavar="TO", help="target store: directory or URL (created if need be)")
    p.add_argument("--json", action="store_true", help="the count copied as JSON")
    _cli_trace.register(command, add_store, open_store, UsageError)
    _cli_report.register(command)
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
    except BrokenPipeError:
        return quiet_pipe(0)
    except UsageError as error:
        sys.stderr.write(f"{prefix}: error: {one_line(redact_secrets(str(error)))}\n")
        return 2
    except (Failure, ValueError, OSError) as error:
        sys.stderr.write(f"{prefix}: error: {one_line(redact_secrets(error_text(error)))}\n")
        return 1
    except KeyboardInterrupt:
        sys.stderr.write(f"{prefix}: interrupted\n")
        return 130
    except Exception as error:  # anything else is a fault here, still reported on one line
        sys.stderr.write(f"{prefix}: error: {type(error).__name__}: {one_line(redact_secrets(str(error)))}\n")
        return 1


def error_text(error: Exception) -> str:
    if not isinstance(error, OSError) or not error.strerror:
        return str(error)
    name = error.filename
    where = (os.fsdecode(name) if isinstance(name, bytes) else str(name)) + ": " if name is not None else ""
    return where + error.strerror


def quiet_pipe(code: int) -> int:
    """Output cut short by a reader that stopped (`| head`): end quietly, as other tools do.
    Standard output goes to /dev/null so that the interpreter's last flush says nothing."""
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError):
        pass
    return code


def entry() -> None:
    """Console script entry point."""
    code = main()
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        code = quiet_pipe(code)
    sys.exit(code)
