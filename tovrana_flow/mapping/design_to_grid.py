"""Mapping a read design onto the module's grid.

Every grid cell that matters gets one claim, strongest first:
1. a point inside a signal pin shape is a pad of that pin's net;
2. a point inside a keep-out, or one that guards a keep-out (see `cellcover`), is blocked;
3. a point that guards a signal pin shape it does not lie in is a pad of that net too, so
   that no other net's route crosses the pin.
Two nets claiming the same point at the same strength leave it blocked, and the flow counts
those points. A pin that covers no grid point is reached from its nearest point among those
that guard it, through a short access wire (a stub) that the flow emits with the routes.
"""
from __future__ import annotations

from dataclasses import dataclass, field

from .track_points import bracket_points, clamp_into, covered_points, distance2, guarded_points
from ..design import Design, Guides, Rect, Tech, Wire
from ..errors import FlowInputError, at_least, positive
from ..grid_routes import Cell, Route
from .gridmap import GridMap
from ..placed_shapes import PlacedShapes, keepout_shapes
from .layers import Halos, LayerStack, derived_halos, layer_stack, via_names

BLOCKED = -1


@dataclass
class MappingOptions:
    """Overrides of the derived mapping parameters (None: derive)."""
    gcell: int | None = None          # grid points per gcell side (default 15)
    wire_halo: int | None = None
    via_halo: int | None = None
    prl_halo: int | None = None
    prl_len: int | None = None
    via_cost: float | None = None     # cost of one layer change in track steps (default 4)

    def __post_init__(self):
        at_least("gcell", self.gcell, 1)
        for name in ("wire_halo", "via_halo", "prl_halo", "prl_len"):
            at_least(name, getattr(self, name), 0)
        positive("via_cost", self.via_cost)


DEFAULT_GCELL = 15
DEFAULT_VIA_COST = 4.0


@dataclass
class GridModel:
    """The design on the grid: what the module is built and loaded with."""
    gridmap: GridMap
    nz: int
    blocked: list[tuple[int, int, int]]          # (z, ix, iy)
    pad_owner: list[tuple[int, int, int, int]]   # (z, ix, iy, net id)
    via_blocked: list[tuple[int, int]]
    via_index: list[tuple[int, int, float]]
    net_names: list[str]                          # net id -> DEF name, file order
    termsets: dict[int, list[list[Cell]]]         # nets with two or more pins on the grid
    stubs: dict[int, list[Wire]]                  # access wires of pins that cover no grid point
    vertical: list[bool]
    gc: int
    halos: Halos
    via_cost: float
    supply: list[int] = field(default_factory=list)               # nets never ripped up
    supply_routes: dict[int, Route] = field(default_factory=dict)  # their routes, kept as they are
    left_out_layers: list[str] = field(default_factory=list)
    nearest_pins: int = 0                         # pins reached through a stub
    contested_points: int = 0                     # points two nets' pins both claimed

    @property
    def nx(self) -> int:
        return len(self.gridmap.xs)

    @property
    def ny(self) -> int:
        return len(self.gridmap.ys)

    def grid_args(self) -> tuple:
        return (self.nx, self.ny, self.nz, self.blocked, self.pad_owner, self.via_blocked, self.via_index)

    def obstacles(self) -> list[Cell]:
        return [(ix, iy, z) for z, ix, iy in self.blocked]


class _Claims:
    """Per grid point, the strongest claim so far (level, owner)."""
    PIN, KEEPOUT, GUARD = 3, 2, 1

    def __init__(self):
        self.level: dict[Cell, int] = {}
        self.owner: dict[Cell, int] = {}
        self.contested: set[Cell] = set()

    def claim(self, cell: Cell, level: int, owner: int) -> None:
        old = self.level.get(cell, 0)
        if level > old:
            self.level[cell], self.owner[cell] = level, owner
            self.contested.discard(cell)
        elif level == old and self.owner[cell] != owner and owner != BLOCKED:
            if self.owner[cell] != BLOCKED:
                self.contested.add(cell)
            self.owner[cell] = BLOCKED


@dataclass
class _Pin:
    net: int
    conn: tuple[str, str]
    shapes: list[tuple[int, Rect]]   # (z, rect) on grid layers


