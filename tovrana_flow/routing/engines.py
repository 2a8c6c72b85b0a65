"""Where a batch of boxes is worked: on this machine's threads, or elsewhere.

The routing stage never calls `route_boxes` or a changing `Grid` method directly after the
grid is loaded; it goes through an engine, so that a distributed engine can keep replicas of
the grid in step. A `GridRecipe` is everything needed to build such a replica: the
constructor's arguments and then the loading calls, in order, each as plain Python data that
pickles.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Protocol, Sequence

import tovrana


@dataclass
class GridRecipe:
    grid_args: tuple                                   # Grid(nx, ny, nz, blocked, pad_owner, via_blocked, via_index)
    calls: list[tuple[str, tuple]] = field(default_factory=list)   # e.g. ("routes_init", (nets,))

    def build(self) -> tovrana.Grid:
        grid = tovrana.Grid(*self.grid_args)
        for method, args in self.calls:
            getattr(grid, method)(*args)
        return grid


class BatchEngine(Protocol):
    grid: tovrana.Grid
    """The leader's own grid, kept identical to every replica; use it for reading calls
    (`flexgc`, `box_maze`, `occ_signature`)."""

    def route_boxes(self, boxes: Sequence[tuple[int, int, int, int]], **params: Any) -> list:
        """Works one batch, merges it into every grid and returns what `Grid.route_boxes`
        would (`params` are its keyword arguments other than `boxes`)."""

    def call(self, method: str, *args: Any) -> None:
        """Calls a changing `Grid` method (e.g. `routes_update`) on every grid."""

    def balance_by_markers(self, markers: list, gc: int) -> None:
        """The markers (as `Grid.flexgc` returns them) the next batches are to remove: an
        engine that splits a batch balances its parts by them. Changes no result."""

    def close(self) -> None:
        """Releases what the engine holds (threads, actors)."""


class LocalEngine:
    """The batch on this machine's threads: one grid, `Grid.route_boxes`."""

    def __init__(self, recipe: GridRecipe):
        self.grid = recipe.build()

    def route_boxes(self, boxes, **params):
        return self.grid.route_boxes(boxes, **params)

    def call(self, method, *args):
        getattr(self.grid, method)(*args)

    def balance_by_markers(self, markers, gc):
        pass

    def close(self):
        pass
