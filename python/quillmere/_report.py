"""A pipeline's receipts as one self-contained HTML page: the graph of their links drawn as SVG,
a row per receipt (kind, time, input and output shapes, verification and signature status) and
the reuse decisions that receipts carry.

The page loads nothing: no script, no font, no image from elsewhere (its Content-Security-Policy
forbids it), so it opens the same offline, from a mail attachment or a build artefact. The graph
is laid out by Graphviz's `dot` when it is installed, else by the small layered layout here.
Every text taken from a receipt is escaped before it reaches the page.
"""

from __future__ import annotations

import html
import re
import shutil
import subprocess
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from . import _dag
from ._cli_output import plural
from ._economics import reuse_threshold
from ._core import Receipt, ReceiptLike
from ._receipt import view_of

# Box size and spacing of the embedded layout, in SVG units.
BOX_W, BOX_H, GAP_X, GAP_Y, MARGIN = 190, 58, 70, 24, 16
LABEL_CHARS = 26


@dataclass
class Row:
    """What the page shows of one receipt."""

    rid: str
    kind: str
    workload: Optional[str]
    time: str
    links: List[str]
    inputs: List[Tuple[str, str]]  # (what, value)
    outputs: List[Tuple[str, str]]
    valid: bool
    problem: Optional[str]
    signature: str  # "unsigned", "valid, by KID", "INVALID: why", "signed by KID, not checked ..."
    signature_ok: Optional[bool]
    reuse: Optional[Dict[str, Any]] = None

    @property
    def label(self) -> str:
        return self.workload or self.kind


def _signature_status(receipt: Receipt, sig: Any, keyring: Any) -> Tuple[str, Optional[bool]]:
    """The signature's status, as quillmere.check_receipt finds it where the package has it:
    (text, True for a valid signature, False for a bad one, None when neither can be said)."""
    if not sig:
        return "unsigned", None
    import quillmere

    check: Optional[Callable[..., Any]] = getattr(quillmere, "check_receipt", None)
    kid = str(sig.get("kid", "")) if isinstance(sig, dict) else ""
    if check is None:
        return f"signed by {kid}, not checked", None
    try:
        verdict = check(receipt, keyring)
    except ValueError as error:
        return f"INVALID: {error}", False
    status = getattr(verdict, "signature", None)
    if status == "valid":
        return f"valid, by {kid}", True
    if status == "bad":
        return f"INVALID: {getattr(verdict, 'signature_problem', None) or 'not a signature of this receipt'}", False
    if status == "unknown_key":
        return f"signed by {kid}, a key not in the keyring" if keyring is not None else \
            f"signed by {kid}, not checked (no keyring)", None
    return f"signed by {kid}, {status}", None


def _reuse(payload: Dict[str, Any]) -> Optional[Dict[str, Any]]:
    """The reuse decision a payload carries, with its threshold c_id / (alpha * c_comp)."""
    why = payload.get("justification")
    if not isinstance(why, dict) or why.get("decision") is None and why.get("overlap_j") is None:
        return None
    decision = dict(why)
    alpha, c_id, c_comp = (_number_or_none(why.get(key)) for key in ("alpha", "c_id", "c_comp"))
    threshold = None if alpha is None or c_id is None or c_comp is None else reuse_threshold(c_id, alpha, c_comp)
    decision["threshold"] = None if threshold == float("inf") else threshold  # none: reuse saves nothing
    return decision


def _number_or_none(value: Any) -> Optional[float]:
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else None


def row_of(receipt: ReceiptLike, keyring: Any = None) -> Row:
    view = view_of(receipt)
    payload = view.payload
    inputs = [("dom", view.dom)]
    if "data_shape_hash" in payload:
        inputs.append(("data shape", str(payload["data_shape_hash"])))
    if "hll_cardinality" in payload:
        inputs.append(("records (est.)", str(payload["hll_cardinality"])))
    outputs = [("cod", view.cod)]
    for key, what in (("output_digest", "digest"), ("output_size_bytes", "bytes"),
                      ("output_mime_type", "type"), ("chunk_manifest_size_bytes", "manifest bytes")):
        if payload.get(key) is not None:
            outputs.append((what, str(payload[key])))
    valid, problem = _dag.verdict(view)
    signature, signature_ok = _signature_status(view, view.sig, keyring)
    return Row(
        rid=view.rid,
        kind=view.kind,
        workload=view.workload_id,
        time=view.timestamp,
        links=list(view.links),
        inputs=inputs,
        outputs=outputs,
        valid=valid,
        problem=problem,
        signature=signature,
        signature_ok=signature_ok,
        reuse=_reuse(payload),
    )


