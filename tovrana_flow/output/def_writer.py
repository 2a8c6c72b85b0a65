"""Writes routed DEF: the input DEF as it was, with new wiring for the nets routed.

Only the text of the routed nets changes: any regular wiring they had (`+ ROUTED`, `+ FIXED`,
`+ COVER`, `+ NOSHIELD` statements) is taken out and one `+ ROUTED` statement with the new
wires is put in front of the net's closing `;`. Everything else, comments and layout
included, is copied byte for byte. The output appears whole or not at all.
"""
from __future__ import annotations

import os
import re
import tempfile

from ..design import Design, Wire
from ..errors import FlowInputError
from ..read.tokens import TOKEN as DEF_TOKEN      # the reader's words, so both split alike

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


def _net_tokens(file: str, text: str, line_starts: list[int], design: Design, name: str) -> list[tuple[int, int, str]]:
    """(start, end, word) of the net's statement in `text` (of `file`), from its `-` to its `;`."""
    net = design.nets.get(name)
    if net is None:
        section = re.search(r"(?m)^[ \t]*NETS\s", text)
        line = text.count("\n", 0, section.start()) + 1 if section else 0
        raise FlowInputError(file, line, f"NETS {name}", "a routed net that the DEF does not have")
    lines = len(line_starts)
    if not 1 <= net.line <= net.end_line <= lines:
        raise FlowInputError(file, net.line, f"NETS {name}", f"the DEF has {lines} lines, not the net's {net.line}-{net.end_line}")
    lo = line_starts[net.line - 1]
    first_line_end = line_starts[net.line] if net.line < lines else len(text)
    hi = line_starts[net.end_line] if net.end_line < lines else len(text)
    tokens = [(m.start(), m.end(), m.group()) for m in DEF_TOKEN.finditer(text, lo, hi) if m.group()[0] != "#"]
    words = [w for _, _, w in tokens]
    for k in range(len(words) - 1):
        if tokens[k][0] >= first_line_end:
            break
        if words[k] == "-" and words[k + 1] == name and ";" in words[k:]:
            return tokens[k:words.index(";", k) + 1]
    raise FlowInputError(file, net.line, f"NETS {name}",
                         "the net is not on the lines the design gives (was the design read from another DEF?)")


def _edits(tokens: list[tuple[int, int, str]], new: str) -> list[tuple[int, int, str]]:
    """(start, end, replacement): the net's old wiring out, `new` in before its `;`."""
    edits = []
    k, last_kept = 0, 0
    while k < len(tokens) - 1:
        if tokens[k][2] == "+" and tokens[k + 1][2] in _WIRING:
            stop = k + 2
            while tokens[stop][2] not in ("+", ";"):
                stop += 1
            edits.append((tokens[k - 1][1], tokens[stop - 1][1], ""))     # with the space before it
            k = stop
        else:
            last_kept = k
            k += 1
    if new:
        edits.append((tokens[last_kept][1], tokens[last_kept][1], new))
    return edits


def write_routed_def(in_def_path: str, out_path: str, design: Design, wiring: dict[str, list[Wire]]) -> None:
    """Writes `in_def_path` to `out_path` with the wiring of every net in `wiring` replaced by
    the wires given (`design` is that DEF as read: it tells where each net stands). A net the
    DEF does not have raises FlowInputError, a wire DEF cannot state ValueError; either way
    `out_path` is left as it was."""
    text = _read_text(in_def_path)
    newline = "\r\n" if "\r\n" in text else "\n"
    line_starts = [0] + [m.end() for m in re.finditer("\n", text)]
    edits = []
    for name in sorted(wiring):
        tokens = _net_tokens(in_def_path, text, line_starts, design, name)
        edits.extend(_edits(tokens, routed_text(wiring[name], newline)))
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


def _new_file_mode(path: str) -> int:
    """The mode the output would have if written in place (a temporary file starts at 0600)."""
    try:
        return os.stat(path).st_mode & 0o777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def _write_atomically(path: str, text: str) -> None:
    """Writes a temporary file beside `path`, then renames it: `path` is never half written."""
    folder = os.path.dirname(os.path.abspath(path))
    mode = _new_file_mode(path)
    try:
        fd, tmp = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".", suffix=".tmp")
    except OSError as e:       # name the output, not the temporary file
        raise OSError(e.errno, e.strerror, path) from None
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as f:
            os.fchmod(f.fileno(), mode)
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise
