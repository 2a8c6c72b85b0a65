"""Mapping a read design onto the module's grid.

The grid's lines are the union of the routing layers' tracks (`tracks`); each layer runs
only on its own tracks, a step costs its real length, a via stands where two layers' tracks
cross. Every grid point is judged against the fixed metal by the LEF's rules (`claims`):
it is free, one net's (inside or beside that net's pin), or nobody's; and a via may or may
not land on it. Each pin gets its terminal set and the wiring that reaches it (`access`).
How close two routes of different nets may come is the module's spacing model, from the
same rules (`rules`).
"""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from ..design import Design, Guides, Rect, Tech
from ..errors import FlowInputError, at_least, positive
from ..grid_routes import Cell, Route, cell_keys
from ..placed_shapes import PlacedShapes, keepout_shapes
from .access import PinAccess, PointUse, Stack, access_wire, from_above, on_grid_points, one_gcell, stack_points
from .claims import FREE, NOBODY, FixedRects, layer_claims
from .gridmap import GridMap
from .layers import Halos, Pads, routing_range, via_names, via_variants
from .rules import LayerRules, Pad, layer_rules, via_pad
from .tracks import layer_tracks, on_lines, union_lines

BLOCKED = NOBODY

DEFAULT_GCELL = 15            # unit pitches per gcell side
DEFAULT_VIA_COST = 4.0        # a layer change, in unit pitches
DEFAULT_WRONG_WAY = 5.0       # a step against a layer's preferred direction costs this many times its length
STACK_POINTS = 3              # at most this many via stacks into a pin below the grid


@dataclass
class MappingOptions:
    """Choices of the mapping (None: the default, see the module's constants)."""
    gcell: int | None = None          # gcell side in unit pitches
    via_cost: float | None = None     # cost of one layer change in unit pitches
    wrong_way: float | None = None    # cost factor of a step against the preferred direction
    bottom_layer: str | None = None   # lowest routing layer routes run on (default: see `layers`)
    top_layer: str | None = None      # highest one (default: the LEF's highest)

    def __post_init__(self):
        at_least("gcell", self.gcell, 1)
        positive("via_cost", self.via_cost)
        at_least("wrong_way", self.wrong_way, 1)


@dataclass
class TrackModel:
    """What `Grid.set_track_model` takes: line coordinates, the cost unit, and per layer
    (vertical, wrong-way factor, columns it runs along, rows it runs along)."""
    xs: list[int]
    ys: list[int]
    unit: int
    layers: list[tuple[bool, float, list[int], list[int]]]


def _module_rows(rows):
    """Rows of an int32 array as the module takes them, the array itself (a tuple per row
    would cost ten times its memory, 2 GB on a design of 50,000 nets); lists as they are."""
    return np.ascontiguousarray(rows, dtype=np.int32) if isinstance(rows, np.ndarray) else rows


@dataclass
class GridModel:
    """The design on the grid: what the module is built and loaded with."""
    gridmap: GridMap
    nz: int
    # (z, ix, iy) and (z, ix, iy, net id): rows of an int32 array from the mapping (a tenth of
    # the memory of a tuple per cell), or lists of tuples; the module takes either
    blocked: np.ndarray | list[tuple[int, int, int]]
    pad_owner: np.ndarray | list[tuple[int, int, int, int]]
    via_blocked: list[tuple[int, int]]
    via_index: list[tuple[int, int, float]]
    net_names: list[str]                          # net id -> DEF name, file order
    termsets: dict[int, list[list[Cell]]]         # nets with two or more pins on the grid
    access: dict[int, list[PinAccess]]            # net id -> how each of its pins is reached
    vertical: list[bool]
    gc: int
    halos: Halos
    via_cost: float
    supply: list[int] = field(default_factory=list)               # nets never ripped up
    supply_routes: dict[int, Route] = field(default_factory=dict)  # their routes, kept as they are
    tracks: TrackModel | None = None              # None: the module's plain grid (unit steps, every move)
    no_via_cells: np.ndarray | list[Cell] = field(default_factory=list)   # a cell list of the module (packed ids)
    spacing: list[tuple[int, int, int, int]] | None = None   # per layer (wire dx, dy, via dx, dy)
    rules: list[LayerRules] = field(default_factory=list)
    fixed: dict[str, FixedRects] = field(default_factory=dict)   # per routing layer name, its fixed metal
    cell_layers: list[str] = field(default_factory=list)     # routing layers below the grid (pins only)
    # per grid via name, it and the LEF's other vias with its cut on its layers (the writer's choice)
    via_variants: dict[str, list[tuple[str, Pads]]] = field(default_factory=dict)
    manufacturing_grid: int = 1                               # database units
    nearest_pins: int = 0                         # pins reached through an access wire
    unreachable_pins: int = 0                     # pins with no point a route may use (left open)
    contested_points: int = 0                     # points two nets' pins both hold

    @property
    def nx(self) -> int:
        return len(self.gridmap.xs)

    @property
    def ny(self) -> int:
        return len(self.gridmap.ys)

    def grid_args(self) -> tuple:
        return (self.nx, self.ny, self.nz, _module_rows(self.blocked), _module_rows(self.pad_owner), self.via_blocked,
                self.via_index)

    def obstacles(self):
        """The blocked cells as a cell list of the module: packed ids for an array of rows."""
        if isinstance(self.blocked, np.ndarray):
            b = np.asarray(self.blocked, dtype=np.int64).reshape(-1, 3)
            return cell_keys(b[:, [1, 2, 0]])
        return [(ix, iy, z) for z, ix, iy in self.blocked]

    def access_used(self, net: int, route) -> list:
        """The access points a route uses: every one its edges touch (a route may reach a
        pin's terminal set at several points, which only the pin joins; a terminal cell in
        the route that no edge touches carries no metal)."""
        cells, edges = route
        held = {c for e in edges for c in e} if edges else set(cells)
        return [p for pin in self.access.get(net, ()) for p in pin.points if p.cell in held]


