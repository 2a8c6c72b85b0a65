#!/usr/bin/env python3
"""Tiles a placed DEF N x N into one larger design, to measure how the flow grows.

    python -m bench.tile_design --def IN.def [--guide IN.guide] --n 4 --out OUT.def
                                [--out-guide OUT.guide] [--lef FILE ...]

Tile (i, j), column i and row j counted from the lower left, is the input moved by
(i * ox, j * oy): ox and oy are the die's width and height rounded up to a multiple of every
TRACKS, ROW site and GCELLGRID step, so that every copy lies on the grown design's tracks,
rows and gcells.

- Renamed: components, IO pins, nets, VPINs, regions, groups and scan chains get the tile's
  suffix `__t{i}_{j}`, and so does every reference to them (net connections, a pin's NET,
  a blockage's COMPONENT, group members, ...). Special nets stay one net each: one item
  with the connections and the wiring of all tiles (a regular net of the same name too).
- Moved: placements, regular and special wiring, blockages, fills, slots, regions. What is
  relative to a placement (pin ports, VPIN rectangles, wiring's RECT patches) stays.
- Grown: DIEAREA becomes the rectangle around all copies; TRACKS and GCELLGRID count on
  across the tiles; a ROW whose sites span exactly one tile pitch becomes one row across
  its tile row, any other ROW is copied into every tile.
- IO pins: every tile keeps its own copies; those of inner tiles end up inside the die.
- Everything else (VIAS, NONDEFAULTRULES, PROPERTYDEFINITIONS, ...) is written as it is.
  The output is written from the tokens, one output line per input line: comments and
  indentation are not kept.

Items come tile by tile, each tile's in input order (tiles row by row from the lower left);
merged special and regular nets follow the last tile. With `--guide`, the route guides are
tiled alike into `--out-guide`. With `--lef`, the written design is read back with the
flow's reader and its counts, time and peak memory printed.

The input is tokenized once and its sections are written one at a time, tile after tile.
"""
from __future__ import annotations

import argparse
import math
import os
import re
import sys
import time
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Iterator, TextIO

from tovrana_flow.design import Guides, Rect
from tovrana_flow.errors import FlowInputError
from tovrana_flow.read.def_file import _DefReader
from tovrana_flow.read.guide import read_guides
from tovrana_flow.read.tokens import Tokens

# A slot is a token whose text changes from tile to tile: (NAME, name) gets the tile's
# suffix, (X, value) and (Y, value) its offset; (None, text) replaces the token once.
NAME, X, Y = 0, 1, 2
MAX_COORD = 2**31 - 1                       # DEF coordinates are 32-bit integers
PLACEMENTS = frozenset({"PLACED", "FIXED", "COVER"})
TILED = frozenset({"COMPONENTS", "PINS", "NETS", "SPECIALNETS", "BLOCKAGES", "FILLS", "SLOTS",
                   "REGIONS", "GROUPS", "PINPROPERTIES", "SCANCHAINS"})
# Net options that carry geometry: a merged net gets one copy of each per tile.
PER_TILE_OPTIONS = frozenset({"ROUTED", "FIXED", "COVER", "NOSHIELD", "SHIELD", "RECT", "POLYGON", "VIA", "VPIN"})
# `+ SHAPE`, `+ STYLE` and `+ MASK` belong to the wiring or shape before them, not a new option.
INNER_PLUS = frozenset({"SHAPE", "STYLE", "MASK"})
PUNCTUATION = frozenset({";", "(", ")", "+", "-"})
CHUNK = 2000                                # items per format call
_INT = re.compile(r"[+-]?\d+\Z")

