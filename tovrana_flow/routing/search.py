"""One net searched on the grid with `box_maze`, in a corridor of gcells that widens on failure.

A net is searched inside its route guides grown by `margin` gcells when it has any, else in
the bounding box of its pins grown by `margin` gcells. A search that fails is repeated in a corridor grown
three times as much, then ten times (not the whole grid: a net that has no path there is
one whose pins cannot be reached, and searching a whole chip for it costs minutes). The initial routing, the repair of split nets
and short removal all search a net this way.
"""
from __future__ import annotations

from bisect import bisect_left, bisect_right
from dataclasses import dataclass
from typing import Callable

from ..design import Guides
from ..errors import at_least
from ..grid_routes import Cell, Route, gcell_count
from ..mapping import GridModel
from ..metrics import ModuleClock

Gcell = tuple[int, int]


@dataclass(frozen=True)
class Greed:
    """How greedily the initial searches of a guided net with many terminal sets go for the
    nearest goal: its A* heuristic is multiplied by `weight` (`box_maze`'s `heuristic_weight`)
    when it has at least `from_sets` terminal sets. Such a net's guides often put a long
    stretch on the pin layers only, where the cheapest path crawls among the pins, and plain
    A* explores every state cheaper than that crawl on every layer: on ispd18_test1 a hundred
    such nets took most of the initial routing. A weighted search finds a path at most
    `weight` times the cheapest; the passes smooth it over. An unguided net searches all
    layers, where the heuristic is close, and stays exact. weight 1: plain A* for every net."""
    weight: float = 1.5
    from_sets: int = 8

    def __post_init__(self):
        at_least("heuristic_weight", self.weight, 1)
        at_least("weighted_sets", self.from_sets, 2)

    def of(self, sets: int) -> float:
        return self.weight if sets >= self.from_sets else 1.0


