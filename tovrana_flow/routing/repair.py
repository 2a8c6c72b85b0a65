"""What the passes leave broken, mended one net at a time: split nets, markers, shorts, and
what a real design-rule check finds.

A batch can return a route that touches every terminal set yet falls apart in two pieces
(seen for nets that cross several boxes of one batch): such a net is searched again on the
engine's grid, priced by its occupancy.

The passes drive markers down but may stop with some left (pass limit, stall), often where
the box workers cannot see far enough: two nets' vias a track apart. Each marker's later
net is then searched again from scratch, every other net's footprint priced so high that
only a conflict-free path is worth taking; a round that does not lower the count is undone.

A cell two
nets' routes share is a short on the chip, so after the passes every such conflict is
settled by rerouting one of its nets (the later one in net order) with the other nets'
footprints priced out; a net whose new route still meets another net keeps its route and
the conflict is reported.

The grid's markers see the routes as the module models them; a design-rule check of the
written metal sees more (an access wire beside another pin, a patch, a rule the model rounds).
Its findings come back as (nets, layer, rectangle): one net of each is searched again with the
grid points under the finding closed to it and conflicts priced out; a round that does not
lower the count is undone.

Last, the nets the passes changed are searched again from scratch, every other net priced
out as for the markers, and each keeps the new route where it costs less than the old by the
searches' own prices: the passes reroute a net box by box, between the points where it
crosses each box's border, and leave detours and extra vias behind.

All leave the occupancy map current: during the routing stage the route book moves each new
route in it (`RouteBook.follow_occupancy`); otherwise they rebuild it after their changes.
"""
from __future__ import annotations

from bisect import bisect_left, bisect_right
from concurrent.futures import ThreadPoolExecutor
from typing import Callable, Mapping, Sequence

from ..grid_routes import Cell, CellOwners, Route
from ..metrics import release_freed_memory
from .markers import MarkerCensus
from .route_book import RouteBook
from .initial import NearCells
from .search import Greed, reroute, route_net

# A design-rule check of routes: for each finding, the net ids involved (those the flow
# routes), the layer name and the rectangle (x0, y0, x1, y1) in database units.
Finding = tuple[Sequence[int], str, tuple[int, int, int, int]]
RuleCheck = Callable[[Mapping[int, Route]], list[Finding]]

# What a cell in another net's footprint costs the search of a marker's net, in unit steps:
# more than any detour a corridor holds.
CONFLICT_COST = 1000.0


def _search_again(book: RouteBook, net: int, margin: int, gg_drc: float, greed: Greed | None,
                  taken: Callable | None = None):
    return reroute(book.grid, book.model, net, margin, gg_drc, book.clock, taken, book.guides, greed)


def reconnect_split_nets(book: RouteBook, nets, margin: int, gg_drc: float, greed: Greed | None = None) -> list[int]:
    """Reroutes from scratch those of `nets` whose route no longer joins all their terminal
    sets; returns the nets it rerouted. `greed`: the initial routing's (see `search.Greed`)."""
    fixed = []
    for net in book.open_nets(nets):
        routed = _search_again(book, net, margin, gg_drc, greed)
        if routed is not None:
            book.set_route(net, routed)
            fixed.append(net)
    if fixed:
        book.settle_occupancy()
    return fixed


def remove_shorts(book: RouteBook, margin: int, rounds: int = 3, greed: Greed | None = None) -> tuple[int, int]:
    """Reroutes nets off shared cells; returns (nets rerouted, shared cells left). The later
    net of each shared cell is searched again with every other net's footprint priced out
    (as the marker repair does); the new route is taken only when it shares no cell with
    another net. Pricing rather than closing those cells keeps each search to the net's own
    corridor: closed cells left a large net no path there, and the wider corridors it then
    searched, with every other net's cells handed over, cost minutes and gigabytes."""
    rerouted = 0
    owners = CellOwners(book.routes)
    for _ in range(rounds):
        if not owners.shared:
            break
        moved = 0
        for net in sorted({max(nets) for nets in owners.shared.values()}):
            routed = _search_again(book, net, margin, CONFLICT_COST, greed)
            if routed is None or any(owners.holder(c) not in (None, net) or c in owners.shared for c in routed.cells):
                continue
            book.set_route(net, routed)
            owners.claim(routed.cells, net)
            moved += 1
        if not moved:
            break
        rerouted += moved
        book.settle_occupancy()
        owners = CellOwners(book.routes)
    return rerouted, len(owners.shared)


def _reroute_priced(book: RouteBook, nets: list[int], margin: int, greed: Greed | None = None,
                    keep_out: dict[int, list[Cell]] | None = None) -> list[int]:
    """Reroutes each net in turn with every conflict priced out (and off its `keep_out`
    cells); returns the nets that got a new route."""
    moved = []
    for net in nets:
        cells = (keep_out or {}).get(net)
        taken = None if cells is None else (lambda corridor, cells=cells: cells)
        routed = _search_again(book, net, margin, CONFLICT_COST, greed, taken)
        if routed is not None:
            book.set_route(net, routed)
            moved.append(net)
    return moved


