"""What a whole route costs as the searches price it: a planar edge its length (times the
layer's wrong-way factor against its direction, times the guides' factor off the net's
guides), a via the via cost (plus the guides' via cost when it lands off them). Turns are
left out. Used to judge whether a net's new route is better than the one it has."""
from __future__ import annotations

import numpy as np

from ..design import Guides
from ..grid_routes import Route, distinct_edges
from ..mapping import GridModel
from .route_book import GuideCosts
from .search import guide_rects


def edge_cost(model: GridModel):
    """What an edge of a route costs before any factor: on the track model a planar step its
    length and a via the via cost in the model's unit, else one per step."""
    xs, ys, t = model.gridmap.xs, model.gridmap.ys, model.tracks
    via = model.via_cost * (t.unit if t is not None else 1)

    def cost(edge) -> float:
        a, b = edge
        if a[2] != b[2]:
            return via
        return abs(xs[a[0]] - xs[b[0]]) + abs(ys[a[1]] - ys[b[1]]) if t is not None else 1
    return cost


class RouteCost:
    """`cost(net, route)`, in database units of length. A net without guides is never off
    them; a grid without a track model prices every planar step 1 and a via the via cost."""

    def __init__(self, model: GridModel, guides: Guides | None, costs: GuideCosts | None = None):
        costs = costs or GuideCosts()
        t = model.tracks
        self.edge = edge_cost(model)
        self.wrong_way = [layer[1] for layer in t.layers] if t is not None else None
        self.vertical = model.vertical
        self.outside_factor = costs.factor
        self.outside_via = costs.via * (t.unit if t is not None else 1)
        self.rects = {net: np.asarray(rs, dtype=np.int64)
                      for net, rs in guide_rects(model, guides, costs.lift_pin_layer)}

    def _inside(self, net: int, cells: list) -> dict:
        """Cell -> whether one of the net's guide rectangles holds it on its layer."""
        rects = self.rects.get(net)
        if rects is None or not cells:
            return {c: True for c in cells}
        c = np.asarray(cells, dtype=np.int64)
        hit = ((c[:, None, 2] == rects[None, :, 0])
               & (rects[None, :, 1] <= c[:, None, 0]) & (c[:, None, 0] <= rects[None, :, 3])
               & (rects[None, :, 2] <= c[:, None, 1]) & (c[:, None, 1] <= rects[None, :, 4])).any(axis=1)
        return dict(zip(cells, hit.tolist()))

    def __call__(self, net: int, route: Route) -> float:
        edges = sorted(distinct_edges(route[1]))
        inside = self._inside(net, sorted({c for e in edges for c in e}))
        total = 0.0
        for a, b in edges:
            off = not (inside[a] and inside[b])
            base = self.edge((a, b))
            if a[2] != b[2]:
                total += base + (self.outside_via if off else 0.0)
                continue
            if self.wrong_way is not None and (a[0] != b[0]) == self.vertical[a[2]]:   # across the layer's direction
                base *= self.wrong_way[a[2]]
            total += base * (self.outside_factor if off else 1.0)
        return total
