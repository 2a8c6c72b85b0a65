"""A net's grid route as DEF wiring: straight wires and vias in database units.

A route is a set of grid cells `(ix, iy, z)` and edges between neighbouring cells: one step
along a layer, or a layer change z <-> z + 1 at the same (ix, iy). Collinear edges that
follow one another become one wire, whatever branches off them; each layer change becomes
one via, named by the grid map, placed from the lower layer to the upper one.
"""
from __future__ import annotations

from collections import defaultdict
from typing import Iterable

from ..design import Wire
from ..mapping.gridmap import GridMap

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


def _inside(z: int, nz: int, line: int, n_lines: int, first: int, last: int, n_along: int) -> None:
    """Raises unless layer z, the line (row or column) and the span first..last along it are
    on the grid map: a negative index would wrap around to the far side of the chip."""
    if not (0 <= z < nz and 0 <= line < n_lines and 0 <= first and last < n_along):
        raise ValueError(f"route on layer {z}, line {line}, steps {first}..{last} leaves the grid map "
                         f"({n_along} x {n_lines} x {nz})")


def route_wires(cells: Iterable[Cell], edges: Iterable[tuple[Cell, Cell]], gridmap: GridMap) -> list[Wire]:
    """The wires and vias of one net's route, sorted by layer, then vias after wires, then
    (y, x) of the start and of the end. `cells` may hold cells no edge touches (pads, lone
    terminals): they need no wiring. An edge between cells that are not neighbours, or that
    leaves the grid map, raises ValueError."""
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
    nx, ny, nz = len(xs), len(ys), len(layers)
    keyed: list[tuple[tuple, Wire]] = []
    for (z, iy), steps in along_x.items():
        _inside(z, nz, iy, ny, min(steps), max(steps) + 1, nx)
        y = ys[iy]
        for i0, i1 in _runs(steps):
            keyed.append(((z, 0, y, xs[i0], y, xs[i1]), Wire(layers[z], xs[i0], y, xs[i1], y)))
    for (z, ix), steps in along_y.items():
        _inside(z, nz, ix, nx, min(steps), max(steps) + 1, ny)
        x = xs[ix]
        for i0, i1 in _runs(steps):
            keyed.append(((z, 0, ys[i0], x, ys[i1], x), Wire(layers[z], x, ys[i0], x, ys[i1])))
    for ix, iy, z in vias:
        _inside(z, nz - 1, ix, nx, iy, iy, ny)
        x, y = xs[ix], ys[iy]
        keyed.append(((z, 1, y, x, y, x), Wire(layers[z], x, y, x, y, via=gridmap.via_names[z],
                                               next_layer=layers[z + 1])))
    keyed.sort(key=lambda kw: kw[0])
    return [w for _, w in keyed]