def _net_pins(design: Design, placed: PlacedShapes, z_of: dict[str, int]) -> list[_Pin]:
    pins = []
    for net_id, net in enumerate(design.nets.values()):
        for conn in net.pins:
            shapes = [(z_of[s.layer], s.rect) for s in placed.connection(conn) if s.layer in z_of]
            if not shapes:
                raise FlowInputError(design.file, net.line, f"NETS {net.name} ( {conn[0]} {conn[1]} )",
                                     "the pin has no shape on a routing layer of the grid")
            pins.append(_Pin(net_id, conn, shapes))
    return pins


def _cut_layers_between(tech: Tech, layers) -> dict[str, int]:
    """Cut layer name -> the grid layer below it."""
    out = {}
    for z, (lower, upper) in enumerate(zip(layers, layers[1:])):
        for layer in tech.layers:
            if layer.kind == "CUT" and lower.index < layer.index < upper.index:
                out[layer.name] = z
    return out


def map_design(tech: Tech, design: Design, guides: Guides | None = None,
               options: MappingOptions | None = None) -> GridModel:
    """The design on the grid. `guides` do not change the grid (the routing stage uses them
    for its corridors); they are taken so that a replacement mapping may."""
    opts = options or MappingOptions()
    gc = opts.gcell or DEFAULT_GCELL
    dbu = design.dbu_per_micron
    stack = layer_stack(tech, design)
    vias = via_names(tech, stack.layers)
    gridmap = GridMap(stack.xs, stack.ys, [l.name for l in stack.layers], vias, dbu)
    z_of = {layer.name: z for z, layer in enumerate(stack.layers)}

    placed = PlacedShapes(tech, design)
    pins = _net_pins(design, placed, z_of)
    claims, via_blocked = _claim_points(tech, design, stack, pins, placed, z_of)
    termsets, stubs, nearest = _terminal_sets(pins, claims, gridmap, gc)
    blocked, pad_owner = [], []
    for (ix, iy, z), owner in sorted(claims.owner.items(), key=lambda kv: (kv[0][2], kv[0][0], kv[0][1])):
        if owner == BLOCKED:
            blocked.append((z, ix, iy))
        else:
            pad_owner.append((z, ix, iy, owner))

    halos = derived_halos(tech, stack, vias, dbu)
    for name in ("wire_halo", "via_halo", "prl_halo", "prl_len"):
        if getattr(opts, name) is not None:
            setattr(halos, name, getattr(opts, name))
    via_cost = opts.via_cost if opts.via_cost is not None else DEFAULT_VIA_COST
    return GridModel(
        gridmap=gridmap, nz=len(stack.layers), blocked=blocked, pad_owner=pad_owner,
        via_blocked=sorted(via_blocked), via_index=[(z, z + 1, via_cost) for z in range(len(vias))],
        net_names=list(design.nets), termsets=termsets, stubs=stubs,
        vertical=[l.direction == "VERTICAL" for l in stack.layers],
        gc=gc, halos=halos, via_cost=via_cost,
        left_out_layers=stack.left_out, nearest_pins=nearest, contested_points=len(claims.contested))


def _claim_points(tech: Tech, design: Design, stack: LayerStack, pins: list[_Pin], placed: PlacedShapes,
                  z_of: dict[str, int]) -> tuple[_Claims, set[tuple[int, int]]]:
    """Every grid point's claim (see the module's docstring), and the via-blocked columns."""
    xs, ys = stack.xs, stack.ys
    claims = _Claims()
    # layers with coarser tracks: the grid lines off their tracks are closed on that layer
    for z, lines in stack.off_track.items():
        vertical = stack.layers[z].direction == "VERTICAL"
        for k in sorted(lines):
            pts = [(k, iy) for iy in range(len(ys))] if vertical else [(ix, k) for ix in range(len(xs))]
            for ix, iy in pts:
                claims.claim((ix, iy, z), claims.KEEPOUT, BLOCKED)
    for pin in pins:
        for z, rect in pin.shapes:
            for ix, iy in covered_points(xs, ys, rect):
                claims.claim((ix, iy, z), claims.PIN, pin.net)
    cuts = _cut_layers_between(tech, stack.layers)
    via_blocked: set[tuple[int, int]] = set()
    for shape in keepout_shapes(tech, design, placed):
        if shape.layer in z_of:
            for ix, iy in guarded_points(xs, ys, shape.rect):
                claims.claim((ix, iy, z_of[shape.layer]), claims.KEEPOUT, BLOCKED)
        elif shape.layer in cuts:
            via_blocked.update(covered_points(xs, ys, shape.rect))
    for pin in pins:
        for z, rect in pin.shapes:
            for ix, iy in guarded_points(xs, ys, rect):
                claims.claim((ix, iy, z), claims.GUARD, pin.net)
    return claims, via_blocked


