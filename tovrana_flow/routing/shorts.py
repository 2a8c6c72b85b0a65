"""The last word on shorts: no grid cell may end up in the routes of two nets.

The passes drive markers down but may stop with some left (pass limit, stall). A cell two
nets' routes share is a short on the chip, so after the passes every such conflict is
settled by rerouting one of its nets (the later one in net order) with the other nets'
cells as hard keep-outs; a net that finds no such path keeps its route and the conflict is
reported. The occupancy map is rebuilt through the engine afterwards.
"""
from __future__ import annotations

from .initial import InitialOptions, reroute
from ..mapping import GridModel
from .markers import occ_nets
from ..metrics import ModuleClock


def shared_cells(routes: dict) -> dict:
    """Cell -> the nets whose routes hold it, for cells held by two or more."""
    first: dict = {}
    shared: dict = {}
    for net, (cells, _) in sorted(routes.items()):
        for c in cells:
            other = first.setdefault(c, net)
            if other != net:
                shared.setdefault(c, [other]).append(net)
    return shared


def remove_shorts(engine, model: GridModel, routes: dict, options: InitialOptions, clock: ModuleClock,
                  rounds: int = 3) -> tuple[int, int]:
    """Reroutes nets off shared cells; returns (nets rerouted, shared cells left)."""
    rerouted = 0
    shared = shared_cells(routes)
    for _ in range(rounds):
        if not shared:
            break
        owner_at: dict = {}
        for net, (cells, _) in routes.items():
            for c in cells:
                owner_at.setdefault((c[0] // model.gc, c[1] // model.gc), []).append((c, net))
        for net in sorted({max(nets) for nets in shared.values()}):
            def taken(corridor, net=net):
                return sorted(c for g in corridor for c, n in owner_at.get(g, ()) if n != net)
            routed = reroute(engine.grid, model, net, options, clock, taken)
            if routed is None:
                continue
            routes[net] = routed
            with clock.timing():
                engine.call("routes_update", net, *routed)
            rerouted += 1
        shared = shared_cells(routes)
    if rerouted:
        h = model.halos
        with clock.timing():
            engine.call("occ_init", occ_nets(routes), h.wire_halo, h.via_halo)
    return rerouted, len(shared)
