"""What the command line shows people: text made safe for a terminal, tables with capped
columns, progress bars and colour.

Every text that came from a receipt, a file name or an error passes through `clean` before a
human sees it: control characters (C0, DEL, C1, line and paragraph separators, bidirectional
overrides) are written as escapes, so nothing in a store can move the cursor, recolour the
terminal or forge a line. Columns are capped and cut with an ellipsis. `--json` output does
not come through here: it is exact.

On a terminal, tables and progress bars are drawn by `rich`, in colour unless NO_COLOR is
set; piped, tables are plain aligned text and there is no progress bar and no colour.
"""

from __future__ import annotations

import functools
import os
import re
import sys
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import IO, TYPE_CHECKING, Any, Callable, Iterator, List, Mapping, Optional, Sequence

if TYPE_CHECKING:
    from rich.console import Console

ELLIPSIS = "\u2026"

# Characters that a terminal acts on instead of showing, or that change how the rest of the
# line is drawn.
# Lone surrogates stand for the bytes of a file name that is not UTF-8 (and cannot be printed).
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028\u2029\u202a-\u202e\u2066-\u2069"
                      "\ud800-\udfff]")
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t", "\x1b": "\\e"}


def _escape(match: "re.Match[str]") -> str:
    char = match.group()
    named = _NAMED.get(char)
    if named is not None:
        return named
    code = ord(char)
    if 0xDC80 <= code <= 0xDCFF:
        code -= 0xDC00  # the undecodable byte itself
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def clean(text: object) -> str:
    """`text` with every control character written as a visible escape (\\n, \\e, \\x07 ...),
    and each byte of a file name that is not UTF-8 as \\xNN."""
    value = text if isinstance(text, str) else str(text)
    return _CONTROL.sub(_escape, value)


def cap(text: str, width: int, *, keep_end: bool = False) -> str:
    """`text` cut to `width` characters with an ellipsis, at the end (or, for paths whose
    end says most, at the start)."""
    if len(text) <= width:
        return text
    if width <= 1:
        return ELLIPSIS[:width]
    return ELLIPSIS + text[len(text) - width + 1:] if keep_end else text[: width - 1] + ELLIPSIS


def plural(n: int, noun: str) -> str:
    """"1 receipt", "2 receipts": `n` and the noun in the number it takes."""
    return f"{n} {noun if n == 1 else noun + 's'}"


def one_line(text: str) -> str:
    """An error text as one clean line: line breaks (libpq writes two-line errors) become "; "."""
    parts = [part.strip() for part in re.split(r"[\r\n]+", text) if part.strip()]
    return clean("; ".join(parts))


def is_terminal(stream: IO[str]) -> bool:
    """True when `stream` is a terminal that rich can draw on (without rich installed, every
    output is plain)."""
    try:
        return stream.isatty() and _have_rich()
    except (AttributeError, ValueError):
        return False


@functools.lru_cache(maxsize=None)
def _have_rich() -> bool:
    try:
        import rich  # noqa: F401
    except ImportError:
        return False
    return True


def console(stream: IO[str]) -> "Console":
    """A rich console for a terminal stream: colour unless NO_COLOR (rich reads it), no
    markup or highlighting of the text itself."""
    from rich.console import Console

    return Console(file=stream, highlight=False, markup=False, emoji=False,
                   no_color=bool(os.environ.get("NO_COLOR")) or None)


@dataclass
class Column:
    """A table column: its heading, the widest a cell may be, where to cut, and the colour
    of particular values on a terminal."""

    header: str
    width: int = 40
    keep_end: bool = False
    styles: Mapping[str, str] = field(default_factory=dict)
    justify: str = "left"
    # On a narrow terminal only the columns that may shrink give up width (free text such as
    # workloads and paths); ids, times and hashes stay whole.
    shrink: bool = False


