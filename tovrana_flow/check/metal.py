"""A routed design as the design-rule check sees it: per routing and cut layer, every
rectangle of metal (or cut) with its owner.

Owners are nets by name (a regular and a special net of one name are one owner) and `NO_NET`
for metal on no net: pins no net names, macro obstructions, routing blockages. Regular wiring
is `routed` (the router's work, judged); everything else is fixed (the input's, judged only
where routed wiring meets it). A regular wire of width w (the layer's WIDTH) reaches w/2 beyond
each end unless the DEF states an extension; special wiring is as wide as it says; a via is its
definition's rectangles (the DEF's VIAS first, else the LEF's); a `RECT` patch is itself.

Coordinates are in half database units (`SCALE`), so that half a width or an end extension is
a whole number and a rule's half distance (a width opened by sizing) is one too.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from ..design import Design, Shape, Tech, Wire
from ..errors import FlowInputError
from ..packed_rows import PackedRows
from ..placed_shapes import PlacedShapes, placed_pins, wire_shapes
from ..read.def_file import PLACEMENT_STATUSES

SCALE = 2
LIMIT = 2 ** 30      # coordinates (half units) KLayout's 32-bit geometry holds with room for sizing
NO_NET = 0
NO_NET_NAME = "(no net)"


@dataclass
class LayerShapes:
    """The rectangles of one layer, in half database units."""
    name: str
    kind: str                      # "ROUTING" or "CUT"
    x0: np.ndarray
    y0: np.ndarray
    x1: np.ndarray
    y1: np.ndarray
    owner: np.ndarray              # owner id (index into `Metal.owners`)
    routed: np.ndarray             # bool: regular wiring
    item: np.ndarray               # index into `Metal.items` (routed), -1 for fixed shapes
    group: np.ndarray              # cuts of one via share a group; every other rectangle has its own

    def __len__(self) -> int:
        return len(self.x0)


class Metal:
    """Every rectangle of a design's routing and cut layers, with its owner."""

    def __init__(self, tech: Tech, design: Design):
        self.tech, self.design = tech, design
        self.kinds = {l.name: l.kind for l in tech.layers if l.kind in ("ROUTING", "CUT")}
        self.owners: list[str] = [NO_NET_NAME]
        self.owner_ids: dict[str, int] = {}
        self.regular: set[int] = set()              # owners that are regular nets
        self.items: list[tuple[str, Wire]] = []     # routed wiring: (net, wire)
        self._rows: dict[str, PackedRows] = {name: PackedRows(8) for name in self.kinds}
        self._groups = 0
        for net in design.nets.values():
            self.regular.add(self.owner(net.name))
        self._add_wiring()
        self._add_fixed()
        self.layers: dict[str, LayerShapes] = {name: self._table(name) for name in self.kinds}
        del self._rows

    def owner(self, name: str) -> int:
        if name not in self.owner_ids:
            self.owner_ids[name] = len(self.owners)
            self.owners.append(name)
        return self.owner_ids[name]

    def _add(self, shapes: list[Shape], owner: int, routed: bool, item: int) -> None:
        group = self._groups            # one group for the cuts of this via (or this shape)
        for s in shapes:
            rows = self._rows.get(s.layer)
            if rows is None:
                continue                 # a masterslice or other layer: not judged
            r = s.rect
            rows.append((round(r.x0 * SCALE), round(r.y0 * SCALE), round(r.x1 * SCALE), round(r.y1 * SCALE),
                         owner, routed, item, group))
        self._groups += 1

    def _add_wiring(self) -> None:
        tech, design = self.tech, self.design
        for special, nets in ((False, design.nets), (True, design.special_nets)):
            section = "SPECIALNETS" if special else "NETS"
            for net in nets.values():
                owner = self.owner(net.name)
                for w in net.wiring:
                    if w.via is None and self.kinds.get(w.layer) != "ROUTING":
                        raise FlowInputError(design.file, net.line, f"{section} {net.name}",
                                             f"wire on {w.layer}, which is not a routing layer of the LEF")
                    shapes = wire_shapes(tech, design, w)
                    if w.via is not None and not shapes:
                        raise FlowInputError(design.file, net.line, f"{section} {net.name}",
                                             f"via {w.via} is defined neither in the LEF nor in the DEF")
                    if special:
                        self._add(shapes, owner, False, -1)
                    else:
                        self._add(shapes, owner, True, len(self.items))
                        self.items.append((net.name, w))

    def _add_fixed(self) -> None:
        tech, design = self.tech, self.design
        placed = PlacedShapes(tech, design)
        for pin in placed_pins(tech, design, placed):
            owner = self.owner(pin.nets[0]) if pin.nets else NO_NET
            for s in pin.shapes:        # each rectangle its own group: a pin's cuts are no via
                self._add([s], owner, False, -1)
        for name, comp in design.components.items():
            if comp.status in PLACEMENT_STATUSES:
                for s in placed.obstructions(name):
                    self._add([s], NO_NET, False, -1)
        for blockage in design.blockages:
            if blockage.kind == "LAYER" and blockage.layer:
                for r in blockage.rects:
                    self._add([Shape(blockage.layer, r)], NO_NET, False, -1)

    def _table(self, name: str) -> LayerShapes:
        a = self._rows[name].array()
        if len(a) and np.abs(a[:, :4]).max() > LIMIT:
            raise FlowInputError(self.design.file, 0, f"layer {name}", f"a shape reaches beyond +-{LIMIT // SCALE} "
                                 "database units, more than the design-rule check measures")
        return LayerShapes(name, self.kinds[name], a[:, 0], a[:, 1], a[:, 2], a[:, 3], a[:, 4],
                           a[:, 5].astype(bool), a[:, 6], a[:, 7])

    def net_pair(self, a: int, b: int) -> tuple[str, ...]:
        """The names of two owners, in a fixed order (one name when they are one owner)."""
        return tuple(self.owners[o] for o in sorted({a, b}))
