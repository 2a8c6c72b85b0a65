"""The module's markers over all routes, split into those a schedule can remove and those it cannot.

A marker no rip-up can remove is one every net it names is forced into: the marker's cell
lies within the halo of a cell the net must use (a pin with a single grid point, or a supply
route, which never moves). Two such pins closer than the halo allows, or such a pin beside a
supply strap, produce one whatever the routes.
"""
from __future__ import annotations

from dataclasses import dataclass

from .mapping import Cell, GridModel


def via_cells(edges) -> list[Cell]:
    out, seen = [], set()
    for a, b in edges:
        if a[2] != b[2]:
            for c in (a, b):
                if c not in seen:
                    seen.add(c)
                    out.append(c)
    return out


def occ_nets(routes: dict) -> list:
    return [(net, cells, via_cells(edges)) for net, (cells, edges) in sorted(routes.items())]


@dataclass
class MarkerCount:
    cover: int
    prl: int
    unremovable: int
    found: list                    # every marker, cover markers first

    @property
    def total(self) -> int:
        return self.cover + self.prl


class MarkerCensus:
    """Counts markers; `supply_routes` (net -> cells) are routes that never move."""

    def __init__(self, model: GridModel, supply_routes: dict | None = None):
        self.model = model
        h = max(model.halos.wire_halo, model.halos.via_halo)
        self.forced: dict[Cell, set[int]] = {}
        fixed = [(net, ts[0]) for net, sets in model.termsets.items() for ts in sets if len(ts) == 1]
        fixed += [(net, c) for net, cells in (supply_routes or {}).items() for c in cells]
        for net, (x, y, z) in fixed:
            for dx in range(-h, h + 1):
                for dy in range(-h, h + 1):
                    self.forced.setdefault((x + dx, y + dy, z), set()).add(net)

    def count(self, grid, routes: dict, clock) -> MarkerCount:
        m, h = self.model, self.model.halos
        nets = occ_nets(routes)
        with clock.timing():
            found = grid.flexgc(nets, h.wire_halo, h.via_halo, None, h.prl_halo, h.prl_len, m.vertical)
            if h.prl_halo > 0 and h.prl_len > 0:   # cover markers come first: count them alone
                cover = len(grid.flexgc(nets, h.wire_halo, h.via_halo, None, 0, 0, m.vertical))
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
