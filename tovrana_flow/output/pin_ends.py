"""Route wiring inside the net's own pin: left out, or written flush.

A regular wire reaches half its width beyond each end. Where the end lies inside a pin of
the wire's own net, that cap adds no connection (the pin's metal is already there) but can
stick out of the pin towards a neighbour: on Metal1 of ispd18_test1, beside the cells' wide
power pins, 307 of 319 spacing findings were such caps. Such an end is written with an
extension of 0 (`( x y 0 )`), so the wire's metal stops at its centre line's end there.

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


def flush_ends_in_pins(wires: list[Wire], pins: dict[str, list[Rect]]) -> list[Wire]:
    """`wires` with every end of a regular wire that lies inside one of `pins` (the net's own,
    per layer) written with an extension of 0; vias, patches and other ends as they were."""
    out = []
    for w in wires:
        rects = pins.get(w.layer)
        if rects and w.via is None and not w.patch and (w.x0, w.y0) != (w.x1, w.y1):
            at0 = _inside(w.x0, w.y0, rects)
            at1 = _inside(w.x1, w.y1, rects)
            if at0 or at1:
                w = replace(w, ext0=0 if at0 else w.ext0, ext1=0 if at1 else w.ext1)
        out.append(w)
    return out