def _layers(rows: Sequence[Row]) -> Dict[str, int]:
    """Column of each receipt: 0 without a listed parent, else one more than its parents'."""
    by_rid = {row.rid: row for row in rows}
    layer: Dict[str, int] = {}

    def depth(rid: str, seen: Tuple[str, ...]) -> int:
        if rid in layer:
            return layer[rid]
        parents = [link for link in by_rid[rid].links if link in by_rid and link not in seen]
        value = 1 + max((depth(p, seen + (rid,)) for p in parents), default=-1)
        layer[rid] = value
        return value

    for row in rows:
        depth(row.rid, ())
    return layer


def _short(text: str, limit: int = LABEL_CHARS) -> str:
    return text if len(text) <= limit else text[: limit - 1] + "\u2026"


def _missing(rows: Sequence[Row]) -> List[str]:
    known = {row.rid for row in rows}
    seen: List[str] = []
    for row in rows:
        seen.extend(link for link in row.links if link not in known and link not in seen)
    return seen


def embedded_svg(rows: Sequence[Row]) -> str:
    """The graph laid out in columns by depth, parents on the left, as an SVG element."""
    layer = _layers(rows)
    missing = _missing(rows)
    columns: Dict[int, List[str]] = {}
    for rid in missing:
        columns.setdefault(0, []).append(rid)
    shift = 1 if missing else 0
    for row in sorted(rows, key=lambda r: (r.time, r.rid)):
        columns.setdefault(layer[row.rid] + shift, []).append(row.rid)
    place: Dict[str, Tuple[int, int]] = {}
    for column, rids in columns.items():
        for index, rid in enumerate(rids):
            place[rid] = (MARGIN + column * (BOX_W + GAP_X), MARGIN + index * (BOX_H + GAP_Y))
    width = MARGIN * 2 + max(columns, default=0) * (BOX_W + GAP_X) + BOX_W
    height = MARGIN * 2 + max((len(v) for v in columns.values()), default=1) * (BOX_H + GAP_Y) - GAP_Y
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'viewBox="0 0 {width} {height}" role="img" aria-label="receipt graph">',
           '<defs><marker id="arrow" viewBox="0 0 10 10" refX="10" refY="5" markerWidth="8" '
           'markerHeight="8" orient="auto-start-reverse"><path d="M0,0L10,5L0,10z" fill="#555"/></marker></defs>']
    for row in rows:
        x, y = place[row.rid]
        for link in row.links:
            if link in place:
                px, py = place[link]
                out.append(f'<line class="edge" x1="{x}" y1="{y + BOX_H // 2}" x2="{px + BOX_W}" '
                           f'y2="{py + BOX_H // 2}" stroke="#555" marker-end="url(#arrow)"/>')
    for rid in missing:
        x, y = place[rid]
        out.append(f'<g class="node missing"><title>{html.escape(rid)} (not listed)</title>'
                   f'<rect x="{x}" y="{y}" width="{BOX_W}" height="{BOX_H}" rx="8" fill="#fff" '
                   f'stroke="#999" stroke-dasharray="4 3"/>'
                   f'<text x="{x + 10}" y="{y + 22}" fill="#666">not listed</text>'
                   f'<text x="{x + 10}" y="{y + 42}" fill="#666">{html.escape(rid[:8])}</text></g>')
    for row in rows:
        x, y = place[row.rid]
        bad = failed(row)
        fill, stroke = ("#ffdddd", "#cc0000") if bad else ("#eef4ff", "#4a6fa5")
        status = "INVALID" if bad else row.kind
        out.append(f'<g class="node receipt{" invalid" if bad else ""}" id="node-{html.escape(row.rid)}">'
                   f'<title>{html.escape(row.label)} {html.escape(row.rid)}</title>'
                   f'<a href="#r-{html.escape(row.rid)}">'
                   f'<rect x="{x}" y="{y}" width="{BOX_W}" height="{BOX_H}" rx="8" fill="{fill}" '
                   f'stroke="{stroke}" stroke-width="{2 if bad else 1}"/>'
                   f'<text x="{x + 10}" y="{y + 22}">{html.escape(_short(row.label))}</text>'
                   f'<text x="{x + 10}" y="{y + 42}" fill="#555">{html.escape(row.rid[:8])} \u00b7 '
                   f'{html.escape(status)}</text></a></g>')
    out.append("</svg>")
    return "\n".join(out)


