"""Where a batch of boxes is worked: on this machine's threads, or elsewhere.

After the grid is loaded, the routing stage changes it only through an engine (its route
book is the engine's one caller), so that a distributed engine can keep replicas of the
grid in step. A `GridRecipe` is everything needed to build such a replica: the constructor's
arguments and what is loaded into the grid, as plain Python data that pickles.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable, Protocol, Sequence

import tovrana

from ..grid_routes import Box


@dataclass
class GridRecipe:
    """A loaded grid: `Grid(*grid_args)` with its track, no-via and spacing models when
    given, then its routes, worker constants and occupancy."""
    grid_args: tuple                  # (nx, ny, nz, blocked, pad_owner, via_blocked, via_index)
    routes: list                      # [(net, cells, edges)], the route order of every marker count
    termsets: list                    # [(net, terminal sets)]
    ranks: list                       # [(net, rank)]
    supply: list                      # supply net ids
    obstacles: list                   # cells
    occ_nets: list                    # [(net, cells, via cells)]
    wire_halo: int
    via_halo: int
    track_model: tuple | None = None  # (xs, ys, unit, layers) of Grid.set_track_model
    no_via_cells: list = field(default_factory=list)
    spacing_model: list | None = None
    net_guides: tuple | None = None   # (guides, outside_factor, outside_via) of Grid.set_net_guides

    def empty_grid(self) -> tovrana.Grid:
        """The grid with its models but nothing loaded (a spare grid, e.g. to rebuild the
        occupancy from scratch and compare)."""
        grid = tovrana.Grid(*self.grid_args)
        if self.track_model is not None:
            xs, ys, unit, layers = self.track_model
            grid.set_track_model(xs=xs, ys=ys, unit=unit, layers=layers)
            grid.set_no_via_cells(cells=self.no_via_cells)
            if self.spacing_model is not None:
                grid.set_spacing_model(layers=self.spacing_model)
        if self.net_guides is not None:
            guides, outside_factor, outside_via = self.net_guides
            grid.set_net_guides(guides=guides, outside_factor=outside_factor, outside_via=outside_via)
        return grid

    def build(self) -> tovrana.Grid:
        grid = self.empty_grid()
        grid.routes_init(nets=self.routes)
        grid.set_termsets(termsets=self.termsets)
        grid.set_name_rank(ranks=self.ranks)
        grid.set_worker_consts(supply=self.supply, obstacles=self.obstacles)
        grid.occ_init(nets=self.occ_nets, wire_halo=self.wire_halo, via_halo=self.via_halo)
        return grid


class BatchEngine(Protocol):
    grid: tovrana.Grid
    """The leader's own grid, kept identical to every replica; use it for reading calls
    (`flexgc`, `box_maze`, `occ_signature`)."""

    def route_boxes(self, boxes: Sequence[Box], **params: Any) -> list:
        """Works one batch, merges it into every grid, applies the routes it changed
        (`apply_routes`) and returns them as `Grid.route_boxes` does (`params` are its
        keyword arguments other than `boxes`)."""

    def update_route(self, net: int, cells: list, edges: list, occ: bool = False) -> None:
        """`Grid.routes_update` on every grid (with `occ`, the occupancy map follows)."""

    def rebuild_occupancy(self, nets: list, wire_halo: int, via_halo: int) -> None:
        """`Grid.occ_init` on every grid."""

    def balance_by_markers(self, markers: list, gc: int) -> None:
        """The markers (as `Grid.flexgc` returns them) the next batches are to remove: an
        engine that splits a batch balances its parts by them. Changes no result."""

    def expect_batches(self, batches: list[list[Box]], params: dict) -> None:
        """The batches the next `route_boxes` calls will be, in order, with these `params`:
        an engine may start on the next one early. Changes no result."""

    def close(self) -> None:
        """Releases what the engine holds (threads, actors)."""


EngineFactory = Callable[[GridRecipe], BatchEngine]


def apply_routes(grid: tovrana.Grid, routes: list) -> None:
    """A batch's changed routes, as `route_boxes` or `merge_boxes` return them, into the
    grid's route store (the merge changed only its occupancy)."""
    for net, cells, edges in routes:
        grid.routes_update(net, cells, edges)


class LocalEngine:
    """The batch on this machine's threads: one grid, `Grid.route_boxes`."""

    def __init__(self, recipe: GridRecipe):
        self.grid = recipe.build()

    def route_boxes(self, boxes, **params):
        routes = self.grid.route_boxes(boxes, **params)
        apply_routes(self.grid, routes)
        return routes

    def update_route(self, net, cells, edges, occ=False):
        self.grid.routes_update(net, cells, edges, occ=occ)

    def rebuild_occupancy(self, nets, wire_halo, via_halo):
        self.grid.occ_init(nets, wire_halo, via_halo)

    def balance_by_markers(self, markers, gc):
        pass

    def expect_batches(self, batches, params):
        pass

    def close(self):
        pass


def engine_factory(ray: str | None) -> EngineFactory:
    """The engine for a `--ray` option: None works on this machine's threads, "local:N"
    starts a local Ray cluster of N worker processes, anything else is a cluster address.
    Ray is imported only when a Ray engine is made."""
    if ray is None:
        return LocalEngine

    def ray_engine(recipe: GridRecipe) -> BatchEngine:
        try:
            from .distributed import RayEngine
        except ImportError as e:
            raise ImportError(f"--ray {ray}: the distributed engine is not available ({e})") from e
        return RayEngine(recipe, ray)

    return ray_engine
