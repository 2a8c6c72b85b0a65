"""A net's grid route as DEF wiring: straight wires and vias in database units.

A route is a set of grid cells `(ix, iy, z)` and edges between neighbouring cells: one step
along a layer, or a layer change z <-> z + 1 at the same (ix, iy). Collinear edges that
follow one another become one wire, whatever branches off them; each layer change becomes
one via, named by the grid map, placed from the lower layer to the upper one.
"""
from __future__ import annotations

from collections import defaultdict
from typing import Iterable

from .design import Wire
from .gridmap import GridMap

Cell = tuple[int, int, int]


def _runs(steps: Iterable[int]) -> list[tuple[int, int]]:
    """Unit steps [k, k + 1] merged into maximal runs (first, last + 1)."""
    runs: list[tuple[int, int]] = []
    for k in sorted(set(steps)):
        if runs and runs[-1][1] == k:
            runs[-1] = (runs[-1][0], k + 1)
        else:
            runs.append((k, k + 1))
    return runs


def route_wires(cells: Iterable[Cell], edges: Iterable[tuple[Cell, Cell]], gridmap: GridMap) -> list[Wire]:
    """The wires and vias of one net's route, sorted by layer, then vias after wires, then
    (y, x) of the start and of the end. `cells` may hold cells no edge touches (pads, lone terminals): they need
    no wiring. An edge between cells that are not neighbours raises ValueError."""
    del cells  # the wiring is made of edges alone
    along_x: dict[tuple[int, int], list[int]] = defaultdict(list)   # (z, iy) -> ix of steps ix..ix+1
    along_y: dict[tuple[int, int], list[int]] = defaultdict(list)   # (z, ix) -> iy of steps iy..iy+1
    vias: set[Cell] = set()                                         # (ix, iy, lower z)
    for a, b in edges:
        (ax, ay, az), (bx, by, bz) = a, b
        dx, dy, dz = abs(ax - bx), abs(ay - by), abs(az - bz)
        if dx + dy + dz != 1:
            raise ValueError(f"route edge {a} - {b} does not join neighbouring cells")
        if dx:
            along_x[az, ay].append(min(ax, bx))
        elif dy:
            along_y[az, ax].append(min(ay, by))
        else:
            vias.add((ax, ay, min(az, bz)))

    xs, ys, layers = gridmap.xs, gridmap.ys, gridmap.layers
    keyed: list[tuple[tuple, Wire]] = []
    for (z, iy), steps in along_x.items():
        y = ys[iy]
        for i0, i1 in _runs(steps):
            keyed.append(((z, 0, y, xs[i0], y, xs[i1]), Wire(layers[z], xs[i0], y, xs[i1], y)))
    for (z, ix), steps in along_y.items():
        x = xs[ix]
        for i0, i1 in _runs(steps):
            keyed.append(((z, 0, ys[i0], x, ys[i1], x), Wire(layers[z], x, ys[i0], x, ys[i1])))
    for ix, iy, z in vias:
        x, y = xs[ix], ys[iy]
        keyed.append(((z, 1, y, x, y, x), Wire(layers[z], x, y, x, y, via=gridmap.via_names[z],
                                               next_layer=layers[z + 1])))
    keyed.sort(key=lambda kw: kw[0])
    return [w for _, w in keyed]