def dot_source(rows: Sequence[Row]) -> str:
    lines = ["digraph receipts {", "    rankdir=RL;",
             '    node [shape=box, style="rounded,filled", fillcolor="#eef4ff", color="#4a6fa5", '
             'fontname="Helvetica", fontsize=11];']
    text = _dag._dot_text
    for row in sorted(rows, key=lambda r: (r.time, r.rid)):
        bad = failed(row)
        label = f"{_short(row.label)}\n{row.rid[:8]} \u00b7 {'INVALID' if bad else row.kind}"
        extra = ', fillcolor="#ffdddd", color="#cc0000", penwidth=2' if bad else ""
        lines.append(f"    {text(row.rid)} [label={text(label)}, id={text('node-' + row.rid)}, "
                     f"class={text('receipt invalid' if bad else 'receipt')}, href={text('#r-' + row.rid)}, "
                     f"tooltip={text(row.label + ' ' + row.rid)}{extra}];")
    for rid in _missing(rows):
        lines.append(f"    {text(rid)} [label={text('not listed' + chr(10) + rid[:8])}, class=\"missing\", "
                     'style="rounded,dashed", fillcolor="white", color="#999999"];')
    for row in rows:
        for link in row.links:
            lines.append(f"    {text(row.rid)} -> {text(link)};")
    lines.append("}")
    return "\n".join(lines) + "\n"


def graphviz_svg(rows: Sequence[Row], dot: str) -> Optional[str]:
    """The graph laid out by Graphviz, as an SVG element (None if dot fails)."""
    try:
        done = subprocess.run([dot, "-Tsvg"], input=dot_source(rows).encode(), capture_output=True,
                              timeout=60, check=False)
    except (OSError, subprocess.TimeoutExpired):
        return None
    text = done.stdout.decode("utf-8", "replace")
    start = text.find("<svg")
    if done.returncode != 0 or start < 0:
        return None
    # Inline in HTML: no XML prolog or DOCTYPE (its DTD address would be the page's only link).
    return text[start:]


def redact(store: str) -> str:
    """A store location fit to print: a URL's password and password= parameters masked."""
    store = re.sub(r"(://[^/:@]*:)[^@/]*@", r"\1***@", store)
    return re.sub(r"(password=)[^&\s]*", r"\1***", store, flags=re.IGNORECASE)


STYLE = """
body { font: 14px/1.45 system-ui, -apple-system, "Segoe UI", Helvetica, Arial, sans-serif;
       margin: 24px; color: #1d2330; }
h1 { font-size: 20px; margin: 0 0 4px; } h2 { font-size: 16px; margin: 28px 0 8px; }
.meta { color: #555; } .summary span { margin-right: 18px; }
.bad { color: #b00000; font-weight: 600; } .ok { color: #17663a; }
.graph { overflow: auto; border: 1px solid #dde3ee; border-radius: 6px; padding: 8px; background: #fbfcff; }
.graph svg text { font-size: 12px; font-family: inherit; }
table { border-collapse: collapse; width: 100%; font-size: 13px; }
th, td { border-bottom: 1px solid #e4e8f0; padding: 5px 8px; text-align: left; vertical-align: top; }
th { background: #f3f6fb; position: sticky; top: 0; }
tr.invalid td { background: #fff0f0; } tr:target td { outline: 2px solid #4a6fa5; }
code { font: 12px ui-monospace, SFMono-Regular, Menlo, monospace; }
dl { margin: 0; display: grid; grid-template-columns: auto 1fr; gap: 0 8px; }
dt { color: #555; white-space: nowrap; } dd { margin: 0; }
"""


def _hash_cell(value: str) -> str:
    shown = value if len(value) <= 22 else value[:19] + "\u2026"
    return f'<code title="{html.escape(value)}">{html.escape(shown)}</code>'


def _pairs(pairs: Sequence[Tuple[str, str]]) -> str:
    cells = "".join(f"<dt>{html.escape(k)}</dt><dd>{_hash_cell(v)}</dd>" for k, v in pairs)
    return f"<dl>{cells}</dl>"


