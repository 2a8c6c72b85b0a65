"""The module's markers over all routes, split into those a schedule can remove and those it cannot.

A marker no rip-up can remove is one every net it names is forced into: the marker's cell
lies within the halo of every cell of one of the net's terminal sets (the route must take
one of them), or of a supply route, which never moves. Two such pins closer than the halo
allows, or such a pin beside a supply strap, produce one whatever the routes.
"""
from __future__ import annotations

from dataclasses import dataclass

from ..grid_routes import Cell, Routes, occ_nets
from ..mapping import GridModel


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
        nets = occ_nets({**routes, **m.supply_routes})
        with clock.timing():
            found = grid.flexgc(nets=nets, wire_halo=h.wire_halo, via_halo=h.via_halo, region=None,
                                prl_halo=h.prl_halo, prl_len=h.prl_len, vertical=m.vertical)
            if h.prl_halo > 0 and h.prl_len > 0:   # cover markers come first: count them alone
                cover = len(grid.flexgc(nets=nets, wire_halo=h.wire_halo, via_halo=h.via_halo, region=None,
                                        prl_halo=0, prl_len=0, vertical=m.vertical))
            else:
                cover = len(found)
        unremovable = sum(1 for cells, _, nets_ in found if self._forced(cells, nets_))
        return MarkerCount(cover, len(found) - cover, unremovable, found)

    def _forced(self, cells, nets_) -> bool:
        for cell in cells:
            owners = self.forced.get(tuple(cell), set())
            if sum(1 for n in nets_ if n in owners) < 2:
                return False
        return True
