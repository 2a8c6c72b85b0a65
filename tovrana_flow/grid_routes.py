"""Routes on the module's grid: the records every stage of the flow shares.

A cell is `(ix, iy, z)`, the module's order; an edge joins two cells one step or one layer
change apart; a route is a net's cells and edges. A box is a rectangle of gcells
`(gx0, gy0, gx1, gy1)`, corners included. Nothing here knows the design or the module:
these are plain values and the few facts about them that several stages need.
"""
from __future__ import annotations

from typing import Iterable, Mapping, NamedTuple

Cell = tuple[int, int, int]
Edge = tuple[Cell, Cell]
Box = tuple[int, int, int, int]


class Route(NamedTuple):
    """A net's route: its cells (sorted, each once) and the edges between them."""
    cells: list[Cell]
    edges: list[Edge]


Routes = Mapping[int, Route]        # net id -> route


def gcell_count(lines: int, gc: int) -> int:
    """How many gcells of `gc` lines cover `lines` grid lines (the last one may be short)."""
    return -(-lines // gc)


def via_cells(edges: Iterable[Edge]) -> list[Cell]:
    """The cells where a route changes layer, in order of first appearance, each once."""
    out, seen = [], set()
    for a, b in edges:
        if a[2] != b[2]:
            for c in (a, b):
                if c not in seen:
                    seen.add(c)
                    out.append(c)
    return out


def occ_nets(routes: Routes) -> list:
    """`(net, cells, via cells)` of every route in net order: what the module's occupancy
    and marker calls take."""
    return [(net, cells, via_cells(edges)) for net, (cells, edges) in sorted(routes.items())]


def joins_all(termsets: list[list[Cell]], route: Route) -> bool:
    """Whether the route's edges join every terminal set to the first one."""
    adjacent: dict = {}
    _, edges = route
    for a, b in edges:
        adjacent.setdefault(a, []).append(b)
        adjacent.setdefault(b, []).append(a)
    seen = set(termsets[0])
    todo = list(seen)
    while todo:
        for n in adjacent.get(todo.pop(), ()):
            if n not in seen:
                seen.add(n)
                todo.append(n)
    return not any(seen.isdisjoint(ts) for ts in termsets[1:])


def open_nets(termsets: Mapping[int, list[list[Cell]]], routes: Routes, nets: Iterable[int] | None = None) -> list[int]:
    """Those of `nets` (default: every net with terminal sets) whose route does not join
    all their terminal sets, ascending."""
    empty = Route([], [])
    return [net for net in sorted(termsets if nets is None else nets)
            if not joins_all(termsets[net], routes.get(net, empty))]


def cell_owners(routes: Routes) -> tuple[dict[Cell, int], dict[Cell, list[int]]]:
    """Cell -> the first net (in net order) whose route holds it; and cell -> the nets whose
    routes hold it, for cells held by two or more (shorts)."""
    first: dict = {}
    shared: dict = {}
    for net, (cells, _) in sorted(routes.items()):
        for c in cells:
            other = first.setdefault(c, net)
            if other != net:
                shared.setdefault(c, [other]).append(net)
    return first, shared


def shared_cells(routes: Routes) -> dict[Cell, list[int]]:
    """Cell -> the nets whose routes hold it, for cells held by two or more (shorts)."""
    return cell_owners(routes)[1]
