"""Routes kept as arrays: a design's routes held for the whole routing stage and the writer.

A route held as Python tuples takes about 130 bytes per cell (a tuple per cell, one per
edge, list slots), and routes that are replaced pass after pass leave the interpreter's
small-object arenas in pieces that are never handed back. Packed, a route is its cells'
64-bit ids (8 bytes a cell) and its edges as pairs of 32-bit indices into them (8 bytes an
edge), in two arrays whose memory goes back to the system when the route is replaced.
Reading a route unpacks it into the same `Route` it was made from (the same cells and
edges in the same order, each edge's ends the very tuples of the cell list).
"""
from __future__ import annotations

from typing import Iterator, Mapping

import numpy as np

from .grid_routes import CELL_ID_BITS, Cell, Route, cell_keys, cells_of_keys, via_cells


class _Packed:
    """One route: `ids` holds the cells, then the edge ends that are not among them."""
    __slots__ = ("ids", "n_cells", "ends")

    def __init__(self, ids: np.ndarray, n_cells: int, ends: np.ndarray):
        self.ids, self.n_cells, self.ends = ids, n_cells, ends


def pack(route: Route) -> _Packed | Route:
    """The route packed; a route with a cell no id can hold (off the grid) stays as it is."""
    cells, edges = route
    index: dict[Cell, int] = {}
    for i, c in enumerate(cells):
        index.setdefault(c, i)      # the first of equal cells stands for them all
    table = list(cells)
    flat: list[int] = []
    for edge in edges:
        for c in edge:
            i = index.get(c)
            if i is None:           # an edge end that is not among the cells
                i = index[c] = len(table)
                table.append(c)
            flat.append(i)
    ends = np.array(flat, dtype=np.int32).reshape(-1, 2)
    try:
        ids = cell_keys(np.asarray(table, dtype=np.int64).reshape(-1, 3))
    except (ValueError, TypeError, OverflowError):
        return Route(list(cells), list(edges))
    return _Packed(ids, len(cells), ends)


def pack_ids(cell_ids, edge_ids) -> _Packed:
    """A route given as packed ids (the module's `packed=True` results): its cells' ids in
    order, and its edges' end ids, two per edge. The same as `pack` of the route they spell."""
    ids = np.asarray(cell_ids, dtype=np.int64)
    ends = np.asarray(edge_ids, dtype=np.int64).reshape(-1)
    order = np.argsort(ids, kind="stable")      # equal ids keep their order: the first stands for all
    index = np.full(len(ends), -1, dtype=np.int64)
    if len(ids):
        ranked = ids[order]
        pos = np.minimum(np.searchsorted(ranked, ends), len(ids) - 1)
        index = np.where(ranked[pos] == ends, order[pos], -1)
    found = index >= 0
    table = ids
    if not found.all():                         # edge ends that are not among the cells, in order
        extra: dict[int, int] = {}
        for k in np.flatnonzero(~found).tolist():
            index[k] = extra.setdefault(int(ends[k]), len(ids) + len(extra))
        table = np.concatenate([ids, np.fromiter(extra, dtype=np.int64, count=len(extra))])
    return _Packed(np.array(table, dtype=np.int64), len(ids), index.astype(np.int32).reshape(-1, 2))


def module_form(packed: _Packed | Route) -> tuple:
    """A route `pack` made, as the module's route calls take it: its cells' ids and its edges'
    end ids, two per edge (a route kept as given: its own cells and edges)."""
    if isinstance(packed, Route):
        return packed.cells, packed.edges
    return packed.ids[:packed.n_cells], packed.ids[packed.ends.ravel()]


def unpack(packed: _Packed | Route) -> Route:
    if isinstance(packed, Route):       # kept as given: a copy, so that a reader cannot change it
        return Route(list(packed.cells), list(packed.edges))
    table = list(map(tuple, cells_of_keys(packed.ids).tolist()))
    return Route(table[:packed.n_cells], [(table[a], table[b]) for a, b in packed.ends.tolist()])


class PackedRoutes(Mapping):
    """Net id -> `Route`, held packed. Reading unpacks (a fresh `Route` each time: keep the
    ones you read only as long as you need them). `read_only()` is a live view that cannot
    change them."""

    def __init__(self, routes: Mapping[int, Route] | None = None):
        self._packed: dict[int, _Packed | Route] = {}
        self._read_only = False
        for net, route in (routes or {}).items():
            self[net] = route

    def __setitem__(self, net: int, route: Route) -> None:
        self._store(net, pack(route))

    def set_ids(self, net: int, cell_ids, edge_ids) -> None:
        """Sets a route given as packed ids (`pack_ids`)."""
        self._store(net, pack_ids(cell_ids, edge_ids))

    def set_packed(self, net: int, packed: _Packed | Route) -> None:
        """Sets a route as `pack` made it (kept, not copied: it is never changed in place)."""
        self._store(net, packed)

    def _store(self, net: int, packed) -> None:
        if self._read_only:
            raise TypeError("these routes are read-only")
        self._packed[net] = packed

    def __getitem__(self, net: int) -> Route:
        return unpack(self._packed[net])

    def __iter__(self) -> Iterator[int]:
        return iter(self._packed)

    def __len__(self) -> int:
        return len(self._packed)

    def __contains__(self, net) -> bool:
        return net in self._packed

    def cell_ids(self, net: int) -> np.ndarray:
        """The route's cells as ids (`grid_routes.cell_keys`), in its order."""
        p = self._packed[net]
        return p.ids[:p.n_cells] if isinstance(p, _Packed) else cell_keys(np.asarray(p.cells, dtype=np.int64).reshape(-1, 3))

    def occ_entry(self, net: int) -> tuple:
        """`(net, cells, via cells)` as `grid_routes.occ_nets` gives it, the cells as packed
        ids (which the module takes as they are): no tuple per cell is made."""
        p = self._packed[net]
        if not isinstance(p, _Packed):
            return net, p.cells, via_cells(p.edges)
        z = p.ids >> (2 * CELL_ID_BITS)
        ends = p.ends[z[p.ends[:, 0]] != z[p.ends[:, 1]]].ravel()      # in order of appearance
        _, first = np.unique(ends, return_index=True)
        return net, p.ids[:p.n_cells], p.ids[ends[np.sort(first)]]

    def copy(self) -> "PackedRoutes":
        """A copy sharing the packed routes (they are never changed in place)."""
        out = PackedRoutes()
        out._packed = dict(self._packed)
        return out

    def read_only(self) -> "PackedRoutes":
        view = PackedRoutes()
        view._packed, view._read_only = self._packed, True
        return view


def occ_nets(*routes: Mapping[int, Route]) -> list:
    """`grid_routes.occ_nets` of the mappings merged (for a net in several, the last one's
    route), packed routes' cells as packed ids."""
    holder = {net: m for m in routes for net in m}
    out = []
    for net in sorted(holder):
        m = holder[net]
        entry = getattr(m, "occ_entry", None)
        if entry is not None:
            out.append(entry(net))
        else:
            cells, edges = m[net]
            out.append((net, cells, via_cells(edges)))
    return out
