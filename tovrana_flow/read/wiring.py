"""Reads the wiring of DEF nets and special nets into `Wire` records.

A wiring statement is a layer (special wiring: and a width, a `+ SHAPE`, a `+ STYLE`) and
then routing points: `( x y [ext] )` with `*` for "same as the previous point", via names
(placed at the current point, moving the wiring to the via's other routing layer),
`RECT ( dx0 dy0 dx1 dy1 )` patches, `VIRTUAL ( x y )` jumps and `MASK n`; `NEW` starts the
next statement. Each straight piece between two points becomes one `Wire`.
"""
from __future__ import annotations

from typing import Callable

from ..design import ORIENTATIONS, Design, Net, Rect, Shape, Tech, Wire
from .geometry import polygon_rects
from .tokens import Tokens

_POINT_ENDS = frozenset({";", "+", "NEW"})


class WiringReader:
    def __init__(self, tokens: Tokens, design: Design, tech: Tech | None,
                 check_layer: Callable[[str, str, int], None]):
        self.t = tokens
        self.design = design
        self.tech = tech
        self.check_layer = check_layer
        self._via_layers: dict[str, tuple[str, str] | None] = {}

    # ------------------------------------------------------------ vias

    def via_shapes(self, name: str, construct: str, at: int) -> list[Shape]:
        """A via's shapes in database units: from the DEF's VIAS, else from the LEF."""
        via = self.design.vias.get(name)
        if via is not None:
            return via.shapes
        lef_via = self.tech.vias.get(name) if self.tech else None
        if lef_via is None:
            where = "the DEF's VIAS or the LEF" if self.tech else "the DEF's VIAS (no LEF given)"
            self.t.error(construct, f"via {name!r} is not defined in {where}", at)
        dbu = self.design.dbu_per_micron
        return [Shape(s.layer, Rect(*(self.to_dbu(v, dbu, construct, at) for v in
                                      (s.rect.x0, s.rect.y0, s.rect.x1, s.rect.y1))))
                for s in lef_via.shapes]

    def to_dbu(self, microns: float, dbu: int, construct: str, at: int) -> int:
        value = microns * dbu
        rounded = round(value)
        if abs(value - rounded) > 1e-6 * max(1.0, abs(value)):
            self.t.error(construct, f"{microns:g} um is not a whole number of database units ({dbu} per um)", at)
        return rounded

    def via_layers(self, name: str, construct: str, at: int) -> tuple[str, str] | None:
        """The two routing layers a via joins (None when that needs the LEF and there is none)."""
        if name not in self._via_layers:
            shapes = self.via_shapes(name, construct, at)
            if self.tech is None:
                self._via_layers[name] = None
            else:
                kinds = {layer.name: layer.kind for layer in self.tech.layers}
                routing = sorted({s.layer for s in shapes if kinds.get(s.layer) == "ROUTING"},
                                 key=lambda n: self.tech.layer(n).index)
                if len(routing) != 2:
                    self.t.error(construct, f"via {name!r} does not join exactly two routing layers", at)
                self._via_layers[name] = (routing[0], routing[1])
        return self._via_layers[name]

    # ------------------------------------------------------------ wiring

    def read(self, net: Net, special: bool, construct: str) -> None:
        """One `+ ROUTED/FIXED/COVER/NOSHIELD/SHIELD` wiring, with its `NEW` statements."""
        t = self.t
        while True:
            at = t.i
            layer = t.name(construct, "a layer name")
            self.check_layer(layer, construct, at)
            width = shape = None
            if special:
                width = t.integer(construct, "a wire width")
                while t.peek() == "+" and t.peek(1) in ("SHAPE", "STYLE", "MASK"):
                    t.next(construct)
                    option = t.next(construct)
                    value = t.name(f"{construct} + {option}")
                    if option == "SHAPE":
                        shape = value
            else:
                while t.peek() in ("TAPER", "TAPERRULE", "STYLE"):
                    if t.next(construct) != "TAPER":
                        t.name(construct)
            self.points(net.wiring, layer, width, shape, construct)
            if not t.accept("NEW"):
                return

    def points(self, wires: list[Wire], layer: str | None, width: int | None, shape: str | None,
               construct: str) -> None:
        t = self.t
        words, n = t.words, len(t.words)
        x = y = ext = None
        while True:
            word = words[t.i] if t.i < n else None
            if word == "(":
                at = t.i
                px, py, pext = self.point(x, y, construct)
                if x is not None:
                    if px != x and py != y:
                        t.error(construct, f"wire ({x} {y})-({px} {py}) is neither horizontal nor vertical", at)
                    if layer is None:
                        t.error(construct, "a wire after a via whose layers only the LEF can tell; "
                                           "read the DEF with the LEF", at)
                    wires.append(Wire(layer, x, y, px, py, width, None, ext, pext, shape))
                x, y, ext = px, py, pext
            elif word in _POINT_ENDS or word is None:
                if x is None:
                    t.error(construct, "wiring without a point")
                return
            elif word == "MASK":
                t.next(construct)
                t.integer(construct + " MASK")
            elif word == "VIRTUAL":
                t.next(construct)
                x, y, ext = self.point(x, y, construct + " VIRTUAL")
            elif word == "RECT":
                at = t.i
                t.next(construct)
                if x is None:
                    t.error(construct + " RECT", "a patch before the first point", at)
                t.expect("(", construct + " RECT")
                dx0, dy0, dx1, dy1 = (t.integer(construct + " RECT") for _ in range(4))
                t.expect(")", construct + " RECT")
                wires.append(Wire(layer, x + min(dx0, dx1), y + min(dy0, dy1), x + max(dx0, dx1),
                                  y + max(dy0, dy1), width, None, shape=shape, patch=True))
            else:
                at = t.i
                via = t.name(construct, "a point, a via name, NEW, '+' or ';'")
                if x is None:
                    t.error(construct, f"via {via!r} before the first point", at)
                if t.peek() in ORIENTATIONS:
                    if t.next(construct) != "N":
                        t.error(construct, f"rotated via {via!r} {words[t.i - 1]} is not supported", t.i - 1)
                joined = self.via_layers(via, construct, at)
                if joined is None:
                    next_layer = None
                elif layer == joined[0] or layer == joined[1]:
                    next_layer = joined[1] if layer == joined[0] else joined[0]
                else:
                    t.error(construct, f"via {via!r} joins {joined[0]} and {joined[1]}, not {layer}", at)
                if t.i < n and words[t.i] == "DO":
                    wires.extend(Wire(layer, vx, vy, vx, vy, None, via, next_layer=next_layer)
                                 for vx, vy in self.via_array(x, y, construct))
                else:
                    wires.append(Wire(layer, x, y, x, y, None, via, next_layer=next_layer))
                ext = None                 # an extension belongs to the wire that ended at the via
                layer = next_layer

    def via_array(self, x: int, y: int, construct: str) -> list[tuple[int, int]]:
        """The places of an array `DO nx BY ny STEP sx sy` of a via at (x, y) (special wiring)."""
        t = self.t
        t.expect("DO", construct)
        nx = t.integer(construct + " DO")
        t.expect("BY", construct + " DO")
        ny = t.integer(construct + " DO")
        t.expect("STEP", construct + " DO")
        sx, sy = t.integer(construct + " STEP"), t.integer(construct + " STEP")
        return [(x + i * sx, y + j * sy) for j in range(ny) for i in range(nx)]

    def point(self, x: int | None, y: int | None, construct: str) -> tuple[int, int, int | None]:
        """`( x y [ext] )`, `*` repeating the previous point's coordinate."""
        t = self.t
        words, i = t.words, t.i
        if i + 3 < len(words) and words[i + 3] == ")":
            tx, ty, text, t.i = words[i + 1], words[i + 2], None, i + 4
        elif i + 4 < len(words) and words[i + 4] == ")":
            tx, ty, text, t.i = words[i + 1], words[i + 2], words[i + 3], i + 5
        else:
            t.error(construct, "expected a point '( x y [extension] )'", i)
        try:
            px = x if tx == "*" else int(tx)
            py = y if ty == "*" else int(ty)
            ext = None if text is None else int(text)
        except ValueError:
            t.error(construct, f"expected integer coordinates, found '( {' '.join(words[i + 1:t.i - 1])} )'", i)
        if px is None or py is None:
            t.error(construct, "'*' in the first point of a wire", i)
        return px, py, ext

    def read_shape(self, net: Net, option: str, construct: str) -> None:
        """A special net's `+ RECT layer pt pt`, `+ POLYGON layer pts` or `+ VIA name [orient] pts`."""
        t = self.t
        at = t.i
        name = t.name(construct, "a layer name" if option != "VIA" else "a via name")
        if t.accept("+"):
            t.expect("MASK", construct)
            t.integer(construct + " MASK")
        if option == "VIA":
            if t.peek() in ORIENTATIONS and t.next(construct) != "N":
                t.error(construct, f"rotated via {name!r} is not supported", t.i - 1)
            joined = self.via_layers(name, construct, at)
            while t.peek() == "(":
                px, py, _ = self.point(None, None, construct)
                net.wiring.append(Wire(joined[0] if joined else "", px, py, px, py, None, name,
                                       next_layer=joined[1] if joined else None))
            return
        self.check_layer(name, construct, at)
        points = []
        while t.peek() == "(":
            px, py, _ = self.point(None, None, construct)
            points.append((px, py))
        if option == "RECT":
            if len(points) != 2:
                t.error(construct, f"expected two corners, found {len(points)}", at)
            (xa, ya), (xb, yb) = points
            rects = [Rect(min(xa, xb), min(ya, yb), max(xa, xb), max(ya, yb))]
        else:
            try:
                rects = polygon_rects(points)
            except ValueError as e:
                t.error(construct, str(e), at)
        net.wiring.extend(Wire(name, r.x0, r.y0, r.x1, r.y1, None, None, patch=True) for r in rects)