def _number(value: Any) -> str:
    return "\u2014" if value is None else (f"{value:.4g}" if isinstance(value, float) else html.escape(str(value)))


def rows_of(receipts: Sequence[ReceiptLike], keyring: Any = None) -> List[Row]:
    """One row per receipt, verified (signatures against `keyring` where signing is available),
    oldest first."""
    return sorted((row_of(r, keyring) for r in receipts), key=lambda r: (r.time, r.rid))


def failed(row: Row) -> bool:
    return not row.valid or row.signature_ok is False


def render(rows: Sequence[Row], *, store: str = "", trace_id: Optional[str] = None,
           dot: Optional[str] = "auto", title: Optional[str] = None) -> str:
    """The page for the receipts of `rows` as one HTML text. `dot` is the Graphviz program
    ("auto": looked up on PATH; None: the embedded layout)."""
    program = shutil.which("dot") if dot == "auto" else dot
    svg = graphviz_svg(rows, program) if program and rows else None
    layout = "Graphviz dot" if svg else "embedded layout"
    if svg is None:
        svg = embedded_svg(rows)
    failures = [row for row in rows if failed(row)]
    signed = sum(1 for row in rows if row.signature != "unsigned")
    heading = title or ("Receipts of trace " + trace_id if trace_id else "Receipts")
    e = html.escape
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
        "style-src 'unsafe-inline'\">",
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{e(heading)}</title><style>{STYLE}</style></head><body>",
        f"<h1>{e(heading)}</h1>",
        f'<p class="meta">store <code>{e(redact(store))}</code> \u00b7 graph: {layout}</p>',
        '<p class="summary">'
        f"<span>{plural(len(rows), 'receipt')}</span>"
        f'<span class="{"bad" if failures else "ok"}">{len(failures)} failed verification</span>'
        f"<span>{signed} signed</span></p>",
        f'<h2>Graph</h2><div class="graph">{svg}</div>',
        "<h2>Receipts</h2>",
        "<table><thead><tr><th>rid</th><th>kind</th><th>workload</th><th>time</th><th>inputs</th>"
        "<th>outputs</th><th>links</th><th>verification</th><th>signature</th></tr></thead><tbody>",
    ]
    for row in rows:
        bad = failed(row)
        verification = '<span class="ok">valid</span>' if row.valid else \
            f'<span class="bad">INVALID</span><br>{e(row.problem or "")}'
        signature = e(row.signature) if row.signature_ok is not False else f'<span class="bad">{e(row.signature)}</span>'
        links = "<br>".join(f'<a href="#r-{e(link)}"><code>{e(link[:8])}</code></a>' for link in row.links)
        parts.append(
            f'<tr id="r-{e(row.rid)}"{" class=invalid" if bad else ""}>'
            f"<td><code>{e(row.rid)}</code></td><td>{e(row.kind)}</td><td>{e(row.workload or '')}</td>"
            f"<td>{e(row.time)}</td><td>{_pairs(row.inputs)}</td><td>{_pairs(row.outputs)}</td>"
            f"<td>{links}</td><td>{verification}</td><td>{signature}</td></tr>")
    parts.append("</tbody></table>")
    decisions = [row for row in rows if row.reuse]
    parts.append("<h2>Reuse decisions</h2>")
    if decisions:
        parts.append("<table><thead><tr><th>rid</th><th>decision</th><th>J (overlap)</th>"
                     "<th>threshold c_id / (\u03b1 \u00b7 c_comp)</th><th>\u03b1</th><th>c_id</th>"
                     "<th>c_comp</th><th>layer</th></tr></thead><tbody>")
        for row in decisions:
            why = row.reuse or {}
            parts.append(
                f'<tr><td><a href="#r-{e(row.rid)}"><code>{e(row.rid[:8])}</code></a></td>'
                f"<td>{e(str(why.get('decision') or ''))}</td><td>{_number(why.get('overlap_j'))}</td>"
                f"<td>{_number(why.get('threshold'))}</td><td>{_number(why.get('alpha'))}</td>"
                f"<td>{_number(why.get('c_id'))}</td><td>{_number(why.get('c_comp'))}</td>"
                f"<td>{e(str(why.get('layer') or ''))}</td></tr>")
        parts.append("</tbody></table>")
    else:
        parts.append('<p class="meta">No receipt here carries a reuse decision.</p>')
    parts.append("</body></html>\n")
    return "\n".join(parts)