@dataclass
class _Pin:
    net: int
    conn: tuple[str, str]
    shapes: list[tuple[str, Rect]]      # (layer, rect), any routing layer


def map_design(tech: Tech, design: Design, guides: Guides | None = None,
               options: MappingOptions | None = None) -> GridModel:
    """The design on the grid. `guides` do not change the grid (the routing stage uses them
    for its corridors); they are taken so that a replacement mapping may."""
    opts = options or MappingOptions()
    dbu = design.dbu_per_micron
    routing = tech.routing_layers()
    if not routing:
        raise FlowInputError(tech.files[0] if tech.files else "LEF", 1, "LAYER", "no routing layer in the LEF")
    all_tracks = layer_tracks(tech, design)
    lo, hi = routing_range(tech, design, opts.bottom_layer, opts.top_layer)
    tracks = all_tracks[lo:hi + 1]
    layers = [t.layer for t in tracks]
    stack_vias = via_names(tech, routing[:hi + 1])        # every layer change up to the top
    vias = stack_vias[lo:hi]
    xs_list, ys_list = union_lines(tracks)
    xs, ys = np.array(xs_list, dtype=np.int64), np.array(ys_list, dtype=np.int64)
    rules_all = layer_rules(tech, routing[:hi + 1], stack_vias, dbu)
    rules = rules_all[lo:]
    masks = []
    for z, t in enumerate(tracks):
        x_mask = np.zeros(len(xs), dtype=bool)
        y_mask = np.zeros(len(ys), dtype=bool)
        # a layer runs along its preferred tracks, and against its direction on its other
        # tracks where they are grid lines; but not on the lowest layer, among the pins,
        # where a wire across the tracks ends beside a neighbouring pin
        for mask, coords, preferred in ((x_mask, t.xs, t.vertical), (y_mask, t.ys, not t.vertical)):
            if preferred or z > 0:
                mask[on_lines(coords, xs_list if mask is x_mask else ys_list)] = True
        masks.append((x_mask, y_mask))

    placed = PlacedShapes(tech, design)
    names = {l.name for l in routing[:hi + 1]}
    pins = _net_pins(design, placed, names, routing[hi].name)
    rects = _fixed_rects(tech, design, placed, pins, names)
    z_of = {l.name: z for z, l in enumerate(layers)}
    variants = {v: via_variants(tech, v, dbu) for v in vias}
    # per layer only what the later steps change and read: the claims' arrays are per grid
    # point, and a copy of each would stack on them
    owners, no_via, contested = [], [], 0
    for z, m in enumerate(masks):
        c = layer_claims(xs, ys, m[0], m[1], rules[z], rects.get(layers[z].name, FixedRects.of([])),
                         _landing_pads(variants, vias, z, layers[z].name))
        owners.append(c.owner)
        no_via.append(c.no_via)
        contested += int(np.count_nonzero(c.inside == NOBODY))
        del c
    _cut_keepouts(tech, design, placed, layers, xs, ys, no_via)

    gc = opts.gcell or DEFAULT_GCELL
    unit = all_tracks[1].pitch if len(all_tracks) > 1 else all_tracks[0].pitch
    gc_lines = _gcell_lines(gc * unit, xs, ys)
    cell_layers = [l.name for l in routing[:lo]]
    stacks = {name: _stack(tech, routing, k, lo, stack_vias, all_tracks) for k, name in enumerate(cell_layers)}
    use = PointUse(xs, ys, masks, owners, no_via, [t.vertical for t in tracks],
                   [np.array(t.ys if t.vertical else t.xs, dtype=np.int64) for t in tracks])
    access, nearest, unreachable = _access(pins, use, z_of, stacks, {r.name: r for r in rules_all}, rects,
                                           [l.name for l in layers], gc_lines, rules, vias, variants)
    _claim_around_access_wires(access, xs, ys, masks, rules, [l.name for l in layers], stacks, owners, no_via)
    termsets = {net: [p.cells for p in pa] for net, pa in access.items() if len(pa) >= 2}

    for r in rects.values():
        r.trim()        # kept in the model for the writer, which looks up a few shapes only
    blocked, pad_owner, no_via_cells = _grid_lists(owners, no_via, masks)
    gridmap = GridMap(xs_list, ys_list, [l.name for l in layers], vias, dbu)
    via_cost = opts.via_cost if opts.via_cost is not None else DEFAULT_VIA_COST
    wrong_way = opts.wrong_way if opts.wrong_way is not None else DEFAULT_WRONG_WAY
    track_model = TrackModel(xs_list, ys_list, unit, [
        (t.vertical, wrong_way, [int(i) for i in np.flatnonzero(m[0])], [int(i) for i in np.flatnonzero(m[1])])
        for t, m in zip(tracks, masks)])
    return GridModel(
        gridmap=gridmap, nz=len(layers), blocked=blocked, pad_owner=pad_owner, via_blocked=[],
        via_index=[(z, z + 1, via_cost) for z in range(len(vias))],
        net_names=list(design.nets), termsets=termsets, access=access,
        vertical=[t.vertical for t in tracks], gc=gc_lines, halos=Halos(0, 0, 0, 0), via_cost=via_cost,
        tracks=track_model, no_via_cells=no_via_cells, spacing=[r.spacing_boxes() for r in rules],
        rules=rules, fixed=rects, cell_layers=cell_layers,
        manufacturing_grid=max(1, round((tech.manufacturing_grid or 0) * dbu)),
        nearest_pins=nearest, unreachable_pins=unreachable, contested_points=contested,
        via_variants=variants)


