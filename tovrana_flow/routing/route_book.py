"""The one owner of the applied routes: every net's route, and the engine's grid that holds them.

After the initial routing, a net's route changes only through the book, which changes the
engine's grid (and through it every replica) in the same step: a batch of boxes, a single
net's new route, a roll-back to an earlier state. Readers take `book.routes` (read-only)
and `book.grid` for the module's reading calls (`flexgc`, `box_maze`, `occ_signature`).
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Mapping

import tovrana

from ..errors import at_least
from ..grid_routes import Box, Cell, Route, open_nets, shared_cells, without_loops
from ..mapping import GridModel
from ..metrics import ModuleClock
from ..packed_routes import PackedRoutes, module_form, occ_nets, pack
from .engines import EngineFactory, GridRecipe, LocalEngine
from .search import guide_rects


@dataclass
class GuideCosts:
    """What leaving a net's route guides costs its searches: a step's length part is
    multiplied by `factor`, a via costs `via` more (in unit pitches). With `lift_pin_layer`
    a guide box on the lowest grid layer also admits the next layer of the same direction
    (see `search.guide_rects`)."""
    factor: float = 3.0
    via: float = 2.0
    lift_pin_layer: bool = False

    def __post_init__(self):
        at_least("guide_factor", self.factor, 1)
        at_least("guide_via", self.via, 0)


def grid_recipe(model: GridModel, routes: Mapping[int, Route], guides=None,
                costs: GuideCosts | None = None) -> GridRecipe:
    """The engine's grid: the model's grid with `routes` and the supply routes loaded, net by
    net in net order. Every net with terminal sets has its place in the route store from
    here on, an empty route until it is routed."""
    h = model.halos
    every = {net: Route([], []) for net in model.termsets}
    every.update(routes)
    every.update(model.supply_routes)
    ordered = sorted(every.items())
    return GridRecipe(
        grid_args=model.grid_args(),
        routes=[(net, cells, edges) for net, (cells, edges) in ordered],
        termsets=[(net, model.termsets[net]) for net in sorted(model.termsets)],
        ranks=[(net, net) for net in sorted(model.termsets)],
        supply=model.supply, obstacles=model.obstacles(),
        occ_nets=occ_nets(routes, model.supply_routes), wire_halo=h.wire_halo, via_halo=h.via_halo,
        **grid_models(model, guides, costs))


def grid_models(model: GridModel, guides=None, costs: GuideCosts | None = None) -> dict:
    """The opt-in models of the module's grid (track model, no-via cells, spacing model the
    mapping asks for; the nets' route guides when there are any), as `GridRecipe` fields."""
    out = {}
    t = model.tracks
    if t is not None:
        out = dict(track_model=(t.xs, t.ys, t.unit, t.layers), no_via_cells=model.no_via_cells,
                   spacing_model=model.spacing)
    costs = costs or GuideCosts()
    rects = guide_rects(model, guides, costs.lift_pin_layer)
    if rects:
        out["net_guides"] = (rects, costs.factor, costs.via)
    return out


def spare_grid(model: GridModel) -> tovrana.Grid:
    """A grid of the model with nothing loaded (routing rules only: occupancy does not
    depend on guides)."""
    return GridRecipe(model.grid_args(), [], [], [], [], [], [], 0, 0, **grid_models(model)).empty_grid()


