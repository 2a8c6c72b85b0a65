"""Initial routing: every net with two or more pins connected with `box_maze`, one after another.

A net is searched inside a corridor of gcells: its route guides when there are any, else
the bounding box of its pins grown by `margin` gcells. A search that fails is repeated in a
corridor grown three times as much, then in the whole grid; a net that still has no path
keeps only its first terminal set and is counted open. With `gg_drc` > 0 each search pays it
on the cells where an earlier net's halo footprint would meet its own; by default (0) the
nets ignore each other and the passes remove the overlaps, which is far faster (an A*
search explores many more states around priced cells).
"""
from __future__ import annotations

from bisect import bisect_left, bisect_right
from dataclasses import dataclass, field

import tovrana

from ..design import Guides
from ..mapping import Cell, GridModel
from .markers import occ_nets
from ..metrics import ModuleClock
from ..progress import progress

Edge = tuple[Cell, Cell]


@dataclass
class InitialOptions:
    margin: int = 1          # gcells added around a net's pins for its corridor
    gg_drc: float = 0.0      # cost of a cell an earlier net occupies (0: overlaps are left to the passes)
    refresh: int = 200       # nets between two rebuilds of the occupancy map


@dataclass
class InitialRouting:
    routes: dict[int, tuple[list[Cell], list[Edge]]]      # net id -> (cells, edges)
    opens: list[int] = field(default_factory=list)        # nets left unconnected
    widened: int = 0                                      # nets that needed a wider corridor