def _gcell_lines(size: int, xs: np.ndarray, ys: np.ndarray) -> int:
    """Grid lines per gcell side for gcells about `size` across (the mean of both axes)."""
    spans = [(a[-1] - a[0]) / (len(a) - 1) for a in (xs, ys) if len(a) > 1]
    mean = sum(spans) / len(spans) if spans else size
    return max(1, round(size / mean))


def _net_pins(design: Design, placed: PlacedShapes, names: set[str], top: str) -> list[_Pin]:
    pins = []
    for net_id, net in enumerate(design.nets.values()):
        for conn in net.pins:
            shapes = [(s.layer, s.rect) for s in placed.connection(conn) if s.layer in names]
            if not shapes:
                raise FlowInputError(design.file, net.line, f"NETS {net.name} ( {conn[0]} {conn[1]} )",
                                     f"the pin has no shape on a routing layer up to the top layer {top}")
            pins.append(_Pin(net_id, conn, shapes))
    return pins


def _fixed_rects(tech: Tech, design: Design, placed: PlacedShapes, pins: list[_Pin],
                 names: set[str]) -> dict[str, FixedRects]:
    """Per routing layer, the fixed metal: the nets' pins, and every keep-out (metal of no net)."""
    out: dict[str, list] = {}
    for pin in pins:
        for layer, r in pin.shapes:
            out.setdefault(layer, []).append((r.x0, r.y0, r.x1, r.y1, pin.net, True))
    for shape in keepout_shapes(tech, design, placed):
        if shape.layer in names:
            r = shape.rect
            out.setdefault(shape.layer, []).append((round(r.x0), round(r.y0), round(r.x1), round(r.y1), NOBODY, False))
    return {layer: FixedRects.of(rs) for layer, rs in out.items()}


