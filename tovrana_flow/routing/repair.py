"""What the passes leave broken, mended one net at a time: split nets, markers, shorts.

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
cells as hard keep-outs; a net that finds no such path keeps its route and the conflict is
reported.

Both rebuild the occupancy map afterwards, since a single net's new route does not change it.
"""
from __future__ import annotations

from .markers import MarkerCensus
from .route_book import RouteBook
from .search import reroute

# What a cell in another net's footprint costs the search of a marker's net, in unit steps:
# more than any detour a corridor holds.
CONFLICT_COST = 1000.0


def reconnect_split_nets(book: RouteBook, nets, margin: int, gg_drc: float) -> list[int]:
    """Reroutes from scratch those of `nets` whose route no longer joins all their terminal
    sets; returns the nets it rerouted."""
    fixed = []
    for net in book.open_nets(nets):
        routed = reroute(book.grid, book.model, net, margin, gg_drc, book.clock)
        if routed is not None:
            book.set_route(net, routed)
            fixed.append(net)
    if fixed:
        book.rebuild_occupancy()
    return fixed


def remove_shorts(book: RouteBook, margin: int, gg_drc: float, rounds: int = 3) -> tuple[int, int]:
    """Reroutes nets off shared cells; returns (nets rerouted, shared cells left)."""
    gc = book.model.gc
    rerouted = 0
    shared = book.shared_cells()
    for _ in range(rounds):
        if not shared:
            break
        owner_at: dict = {}
        for net, (cells, _) in book.routes.items():
            for c in cells:
                owner_at.setdefault((c[0] // gc, c[1] // gc), []).append((c, net))
        for net in sorted({max(nets) for nets in shared.values()}):
            def taken(corridor, net=net):
                return sorted(c for g in corridor for c, n in owner_at.get(g, ()) if n != net)
            routed = reroute(book.grid, book.model, net, margin, gg_drc, book.clock, taken)
            if routed is None:
                continue
            book.set_route(net, routed)
            rerouted += 1
        shared = book.shared_cells()
    if rerouted:
        book.rebuild_occupancy()
    return rerouted, len(shared)


def remove_markers(book: RouteBook, census: MarkerCensus, margin: int, rounds: int = 3) -> int:
    """Reroutes the later net of every marker left, conflicts priced out; returns how many
    markers this removed."""
    current = census.count(book.grid, book.routes, book.clock)
    first = current.total
    for _ in range(rounds):
        nets = sorted({max(nets_) for _, _, nets_ in current.found if nets_})
        if not nets:
            break
        before = book.snapshot()
        moved = []
        for net in nets:
            if net not in book.model.termsets:
                continue
            routed = reroute(book.grid, book.model, net, margin, CONFLICT_COST, book.clock)
            if routed is not None:
                book.set_route(net, routed)
                moved.append(net)
        if not moved:
            break
        book.rebuild_occupancy()
        after = census.count(book.grid, book.routes, book.clock)
        if after.total >= current.total or book.open_nets(moved):
            book.roll_back(before, moved)
            break
        current = after
    return first - current.total