def guide_gcells(model: GridModel, guides: Guides | None, net_name: str) -> set[tuple[int, int]]:
    """The gcells the net's guide boxes touch (grid lines on their border included)."""
    if not guides:
        return set()
    xs, ys, gc = model.gridmap.xs, model.gridmap.ys, model.gc
    out: set[tuple[int, int]] = set()
    for box in guides.get(net_name, ()):
        r = box.rect
        ix0, ix1 = max(bisect_left(xs, r.x0) - 1, 0), min(bisect_right(xs, r.x1), len(xs) - 1)
        iy0, iy1 = max(bisect_left(ys, r.y0) - 1, 0), min(bisect_right(ys, r.y1), len(ys) - 1)
        out.update((gx, gy) for gx in range(ix0 // gc, ix1 // gc + 1) for gy in range(iy0 // gc, iy1 // gc + 1))
    return out


def box_corridor(cells: list[Cell], margin: int, model: GridModel) -> set[tuple[int, int]]:
    gc = model.gc
    gx_n, gy_n = -(-model.nx // gc), -(-model.ny // gc)
    gxs = [c[0] // gc for c in cells]
    gys = [c[1] // gc for c in cells]
    gx0, gx1 = max(0, min(gxs) - margin), min(gx_n - 1, max(gxs) + margin)
    gy0, gy1 = max(0, min(gys) - margin), min(gy_n - 1, max(gys) + margin)
    return {(gx, gy) for gx in range(gx0, gx1 + 1) for gy in range(gy0, gy1 + 1)}


class _NearCells:
    """The cells within `reach` of the routes so far, bucketed by gcell."""

    def __init__(self, model: GridModel, reach: int):
        self.model, self.reach = model, reach
        self.by_gcell: dict[tuple[int, int], set[Cell]] = {}

    def add(self, cells: list[Cell]) -> None:
        gc, nx, ny, r = self.model.gc, self.model.nx, self.model.ny, self.reach
        for x, y, z in cells:
            for dx in range(-r, r + 1):
                for dy in range(-r, r + 1):
                    cx, cy = x + dx, y + dy
                    if 0 <= cx < nx and 0 <= cy < ny:
                        self.by_gcell.setdefault((cx // gc, cy // gc), set()).add((cx, cy, z))

    def inside(self, corridor) -> list[Cell]:
        return [c for g in sorted(corridor) for c in sorted(self.by_gcell.get(g, ()))]


class _Penalties:
    """What a search pays for: the routes of earlier nets.

    Handing the search every earlier net's cells as `route_shape` costs a conversion that
    grows with the routes in the corridor on every call. So the grid's occupancy map holds
    the routes up to the last refresh (`occ_init` every `refresh` nets, searched with
    `use_occ`), and only the nets routed since are handed over, as `fixed` cells priced
    like occupied ones.
    """

    def __init__(self, grid, model: GridModel, refresh: int, clock: ModuleClock):
        self.grid, self.model, self.refresh, self.clock = grid, model, refresh, clock
        self.loaded: dict[int, tuple[list[Cell], list[Edge]]] = {}
        self.recent: dict[int, tuple[list[Cell], list[Edge]]] = {}
        halo = max(model.halos.wire_halo, model.halos.via_halo)
        self.near = _NearCells(model, 2 * halo)

    def add(self, net: int, route) -> None:
        self.recent[net] = route
        self.near.add(route[0])
        if len(self.recent) >= self.refresh:
            self.loaded.update(self.recent)
            self.recent = {}
            self.near = _NearCells(self.model, self.near.reach)
            h = self.model.halos
            with self.clock.timing():
                self.grid.occ_init(occ_nets(self.loaded), h.wire_halo, h.via_halo)

    def recent_cells(self, corridor) -> list[Cell]:
        return self.near.inside(corridor)


def _connect(grid, net: int, termsets: list[list[Cell]], corridor, model: GridModel, recent: list[Cell],
             gg_drc: float, clock: ModuleClock, hard=()):
    """Grows a tree from the first terminal set: each search runs from the whole tree to
    every set not yet reached and stops at the nearest one. None when a set is unreachable."""
    tree = list(termsets[0])
    # only the cells the paths pass through: the module keeps a route's cells and edges
    # together, and a pad cell no edge touches would be a stray piece of the route
    cells, edges = [], []
    left = [ts for ts in termsets[1:] if set(ts).isdisjoint(tree)]
    sorted_corridor = sorted(corridor)
    while left:
        goals = sorted({c for ts in left for c in ts})
        with clock.timing():
            path = grid.box_maze(net, tree, goals, hard, [], [], recent, gg_drc, 0.0, gg_drc, sorted_corridor,
                                 model.gc, True)
        if path is None:
            return None
        edges.extend(zip(path, path[1:]))
        cells.extend(path)
        tree.extend(path)
        on_path = set(path)
        left = [ts for ts in left if on_path.isdisjoint(ts)]
    return sorted(set(cells)) or [tree[0]], edges


def initial_routing(grid: tovrana.Grid, model: GridModel, guides: Guides | None = None,
                    options: InitialOptions | None = None, clock: ModuleClock | None = None) -> InitialRouting:
    """Routes the nets in net-id order on `grid`, whose occupancy map it rebuilds as it goes."""
    opts = options or InitialOptions()
    clock = clock or ModuleClock()
    penalties = _Penalties(grid, model, opts.refresh, clock) if opts.gg_drc else None
    result = InitialRouting(routes={})
    for net in progress(sorted(model.termsets), "initial routing"):
        routed = _route_net(grid, model, net, guides, opts, penalties, clock, result)
        if routed is None:
            result.opens.append(net)
            routed = (sorted(set(model.termsets[net][0])), [])
        result.routes[net] = routed
        if penalties:
            penalties.add(net, routed)
    return result


def _route_net(grid, model: GridModel, net: int, guides: Guides | None, opts: InitialOptions,
               penalties: _Penalties | None, clock: ModuleClock, result: InitialRouting | None = None,
               taken=None):
    """One net in its corridor, then in wider ones; None when no corridor has a path.
    `taken(corridor)`, when given, lists cells the net must not enter there."""
    termsets = model.termsets[net]
    pins = [c for ts in termsets for c in ts]
    corridor = box_corridor(pins, opts.margin, model) | guide_gcells(model, guides, model.net_names[net])
    wider = (lambda: box_corridor(pins, 3 * opts.margin + 2, model),
             lambda: {(gx, gy) for gx in range(-(-model.nx // model.gc)) for gy in range(-(-model.ny // model.gc))})
    for k in range(3):
        area = corridor if k == 0 else wider[k - 1]()
        recent = penalties.recent_cells(area) if penalties and opts.gg_drc else []
        hard = taken(area) if taken else ()
        routed = _connect(grid, net, termsets, area, model, recent, opts.gg_drc, clock, hard)
        if routed is not None:
            if result is not None:
                result.widened += k > 0
            return routed
    return None


def reroute(grid, model: GridModel, net: int, options: InitialOptions, clock: ModuleClock, taken=None):
    """One net searched again from scratch on a loaded grid (priced by its occupancy map)."""
    return _route_net(grid, model, net, None, options, None, clock, taken=taken)
