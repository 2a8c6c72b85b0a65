"""The independent checker: opens and shorts measured on routed DEF, knowing no grid.

It sees a design as read back from DEF. Each wire is its centre line on its layer (special
wiring: its rectangle of the stated width); each via is a point on every routing layer its
definition has shapes on; each pin is its placed port rectangles. Two of these are joined
where they meet on one layer. From that alone it counts

- opens: per net, the pins outside the joined group that holds the most of the net's pins;
- shorts: pairs of wiring elements (wire or via) of two different nets that meet, at least
  one of them regular wiring (special wiring is the input's: among itself it is not judged);
- pin shorts: a regular wiring element meeting a pin of another net, or a pin on no net
  (power, ground, unconnected).
"""
from __future__ import annotations

import time
from collections import Counter, defaultdict
from dataclasses import dataclass, field

import numpy as np

from ..design import Design, Net, Tech, Wire
from ..errors import FlowInputError
from .overlaps import meeting_pairs
from ..packed_rows import PackedRows
from ..placed_shapes import placed_pins
from ..read import read_def

DETAILS_PER_KIND = 10      # how many opens, shorts and pin shorts the report spells out
BUCKET_PITCHES = 4         # bucket size of the overlap search, in the finest routing pitch

WIRE, VIA, SPECIAL, PIN = "wire", "via", "special", "pin"    # element kinds


@dataclass
class CheckReport:
    nets: int = 0                      # regular nets checked
    pins: int = 0                      # their pins (distinct connections)
    wires: int = 0                     # regular wires and vias seen
    vias: int = 0
    opens: int = 0                     # pins not reached, summed over nets
    open_nets: list[str] = field(default_factory=list)
    shorts: int = 0                    # wiring/wiring meetings of two nets
    short_kinds: dict[str, int] = field(default_factory=dict)   # e.g. "wire/wire", "wire/via", "via/special"
    pin_shorts: int = 0                # wiring meeting a pin that is not its net's
    open_details: list[str] = field(default_factory=list)
    short_details: list[str] = field(default_factory=list)
    pin_short_details: list[str] = field(default_factory=list)
    seconds: float = 0.0

    @property
    def clean(self) -> bool:
        return self.opens == 0 and self.shorts == 0 and self.pin_shorts == 0

    def summary(self) -> str:
        kinds = ", ".join(f"{k} {n}" for k, n in sorted(self.short_kinds.items()))
        lines = [
            f"checked {self.nets} nets, {self.pins} pins, {self.wires} wires, {self.vias} vias "
            f"in {self.seconds:.2f} s",
            f"opens: {self.opens} in {len(self.open_nets)} nets",
            f"shorts: {self.shorts}" + (f" ({kinds})" if kinds else ""),
            f"pin shorts: {self.pin_shorts}",
        ]
        details = self.open_details + self.short_details + self.pin_short_details
        return "\n".join(lines + ["  " + d for d in details])


class _UnionFind:
    def __init__(self):
        self.parent: list[int] = []

    def find(self, a: int) -> int:
        parent = self.parent
        root = a
        while parent[root] != root:
            root = parent[root]
        while parent[a] != root:
            parent[a], a = root, parent[a]
        return root

    def union(self, a: int, b: int) -> None:
        ra, rb = self.find(a), self.find(b)
        if ra != rb:
            self.parent[max(ra, rb)] = min(ra, rb)