def remove_markers(book: RouteBook, census: MarkerCensus, margin: int, rounds: int = 3,
                   greed: Greed | None = None) -> int:
    """Reroutes the later net of every marker left, conflicts priced out; returns how many
    markers this removed."""
    current = census.count(book.grid, book.routes, book.clock)
    first = current.total
    for _ in range(rounds):
        nets = sorted({max(nets_) for _, _, nets_ in current.found if nets_})
        if not nets:
            break
        before = book.snapshot()
        moved = _reroute_priced(book, [n for n in nets if n in book.model.termsets], margin, greed)
        if not moved:
            break
        book.settle_occupancy()
        after = census.count(book.grid, book.routes, book.clock)
        if after.total >= current.total or book.open_nets(moved):
            book.roll_back(before, moved)
            break
        current = after
    return first - current.total


def _cells_under(book: RouteBook, layer: str, rect, margin: int) -> list[Cell]:
    """The grid points of `layer` within `margin` grid lines of a rectangle."""
    g = book.model.gridmap
    if layer not in g.layers:
        return []
    z = g.layers.index(layer)
    ix0, ix1 = max(bisect_left(g.xs, rect[0]) - margin, 0), min(bisect_right(g.xs, rect[2]) + margin, len(g.xs))
    iy0, iy1 = max(bisect_left(g.ys, rect[1]) - margin, 0), min(bisect_right(g.ys, rect[3]) + margin, len(g.ys))
    return [(ix, iy, z) for ix in range(ix0, ix1) for iy in range(iy0, iy1)]


def repair_findings(book: RouteBook, check: RuleCheck, census: MarkerCensus, margin: int,
                    rounds: int = 3, greed: Greed | None = None) -> tuple[int, int]:
    """Reroutes a net of every finding of `check` away from it; returns (findings first,
    findings left)."""
    findings = check(book.routes)
    first = len(findings)
    markers = census.count(book.grid, book.routes, book.clock).total
    for _ in range(rounds):
        closed: dict[int, set[Cell]] = {}
        for nets, layer, rect in findings:
            movable = [n for n in nets if n in book.model.termsets]
            if movable:
                closed.setdefault(max(movable), set()).update(_cells_under(book, layer, rect, 1))
        if not closed:
            break
        before = book.snapshot()
        moved = _reroute_priced(book, sorted(closed), margin, greed, {net: sorted(c) for net, c in closed.items()})
        if not moved:
            break
        book.settle_occupancy()
        after = check(book.routes)
        now = census.count(book.grid, book.routes, book.clock).total
        if len(after) >= len(findings) or now > markers or book.open_nets(moved):
            book.roll_back(before, moved)
            break
        findings, markers = after, now
    return first, len(findings)


# Nets of at least this many terminal sets are not refined: on ispd18_test1 their searches
# among every other net's priced footprint took three quarters of the stage's time and set
# the flow's peak memory (up to 900 MB), and a weighted search, fast enough, found a cheaper
# route for 4 of 276 of them.
REFINE_MAX_SETS = 8
# ... and the others search their guides alone (their pins' bounding box when unguided): a
# search that finds no way clear of every other net explores its whole corridor on every
# layer, and a margin of one gcell doubled the largest corridors (200 gcells, 50 MB of state).
REFINE_MARGIN = 0
TRIM_EVERY = 256       # nets refined between two trims of the heap
# Searches that run against the same state, not seeing each other's new routes: few, so that
# they seldom meet, and as many whatever the thread count, so that the routes do not depend on it.
REFINE_WAVE = 8


def refine_routes(book: RouteBook, nets, cost: Callable[[int, Route], float], census: MarkerCensus,
                  markers: list, threads: int = 1) -> int:
    """Searches each of `nets` of fewer than `REFINE_MAX_SETS` terminal sets again from
    scratch, every other net's footprint priced out, and gives it the new route where that
    costs less by `cost`; returns how many nets it changed. `REFINE_WAVE` searches run on
    `threads` threads against the same state and are taken in net order; each also prices
    the cells of the new routes taken in earlier waves (which the occupancy map holds only
    where the book moves routes in it). A new route in a marker that is not among `markers` (the routes' markers
    now) goes back to the old one, until no new marker is left."""
    model = book.model
    nets = sorted(n for n in nets if len(model.termsets.get(n, ())) in range(2, REFINE_MAX_SETS))
    if not nets:
        return 0
    before = book.snapshot()
    known = {_marker_key(m) for m in markers}
    kept: set[int] = set()
    taken = NearCells(model, 2 * max(model.halos.wire_halo, model.halos.via_halo))

    def search(net):
        return route_net(book.grid, model, net, REFINE_MARGIN, CONFLICT_COST, book.clock, book.guides,
                         recent=taken.inside)[0]

    with ThreadPoolExecutor(max(1, threads)) as pool:
        for k in range(0, len(nets), REFINE_WAVE):
            part = nets[k:k + REFINE_WAVE]
            found = list(pool.map(search, part))     # every search ends before a route changes the grid
            if k % TRIM_EVERY < REFINE_WAVE:
                release_freed_memory()      # the searches' tables, before the next ones stack on them
            for net, routed in zip(part, found):
                if routed is not None and cost(net, routed) < cost(net, book.routes[net]) * (1 - 1e-9):
                    book.set_route(net, routed)
                    taken.add(routed.cells)
                    kept.add(net)
    if kept:
        release_freed_memory()
        book.settle_occupancy()
    while kept:
        now = census.count(book.grid, book.routes, book.clock).found
        blamed = {n for m in now if _marker_key(m) not in known for n in m[2]} & kept
        if not blamed:
            break
        book.roll_back(before, blamed)
        kept -= blamed
    return len(kept)


def _marker_key(marker) -> tuple:
    cells, layer, nets = marker
    return tuple(sorted(cells)), layer, tuple(sorted(nets))