def _terminal_sets(pins: list[_Pin], claims: _Claims, gridmap: GridMap, gc: int):
    """Per net with two or more pins its terminal sets, the access wires of pins that cover
    no grid point, and how many pins needed one."""
    xs, ys = gridmap.xs, gridmap.ys
    termsets: dict[int, list[list[Cell]]] = {}
    stubs: dict[int, list[Wire]] = {}
    nearest = 0
    for pin in pins:
        cells = sorted({(ix, iy, z) for z, rect in pin.shapes for ix, iy in covered_points(xs, ys, rect)
                        if claims.owner.get((ix, iy, z)) == pin.net})
        if not cells:
            cell, stub = _access(pin, claims, gridmap)
            cells = [cell]
            stubs.setdefault(pin.net, []).extend(stub)
            nearest += 1
        termsets.setdefault(pin.net, []).append(_one_gcell(cells, gc))
    return {net: sets for net, sets in termsets.items() if len(sets) >= 2}, stubs, nearest


def _one_gcell(cells: list[Cell], gc: int) -> list[Cell]:
    """The pin's cells in the gcell that holds most of them (the lowest such gcell).

    Boxes of rip-up and reroute are made of whole gcells, and a box worker reconnects a
    terminal set through its cells inside the box only: a set across a box border can be
    left unconnected. Kept inside one gcell, a set is wholly in a box or wholly out of it;
    the pin's other cells stay pads of its net.
    """
    groups: dict[tuple[int, int], list[Cell]] = {}
    for c in cells:
        groups.setdefault((c[0] // gc, c[1] // gc), []).append(c)
    return max(sorted(groups.items()), key=lambda kv: len(kv[1]))[1] if len(groups) > 1 else cells


def _access(pin: _Pin, claims: _Claims, gridmap: GridMap) -> tuple[Cell, list[Wire]]:
    """The nearest point the pin's net may use among those around its shapes, claimed for
    the net, and the access wire from it into the shape: first along the point's own row
    (inside the guarded edge), then straight into the shape."""
    xs, ys = gridmap.xs, gridmap.ys
    best = None
    for z, rect in pin.shapes:
        for ix, iy in bracket_points(xs, ys, rect):
            owner = claims.owner.get((ix, iy, z))
            # a free point or the net's own first, a blocked one next, never another net's
            rank = 0 if owner in (None, pin.net) else 1 if owner == BLOCKED else None
            if rank is not None:
                key = (rank, distance2(xs[ix], ys[iy], rect), z, ix, iy)
                if best is None or key < best[0]:
                    best = (key, rect)
    if best is None:   # every point around the pin is another net's: the pin stays open
        z, rect = pin.shapes[0]
        ix, iy = min(bracket_points(xs, ys, rect), key=lambda p: (distance2(xs[p[0]], ys[p[1]], rect), p))
        return (ix, iy, z), []
    (_, _, z, ix, iy), rect = best
    claims.level[(ix, iy, z)], claims.owner[(ix, iy, z)] = claims.PIN, pin.net
    claims.contested.discard((ix, iy, z))
    x, y = xs[ix], ys[iy]
    px, py = clamp_into(x, y, rect)
    layer = gridmap.layers[z]
    stub = []
    if px != x:
        stub.append(Wire(layer, x, y, px, y))
    if py != y:
        stub.append(Wire(layer, px, y, px, py))
    return (ix, iy, z), stub