class RouteBook:
    """Routes of the signal nets (net id -> `Route`) and the engine holding them. A book may
    start empty: the initial routing then enters the nets one by one."""

    def __init__(self, model: GridModel, routes: Mapping[int, Route] | None = None, clock: ModuleClock | None = None,
                 engine_factory: EngineFactory = LocalEngine, guides=None, guide_costs: GuideCosts | None = None):
        self.model = model
        self.guides = guides          # the nets' route guides: the corridors of searches from scratch
        self.clock = clock or ModuleClock()
        self._routes = PackedRoutes({net: Route(*r) for net, r in (routes or {}).items()})
        self._revisions: dict[int, int] = {}      # net -> how many times its route was replaced
        self._occupancy_follows = False           # whether each route set moves in the occupancy map
        with self.clock.timing():
            self._engine = engine_factory(grid_recipe(model, self._routes, guides, guide_costs))

    # ---- reading

    @property
    def routes(self) -> Mapping[int, Route]:
        """Every net's route, read-only; held packed, so each read unpacks a fresh `Route`."""
        return self._routes.read_only()

    def routes_copy(self) -> PackedRoutes:
        """The routes as they are now, packed (a copy that later changes do not reach)."""
        return self._routes.copy()

    @property
    def grid(self) -> tovrana.Grid:
        """The engine's grid, for the module's reading calls."""
        return self._engine.grid

    def revision(self, net: int) -> int:
        """A number that changes whenever the net's route is replaced: what was measured of
        a route stays true while its revision does."""
        return self._revisions.get(net, 0)

    def open_nets(self, nets=None) -> list[int]:
        """Those of `nets` (default: all) whose route does not join all their terminal sets."""
        return open_nets(self.model.termsets, self._routes, nets)

    def shared_cells(self) -> dict[Cell, list[int]]:
        return shared_cells(self._routes)

    def occupancy_drifted(self) -> bool:
        """Whether the engine's incrementally kept occupancy differs from a fresh `occ_init`
        of the routes, by signature (`occ_signature_of` sums it net by net: no second map of
        the design)."""
        h = self.model.halos
        fresh = self.grid.occ_signature_of(nets=occ_nets(self._routes, self.model.supply_routes),
                                           wire_halo=h.wire_halo, via_halo=h.via_halo)
        return fresh != self.grid.occ_signature()

    # ---- changing

    def work_batch(self, boxes: list[Box], **params) -> set[int]:
        """One batch of `route_boxes` (its keyword arguments but `boxes`); applies every
        changed route and returns the changed nets."""
        with self.clock.timing():
            # packed: a batch that changes many routes then hands them over without a
            # tuple per cell; the engine has applied them
            result = self._engine.route_boxes(boxes, **params, packed=True)
        for net, cells, edges in result:
            self._routes.set_ids(net, cells, edges)
            self._replaced(net)
        return {net for net, _, _ in result}

    def set_route(self, net: int, route: Route) -> None:
        """Replaces one net's route. Once `follow_occupancy` was called, the occupancy map
        follows (the module's `routes_update(occ=True)`: the net's old footprint out, its new
        one in); before, call `settle_occupancy` after a series of these."""
        self.set_packed_route(net, pack(route))

    def set_packed_route(self, net: int, packed) -> None:
        """`set_route` of a route as `packed_routes.pack` made it (the initial routing holds
        its searches' routes so): the engine takes it as packed ids, no tuple per cell."""
        self._routes.set_packed(net, packed)
        self._replaced(net)
        with self.clock.timing():
            self._engine.update_route(net, *module_form(packed), self._occupancy_follows)

    def _replaced(self, net: int) -> None:
        self._revisions[net] = self._revisions.get(net, 0) + 1

    def cut_loops(self, cost) -> int:
        """Breaks the routes' cycles and cuts their idle branches (`grid_routes.without_loops`,
        an edge priced by `cost`), keeping every terminal cell, and settles the occupancy map.
        Returns how many routes changed."""
        changed = 0
        for net in sorted(self._routes):
            termsets = self.model.termsets.get(net)
            if not termsets:
                continue
            route = without_loops(self._routes[net], (c for ts in termsets for c in ts), cost)
            if route is not None:
                self.set_route(net, route)
                changed += 1
        if changed:
            self.settle_occupancy()
        return changed

    def rebuild_occupancy(self) -> None:
        """Builds the occupancy map afresh from the routes."""
        h = self.model.halos
        with self.clock.timing():
            self._engine.rebuild_occupancy(occ_nets(self._routes, self.model.supply_routes), h.wire_halo,
                                           h.via_halo)

    def follow_occupancy(self) -> None:
        """Rebuilds the occupancy map, and from then on moves each route the book sets in it:
        a search right after a change sees the routes as they are, and no stage rebuilds the
        whole map for a few changed nets."""
        self.rebuild_occupancy()
        self._occupancy_follows = True

    def settle_occupancy(self) -> None:
        """Brings the occupancy map up to date with the routes after a series of `set_route`:
        nothing to do while it follows them, a rebuild otherwise."""
        if not self._occupancy_follows:
            self.rebuild_occupancy()

    def snapshot(self) -> PackedRoutes:
        """The routes as they are, for a later `roll_back`."""
        return self._routes.copy()

    def roll_back(self, snapshot: Mapping[int, Route], nets) -> None:
        """Gives `nets` their routes of `snapshot` again, in the book and in the engine, and
        in the occupancy map."""
        for net in sorted(nets):
            self.set_route(net, snapshot[net])
        self.settle_occupancy()

    def expect_batches(self, batches: list[list[Box]], **params) -> None:
        """The batches the next `work_batch` calls will work, in this order and with these
        keyword arguments: an engine may hand the next one out while it merges one. Changes
        no result."""
        self._engine.expect_batches(batches, params)

    def balance_by_markers(self, markers: list) -> None:
        self._engine.balance_by_markers(markers, self.model.gc)

    def close(self) -> None:
        self._engine.close()
