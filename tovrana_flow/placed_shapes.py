"""The placed design as shapes: where a macro's pins and obstructions land once its
instance is placed, and which placed shapes no signal route may cross.

DEF places an instance by the lower-left corner of its oriented outline; the eight
orientations are the four rotations (N, W, S, E: 0, 90, 180, 270 degrees counter-clockwise)
and the same after mirroring about the y axis (FN, FW, FS, FE). IO pin shapes are oriented
about the pin's own placement point instead. Everything returned is in database units.
"""
from __future__ import annotations

from collections import defaultdict
from dataclasses import dataclass
from typing import Iterator

from .design import ORIENTATIONS, Component, Design, IOPin, Macro, Rect, Shape, Tech, Wire
from .errors import FlowInputError
from .read.def_file import PLACEMENT_STATUSES

# (x, y) of a point in an outline of width w and height h, after orientation, with the
# oriented outline's lower-left corner at the origin.
_IN_OUTLINE = {
    "N": lambda x, y, w, h: (x, y),
    "S": lambda x, y, w, h: (w - x, h - y),
    "W": lambda x, y, w, h: (h - y, x),
    "E": lambda x, y, w, h: (y, w - x),
    "FN": lambda x, y, w, h: (w - x, y),
    "FS": lambda x, y, w, h: (x, h - y),
    "FW": lambda x, y, w, h: (y, x),
    "FE": lambda x, y, w, h: (h - y, w - x),
}
assert set(_IN_OUTLINE) == set(ORIENTATIONS)


def orient_rect(rect: Rect, w: float, h: float, orient: str, dx: float = 0, dy: float = 0) -> Rect:
    """`rect` inside a w x h outline, oriented, then moved by (dx, dy)."""
    f = _IN_OUTLINE[orient]
    ax, ay = f(rect.x0, rect.y0, w, h)
    bx, by = f(rect.x1, rect.y1, w, h)
    return Rect(min(ax, bx) + dx, min(ay, by) + dy, max(ax, bx) + dx, max(ay, by) + dy)


def _macro_shapes_placed(shapes: list[Shape], macro: Macro, comp: Component, dbu: int) -> list[Shape]:
    w, h = round(macro.width * dbu), round(macro.height * dbu)
    ox, oy = macro.origin
    out = []
    for s in shapes:
        r = s.rect
        local = Rect(round((r.x0 + ox) * dbu), round((r.y0 + oy) * dbu),
                     round((r.x1 + ox) * dbu), round((r.y1 + oy) * dbu))
        out.append(Shape(s.layer, orient_rect(local, w, h, comp.orient, comp.x, comp.y)))
    return out


def component_pin_shapes(tech: Tech, design: Design, comp_name: str, pin_name: str) -> list[Shape]:
    """The port shapes of pin `pin_name` of the placed instance `comp_name`."""
    comp = design.components[comp_name]
    macro = tech.macros[comp.macro]
    return _macro_shapes_placed(macro.pins[pin_name].ports, macro, comp, design.dbu_per_micron)


def component_obstructions(tech: Tech, design: Design, comp_name: str) -> list[Shape]:
    comp = design.components[comp_name]
    macro = tech.macros[comp.macro]
    return _macro_shapes_placed(macro.obstructions, macro, comp, design.dbu_per_micron)


def io_pin_shapes(pin: IOPin) -> list[Shape]:
    """An IO pin's shapes, each port's oriented about its own placement point (0 x 0 outline)."""
    ports = pin.ports or [pin]
    return [Shape(s.layer, orient_rect(s.rect, 0, 0, p.orient, p.x, p.y)) for p in ports for s in p.shapes]


class PlacedShapes:
    """Placed pin and obstruction shapes, oriented once per macro and orientation and then
    only moved to each instance (a design places the same few macros thousands of times)."""

    def __init__(self, tech: Tech, design: Design):
        self.tech, self.design = tech, design
        self.at_origin: dict[tuple[str, str, str | None], list[Shape]] = {}

    def _shapes(self, comp_name: str, pin: str | None) -> list[Shape]:
        comp = self.design.components[comp_name]
        key = (comp.macro, comp.orient, pin)
        if key not in self.at_origin:
            # this instance's shapes moved back to the origin (placement works in whole units)
            placed = (component_pin_shapes(self.tech, self.design, comp_name, pin) if pin is not None
                      else component_obstructions(self.tech, self.design, comp_name))
            self.at_origin[key] = [s.moved(-comp.x, -comp.y) for s in placed]
        return [s.moved(comp.x, comp.y) for s in self.at_origin[key]]

    def pin(self, comp_name: str, pin: str) -> list[Shape]:
        return self._shapes(comp_name, pin)

    def obstructions(self, comp_name: str) -> list[Shape]:
        return self._shapes(comp_name, None)

    def connection(self, conn: tuple[str, str]) -> list[Shape]:
        comp, pin = conn
        if comp == "PIN":
            return io_pin_shapes(self.design.pins[pin])
        return self.pin(comp, pin)


@dataclass
class PlacedPin:
    conn: tuple[str, str]          # (component, pin), or ("PIN", name) for an IO pin
    nets: list[str]                # the nets naming it, regular nets first, in DEF order (none: on no net)
    shapes: list[Shape]            # none when its component is not placed


