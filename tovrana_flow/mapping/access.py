"""How a route reaches each pin: the pin's terminal set, and what to write with the route.

A pin on a grid layer is reached at the grid points inside its shapes (points on that layer's
tracks, which the claims give to the pin's net). A pin on a layer below the grid (a cell's
local interconnect under the lowest routing layer) is reached from above: at every point of
the lowest grid layer where a via stack down to the pin fits (its lowest pad inside the pin,
its pads clear of other nets' metal), and the route's wiring gets that stack where the route
ends. A pin that has neither is reached through an access wire from the nearest point the
net may use: along that point's track to the pin's edge, then straight in.

Each pin's terminal set is kept inside one gcell (see `one_gcell`).
"""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from ..design import Rect, Wire
from ..grid_routes import Cell
from .claims import FREE, NOBODY, FixedRects
from .rules import LayerRules, Pad
from .track_points import bracket_points, clamp_into, distance2


@dataclass
class AccessPoint:
    cell: Cell
    wires: list[Wire] = field(default_factory=list)   # written with the route when it ends here


@dataclass
class PinAccess:
    net: int
    points: list[AccessPoint]          # the terminal set, cells ascending

    @property
    def cells(self) -> list[Cell]:
        return [p.cell for p in self.points]


def one_gcell(points: list[AccessPoint], gc: int) -> list[AccessPoint]:
    """The points in the gcell that holds most of them (the lowest such gcell).

    Boxes of rip-up and reroute are made of whole gcells, and a box worker reconnects a
    terminal set through its cells inside the box only: a set across a box border can be
    left unconnected. Kept inside one gcell, a set is wholly in a box or wholly out of it.
    """
    groups: dict[tuple[int, int], list[AccessPoint]] = {}
    for p in points:
        groups.setdefault((p.cell[0] // gc, p.cell[1] // gc), []).append(p)
    return max(sorted(groups.items()), key=lambda kv: len(kv[1]))[1] if len(groups) > 1 else points


@dataclass
class Stack:
    """The vias from a layer below the grid up to the lowest grid layer, and their pads on
    each layer they touch (bottom up, the grid layer last)."""
    vias: list[str]
    layers: list[str]             # layers[k] joins vias[k] (below) and vias[k - 1] (above)
    pads: list[Pad]               # the largest pad on each of `layers`

    def wires(self, x: int, y: int) -> list[Wire]:
        return [Wire(self.layers[k], x, y, x, y, via=v, next_layer=self.layers[k + 1]) for k, v in enumerate(self.vias)]


def _inside_points(xs, ys, x_tracks, y_tracks, rect: Rect) -> list[tuple[int, int]]:
    ix = range(int(np.searchsorted(xs, rect.x0, "left")), int(np.searchsorted(xs, rect.x1, "right")))
    iy = range(int(np.searchsorted(ys, rect.y0, "left")), int(np.searchsorted(ys, rect.y1, "right")))
    return [(i, j) for i in ix for j in iy if x_tracks[i] or y_tracks[j]]


def _clear(rules: LayerRules, pad: Pad, x: int, y: int, rects: FixedRects, net: int) -> bool:
    """Whether a pad at (x, y) keeps clear of every fixed rectangle not of `net`."""
    if len(rects) == 0:
        return True
    near = (rects.x0 <= x + pad.hx + 4 * rules.width) & (rects.x1 >= x - pad.hx - 4 * rules.width) & \
           (rects.y0 <= y + pad.hy + 4 * rules.width) & (rects.y1 >= y - pad.hy - 4 * rules.width) & \
           ((rects.owner != net) | (rects.owner == NOBODY))
    if not near.any():
        return True
    close = rules.too_close(np.int64(x - pad.hx), np.int64(y - pad.hy), np.int64(x + pad.hx), np.int64(y + pad.hy),
                            rects.x0[near], rects.y0[near], rects.x1[near], rects.y1[near])
    return not close.any()


def on_grid_points(z: int, rect: Rect, net: int, xs, ys, masks, owner: np.ndarray) -> list[AccessPoint]:
    """The points inside a pin shape on grid layer z that the net owns."""
    x_tracks, y_tracks = masks
    return [AccessPoint((ix, iy, z)) for ix, iy in _inside_points(xs, ys, x_tracks, y_tracks, rect)
            if owner[iy, ix] == net]


def stack_points(rect: Rect, net: int, stack: Stack, xs, ys, masks, owner: np.ndarray, no_via: np.ndarray,
                 rules_of: dict[str, LayerRules], rects_of: dict[str, FixedRects]) -> list[AccessPoint]:
    """The points of the lowest grid layer above a pin shape below the grid where the via
    stack down to it fits: the stack's centre inside the pin, its pads clear of other metal."""
    x_tracks, y_tracks = masks
    out = []
    for ix, iy in _inside_points(xs, ys, x_tracks, y_tracks, rect):
        if owner[iy, ix] not in (FREE, net) or no_via[iy, ix]:
            continue
        x, y = int(xs[ix]), int(ys[iy])
        if all(_clear(rules_of[layer], pad, x, y, rects_of.get(layer, FixedRects.of([])), net)
               for layer, pad in zip(stack.layers[:-1], stack.pads[:-1])):
            out.append(AccessPoint((ix, iy, 0), stack.wires(x, y)))
    return out


def access_wire(shapes: list[tuple[int, Rect]], net: int, xs, ys, owners: list[np.ndarray],
                layer_names: list[str]) -> AccessPoint:
    """The nearest point the net may use among those around its shapes (a free point or the
    net's own first, a blocked one next, never another net's) and the wire from it into the
    shape: first along the point's own row, then straight in."""
    best = None
    for z, rect in shapes:
        for ix, iy in bracket_points(xs, ys, rect):
            o = owners[z][iy, ix]
            rank = 0 if o in (FREE, net) else 1 if o == NOBODY else None
            if rank is not None:
                key = (rank, distance2(xs[ix], ys[iy], rect), z, ix, iy)
                if best is None or key < best[0]:
                    best = (key, rect)
    if best is None:   # every point around the pin is another net's: the pin stays open
        z, rect = shapes[0]
        ix, iy = min(bracket_points(xs, ys, rect), key=lambda p: (distance2(xs[p[0]], ys[p[1]], rect), p))
        return AccessPoint((ix, iy, z))
    (_, _, z, ix, iy), rect = best
    x, y = int(xs[ix]), int(ys[iy])
    px, py = clamp_into(x, y, rect)
    wires = []
    if px != x:
        wires.append(Wire(layer_names[z], x, y, px, y))
    if py != y:
        wires.append(Wire(layer_names[z], px, y, px, py))
    return AccessPoint((ix, iy, z), wires)
