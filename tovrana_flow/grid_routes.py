"""Routes on the module's grid: the records every stage of the flow shares.

A cell is `(ix, iy, z)`, the module's order; an edge joins two cells one step or one layer
change apart; a route is a net's cells and edges. A box is a rectangle of gcells
`(gx0, gy0, gx1, gy1)`, corners included. Nothing here knows the design or the module:
these are plain values and the few facts about them that several stages need.
"""
from __future__ import annotations

from typing import Callable, Iterable, Mapping, NamedTuple

import numpy as np

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


def undirected(edge: Edge) -> Edge:
    """The edge with its lower cell first: one key for both directions."""
    a, b = edge
    return (a, b) if a <= b else (b, a)


def distinct_edges(edges: Iterable[Edge]) -> set[Edge]:
    """Each edge once, whichever way and however often the route lists it."""
    return {undirected(e) for e in edges}


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


CELL_ID_BITS = 21          # per coordinate of a packed cell id: grids of up to two million lines


def _key(ix, iy, z):
    """A cell's 64-bit id (ints or arrays of them, each in 0 .. 2**CELL_ID_BITS - 1)."""
    return ix | (iy << CELL_ID_BITS) | (z << (2 * CELL_ID_BITS))


def cell_keys(cells: np.ndarray) -> np.ndarray:
    """Cells (n x 3, in-grid, so non-negative) as 64-bit ids, in the order of the cells."""
    if len(cells) and (cells.min() < 0 or cells.max() >= 1 << CELL_ID_BITS):
        raise ValueError(f"a route cell lies outside 0 .. {(1 << CELL_ID_BITS) - 1} on some axis")
    return _key(cells[:, 0], cells[:, 1], cells[:, 2])


def cells_of_keys(keys: np.ndarray) -> np.ndarray:
    """The cells (n x 3) of 64-bit ids made by `cell_keys`."""
    mask = (1 << CELL_ID_BITS) - 1
    return np.column_stack([keys & mask, (keys >> CELL_ID_BITS) & mask, keys >> (2 * CELL_ID_BITS)])


class CellOwners:
    """Which nets' routes hold each cell: the first net in net order (`holder`), and for the
    cells two or more nets hold (shorts) all of them in net order (`shared`). The cells are
    packed ids in sorted arrays: a dict of every route cell took about 100 bytes a cell, 200
    MB on ispd18_test1 tiled 2 x 2, on top of everything the routing stage holds."""

    def __init__(self, routes: Routes):
        ids, nets = [np.zeros(0, dtype=np.int64)], [np.zeros(0, dtype=np.int64)]
        packed_ids = getattr(routes, "cell_ids", None)     # packed routes hand their ids as they are
        for net in sorted(routes):
            ids.append(packed_ids(net) if packed_ids else
                       cell_keys(np.asarray(routes[net][0], dtype=np.int64).reshape(-1, 3)))
            nets.append(np.full(len(ids[-1]), net, dtype=np.int64))
        order = np.argsort(np.concatenate(ids), kind="stable")      # ties stay in net order
        id_, net_ = np.concatenate(ids)[order], np.concatenate(nets)[order]
        once = np.ones(len(id_), dtype=bool)                          # a net holds a cell once
        once[1:] = (id_[1:] != id_[:-1]) | (net_[1:] != net_[:-1])
        id_, net_ = id_[once], net_[once]
        self.ids, start, counts = np.unique(id_, return_index=True, return_counts=True)
        self.first = net_[start]
        self.shared: dict[Cell, list[int]] = {
            _unpack(int(self.ids[k])): net_[start[k]:start[k] + counts[k]].tolist() for k in np.flatnonzero(counts > 1)}
        self._claimed: dict[Cell, int] = {}

    def holder(self, cell: Cell) -> int | None:
        """The first net holding the cell (or claiming it since), None for a free cell."""
        if cell in self._claimed:
            return self._claimed[cell]
        if min(cell) < 0 or max(cell) >= 1 << CELL_ID_BITS:
            return None
        key = _key(*cell)
        k = int(np.searchsorted(self.ids, key))
        return int(self.first[k]) if k < len(self.ids) and self.ids[k] == key else None

    def claim(self, cells: Iterable[Cell], net: int) -> None:
        """Notes `net` as the holder of those of `cells` no net holds yet."""
        for c in cells:
            if self.holder(c) is None:
                self._claimed[c] = net


def _unpack(key: int) -> Cell:
    mask = (1 << CELL_ID_BITS) - 1
    return key & mask, (key >> CELL_ID_BITS) & mask, key >> (2 * CELL_ID_BITS)


def shared_cells(routes: Routes) -> dict[Cell, list[int]]:
    """Cell -> the nets whose routes hold it, for cells held by two or more (shorts)."""
    return CellOwners(routes).shared


def without_loops(route: Route, keep: Iterable[Cell], cost: Callable[[Edge], float]) -> Route | None:
    """The route with its cycles broken and its idle branches cut, or None when it has
    neither. Of the edges the cheapest spanning forest stays (by `cost`, ties in edge order):
    a cycle loses its dearest edge. Then a branch whose end is none of the `keep` cells (the
    net's terminal cells) is cut back to where it meets the rest. A search that joins a net
    piece by piece, or a box that reroutes a part of it, can leave both: metal and vias that
    join nothing, and parallel paths that stand too close to each other."""
    cells, edges = route
    distinct = sorted(distinct_edges(edges))
    parent: dict[Cell, Cell] = {}

    def root(c: Cell) -> Cell:
        while parent.setdefault(c, c) != c:
            parent[c] = parent[parent[c]]
            c = parent[c]
        return c
    tree = []
    for a, b in sorted(distinct, key=cost):        # a stable sort: ties keep edge order
        ra, rb = root(a), root(b)
        if ra != rb:
            parent[ra] = rb
            tree.append((a, b))
    adjacent: dict[Cell, list[Cell]] = {}
    for a, b in tree:
        adjacent.setdefault(a, []).append(b)
        adjacent.setdefault(b, []).append(a)
    keep = set(keep)
    leaves = [c for c, n in adjacent.items() if len(n) == 1 and c not in keep]
    cut: set[Cell] = set()
    while leaves:
        c = leaves.pop()
        if c in cut:
            continue
        cut.add(c)
        for n in adjacent.pop(c):
            adjacent[n].remove(c)
            if len(adjacent[n]) <= 1 and n not in keep:
                leaves.append(n)
    if len(tree) == len(distinct) and not cut:
        return None
    touched = {c for e in edges for c in e}
    stays = {e for e in tree if e[0] not in cut and e[1] not in cut}
    return Route([c for c in cells if c not in cut and (c in adjacent or c not in touched)],
                 [e for e in edges if undirected(e) in stays])