class _Scene:
    """Every element and, per routing layer, the rectangles standing for them."""

    def __init__(self, tech: Tech, design: Design):
        self.tech, self.design = tech, design
        self.routing = {l.name for l in tech.routing_layers()}
        # Element e is a wire, a via or a pin: kinds[e], the ids of the nets it is on
        # (a pin may be on none), and what it stands for, to name it in a report.
        self.kinds: list[str] = []
        self.nets: list[tuple[int, ...]] = []
        self.origins: list[tuple] = []
        self.uf = _UnionFind()
        self.rects: dict[str, PackedRows] = defaultdict(lambda: PackedRows(5))  # rows x0 y0 x1 y1 element
        self.net_names: list[str] = []
        self.net_ids: dict[str, int] = {}
        self._via_layers: dict[str, list[str] | None] = {}

    def net_id(self, name: str) -> int:
        if name not in self.net_ids:
            self.net_ids[name] = len(self.net_names)
            self.net_names.append(name)
        return self.net_ids[name]

    def element(self, kind: str, nets: tuple[int, ...], origin: tuple) -> int:
        e = len(self.kinds)
        self.kinds.append(kind)
        self.nets.append(nets)
        self.origins.append(origin)
        self.uf.parent.append(e)
        return e

    def label(self, e: int) -> str:
        kind, origin = self.kinds[e], self.origins[e]
        if kind == PIN:
            comp, pin = origin
            on = ", ".join(self.net_names[n] for n in self.nets[e]) or "no net"
            return (f"IO pin {pin}" if comp == "PIN" else f"pin {comp}/{pin}") + f" ({on})"
        net, w = origin
        special = "special " if kind == SPECIAL else ""
        if w.via is not None:
            return f"{special}via {w.via} of {net} at ({w.x0}, {w.y0})"
        return f"{special}{w.layer} wire of {net} ({w.x0}, {w.y0}) - ({w.x1}, {w.y1})"

    def add_rect(self, layer: str, x0, y0, x1, y1, elem: int) -> None:
        self.rects[layer].append((x0, y0, x1, y1, elem))

    # ------------------------------------------------------------ wiring

    def via_layers(self, name: str) -> list[str] | None:
        """The routing layers via `name` has shapes on (None: no such via)."""
        if name not in self._via_layers:
            via = self.design.vias.get(name) or self.tech.vias.get(name)
            self._via_layers[name] = None if via is None else sorted(
                {s.layer for s in via.shapes if s.layer in self.routing})
        return self._via_layers[name]

    def add_wiring(self, net: Net, special: bool) -> None:
        nid = self.net_id(net.name)
        where = f"{'SPECIALNETS' if special else 'NETS'} {net.name}"
        for w in net.wiring:
            if w.via is not None:
                layers = self.via_layers(w.via)
                if not layers:
                    raise FlowInputError(self.design.file, net.line, where,
                                         f"via {w.via} is defined neither in the LEF nor in the DEF"
                                         if layers is None else f"via {w.via} has no routing-layer shape")
                e = self.element(SPECIAL if special else VIA, (nid,), (net.name, w))
                for layer in layers:
                    self.add_rect(layer, w.x0, w.y0, w.x0, w.y0, e)
                continue
            if w.layer not in self.routing:
                raise FlowInputError(self.design.file, net.line, where,
                                     f"wire on {w.layer}, which is not a routing layer of the LEF")
            if w.x0 != w.x1 and w.y0 != w.y1 and not w.patch:
                raise FlowInputError(self.design.file, net.line, where,
                                     f"wire ({w.x0}, {w.y0}) - ({w.x1}, {w.y1}) is neither horizontal nor vertical")
            e = self.element(SPECIAL if special else WIRE, (nid,), (net.name, w))
            self.add_rect(w.layer, *_wire_rect(w), e)

    # ------------------------------------------------------------ pins

    def add_pins(self, regular: list[Net]) -> list[list[int]]:
        """Every placed pin of the design as an element; returns each regular net's pins."""
        pin_element: dict[tuple[str, str], int] = {}
        for pin in placed_pins(self.tech, self.design):
            e = self.element(PIN, tuple(self.net_id(n) for n in pin.nets), pin.conn)
            pin_element[pin.conn] = e
            for s in pin.shapes:
                if s.layer in self.routing:
                    self.add_rect(s.layer, s.rect.x0, s.rect.y0, s.rect.x1, s.rect.y1, e)

        net_pins = []
        for net in regular:
            elems = []
            for conn in dict.fromkeys(net.pins):
                if conn not in pin_element:
                    raise FlowInputError(self.design.file, net.line, f"NETS {net.name}",
                                         f"connection ( {conn[0]} {conn[1]} ) names no placed pin")
                elems.append(pin_element[conn])
            net_pins.append(elems)
        return net_pins


def _wire_rect(w: Wire) -> tuple[int, int, int, int]:
    """The rectangle a wire stands for: a patch is its own rectangle, special wiring is as
    wide as stated with flush ends, regular wiring is its centre line."""
    x0, x1 = (w.x0, w.x1) if w.x0 <= w.x1 else (w.x1, w.x0)
    y0, y1 = (w.y0, w.y1) if w.y0 <= w.y1 else (w.y1, w.y0)
    if w.width and not w.patch:
        lo, hi = w.width // 2, (w.width + 1) // 2
        if y0 == y1:
            y0, y1 = y0 - lo, y1 + hi
        if x0 == x1:
            x0, x1 = x0 - lo, x1 + hi
    return x0, y0, x1, y1