def _cut_keepouts(tech: Tech, design: Design, placed: PlacedShapes, layers, xs, ys, no_via) -> None:
    """Obstructions and blockages on a cut layer between two grid layers: no via at the points
    they cover, on either side."""
    below = {}
    for z, (lower, upper) in enumerate(zip(layers, layers[1:])):
        for layer in tech.layers:
            if layer.kind == "CUT" and lower.index < layer.index < upper.index:
                below[layer.name] = z
    for shape in keepout_shapes(tech, design, placed):
        z = below.get(shape.layer)
        if z is None:
            continue
        r = shape.rect
        ix = slice(int(np.searchsorted(xs, r.x0, "left")), int(np.searchsorted(xs, r.x1, "right")))
        iy = slice(int(np.searchsorted(ys, r.y0, "left")), int(np.searchsorted(ys, r.y1, "right")))
        no_via[z][iy, ix] = True
        no_via[z + 1][iy, ix] = True


def _stack(tech: Tech, routing, k: int, lo: int, vias: list[str], tracks) -> Stack:
    """The via stack from routing layer k (below the grid) up to the grid's lowest layer lo."""
    dbu = tech.dbu_per_micron or 1
    names = [l.name for l in routing[k:lo + 1]]
    used = vias[k:lo]
    pads = []
    for j, name in enumerate(names):
        around = [v for v in (used[j - 1] if j > 0 else None, used[j] if j < len(used) else None) if v]
        ps = [via_pad(tech, v, name, dbu) for v in around]
        pads.append(Pad(max(p.hx for p in ps), max(p.hy for p in ps)))
    below = [(t.vertical, frozenset(t.preferred)) for t in tracks[k:lo]]
    return Stack(used, names, pads, below)


def _access(pins: list[_Pin], use: PointUse, z_of, stacks, rules_of, rects, layer_names,
            gc: int, rules: list[LayerRules], grid_vias: list[str],
            variants: dict[str, list[tuple[str, Pads]]]) -> tuple[dict[int, list[PinAccess]], int, int]:
    """Each pin's access points, claimed for its net (they become its pads); how many pins
    needed an access wire, and how many have no point at all (they stay open)."""
    access: dict[int, list[PinAccess]] = {}
    nearest = unreachable = 0
    grid_rules = {r.name: r for r in rules}
    for pin in pins:
        points = []
        for layer, rect in pin.shapes:
            if layer in z_of:
                points += on_grid_points(z_of[layer], rect, pin.net, use)
            elif layer in stacks:
                points += stack_points(rect, pin.net, stacks[layer], use, rules_of, rects)
        if points:
            free = set(use.escaping([p.cell for p in points], pin.net))
            points = [p for p in points if p.cell in free]
        if not points:
            on_grid = [(z_of[layer], rect) for layer, rect in pin.shapes if layer in z_of]
            below = not on_grid
            if below:   # only below the grid: an access wire on the lowest grid layer to the stack
                on_grid = [(0, rect) for layer, rect in pin.shapes]
            # a clean access wire on the pin's layer, else a via from the layer above, else
            # the nearest access wire whatever it crosses
            point = access_wire(on_grid, pin.net, use, layer_names, rules, rects, clear_only=True)
            if point is None and not below:
                point = from_above(on_grid, pin.net, use, layer_names, rules, rects, grid_vias, variants=variants)
            if point is None:
                point = access_wire(on_grid, pin.net, use, layer_names, rules, rects)
            if point is None:
                unreachable += 1
                continue
            if below:
                layer, rect = pin.shapes[0]
                end = point.wires[-1] if point.wires else None
                x, y = (end.x1, end.y1) if end else (int(use.xs[point.cell[0]]), int(use.ys[point.cell[1]]))
                point.wires += stacks[layer].wires(x, y)
            points = [point]
            nearest += 1
            _add_wires(rects, point.wires, grid_rules, pin.net)
        points = sorted({p.cell: p for p in points}.values(), key=lambda p: p.cell)
        points = one_gcell(points, gc)
        if len(points) > STACK_POINTS and all(p.wires for p in points):
            # a few ways into a pin from above do, and each keeps the points around it
            step = (len(points) - 1) / (STACK_POINTS - 1)
            points = [points[round(k * step)] for k in range(STACK_POINTS)]
        for p in points:
            ix, iy, z = p.cell
            if use.owners[z][iy, ix] == FREE:
                use.owners[z][iy, ix] = pin.net
        access.setdefault(pin.net, []).append(PinAccess(pin.net, points))
    return access, nearest, unreachable


def _add_wires(rects: dict[str, FixedRects], wires, grid_rules: dict[str, LayerRules], net: int) -> None:
    """Access wires, and the pads of vias down from a grid layer onto a pin, become fixed
    metal of their net, which later access wires keep clear of. They are no pin: the writer
    stops a route's wire at a pin's edge, but the route must meet an access wire's centre
    line."""
    for w in wires:
        if w.via is None:
            half = grid_rules[w.layer].width // 2
            shapes = [(w.layer, (min(w.x0, w.x1) - half, min(w.y0, w.y1) - half, max(w.x0, w.x1) + half,
                                 max(w.y0, w.y1) + half))]
        elif w.layer in grid_rules:
            shapes = [(layer, grid_rules[layer].pad.around(w.x0, w.y0)) for layer in (w.layer, w.next_layer)]
        else:
            continue
        for layer, r in shapes:
            rects.setdefault(layer, FixedRects.of([])).add(*r, net, False)


