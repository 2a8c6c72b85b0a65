"""Route wiring inside the net's own pin: left out, or written flush.

A regular wire reaches half its width beyond each end. Where the end lies inside a pin of
the wire's own net, that cap adds no connection (the pin's metal is already there) but can
stick out of the pin towards a neighbour: on Metal1 of ispd18_test1, beside the cells' wide
power pins, 307 of 319 spacing findings were such caps. Such an end is pulled back to the
pin's edge and written with an extension of 0 (`( x y 0 )`), so the wire's metal stops where
it meets the pin.

A grid step whose two ends lie inside one rectangle of the net's pin adds no connection
either (the pin conducts between them), but a wire along a row that is not the pin's middle
sticks out of its side: such steps are not written (`steps_outside_pins`), and the min-area
patches count the pin rectangle in their place.
"""
from __future__ import annotations

from bisect import bisect_left, bisect_right
from collections import defaultdict
from dataclasses import replace

import numpy as np

from ..design import Wire
from ..grid_routes import Cell
from ..mapping.claims import FixedRects

Rect = tuple[int, int, int, int]


def own_pins(fixed: dict[str, FixedRects]) -> dict[int, dict[str, list[Rect]]]:
    """Net -> layer -> the rectangles of the net's pins there."""
    out: dict[int, dict[str, list[Rect]]] = defaultdict(lambda: defaultdict(list))
    for layer, rects in fixed.items():
        for k in np.flatnonzero(rects.pin & (rects.owner >= 0)).tolist():
            out[int(rects.owner[k])][layer].append((int(rects.x0[k]), int(rects.y0[k]), int(rects.x1[k]),
                                                    int(rects.y1[k])))
    return out


def _inside(x: int, y: int, rects: list[Rect]) -> bool:
    return any(r[0] <= x <= r[2] and r[1] <= y <= r[3] for r in rects)


def pin_under_step(x0: int, y0: int, x1: int, y1: int, rects: list[Rect] | None) -> Rect | None:
    """The first of the net's pin rectangles `rects` that holds both ends of a step."""
    for r in rects or ():
        if r[0] <= min(x0, x1) and max(x0, x1) <= r[2] and r[1] <= min(y0, y1) and max(y0, y1) <= r[3]:
            return r
    return None


def cells_in_pins(pins: dict[int, list[Rect]], xs, ys) -> set[Cell]:
    """The grid points inside the net's pin rectangles (`pins`: per grid layer): the only
    points a step inside a pin can join, so that other steps are passed over at once."""
    out = set()
    for z, rects in pins.items():
        for x0, y0, x1, y1 in rects:
            for ix in range(bisect_left(xs, x0), bisect_right(xs, x1)):
                for iy in range(bisect_left(ys, y0), bisect_right(ys, y1)):
                    out.add((ix, iy, z))
    return out


def steps_outside_pins(edges, xs, ys, layer_names: list[str], pins: dict[str, list[Rect]]) -> list:
    """The route's edges without the same-layer steps that lie inside one rectangle of the
    net's pin on their layer (`pins`: the net's, per layer name)."""
    by_z = {z: pins[name] for z, name in enumerate(layer_names) if pins.get(name)}
    inside = cells_in_pins(by_z, xs, ys)
    if not inside:
        return list(edges)
    return [(a, b) for a, b in edges
            if a[2] != b[2] or a not in inside or b not in inside
            or pin_under_step(int(xs[a[0]]), int(ys[a[1]]), int(xs[b[0]]), int(ys[b[1]]), by_z[a[2]]) is None]


def _edge_of_pin(start: int, end: int, across: int, rects: list[Rect], vertical: bool) -> int:
    """Where a wire's centre line from `start` to `end` (along x, or along y when `vertical`,
    at `across`) first meets a pin rectangle that holds its end: the end pulled back to the
    pin's edge, or the end itself when one rectangle holds the whole wire."""
    lo, hi = (1, 3) if vertical else (0, 2)
    a = 0 if vertical else 1
    holding = [r for r in rects if r[a] <= across <= r[a + 2] and r[lo] <= end <= r[hi]]
    if any(r[lo] <= start <= r[hi] for r in holding):
        return end            # the whole wire lies on one rectangle
    edges = [max(r[lo], start) if start < end else min(r[hi], start) for r in holding]
    return min(edges, key=lambda e: abs(e - start), default=end)


def flush_ends_in_pins(wires: list[Wire], pins: dict[str, list[Rect]]) -> list[Wire]:
    """`wires` with every end of a regular wire that lies inside one of `pins` (the net's own,
    per layer) pulled back to the edge of the pin where its centre line enters it, and
    written with an extension of 0; vias, patches and other ends as they were. A wire along
    the pin beside its middle widens the pin and its neighbours must keep the wide rule's
    spacing from it (ispd18_test1: a Metal1 wire over the last 0.17 um of a pin, 0.08 um
    from another net's via pad where the merged shape asked 0.1 um)."""
    out = []
    for w in wires:
        rects = pins.get(w.layer)
        if rects and w.via is None and not w.patch and (w.x0, w.y0) != (w.x1, w.y1):
            at0 = _inside(w.x0, w.y0, rects)
            at1 = _inside(w.x1, w.y1, rects)
            if at0 or at1:
                vertical = w.x0 == w.x1
                (s, e), across = ((w.y0, w.y1), w.x0) if vertical else ((w.x0, w.x1), w.y0)
                s2 = _edge_of_pin(e, s, across, rects, vertical) if at0 else s
                e2 = _edge_of_pin(s, e, across, rects, vertical) if at1 else e
                if (s2 - e2) * (s - e) <= 0:        # the two pins meet along the wire: keep it whole
                    s2, e2 = s, e
                ends = dict(y0=s2, y1=e2) if vertical else dict(x0=s2, x1=e2)
                w = replace(w, ext0=0 if at0 else w.ext0, ext1=0 if at1 else w.ext1, **ends)
        out.append(w)
    return out
