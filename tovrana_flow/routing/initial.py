"""Initial routing: every net with two or more pins connected with `box_maze`.

Each net is searched in its corridor (see `search`) on the route book's grid and entered in
the book; a net that still has no path keeps only its first terminal set and is counted open. With `gg_drc` > 0 each search pays it on
the cells where an earlier net's halo footprint would meet its own, so the nets go one after
another; by default (0) the nets ignore each other and the passes remove the overlaps, which
is far faster (an A* search explores many more states around priced cells). Nets that ignore
each other are searched on several threads (`box_maze` lets go of the interpreter lock while
it searches) and entered in net order once all are found: the routes are those of one thread.
"""
from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

from ..design import Guides
from ..errors import at_least
from ..grid_routes import Cell, Route
from ..mapping import GridModel
from ..packed_routes import pack
from ..progress import progress
from .route_book import RouteBook
from .search import Greed, route_net


@dataclass
class InitialOptions:
    margin: int = 1          # gcells added around a net's pins for its corridor
    gg_drc: float = 0.0      # cost of a cell an earlier net occupies (0: overlaps are left to the passes)
    refresh: int = 200       # nets between two rebuilds of the occupancy map
    greed: Greed = field(default_factory=Greed)   # guided nets of many terminal sets search greedily

    def __post_init__(self):
        at_least("margin", self.margin, 0)
        at_least("gg_drc", self.gg_drc, 0)
        at_least("refresh", self.refresh, 1)


@dataclass
class InitialRouting:
    opens: list[int] = field(default_factory=list)        # nets left unconnected
    widened: int = 0                                      # nets that needed a wider corridor


class NearCells:
    """The cells within `reach` of the routes so far, bucketed by gcell."""

    def __init__(self, model: GridModel, reach: int):
        self.model, self.reach = model, reach
        self.by_gcell: dict[tuple[int, int], set[Cell]] = {}

    def add(self, cells: list[Cell]) -> None:
        gc, nx, ny, r = self.model.gc, self.model.nx, self.model.ny, self.reach
        if r == 0:      # the route's own cell tuples, not copies: a refined design holds a million
            for c in cells:
                self.by_gcell.setdefault((c[0] // gc, c[1] // gc), set()).add(c)
            return
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
    the routes up to the last refresh (rebuilt every `refresh` nets, searched with
    `use_occ`), and only the nets routed since are handed over, as `fixed` cells priced
    like occupied ones.
    """

    def __init__(self, book: RouteBook, refresh: int):
        self.book, self.refresh = book, refresh
        self.recent = 0
        halo = max(book.model.halos.wire_halo, book.model.halos.via_halo)
        self.near = NearCells(book.model, 2 * halo)

    def add(self, route: Route) -> None:
        self.recent += 1
        self.near.add(route.cells)
        if self.recent >= self.refresh:
            self.recent = 0
            self.near = NearCells(self.book.model, self.near.reach)
            self.book.rebuild_occupancy()



def initial_routing(book: RouteBook, guides: Guides | None = None, options: InitialOptions | None = None,
                    show_progress: bool = True, threads: int = 1) -> InitialRouting:
    """Routes the nets in net-id order into the book, on up to `threads` threads when the nets
    ignore each other (`gg_drc` 0). With `gg_drc` > 0 the occupancy map is rebuilt as it goes;
    it is not rebuilt after the last net (the caller does that)."""
    opts = options or InitialOptions()
    model = book.model
    nets = sorted(model.termsets)
    result = InitialRouting()
    if opts.gg_drc:
        penalties = _Penalties(book, opts.refresh)
        for net in progress(nets, "initial routing", enabled=show_progress):
            routed = _enter(book, net, route_net(book.grid, model, net, opts.margin, opts.gg_drc, book.clock, guides,
                                                 recent=penalties.near.inside, greed=opts.greed), result)
            penalties.add(routed)
        return result

    def search(net: int):
        # held packed until entered: the searches' routes as tuples would be the whole design's
        routed, widened = route_net(book.grid, model, net, opts.margin, 0.0, book.clock, guides, greed=opts.greed)
        return (None if routed is None else pack(routed)), widened

    # Nets of many terminal sets first, so that no thread is left with a large one at the end.
    # Every search ends before the first route enters the book: entering changes the grid,
    # which the module refuses while searches read it.
    largest_first = sorted(nets, key=lambda net: (-len(model.termsets[net]), net))
    with ThreadPoolExecutor(max(1, threads)) as pool:
        found = dict(zip(largest_first, progress(pool.map(search, largest_first), "initial routing",
                                                 total=len(nets), enabled=show_progress)))
    for net in nets:
        packed, widened = found.pop(net)
        _enter(book, net, (packed, widened), result)
    return result


def _enter(book: RouteBook, net: int, outcome: tuple, result: InitialRouting):
    """Enters a net's search outcome (a `Route`, packed or not, or None) in the book (its
    first terminal set when no path was found) and counts it; returns the route entered."""
    routed, widened = outcome
    if routed is None:
        result.opens.append(net)
        routed = Route(sorted(set(book.model.termsets[net][0])), [])
    else:
        result.widened += widened
    book.set_packed_route(net, pack(routed) if isinstance(routed, Route) else routed)
    return routed
