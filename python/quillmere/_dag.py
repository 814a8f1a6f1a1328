"""The graph of receipts joined by their links, written as Mermaid, Graphviz dot or JSON.

Edges run from a receipt to each earlier receipt it links to. A link to a receipt that is not
in the graph (another trace, or missing from the store) ends in a dashed "not listed" node;
receipts that fail verification are drawn red and labelled INVALID.
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone
from typing import Iterable, List, Optional, Sequence, Tuple, TypeVar

from ._cli_output import cap, clean

from ._core import Receipt, ReceiptLike, verify_receipt
from ._receipt import view_of

R = TypeVar("R", bound=Receipt)


@dataclass
class Node:
    """What the command line shows of one receipt."""

    rid: str
    kind: str
    workload: Optional[str]
    trace: Optional[str]
    time: str
    hash: str
    links: List[str] = field(default_factory=list)
    valid: Optional[bool] = None
    problem: Optional[str] = None

    @classmethod
    def of(cls, receipt: ReceiptLike, *, check: bool = False) -> "Node":
        view = view_of(receipt)
        node = cls(
            rid=view.rid,
            kind=view.kind,
            workload=view.workload_id,
            trace=view.trace_id,
            time=view.timestamp,
            hash=view.hash,
            links=list(view.links),
        )
        if check:
            node.valid, node.problem = verdict(receipt)
        return node

    @property
    def label(self) -> str:
        return f"{self.workload or self.kind} {self.rid[:8]}"


def verdict(receipt: ReceiptLike) -> "tuple[bool, Optional[str]]":
    """(valid, what is wrong) for one receipt."""
    try:
        if verify_receipt(receipt):
            return True, None
        return False, "hash mismatch: the receipt changed after it was sealed"
    except ValueError as error:
        return False, str(error)


_RFC3339 = re.compile(r"(\d{4})-(\d\d)-(\d\d)[Tt ](\d\d):(\d\d):(\d\d)(?:\.(\d{1,9}))?\d*([Zz]|[+-]\d\d:\d\d)")


def time_key(timestamp: str) -> Tuple[int, int, int, str]:
    """A sort key putting RFC 3339 times in time order, whatever their offset or the digits
    of their fraction; a text that is no such time sorts first, by its text."""
    match = _RFC3339.fullmatch(timestamp)
    if match is None:
        return (0, 0, 0, timestamp)
    year, month, day, hour, minute, second, fraction, offset = match.groups()
    try:
        zone = timezone.utc
        if offset not in ("Z", "z"):
            sign = -1 if offset[0] == "-" else 1
            zone = timezone(sign * timedelta(hours=int(offset[1:3]), minutes=int(offset[4:6])))
        moment = datetime(int(year), int(month), int(day), int(hour), int(minute), min(int(second), 59),
                          tzinfo=zone)
    except ValueError:
        return (0, 0, 0, timestamp)
    nanos = int((fraction or "0").ljust(9, "0"))
    return (1, int(moment.timestamp()), nanos, timestamp)


def chronological(receipts: Iterable[R]) -> List[R]:
    """Receipts oldest first, by time and then rid: the same order from every store."""
    return sorted(receipts, key=lambda r: (time_key(r.timestamp), r.rid))


def ordered(nodes: Sequence[Node]) -> List[Node]:
    return sorted(nodes, key=lambda n: (time_key(n.time), n.rid))


def _edges(nodes: Sequence[Node]) -> "tuple[List[tuple[str, str]], List[str]]":
    known = {n.rid for n in nodes}
    edges, missing = [], []
    for node in nodes:
        for link in node.links:
            edges.append((node.rid, link))
            if link not in known and link not in missing:
                missing.append(link)
    return edges, missing


def _label(node: Node) -> str:
    # What a drawing shows: control characters escaped and long names cut (the json format
    # keeps them exact).
    return cap(clean(node.workload or node.kind), 60)


def _mermaid_id(rid: str) -> str:
    return "r" + "".join(c if c.isalnum() else "_" for c in rid)


def _mermaid_text(text: str) -> str:
    # Mermaid's entity codes keep quotes and markup characters from ending the label.
    for raw, code in (("&", "#amp;"), ('"', "#quot;"), ("<", "#lt;"), (">", "#gt;")):
        text = text.replace(raw, code)
    return text


def mermaid(nodes: Sequence[Node]) -> str:
    edges, missing = _edges(nodes)
    lines = ["flowchart RL"]
    for node in ordered(nodes):
        label = _mermaid_text(_label(node)) + "<br/>" + node.rid[:8]
        if node.valid is False:
            label += "<br/>INVALID"
        lines.append(f'    {_mermaid_id(node.rid)}["{label}"]')
        if node.valid is False:
            lines.append(f"    class {_mermaid_id(node.rid)} invalid")
    for rid in missing:
        lines.append(f'    {_mermaid_id(rid)}["not listed<br/>{_mermaid_text(clean(rid[:8]))}"]')
        lines.append(f"    class {_mermaid_id(rid)} missing")
    for source, target in edges:
        lines.append(f"    {_mermaid_id(source)} --> {_mermaid_id(target)}")
    lines.append("    classDef invalid fill:#fdd,stroke:#c00,stroke-width:2px,color:#900")
    lines.append("    classDef missing fill:#fff,stroke:#999,stroke-dasharray:4 3,color:#666")
    return "\n".join(lines) + "\n"


def _dot_text(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def dot(nodes: Sequence[Node]) -> str:
    edges, missing = _edges(nodes)
    lines = [
        "digraph receipts {",
        "    rankdir=RL;",
        '    node [shape=box, style="rounded,filled", fillcolor="#eef4ff", fontname="Helvetica"];',
    ]
    for node in ordered(nodes):
        label = f"{_label(node)}\n{node.rid[:8]}"
        extra = ""
        if node.valid is False:
            label += "\nINVALID"
            extra = ', fillcolor="#ffdddd", color="#cc0000", penwidth=2'
        lines.append(f"    {_dot_text(node.rid)} [label={_dot_text(label)}{extra}];")
    for rid in missing:
        lines.append(f"    {_dot_text(clean(rid))} [label={_dot_text('not listed' + chr(10) + clean(rid[:8]))}, "
                     'style="rounded,dashed", fillcolor="white"];')
    for source, target in edges:
        lines.append(f"    {_dot_text(source)} -> {_dot_text(target)};")
    lines.append("}")
    return "\n".join(lines) + "\n"


def as_json(nodes: Sequence[Node]) -> str:
    edges, missing = _edges(nodes)
    document = {
        "nodes": [
            {"rid": n.rid, "kind": n.kind, "workload": n.workload, "trace": n.trace,
             "time": n.time, "hash": n.hash, "valid": n.valid, "problem": n.problem}
            for n in ordered(nodes)
        ],
        "missing": missing,
        "edges": [{"from": source, "to": target} for source, target in edges],
    }
    return json.dumps(document, indent=2) + "\n"


FORMATS = {"mermaid": mermaid, "dot": dot, "json": as_json}