# Items of the simpler sections: what the head is, option keywords followed by a name to
# rename, by a net name, and which points move (after a placement keyword, or all of them).
_HEAD_NAME, _HEAD_NONE, _HEAD_PIN, _HEAD_MEMBERS = range(4)
_SIMPLE = {
    "COMPONENTS": (_HEAD_NAME, {"REGION"}, set(), "placement"),
    "PINS": (_HEAD_NAME, {"SUPPLYSENSITIVITY", "GROUNDSENSITIVITY"}, {"NET"}, "placement"),
    "BLOCKAGES": (_HEAD_NONE, {"COMPONENT"}, set(), "all"),
    "FILLS": (_HEAD_NONE, set(), set(), "all"),
    "SLOTS": (_HEAD_NONE, set(), set(), "all"),
    "REGIONS": (_HEAD_NAME, set(), set(), "all"),
    "GROUPS": (_HEAD_MEMBERS, {"REGION"}, set(), "none"),
    "PINPROPERTIES": (_HEAD_PIN, set(), set(), "none"),
}


@dataclass(frozen=True)
class Tile:
    i: int
    j: int
    dx: int
    dy: int

    @property
    def suffix(self) -> str:
        return f"__t{self.i}_{self.j}"


@dataclass
class Tiling:
    """What `tile_design` did: the tile pitch, the grown die, items per section in and out."""
    n: int
    ox: int
    oy: int
    die: Rect
    items_in: dict[str, int] = field(default_factory=dict)
    items_out: dict[str, int] = field(default_factory=dict)
    shared_nets: list[str] = field(default_factory=list)
    guide_boxes: int = 0

    def tiles(self) -> list[Tile]:
        return [Tile(i, j, i * self.ox, j * self.oy) for j in range(self.n) for i in range(self.n)]

    def summary(self) -> str:
        sections = ", ".join(f"{s} {self.items_in[s]} -> {self.items_out[s]}" for s in self.items_out)
        return (f"{self.n} x {self.n} tiles at ({self.ox}, {self.oy}), die ({self.die.x0} {self.die.y0}) "
                f"({self.die.x1} {self.die.y1}); {sections}"
                + (f"; {len(self.shared_nets)} special nets shared" if self.shared_nets else ""))


@dataclass
class _Statement:
    kind: str           # "copy", "DIEAREA", "ROW", "TRACKS", "GCELLGRID" or a tiled section
    start: int          # its first token
    end: int            # past its last token
    record: object = None   # the flow's record of a ROW, TRACKS, GCELLGRID; a section's item spans


@dataclass
class _Survey:
    statements: list[_Statement] = field(default_factory=list)
    die: Rect | None = None
    steps: dict[str, set[int]] = field(default_factory=lambda: {"X": set(), "Y": set()})
    shared: set[str] = field(default_factory=set)


# ---------------------------------------------------------------- reading

def _survey(t: Tokens) -> _Survey:
    """One pass over the top-level statements: their spans, the die, the steps the tile pitch
    must be a multiple of, and the special nets' names (needed before the first net is written)."""
    reader = _DefReader(t, None)        # the flow's own reading of ROW, TRACKS and GCELLGRID
    s = _Survey()
    while True:
        start = t.i
        if t.at_end():
            t.error("DEF", "file ends without END DESIGN (truncated?)")
        word = t.next("DEF")
        if word == "END":
            t.expect("DESIGN", "END DESIGN")
            break
        kind, record = "copy", None
        if word == "DIEAREA":
            kind = word
            points = reader.points(word)
            t.end_statement(word)
            if len(points) < 2:
                t.error(word, "needs at least two corners", start)
            xs, ys = [p[0] for p in points], [p[1] for p in points]
            s.die = Rect(min(xs), min(ys), max(xs), max(ys))
            if s.die.x0 == s.die.x1 or s.die.y0 == s.die.y1:
                t.error(word, "encloses no area", start)
        elif word == "ROW":
            kind = word
            reader.row(start)
            record = row = reader.design.rows[-1]
            if row.num_x > 1:
                s.steps["X"].add(row.step_x)
            if row.num_y > 1:
                s.steps["Y"].add(row.step_y)
        elif word in ("TRACKS", "GCELLGRID"):
            kind = word
            (reader.tracks if word == "TRACKS" else reader.gcell_grid)(start)
            record = (reader.design.tracks if word == "TRACKS" else reader.design.gcell_grid)[-1]
            s.steps[record.axis].add(record.step)
        elif word in TILED:
            kind, record = word, _items(t, word)
            if word == "SPECIALNETS":
                s.shared.update(t.words[a + 1] for a, _ in record)
        elif word == "BEGINEXT":
            t.skip_extension()
        elif word == "PROPERTYDEFINITIONS" or (word[0].isalpha() and t.peek(1) == ";"
                                               and (t.peek() or "").isdigit()):
            t.skip_block(word, word, start)          # a section kept as it is: "NAME count ;"
        elif word[0].isalpha():
            t.skip_statement(word)
        else:
            t.error("DEF", f"expected a DEF statement or section, found {word!r}", start)
        s.statements.append(_Statement(kind, start, t.i, record))
    if s.die is None:
        t.error("DEF", "has no DIEAREA (the tile pitch is the die's size)", t.i - 2)
    return s


