"""Writes routed DEF: the input DEF as it was, with new wiring for the nets routed.

Only the text of the routed nets changes: any regular wiring they had (`+ ROUTED`, `+ FIXED`,
`+ COVER`, `+ NOSHIELD` statements) is taken out and one `+ ROUTED` statement with the new
wires is put in front of the net's closing `;`. Everything else, comments and layout
included, is copied byte for byte. The output appears whole or not at all.
"""
from __future__ import annotations

import bisect
import os
import re
import tempfile

from .design import Design, Wire
from .errors import FlowInputError
from .read.tokens import Tokens

_WIRING = frozenset({"ROUTED", "FIXED", "COVER", "NOSHIELD"})


def _point(x: int, y: int, ext: int | None) -> str:
    return f"( {x} {y} )" if ext is None else f"( {x} {y} {ext} )"


def _statement(w: Wire) -> str:
    """One wire, via or patch as a routing statement after `+ ROUTED` or `NEW`."""
    if w.width is not None:
        raise ValueError(f"a regular net's wire has no width of its own: {w}")
    if w.via is not None:
        return f"{w.layer} ( {w.x0} {w.y0} ) {w.via}"
    if w.patch:
        return f"{w.layer} ( {w.x0} {w.y0} ) RECT ( 0 0 {w.x1 - w.x0} {w.y1 - w.y0} )"
    if w.x0 != w.x1 and w.y0 != w.y1:
        raise ValueError(f"a wire must be horizontal or vertical: {w}")
    x1 = "*" if w.x1 == w.x0 and w.y1 != w.y0 else w.x1
    y1 = "*" if w.y1 == w.y0 and w.x1 != w.x0 else w.y1
    end = f"( {x1} {y1} )" if w.ext1 is None else f"( {x1} {y1} {w.ext1} )"
    return f"{w.layer} {_point(w.x0, w.y0, w.ext0)} {end}"


def routed_text(wires: list[Wire], newline: str = "\n") -> str:
    """The `+ ROUTED` statement of `wires`, one wire or via to a line."""
    if not wires:
        return ""
    lines = [f"  + ROUTED {_statement(wires[0])}"] + [f"    NEW {_statement(w)}" for w in wires[1:]]
    return newline + newline.join(lines)


class _NetText:
    """Where one net stands in the DEF's tokens."""

    def __init__(self, tokens: Tokens, line_starts: list[int], design: Design, name: str):
        net = design.nets.get(name)
        file = tokens.file
        words, starts = tokens.words, tokens.starts
        if net is None:
            section = next((i for i, w in enumerate(words) if w == "NETS" and (i == 0 or words[i - 1] != "END")), 0)
            raise FlowInputError(file, tokens.line(section), f"NETS {name}", "a routed net that the DEF does not have")
        line_end = line_starts[net.line] if net.line < len(line_starts) else starts[-1] + 1
        i = bisect.bisect_left(starts, line_starts[net.line - 1])
        while i + 1 < len(words) and starts[i] < line_end and not (words[i] == "-" and words[i + 1] == name):
            i += 1
        if i + 1 >= len(words) or starts[i] >= line_end:
            raise FlowInputError(file, net.line, f"NETS {name}",
                                 "the net is not on the line the design gives (was the design read from another DEF?)")
        try:
            self.semicolon = words.index(";", i)
        except ValueError:
            raise FlowInputError(file, net.line, f"NETS {name}", "no ';' closes the net (truncated?)") from None
        self.first = i


def _edits(tokens: Tokens, at: _NetText, new: str) -> list[tuple[int, int, str]]:
    """(start, end, replacement) in the text: old wiring out, `new` in before the ';'."""
    words, starts = tokens.words, tokens.starts

    def end_of(k: int) -> int:
        return starts[k] + len(words[k])

    edits = []
    k = at.first
    last_kept = k
    while k < at.semicolon:
        if words[k] == "+" and words[k + 1] in _WIRING:
            stop = k + 2
            while stop < at.semicolon and words[stop] != "+":
                stop += 1
            edits.append((end_of(k - 1), end_of(stop - 1), ""))     # with the space before it
            k = stop
        else:
            last_kept = k
            k += 1
    if new:
        edits.append((end_of(last_kept), end_of(last_kept), new))
    return edits


def write_routed_def(in_def_path: str, out_path: str, design: Design, wiring: dict[str, list[Wire]]) -> None:
    """Writes `in_def_path` to `out_path` with the wiring of every net in `wiring` replaced by
    the wires given (`design` is that DEF as read: it tells where each net stands). A net the
    DEF does not have raises FlowInputError, a wire DEF cannot state ValueError; either way
    `out_path` is left as it was."""
    text = _read_text(in_def_path)
    tokens = Tokens(text, in_def_path)
    newline = "\r\n" if "\r\n" in text else "\n"
    line_starts = [0] + [m.end() for m in re.finditer("\n", text)]
    edits = []
    for name in sorted(wiring):
        at = _NetText(tokens, line_starts, design, name)
        edits.extend(_edits(tokens, at, routed_text(wiring[name], newline)))
    edits.sort()
    pieces, pos = [], 0
    for start, end, new in edits:
        pieces.append(text[pos:start])
        pieces.append(new)
        pos = end
    pieces.append(text[pos:])
    _write_atomically(out_path, "".join(pieces))


def _read_text(path: str) -> str:
    """The file's text as it is, line ends included (the reader's tokens count in it)."""
    try:
        with open(path, encoding="utf-8", newline="") as f:
            return f.read()
    except UnicodeDecodeError as e:
        raise FlowInputError(path, 1, "file", f"not a text file ({e.reason})") from None
    except OSError as e:
        raise FlowInputError(path, 0, "file", f"cannot be read: {e.strerror}") from None


def _write_atomically(path: str, text: str) -> None:
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".", suffix=".tmp")
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise
