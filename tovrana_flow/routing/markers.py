"""The module's markers over all routes, split into those a schedule can remove and those it cannot.

A marker no rip-up can remove is one every net it names is forced into: the marker's cell
lies within the halo of every cell of one of the net's terminal sets (the route must take
one of them), or of a supply route, which never moves. Two such pins closer than the halo
allows, or such a pin beside a supply strap, produce one whatever the routes.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from ..grid_routes import Cell, Routes, cells_of_keys
from ..packed_routes import occ_nets
from ..mapping import GridModel


# The census works a design of many route cells in bands of rows (see `_cover_markers`).
BANDS = 8
BAND_CELLS = 50_000


@dataclass
class MarkerCount:
    cover: int
    prl: int
    unremovable: int
    found: list                    # every marker, cover markers first

    @property
    def total(self) -> int:
        return self.cover + self.prl

    @property
    def removable(self) -> int:
        return self.total - self.unremovable


class MarkerCensus:
    """Counts markers over the signal routes and the model's supply routes (which never move)."""

    def __init__(self, model: GridModel):
        self.model = model
        h = max(model.halos.wire_halo, model.halos.via_halo)
        self.forced: dict[Cell, set[int]] = {}
        for net, sets in model.termsets.items():
            for ts in sets:
                self._force(net, ts, h)
        for net, route in model.supply_routes.items():
            for c in route.cells:
                self._force(net, [c], h)

    def _force(self, net: int, cells: list[Cell], h: int) -> None:
        """Marks the cells every footprint of `cells` covers: the net covers them whichever
        of `cells` its route takes."""
        if len({z for _, _, z in cells}) != 1:
            return
        z = cells[0][2]
        x0, x1 = max(c[0] for c in cells) - h, min(c[0] for c in cells) + h
        y0, y1 = max(c[1] for c in cells) - h, min(c[1] for c in cells) + h
        for x in range(x0, x1 + 1):
            for y in range(y0, y1 + 1):
                self.forced.setdefault((x, y, z), set()).add(net)

    def count(self, grid, routes: Routes, clock) -> MarkerCount:
        m, h = self.model, self.model.halos
        nets = occ_nets(routes, m.supply_routes)
        with clock.timing():
            if h.prl_halo > 0 and h.prl_len > 0:   # cover markers come first: count them alone
                found = grid.flexgc(nets=nets, wire_halo=h.wire_halo, via_halo=h.via_halo, region=None,
                                    prl_halo=h.prl_halo, prl_len=h.prl_len, vertical=m.vertical)
                cover = len(grid.flexgc(nets=nets, wire_halo=h.wire_halo, via_halo=h.via_halo, region=None,
                                        prl_halo=0, prl_len=0, vertical=m.vertical))
            else:
                found = self._cover_markers(grid, nets)
                cover = len(found)
        unremovable = sum(1 for cells, _, nets_ in found if self._forced(cells, nets_))
        return MarkerCount(cover, len(found) - cover, unremovable, found)

    def _cover_markers(self, grid, nets: list) -> list:
        """The cover markers, computed band by band of rows: each band's call gets only the
        nets whose footprints reach into it, so the module's footprint map holds a band's
        share of the routes at a time, not all of them (the census ran on top of everything
        else the passes hold). Every marker cell lies in one band and sees every footprint
        that covers it, so the markers are the same; only their order differs (band by band),
        and nothing that reads them depends on it."""
        m, h = self.model, self.model.halos
        cells = sum(len(c) for _, c, _ in nets)
        bands = max(1, min(BANDS, cells // BAND_CELLS))
        if bands == 1:
            return grid.flexgc(nets=nets, wire_halo=h.wire_halo, via_halo=h.via_halo, region=None,
                               prl_halo=0, prl_len=0, vertical=m.vertical)
        reach = self._reach()
        spans = [_rows_span(cells_) for _, cells_, _ in nets]
        found = []
        step = -(-m.ny // bands)
        for y0 in range(0, m.ny, step):
            y1 = min(y0 + step, m.ny) - 1
            near = [n for n, (lo, hi) in zip(nets, spans) if lo <= y1 + reach and hi >= y0 - reach]
            found += grid.flexgc(nets=near, wire_halo=h.wire_halo, via_halo=h.via_halo, region=(0, y0, m.nx - 1, y1),
                                 prl_halo=0, prl_len=0, vertical=m.vertical)
        return found

    def _reach(self) -> int:
        """How many rows a footprint reaches beyond its route cell, at most."""
        m, h = self.model, self.model.halos
        reach = max(h.wire_halo, h.via_halo, 0)
        if m.spacing:
            ys = m.gridmap.ys
            gap = min((b - a for a, b in zip(ys, ys[1:])), default=1)
            reach = max(reach, max(max(box[1], box[3]) for box in m.spacing) // max(gap, 1) + 1)
        return reach

    def _forced(self, cells, nets_) -> bool:
        for cell in cells:
            owners = self.forced.get(tuple(cell), set())
            if sum(1 for n in nets_ if n in owners) < 2:
                return False
        return True


def _rows_span(cells) -> tuple[int, int]:
    """The lowest and highest row of cells given as tuples or as packed ids; (0, -1) for none."""
    if not len(cells):
        return 0, -1
    if isinstance(cells, np.ndarray):
        rows = cells_of_keys(cells)[:, 1]
        return int(rows.min()), int(rows.max())
    return min(c[1] for c in cells), max(c[1] for c in cells)