def placed_pins(tech: Tech, design: Design, placed: PlacedShapes | None = None) -> Iterator[PlacedPin]:
    """Every pin of the design, components in DEF order and their pins in LEF order, then the
    IO pins. A pin's nets are those that name it, a special net's `( * PIN )` included."""
    named: dict[tuple[str, str], list[str]] = defaultdict(list)
    wildcard: dict[str, list[str]] = defaultdict(list)
    for net in list(design.nets.values()) + list(design.special_nets.values()):
        for comp, pin in net.pins:
            (wildcard[pin] if comp == "*" else named[comp, pin]).append(net.name)
    placed = placed or PlacedShapes(tech, design)
    for name, comp in design.components.items():
        if comp.macro not in tech.macros:
            raise FlowInputError(design.file, comp.line, f"COMPONENTS {comp.name}", f"macro {comp.macro} is not in the LEF")
        for pin in tech.macros[comp.macro].pins:
            nets = list(dict.fromkeys(named.get((name, pin), []) + wildcard.get(pin, [])))
            shapes = placed.pin(name, pin) if comp.status in PLACEMENT_STATUSES else []
            yield PlacedPin((name, pin), nets, shapes)
    for name, io in design.pins.items():
        nets = list(dict.fromkeys(named.get(("PIN", name), []) + ([io.net] if io.net else [])))
        yield PlacedPin(("PIN", name), nets, io_pin_shapes(io))


# ---------------------------------------------------------------- keep-outs
# Signal pins belong to their net; everything else the router has to stay away from is a
# keep-out: macro obstructions, routing blockages, pins of instances that no net names (the
# power and ground pins among them), IO pins without a net and special-net wiring.


def _via_shapes(tech: Tech, design: Design, wire: Wire) -> list[Shape]:
    if wire.via in design.vias:   # DEF vias are in database units already
        return [s.moved(wire.x0, wire.y0) for s in design.vias[wire.via].shapes]
    dbu = design.dbu_per_micron
    return [Shape(s.layer, Rect(round(s.rect.x0 * dbu) + wire.x0, round(s.rect.y0 * dbu) + wire.y0,
                                round(s.rect.x1 * dbu) + wire.x0, round(s.rect.y1 * dbu) + wire.y0))
            for s in tech.vias[wire.via].shapes] if wire.via in tech.vias else []


def wire_shapes(tech: Tech, design: Design, wire: Wire) -> list[Shape]:
    """The metal of one piece of wiring: a via's shapes; a `RECT` patch as written; a segment
    grown by half its width (the layer's width where the wiring states none) to the sides and
    beyond each end, unless that end states its own extension. Coordinates may be half units."""
    if wire.via:
        return _via_shapes(tech, design, wire)
    if wire.patch:
        return [Shape(wire.layer, Rect(wire.x0, wire.y0, wire.x1, wire.y1))]
    if wire.width is not None:
        half = wire.width / 2
    else:
        layer = tech.layer(wire.layer)
        half = round((layer.width or 0) * design.dbu_per_micron) / 2 if layer else 0
    return [Shape(wire.layer, Rect(*segment_rect(wire, half)))]


def segment_rect(wire: Wire, half):
    """A segment's metal: grown by `half` to the sides and beyond each end, unless that end
    states its own extension (a single point: a square)."""
    ext0 = half if wire.ext0 is None else wire.ext0
    ext1 = half if wire.ext1 is None else wire.ext1
    if (wire.x0, wire.y0) > (wire.x1, wire.y1):
        ext0, ext1 = ext1, ext0
    x0, y0, x1, y1 = min(wire.x0, wire.x1), min(wire.y0, wire.y1), max(wire.x0, wire.x1), max(wire.y0, wire.y1)
    if y0 == y1 and x0 != x1:          # along x: the extensions lengthen it, the width is across
        return x0 - ext0, y0 - half, x1 + ext1, y1 + half
    if x0 == x1 and y0 != y1:
        return x0 - half, y0 - ext0, x1 + half, y1 + ext1
    grow = max(half, ext0, ext1)
    return x0 - grow, y0 - grow, x1 + grow, y1 + grow


def keepout_shapes(tech: Tech, design: Design, placed: PlacedShapes) -> list[Shape]:
    """Every placed shape no signal route may cross, in a fixed order."""
    used = {conn for net in design.nets.values() for conn in net.pins}
    shapes: list[Shape] = []
    for name, comp in design.components.items():
        shapes.extend(placed.obstructions(name))
        for pin in tech.macros[comp.macro].pins:
            if (name, pin) not in used:
                shapes.extend(placed.pin(name, pin))
    for name, pin in design.pins.items():
        if ("PIN", name) not in used:
            shapes.extend(io_pin_shapes(pin))
    for blockage in design.blockages:
        if blockage.kind == "LAYER" and blockage.layer:
            shapes.extend(Shape(blockage.layer, r) for r in blockage.rects)
    for net in design.special_nets.values():
        for wire in net.wiring:
            shapes.extend(wire_shapes(tech, design, wire))
    return shapes