def _access_metal(access, rules, layer_names, stacks) -> dict[int, list]:
    """Per grid layer, the metal the access wiring puts there: access wires, the top pad of a
    via stack from below, and the pads of a via down onto a pin beside it (whose leg across to
    the pin is on the layer below), as (x0, y0, x1, y1, net, True)."""
    out: dict[int, list] = {}
    z_of = {name: z for z, name in enumerate(layer_names)}
    # every stack ends with the one via onto the lowest grid layer: one top pad for all
    top = next(iter(stacks.values())).pads[-1] if stacks else None
    for pas in access.values():
        for pa in pas:
            for p in pa.points:
                z = p.cell[2]
                legs_below = {w.layer for w in p.wires if w.via is None and w.layer != layer_names[z]}
                for w in p.wires:
                    if w.via is None and w.layer in z_of:
                        half = rules[z_of[w.layer]].width // 2
                        out.setdefault(z_of[w.layer], []).append((min(w.x0, w.x1) - half, min(w.y0, w.y1) - half,
                                                                  max(w.x0, w.x1) + half, max(w.y0, w.y1) + half,
                                                                  pa.net, True))
                    elif w.via is not None and w.next_layer == layer_names[z]:
                        # a stack's top pad, or the pad of a via down from this layer onto a pin
                        pad = top if w.layer not in layer_names else rules[z].pad
                        if pad is not None:
                            out.setdefault(z, []).append((*pad.around(w.x0, w.y0), pa.net, True))
                        if w.layer in legs_below:
                            below = z_of[w.layer]
                            out.setdefault(below, []).append((*rules[below].pad.around(w.x0, w.y0), pa.net, True))
    return out


def _landing_pads(variants: dict[str, list[tuple[str, Pads]]], vias: list[str], z: int, layer: str) -> list:
    """Per via below and above grid layer z, the distinct pads its variants put on it."""
    return [sorted({pads[layer] for _, pads in variants[v] if layer in pads}) for v in vias[max(z - 1, 0):z + 1]]


def _claim_around_access_wires(access, xs, ys, masks, rules, layer_names, stacks, owners, no_via) -> None:
    """The free points beside an access wire or a via stack's top pad become its net's, as
    beside a pin: the module sees only the grid point the route ends on, not this metal.
    Points some net holds already keep their claims (taking them would shut that net's pin
    in), and so do the points free beside two nets' access metal."""
    metal = _access_metal(access, rules, layer_names, stacks)
    for z, name in enumerate(layer_names):
        wires = metal.get(z, [])
        if not wires:
            continue
        near = layer_claims(xs, ys, masks[z][0], masks[z][1], rules[z], FixedRects.of(wires))
        o = owners[z]
        claim = (o == FREE) & (near.owner >= 0)
        o[claim] = near.owner[claim]
        no_via[z] |= near.no_via & claim


def _grid_lists(owners, no_via, masks):
    """The module's blocked cells (z, ix, iy) and pad cells (z, ix, iy, net) as arrays of
    rows (points on the layer's tracks only: no move reaches the others), and the no-via
    cells as packed ids, layer by layer in row order."""
    blocked, pads, no_via_cells = [], [], []
    for z, (owner, nv, (x_mask, y_mask)) in enumerate(zip(owners, no_via, masks)):
        on = x_mask[None, :] | y_mask[:, None]
        iys, ixs = np.nonzero(on & (owner == NOBODY))
        blocked.append(np.column_stack([np.full(len(ixs), z), ixs, iys]))
        iys, ixs = np.nonzero(on & (owner >= 0))
        pads.append(np.column_stack([np.full(len(ixs), z), ixs, iys, owner[iys, ixs]]))
        iys, ixs = np.nonzero(on & nv & (owner != NOBODY))
        no_via_cells.append(cell_keys(np.column_stack([ixs, iys, np.full(len(ixs), z)]).astype(np.int64)))
    rows = lambda parts, width: np.concatenate(parts).astype(np.int32) if parts else np.zeros((0, width), np.int32)
    return rows(blocked, 3), rows(pads, 4), np.concatenate(no_via_cells) if no_via_cells else np.zeros(0, np.int64)