def _items(t: Tokens, section: str) -> list[tuple[int, int]]:
    """The spans `- ... ;` of a section's items (its name already read)."""
    t.integer(section, "the item count")
    t.end_statement(section)
    items = []
    while True:
        at = t.i
        word = t.next(section, f"'-' or END {section}")
        if word == "-":
            construct = f"{section} {t.peek()}"
            t.skip_statement(construct)
            for word in ("-", "END"):       # then this item's ';' is missing
                if word in t.words[at + 1:t.i]:
                    t.error(construct, "no ';' before the next item or the section's end",
                            t.words.index(word, at + 1, t.i))
            items.append((at, t.i))
        elif word == "END":
            t.expect(section, f"END {section}")
            return items
        else:
            t.error(section, f"expected '-' or END {section}, found {word!r}", at)


def _pitch(extent: int, steps: set[int]) -> int:
    """`extent` rounded up to a multiple of every positive step."""
    unit = math.lcm(*(s for s in steps if s > 0)) if any(s > 0 for s in steps) else 1
    return -(-extent // unit) * unit


# ---------------------------------------------------------------- writing

class _Tiler:
    def __init__(self, t: Tokens, survey: _Survey, tiling: Tiling, out: TextIO):
        self.t, self.w = t, t.words
        self.survey, self.tiling, self.out = survey, tiling, out
        self.shared = survey.shared
        self.tiles = tiling.tiles()

    def write(self) -> None:
        for st in self.survey.statements:
            if st.kind in TILED:
                self.section(st)
            elif st.kind == "DIEAREA":
                d = self.tiling.die
                self.out.write(f"DIEAREA ( {d.x0} {d.y0} ) ( {d.x1} {d.y1} ) ;\n")
            elif st.kind == "ROW":
                self.row(st)
            elif st.kind in ("TRACKS", "GCELLGRID"):
                self.grid_lines(st)
            else:
                self.out.write(self.text(st.start, st.end, {}) + "\n")
        self.out.write("END DESIGN\n")

    # ------------------------------------------------------------ text

    def template(self, a: int, b: int, slots: dict) -> tuple[str, list]:
        """Tokens a..b as a format string, one line per input line, `{}` at each slot."""
        w, lines = self.w, self.t.lines
        parts, values = [], []
        line = lines[a]
        for k in range(a, b):
            word = w[k]
            if k > a:
                if lines[k] != line:
                    line = lines[k]
                    parts.append("\n" if word in ("-", "END") else "\n  ")
                else:
                    parts.append(" ")
            slot = slots.get(k)
            if slot is not None and slot[0] is not None:
                if slot[0] == NAME and len(word) > 1 and word[0] == word[-1] == '"':
                    parts.append('{}"')             # a quoted name: the suffix goes inside the quotes
                    values.append((NAME, word[:-1]))
                else:
                    parts.append("{}")
                    values.append(slot)
                continue
            if slot is not None:
                word = slot[1]
            parts.append(word.replace("{", "{{").replace("}", "}}") if "{" in word or "}" in word else word)
        return "".join(parts), values

    def text(self, a: int, b: int, slots: dict) -> str:
        """Tokens a..b as written once (slots as in the first tile)."""
        return _render(*self.template(a, b, slots), self.tiles[0])

    # ------------------------------------------------------------ grown statements

    def row(self, st: _Statement) -> None:
        r, s, n = st.record, st.start, self.tiling.n
        name = (NAME, r.name)
        if r.num_y == 1 and r.step_x > 0 and r.num_x * r.step_x == self.tiling.ox:
            slots, tiles = {s + 1: name, s + 4: (Y, r.y), s + 7: (None, str(r.num_x * n))}, self.tiles[::n]
        elif r.num_x == 1 and r.step_y > 0 and r.num_y * r.step_y == self.tiling.oy:
            slots, tiles = {s + 1: name, s + 3: (X, r.x), s + 9: (None, str(r.num_y * n))}, self.tiles[:n]
        else:
            slots, tiles = {s + 1: name, s + 3: (X, r.x), s + 4: (Y, r.y)}, self.tiles
        text, values = self.template(s, st.end, slots)
        self.out.write("".join(_render(text, values, tile) + "\n" for tile in tiles))

    def grid_lines(self, st: _Statement) -> None:
        """TRACKS and GCELLGRID count on over all tiles (the pitch is a multiple of the step)."""
        r, s, n = st.record, st.start, self.tiling.n
        pitch = self.tiling.ox if r.axis == "X" else self.tiling.oy
        if r.step > 0:
            slots = {s + 4: (None, str(r.count + (n - 1) * (pitch // r.step)))}
        elif n > 1:     # one line, repeated in every tile
            slots = {s + 4: (None, str(n)), s + 6: (None, str(pitch))}
        else:
            slots = {}
        self.out.write(self.text(s, st.end, slots) + "\n")

    # ------------------------------------------------------------ sections

    def section(self, st: _Statement) -> None:
        name, w = st.kind, self.w
        per_tile, merged = [], []
        for a, b in st.record:
            if name in ("NETS", "SPECIALNETS"):
                slots, options = self.net_item(name, a, b)
                if name == "SPECIALNETS" or w[a + 1] in self.shared:
                    merged.append((a, b, slots, options))
                    continue
            elif name == "SCANCHAINS":
                slots = self.scan_chain(a, b)
            else:
                slots = self.simple_item(name, a, b)
            per_tile.append(self.template(a, b, slots))
        n_tiles = len(self.tiles)
        self.tiling.items_in[name] = len(st.record)
        self.tiling.items_out[name] = len(per_tile) * n_tiles + len(merged)
        self.out.write(f"{name} {self.tiling.items_out[name]} ;\n")
        chunks = [("\n".join(text for text, _ in per_tile[c:c + CHUNK]) + "\n",
                   [v for _, values in per_tile[c:c + CHUNK] for v in values])
                  for c in range(0, len(per_tile), CHUNK)]
        del per_tile
        for tile in self.tiles:
            for text, values in chunks:
                self.out.write(_render(text, values, tile))
        for item in merged:
            self.out.write(self.merged(*item))
        self.out.write(f"END {name}\n\n")

    def merged(self, a: int, b: int, slots: dict, options: list[int]) -> str:
        """One net for all tiles: what carries a slot or geometry once per tile, the rest once."""
        w = self.w
        spans = []
        k, first_option = a + 2, options[0] if options else b - 1
        while k < first_option:                         # connections, `( ... )` each
            close = w.index(")", k)
            spans.append((k, close + 1, any(j in slots for j in range(k, close + 1))))
            k = close + 1
        for o, end in zip(options, options[1:] + [b - 1]):
            spans.append((o, end, w[o + 1] in PER_TILE_OPTIONS))
        lines = [self.text(a, a + 2, slots)]
        for start, end, per_tile in spans:
            text, values = self.template(start, end, slots)
            lines.extend(_render(text, values, tile) for tile in (self.tiles if per_tile else self.tiles[:1]))
        return "\n  ".join(lines) + " ;\n"

    # ------------------------------------------------------------ slots of one item

    def name(self, k: int, end: int, construct: str) -> int:
        if k >= end or self.w[k] in PUNCTUATION:
            self.t.error(construct, f"expected a name, found {self.w[min(k, end)]!r}", min(k, end))
        return k

    def net_ref(self, k: int, end: int, slots: dict, construct: str) -> None:
        """A net's name: a special net's stays, the others take the tile's suffix."""
        word = self.w[self.name(k, end, construct)]
        if word not in self.shared:
            slots[k] = (NAME, word)

    def point(self, k: int, end: int, slots: dict, construct: str) -> int:
        """`( x y [extension] )` at k, x and y moved (`*` stays); the index past `)`."""
        w = self.w
        if k + 3 < end and w[k] == "(" and w[k + 3] == ")":
            close = k + 3
        elif k + 4 < end and w[k] == "(" and w[k + 4] == ")":
            close = k + 4
        else:
            self.t.error(construct, "expected a point '( x y [extension] )'", min(k, end))
        for j, axis in ((k + 1, X), (k + 2, Y)):
            if w[j] != "*":
                if not _INT.match(w[j]):
                    self.t.error(construct, f"expected an integer coordinate, found {w[j]!r}", j)
                slots[j] = (axis, int(w[j]))
        return close + 1

    def past_group(self, k: int, end: int, construct: str) -> int:
        try:
            return self.w.index(")", k, end) + 1
        except ValueError:
            self.t.error(construct, "'(' without ')'", k)

    def simple_item(self, section: str, a: int, b: int) -> dict:
        head, names, nets, moved = _SIMPLE[section]
        w, slots = self.w, {}
        construct = f"{section} {w[a + 1]}"
        k = a + 1
        if head == _HEAD_PIN:                     # `- comp pin` or `- PIN pin`
            if w[k] != "*":
                j = k + 1 if w[k] == "PIN" else k
                slots[self.name(j, b, construct)] = (NAME, w[j])
            k += 2
        elif head != _HEAD_NONE:
            slots[self.name(k, b, construct)] = (NAME, w[k])
            k += 1
            if head == _HEAD_MEMBERS:             # group members: component names or patterns
                while k < b and w[k] not in ("+", ";"):
                    slots[k] = (NAME, w[k])
                    k += 1
        while k < b:
            word = w[k]
            if word == "+" and k + 1 < b:
                key = w[k + 1]
                if key in names:
                    slots[self.name(k + 2, b, f"{construct} {key}")] = (NAME, w[k + 2])
                elif key in nets:
                    self.net_ref(k + 2, b, slots, f"{construct} {key}")
                elif key in PLACEMENTS and moved == "placement":
                    k = self.point(k + 2, b, slots, f"{construct} {key}")
                    continue
            elif word == "(" and moved == "all":
                k = self.point(k, b, slots, construct)
                continue
            k += 1
        return slots

    def net_item(self, section: str, a: int, b: int) -> tuple[dict, list[int]]:
        """Slots of a net or special net, and where each of its `+` options starts."""
        w, t, slots = self.w, self.t, {}
        construct = f"{section} {w[a + 1]}"
        end = b - 1                                  # its ';'
        if w[a + 1] != "MUSTJOIN":
            self.net_ref(a + 1, end, slots, construct)
        k = a + 2
        while k < end and w[k] == "(":               # ( comp pin [+ SYNTHESIZED] )
            close = self.past_group(k, end, construct) - 1
            if close - k not in (3, 5):
                t.error(construct, "expected a connection '( component pin )'", k)
            comp = w[k + 1]
            if comp == "PIN":
                slots[self.name(k + 2, close, construct)] = (NAME, w[k + 2])
            elif comp != "*":
                slots[self.name(k + 1, close, construct)] = (NAME, comp)
            k = close + 1
        options = []
        while k < end:
            if w[k] != "+" or k + 1 >= end:
                t.error(construct, f"expected '+' or ';', found {w[k]!r}", k)
            options.append(k)
            key, j = w[k + 1], k + 2
            k = j
            while k < end and not (w[k] == "+" and w[k + 1] not in INNER_PLUS):
                k += 1
            oc = f"{construct} {key}"
            if key == "SUBNET":
                t.error(oc, "not supported", j - 1)
            elif key in ("SHIELDNET", "ORIGINAL"):
                self.net_ref(j, k, slots, oc)
            elif key == "VPIN":                       # its rectangle is relative to its placement
                slots[self.name(j, k, oc)] = (NAME, w[j])
                while j < k:
                    if w[j] in PLACEMENTS:
                        j = self.point(j + 1, k, slots, oc)
                    else:
                        j = self.past_group(j, k, oc) if w[j] == "(" else j + 1
            elif key in PER_TILE_OPTIONS:
                if key == "SHIELD":
                    self.net_ref(j, k, slots, oc)
                while j < k:
                    if w[j] != "(":
                        j += 1
                    elif w[j - 1] == "RECT" and j + 5 < k and w[j + 5] == ")":
                        j += 6                        # a wiring patch: ( dx0 dy0 dx1 dy1 ) from its point
                    else:
                        j = self.point(j, k, slots, oc)
        return slots, options

    def scan_chain(self, a: int, b: int) -> dict:
        w = self.w
        construct = f"SCANCHAINS {w[a + 1]}"
        slots = {self.name(a + 1, b, construct): (NAME, w[a + 1])}
        k, key = a + 2, None
        while k < b:
            word = w[k]
            if word == "+" and k + 1 < b:
                key = w[k + 1]
                k += 2
                if key in ("START", "STOP"):         # + START {comp [pin] | PIN pin}
                    j = k + 1 if k < b and w[k] == "PIN" else k
                    slots[self.name(j, b, f"{construct} {key}")] = (NAME, w[j])
                    k, key = j + 1, None
            elif word == "(":                       # ( IN pin ) ( OUT pin ) ( BITS n )
                k = self.past_group(k, b, construct)
            else:
                if key in ("FLOATING", "ORDERED") and word != ";":
                    slots[k] = (NAME, word)
                k += 1
        return slots


def _suffixed(name: str, suffix: str) -> str:
    return name[:-1] + suffix + '"' if len(name) > 1 and name[0] == name[-1] == '"' else name + suffix


def _render(text: str, values: list, tile: Tile) -> str:
    suffix, dx, dy = tile.suffix, tile.dx, tile.dy
    return text.format(*[v + suffix if kind == NAME else str(v + (dx if kind == X else dy))
                         for kind, v in values])


@contextmanager
def _writing(path: str) -> Iterator[TextIO]:
    """A file that appears under `path` only once it is whole."""
    part = path + ".part"
    try:
        f = open(part, "w", encoding="utf-8", newline="\n")
    except OSError as e:                    # name the output, not its temporary file
        raise OSError(e.errno, e.strerror, path) from None
    try:
        with f:
            yield f
        os.replace(part, path)
    except BaseException:
        if os.path.exists(part):
            os.unlink(part)
        raise


# ---------------------------------------------------------------- entry points

def tile_design(def_path: str, n: int, out_path: str, guide_path: str | None = None,
                out_guide_path: str | None = None) -> Tiling:
    """Writes `def_path` tiled `n` x `n` to `out_path` (and the guides, when both guide paths
    are given); returns what was done. Bad input raises `FlowInputError`, a bad `n` `ValueError`."""
    if not isinstance(n, int) or n < 1:
        raise ValueError(f"the tile count n must be a positive integer, found {n!r}")
    if (guide_path is None) != (out_guide_path is None):
        raise ValueError("tiling guides needs both the input and the output guide path")
    t = Tokens.from_file(def_path)
    survey = _survey(t)
    die = survey.die
    ox, oy = _pitch(die.x1 - die.x0, survey.steps["X"]), _pitch(die.y1 - die.y0, survey.steps["Y"])
    grown = Rect(die.x0, die.y0, die.x1 + (n - 1) * ox, die.y1 + (n - 1) * oy)
    if max(abs(grown.x0), abs(grown.y0), grown.x1, grown.y1) > MAX_COORD:
        raise ValueError(f"{n} x {n} tiles of {def_path} reach ({grown.x1}, {grown.y1}), "
                         f"beyond DEF's 32-bit coordinates")
    tiling = Tiling(n, ox, oy, grown, shared_nets=sorted(survey.shared))
    guides = read_guides(guide_path) if guide_path else None      # a bad guide fails before any output
    with _writing(out_path) as out:
        _Tiler(t, survey, tiling, out).write()
    del t, survey
    if guides is not None:
        tiling.guide_boxes = _write_guides(guides, tiling, out_guide_path)
    return tiling


def _write_guides(guides: Guides, tiling: Tiling, out_path: str) -> int:
    shared = set(tiling.shared_nets)
    boxes = [(net, [(b.rect.x0, b.rect.y0, b.rect.x1, b.rect.y1, b.layer) for b in net_boxes])
             for net, net_boxes in guides.items()]
    guides.clear()          # the records are not needed again: free them before writing
    # Guide corners lie on a few grid lines: each one's text is made once per tile, not per box.
    xs = {v for _, rects in boxes for r in rects for v in (r[0], r[2])}
    ys = {v for _, rects in boxes for r in rects for v in (r[1], r[3])}
    with _writing(out_path) as out:
        for tile in tiling.tiles():
            sx, sy = {x: str(x + tile.dx) for x in xs}, {y: str(y + tile.dy) for y in ys}
            out.write("".join(
                f"{net if net in shared else _suffixed(net, tile.suffix)}\n(\n"
                + "".join(f"{sx[x0]} {sy[y0]} {sx[x1]} {sy[y1]} {layer}\n" for x0, y0, x1, y1, layer in rects)
                + ")\n" for net, rects in boxes))
    return sum(len(rects) for _, rects in boxes) * len(tiling.tiles())


def _read_back(lefs: list[str], def_path: str, guide_path: str | None, tiling: Tiling) -> bool:
    """Reads the written design with the flow's reader; prints counts, time and peak memory."""
    from tovrana_flow import api

    from .common import reset_peak, rss_kib
    exact = reset_peak()
    before = rss_kib("VmRSS")
    start = time.perf_counter()
    inputs = api.read(lefs, def_path, guide_path)
    seconds = time.perf_counter() - start
    d = inputs.design
    found = {"COMPONENTS": len(d.components), "PINS": len(d.pins), "NETS": len(d.nets),
             "SPECIALNETS": len(d.special_nets)}
    expected = {s: tiling.items_out.get(s, 0) for s in found}
    peak = rss_kib("VmHWM") / 1024
    print(f"read back: {', '.join(f'{s} {v}' for s, v in found.items())}"
          + (f", guides for {len(inputs.guides)} nets" if inputs.guides is not None else "")
          + f"; {seconds:.2f} s, peak {peak:.0f} MB ({peak - before / 1024:+.0f} MB)"
          + ("" if exact else " (peak since start: this kernel cannot reset it)"))
    if found != expected:
        print(f"read back: expected {expected}", file=sys.stderr)
        return False
    return True


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m bench.tile_design", description=__doc__.split("\n\n")[0])
    ap.add_argument("--def", dest="def_path", required=True, metavar="FILE")
    ap.add_argument("--guide", metavar="FILE")
    ap.add_argument("--n", type=int, required=True, help="tiles along each side")
    ap.add_argument("--out", required=True, metavar="FILE")
    ap.add_argument("--out-guide", metavar="FILE")
    ap.add_argument("--lef", action="append", default=[], metavar="FILE",
                    help="read the written design back with these LEFs and print its counts")
    args = ap.parse_args(argv)
    if args.n < 1:
        ap.error(f"--n must be at least 1, found {args.n}")
    if (args.guide is None) != (args.out_guide is None):
        ap.error("--guide and --out-guide go together")
    start = time.perf_counter()
    try:
        tiling = tile_design(args.def_path, args.n, args.out, args.guide, args.out_guide)
    except (FlowInputError, ValueError) as e:
        print(f"tile_design: {e}", file=sys.stderr)
        return 2
    except OSError as e:                    # the output cannot be written
        print(f"tile_design: {e.filename}: {e.strerror}", file=sys.stderr)
        return 2
    seconds = time.perf_counter() - start
    print(tiling.summary())
    sizes = f"{args.out} {os.path.getsize(args.out) / 1e6:.1f} MB"
    if args.out_guide:
        sizes += f", {args.out_guide} {os.path.getsize(args.out_guide) / 1e6:.1f} MB ({tiling.guide_boxes} boxes)"
    print(f"tiled in {seconds:.2f} s: {sizes}")
    if args.lef and not _read_back(args.lef, args.out, args.out_guide, tiling):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