def bucket_size(tech: Tech, design: Design) -> int:
    pitches = [l.pitch for l in tech.routing_layers() if l.pitch]
    if pitches and design.dbu_per_micron:
        return max(1, round(min(pitches) * design.dbu_per_micron * BUCKET_PITCHES))
    if design.die:
        return max(1, int(max(design.die.x1 - design.die.x0, design.die.y1 - design.die.y0) // 512))
    return 1000


def check_file(tech: Tech, def_path: str) -> CheckReport:
    """Reads a routed DEF with the LEF `tech` and checks it."""
    return check_def(tech, read_def(def_path, tech))


def check_def(tech: Tech, design: Design) -> CheckReport:
    """Opens and shorts of `design` (as read back from a routed DEF) with the LEF `tech`."""
    started = time.perf_counter()
    scene = _Scene(tech, design)
    regular = list(design.nets.values())
    for net in regular:
        scene.net_id(net.name)
    for net in regular:
        scene.add_wiring(net, special=False)
    for net in design.special_nets.values():
        scene.add_wiring(net, special=True)
    net_pins = scene.add_pins(regular)

    report = CheckReport(nets=len(regular), pins=sum(len(p) for p in net_pins))
    report.wires, report.vias = scene.kinds.count(WIRE), scene.kinds.count(VIA)
    shorts, pin_shorts = _join_and_find_shorts(scene, bucket_size(tech, design))
    _count_opens(report, scene, regular, net_pins)
    report.shorts, report.pin_shorts = len(shorts), len(pin_shorts)
    for (a, b), (layer, x, y) in shorts.items():
        kind = "/".join(sorted((scene.kinds[a], scene.kinds[b]), key=(WIRE, VIA, SPECIAL).index))
        report.short_kinds[kind] = report.short_kinds.get(kind, 0) + 1
        if len(report.short_details) < DETAILS_PER_KIND:
            report.short_details.append(f"short on {layer} at ({x}, {y}): {scene.label(a)} meets {scene.label(b)}")
    for (w, p), (layer, x, y) in list(pin_shorts.items())[:DETAILS_PER_KIND]:
        report.pin_short_details.append(f"pin short on {layer} at ({x}, {y}): {scene.label(w)} "
                                        f"meets {scene.label(p)}")
    report.seconds = time.perf_counter() - started
    return report


Meetings = dict[tuple[int, int], tuple[str, int, int]]   # element pair -> first (layer, x, y) found


def _join_and_find_shorts(scene: _Scene, cell: int) -> tuple[Meetings, Meetings]:
    """Joins the elements of one net that meet; returns the meetings of wiring with wiring
    of another net (shorts) and of wiring with a pin not on its net (pin shorts)."""
    kinds, nets, uf = scene.kinds, scene.nets, scene.uf
    shorts: Meetings = {}
    pin_shorts: Meetings = {}
    for layer in sorted(scene.rects):
        table = scene.rects[layer].array()
        owner = table[:, 4]
        passive = np.array([kinds[e] == PIN for e in owner.tolist()], dtype=bool)
        pairs = meeting_pairs(table[:, 0], table[:, 1], table[:, 2], table[:, 3], passive, cell)
        for a, b, x, y in zip(owner[pairs.a].tolist(), owner[pairs.b].tolist(),
                              pairs.x.tolist(), pairs.y.tolist()):
            if a == b:
                continue
            if kinds[a] == PIN or (kinds[a] == SPECIAL and kinds[b] != PIN):
                a, b = b, a            # a: wiring, regular when either is; b: anything
            if nets[a][0] in nets[b]:
                uf.union(a, b)
            elif kinds[a] == SPECIAL:
                continue               # special wiring with a pin or other special wiring
            elif kinds[b] == PIN:
                pin_shorts.setdefault((a, b), (layer, x, y))
            else:
                shorts.setdefault((min(a, b), max(a, b)), (layer, x, y))
    return shorts, pin_shorts


def _count_opens(report: CheckReport, scene: _Scene, regular: list[Net], net_pins: list[list[int]]) -> None:
    for net, pins in zip(regular, net_pins):
        if len(pins) < 2:
            continue
        groups = Counter(scene.uf.find(p) for p in pins)
        missing = len(pins) - max(groups.values())
        if missing:
            report.opens += missing
            report.open_nets.append(net.name)
            if len(report.open_details) < DETAILS_PER_KIND:
                report.open_details.append(f"open: net {net.name}: its {len(pins)} pins fall in "
                                           f"{len(groups)} unconnected groups")