def guide_gcells(model: GridModel, guides: Guides | None, net_name: str) -> set[Gcell]:
    """The gcells the net's guide boxes touch (grid lines on their border included)."""
    if not guides:
        return set()
    xs, ys, gc = model.gridmap.xs, model.gridmap.ys, model.gc
    out: set[Gcell] = set()
    for box in guides.get(net_name, ()):
        r = box.rect
        ix0, ix1 = max(bisect_left(xs, r.x0) - 1, 0), min(bisect_right(xs, r.x1), len(xs) - 1)
        iy0, iy1 = max(bisect_left(ys, r.y0) - 1, 0), min(bisect_right(ys, r.y1), len(ys) - 1)
        out.update((gx, gy) for gx in range(ix0 // gc, ix1 // gc + 1) for gy in range(iy0 // gc, iy1 // gc + 1))
    return out


def _lifted_layer(model: GridModel) -> int | None:
    """The lowest grid layer above the pin layer (grid layer 0) with its direction."""
    return next((z for z in range(1, model.nz) if model.vertical[z] == model.vertical[0]), None)


def guide_rects(model: GridModel, guides: Guides | None, lift_pin_layer: bool = False) -> list[tuple[int, list]]:
    """Each guided net's guide boxes as grid rectangles (layer, ix0, iy0, ix1, iy1), the grid
    lines inside each box, for `Grid.set_net_guides`. Boxes on layers not in the grid, and
    boxes no line crosses, are left out.

    With `lift_pin_layer`, a box on the lowest grid layer (where the pins are) also admits
    the next layer of the same direction: a run the guides put among the pins then costs no
    more one layer pair up. Searches that must otherwise crawl between the pins, hopping up
    and down, explore many times the states (see the README)."""
    if not guides:
        return []
    xs, ys = model.gridmap.xs, model.gridmap.ys
    z_of = {name: z for z, name in enumerate(model.gridmap.layers)}
    lifted = _lifted_layer(model) if lift_pin_layer else None
    out = []
    for net, name in enumerate(model.net_names):
        if net not in model.termsets:
            continue
        rects = []
        for box in guides.get(name, ()):
            z = z_of.get(box.layer)
            r = box.rect
            ix0, ix1 = bisect_left(xs, r.x0), bisect_right(xs, r.x1) - 1
            iy0, iy1 = bisect_left(ys, r.y0), bisect_right(ys, r.y1) - 1
            if z is not None and ix0 <= ix1 and iy0 <= iy1:
                rects.append((z, ix0, iy0, ix1, iy1))
                if z == 0 and lifted is not None:
                    rects.append((lifted, ix0, iy0, ix1, iy1))
        if rects:
            out.append((net, rects))
    return out


def box_corridor(cells: list[Cell], margin: int, model: GridModel) -> set[Gcell]:
    """The gcells of the cells' bounding box grown by `margin` gcells, clipped to the grid."""
    gc = model.gc
    gxs = [c[0] // gc for c in cells]
    gys = [c[1] // gc for c in cells]
    gx0, gx1 = max(0, min(gxs) - margin), min(gcell_count(model.nx, gc) - 1, max(gxs) + margin)
    gy0, gy1 = max(0, min(gys) - margin), min(gcell_count(model.ny, gc) - 1, max(gys) + margin)
    return {(gx, gy) for gx in range(gx0, gx1 + 1) for gy in range(gy0, gy1 + 1)}


NEAREST_SETS = 4      # a search of a net with many pins aims at this many of the sets left


def _nearest(left: list[list[Cell]], tree: list[Cell], xs, ys) -> list[list[Cell]]:
    """The sets left nearest the tree's bounding box (in database units): the search stops at
    the nearest set anyway, and every goal it aims at costs it time on every step."""
    if len(left) <= NEAREST_SETS:
        return left
    x0, x1 = min(xs[c[0]] for c in tree), max(xs[c[0]] for c in tree)
    y0, y1 = min(ys[c[1]] for c in tree), max(ys[c[1]] for c in tree)

    def gap(ts):
        return min(max(x0 - xs[c[0]], 0, xs[c[0]] - x1) + max(y0 - ys[c[1]], 0, ys[c[1]] - y1) for c in ts)

    return sorted(left, key=lambda ts: (gap(ts), ts))[:NEAREST_SETS]


def connect(grid, net: int, termsets: list[list[Cell]], corridor: set[Gcell], model: GridModel,
            recent: list[Cell], gg_drc: float, clock: ModuleClock, hard=(), weight: float = 1.0) -> Route | None:
    """Grows a tree from the first terminal set: each search runs from the whole tree to
    every set not yet reached and stops at the nearest one. None when a set is unreachable.
    The search pays `gg_drc` where the grid's occupancy holds another net and on `recent`;
    `weight` is its heuristic weight (see `Greed`)."""
    tree = list(termsets[0])
    # only the cells the paths pass through: the module keeps a route's cells and edges
    # together, and a pad cell no edge touches would be a stray piece of the route
    cells, edges = [], []
    left = [ts for ts in termsets[1:] if set(ts).isdisjoint(tree)]
    sorted_corridor = sorted(corridor)
    xs, ys = model.gridmap.xs, model.gridmap.ys
    while left:
        goals = sorted({c for ts in _nearest(left, tree, xs, ys) for c in ts})
        with clock.timing():
            path = grid.box_maze(net=net, starts=tree, goals=goals, hard=hard, route_shape=[], marker_pos=[],
                                 fixed=recent, gg_drc=gg_drc, gg_marker=0.0, gg_fixed=gg_drc,
                                 corridor=sorted_corridor, gc=model.gc, use_occ=True, heuristic_weight=weight)
        if path is None:
            return None
        edges.extend(zip(path, path[1:]))
        cells.extend(path)
        tree.extend(path)
        on_path = set(path)
        left = [ts for ts in left if on_path.isdisjoint(ts)]
    return Route(sorted(set(cells)) or [tree[0]], edges)


def _first_corridor(pins: list[Cell], margin: int, model: GridModel, guided: set[Gcell]) -> set[Gcell]:
    """A guided net's guide gcells grown by `margin`: the search prices wire outside the guides
    above wire inside, and a corridor as large as the pins' bounding box would let it explore
    every cheaper detour there first. An unguided net's pins' bounding box grown by `margin`."""
    if not guided:
        return box_corridor(pins, margin, model)
    ngx, ngy = gcell_count(model.nx, model.gc), gcell_count(model.ny, model.gc)
    return {(x, y) for gx, gy in guided
            for x in range(max(gx - margin, 0), min(gx + margin, ngx - 1) + 1)
            for y in range(max(gy - margin, 0), min(gy + margin, ngy - 1) + 1)}


def route_net(grid, model: GridModel, net: int, margin: int, gg_drc: float, clock: ModuleClock,
              guides: Guides | None = None, recent: Callable[[set[Gcell]], list[Cell]] | None = None,
              taken: Callable[[set[Gcell]], list[Cell]] | None = None,
              greed: Greed | None = None) -> tuple[Route | None, bool]:
    """The net in its corridor, then in wider ones: (route, whether it needed a wider corridor);
    (None, True) when no corridor has a path. `recent(corridor)` lists cells priced like
    occupied ones there, `taken(corridor)` cells the net must not enter; `greed` (default:
    plain A*) how greedily a guided net of many terminal sets searches."""
    termsets = model.termsets[net]
    guided = guide_gcells(model, guides, model.net_names[net])
    weight = greed.of(len(termsets)) if greed and guided else 1.0
    pins = [c for ts in termsets for c in ts]
    corridors = (lambda: _first_corridor(pins, margin, model, guided),
                 lambda: box_corridor(pins, 3 * margin + 2, model),
                 lambda: box_corridor(pins, 10 * margin + 10, model))
    for k, corridor in enumerate(corridors):
        area = corridor()
        routed = connect(grid, net, termsets, area, model, recent(area) if recent else [], gg_drc, clock,
                         taken(area) if taken else (), weight)
        if routed is not None:
            return routed, k > 0
    return None, True


def reroute(grid, model: GridModel, net: int, margin: int, gg_drc: float, clock: ModuleClock,
            taken: Callable[[set[Gcell]], list[Cell]] | None = None, guides: Guides | None = None,
            greed: Greed | None = None) -> Route | None:
    """One net searched again from scratch on a loaded grid (priced by its occupancy map), in
    the corridor of its guides when it has any, as the initial routing searched it: a large
    net searched in its pins' bounding box on every layer held hundreds of MB of search
    state (ispd18_test1: the flow's peak, 518 -> 682 MB, came from one split net)."""
    return route_net(grid, model, net, margin, gg_drc, clock, guides, taken=taken, greed=greed)[0]