def table(columns: Sequence[Column], rows: Sequence[Sequence[object]], out: Optional[IO[str]] = None) -> None:
    """Rows under their headings: cells cleaned and capped; rich on a terminal (fitted to its
    width), plain text when piped (columns two spaces apart, no trailing blanks)."""
    stream = out if out is not None else sys.stdout
    texts = [[clean(cell) for cell in row] for row in rows]
    widths = [min(column.width, max([len(column.header)] + [len(row[i]) for row in texts]))
              for i, column in enumerate(columns)]
    terminal = is_terminal(stream)
    screen = console(stream) if terminal else None
    if screen is not None:
        widths = fit(widths, columns, screen.width - 3 * (len(columns) - 1))
    cells = [[cap(text, width, keep_end=column.keep_end) for text, width, column in zip(row, widths, columns)]
             for row in texts]
    if screen is not None:
        _rich_table(columns, widths, cells, screen)
        return
    for row in [[c.header for c in columns]] + cells:
        line = "  ".join(cell.rjust(w) if col.justify == "right" else cell.ljust(w)
                         for cell, w, col in zip(row, widths, columns))
        stream.write(line.rstrip() + "\n")


def fit(widths: List[int], columns: Sequence[Column], room: int) -> List[int]:
    """Column widths within `room`: the columns that may shrink give up width, the widest
    first, down to 8 characters each."""
    widths = list(widths)
    shrinkable = [i for i, column in enumerate(columns) if column.shrink]
    while sum(widths) > room:
        widest = max(shrinkable, key=lambda i: widths[i], default=None)
        if widest is None or widths[widest] <= 8:
            break
        widths[widest] -= 1
    return widths


def _rich_table(columns: Sequence[Column], widths: List[int], cells: List[List[str]], screen: "Console") -> None:
    from rich import box
    from rich.table import Table
    from rich.text import Text

    grid = Table(box=box.SIMPLE_HEAD, pad_edge=False, show_edge=False, header_style="bold")
    for column, width in zip(columns, widths):
        grid.add_column(cap(column.header, width), width=width, no_wrap=True, overflow="ellipsis",
                        justify=column.justify)  # type: ignore[arg-type]
    for row in cells:
        grid.add_row(*(Text(cell, style=column.styles.get(cell, "")) for cell, column in zip(row, columns)))
    screen.print(grid)


def status_line(text: str, style: str, out: Optional[IO[str]] = None) -> None:
    """One summary line, coloured on a terminal."""
    stream = out if out is not None else sys.stdout
    if is_terminal(stream):
        from rich.text import Text

        console(stream).print(Text(text, style=style))
    else:
        stream.write(text + "\n")


class Progress:
    """A progress bar on standard error while work runs, only when standard error is a
    terminal; `advance(n)` may be called from any thread. `unit` "bytes" shows sizes and
    speed, anything else counts items; `total` None draws an activity bar."""

    def __init__(self, description: str, total: Optional[int], *, unit: str = "items",
                 stream: Optional[IO[str]] = None, enabled: bool = True) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled and is_terminal(self.stream)
        self.description = description
        self.total = total
        self.unit = unit
        self._progress: Any = None
        self._task: Any = None

    def __enter__(self) -> "Progress":
        if not self.enabled:
            return self
        from rich import progress as rp

        if self.unit == "bytes":
            columns: List[Any] = [rp.TextColumn("{task.description}"), rp.BarColumn(), rp.TaskProgressColumn(),
                                  rp.DownloadColumn(binary_units=True), rp.TransferSpeedColumn(),
                                  rp.TimeRemainingColumn()]
        else:
            columns = [rp.TextColumn("{task.description}"), rp.BarColumn(), rp.MofNCompleteColumn(),
                       rp.TimeElapsedColumn()]
        self._progress = rp.Progress(*columns, console=console(self.stream), transient=True,
                                     refresh_per_second=10)
        self._progress.start()
        self._task = self._progress.add_task(clean(self.description), total=self.total)
        return self

    def advance(self, count: int = 1) -> None:
        if self._progress is not None:
            self._progress.advance(self._task, count)

    def __exit__(self, *exc: object) -> None:
        if self._progress is not None:
            self._progress.stop()
            self._progress = None


@contextmanager
def progress(description: str, total: Optional[int], *, unit: str = "items",
             enabled: bool = True) -> Iterator[Callable[[int], None]]:
    """`with progress("verify", n) as advance: ... advance(1)`."""
    with Progress(description, total, unit=unit, enabled=enabled) as bar:
        yield bar.advance


VERDICT_STYLES = {"valid": "green", "INVALID": "bold red"}
