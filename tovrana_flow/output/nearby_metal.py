"""Other nets' metal near a rectangle: what the writer's additions (min-area patches, via
variants) must keep clear of, by the layer's rules."""
from __future__ import annotations

import math
from collections import defaultdict

import numpy as np

from ..mapping.access import rect_clear
from ..mapping.claims import FixedRects
from ..mapping.rules import LayerRules
from ..packed_rows import PackedRows

Rect = tuple[int, int, int, int]


def widest_step(xs, ys) -> int:
    """The widest gap between neighbouring grid lines, on either axis (database units): how far
    a route's metal reaches from a grid point, and so how far to look for metal near it."""
    return int(max(np.max(np.diff(xs), initial=1), np.max(np.diff(ys), initial=1)))


def union_area(rects: list[Rect]) -> int:
    """Area covered by axis-parallel rectangles (few of them: a sweep over x slabs)."""
    xs = sorted({r[0] for r in rects} | {r[2] for r in rects})
    area = 0
    for a, b in zip(xs, xs[1:]):
        spans = sorted((r[1], r[3]) for r in rects if r[0] <= a and r[2] >= b)
        covered, top = 0, None
        for lo, hi in spans:
            if top is None or lo > top:
                covered += hi - lo
                top = hi
            elif hi > top:
                covered += hi - top
                top = hi
        area += covered * (b - a)
    return area


class Metal:
    """Shapes on the grid, per layer, bucketed for look-ups near a rectangle."""

    def __init__(self, bucket: int):
        self.bucket = bucket
        self.by_layer: dict[int, dict[tuple[int, int], list[tuple[Rect, int]]]] = defaultdict(lambda: defaultdict(list))

    def add(self, z: int, rect: Rect, net: int) -> None:
        b = self.bucket
        for bx in range(rect[0] // b, rect[2] // b + 1):
            for by in range(rect[1] // b, rect[3] // b + 1):
                self.by_layer[z][bx, by].append((rect, net))

    def remove(self, z: int, rect: Rect, net: int) -> None:
        """Takes out one rectangle `add` put in."""
        b = self.bucket
        for bx in range(rect[0] // b, rect[2] // b + 1):
            for by in range(rect[1] // b, rect[3] // b + 1):
                self.by_layer[z][bx, by].remove((rect, net))

    def near(self, z: int, rect: Rect, reach: int, net: int) -> set[Rect]:
        b = self.bucket
        out = set()
        layer = self.by_layer.get(z, {})
        for bx in range((rect[0] - reach) // b, (rect[2] + reach) // b + 1):
            for by in range((rect[1] - reach) // b, (rect[3] + reach) // b + 1):
                out.update(r for r, n in layer.get((bx, by), ()) if n != net)
        return out


class PackedMetal:
    """Every net's routed metal, per layer, as numpy columns: the rectangles of thousands of
    nets, looked up near a patch without a Python object per rectangle. The rectangles no
    longer than `long` either way are bucketed on squares of that side by their lower-left
    corner, so that a look-up reads the few buckets around it; the few longer ones (long
    wires, one wire width across) are kept apart, those along x sorted by their lower edge and
    the others by their left edge."""

    def __init__(self, long: int):
        self.long = max(long, 1)
        self.rows: dict[int, PackedRows] = defaultdict(lambda: PackedRows(5))
        self.packed: dict[int, tuple[_Buckets, list[tuple[np.ndarray, np.ndarray, int, int]]]] = {}

    def add(self, z: int, rect: Rect, net: int) -> None:
        self.rows[z].append((*rect, net))

    def pack(self) -> None:
        for z in sorted(self.rows):
            a = self.rows[z].array()
            along_x = a[:, 2] - a[:, 0] > self.long
            along_y = ~along_x & (a[:, 3] - a[:, 1] > self.long)
            short = ~along_x & ~along_y
            self.packed[z] = (_Buckets(a[short], self.long), [self._sorted(a[along_x], 1), self._sorted(a[along_y], 0)])
        self.rows.clear()

    @staticmethod
    def _sorted(a: np.ndarray, axis: int) -> tuple[np.ndarray, np.ndarray, int, int]:
        """Sorted by the low edge on `axis` (0: x, 1: y), that edge apart, with the largest
        extent along it."""
        a = a[np.argsort(a[:, axis], kind="stable")]
        return a, np.ascontiguousarray(a[:, axis]), axis, int(np.max(a[:, axis + 2] - a[:, axis], initial=0))

    def near(self, z: int, rect: Rect, reach: int, net: int) -> set[Rect]:
        """The rectangles of other nets than `net` on layer z within `reach` of `rect` (touching
        counts)."""
        if z not in self.packed:
            return set()
        short, long = self.packed[z]
        parts = short.around(rect, reach)
        for a, edges, axis, extent in long:
            if len(a):
                # integer edges: the first past the far side is the first at or above its floor + 1
                lo, hi = edges.searchsorted((rect[axis] - reach - extent, math.floor(rect[axis + 2] + reach) + 1)).tolist()
                if hi > lo:
                    parts.append(a[lo:hi])
        if not parts:
            return set()
        c = np.concatenate(parts) if len(parts) > 1 else parts[0]
        hit = (c[:, 0] <= rect[2] + reach) & (c[:, 2] >= rect[0] - reach) & \
              (c[:, 1] <= rect[3] + reach) & (c[:, 3] >= rect[1] - reach) & (c[:, 4] != net)
        return set(map(tuple, c[hit, :4].tolist()))


class _Buckets:
    """Rectangles no longer than `side` either way, sorted by the square of that side their
    lower-left corner lies in (column by column): those near a rectangle lie in a few runs."""

    def __init__(self, a: np.ndarray, side: int):
        self.side = side
        bx, by = a[:, 0] // side, a[:, 1] // side
        self.bx0, self.by0 = int(np.min(bx, initial=0)), int(np.min(by, initial=0))
        self.nx = int(np.max(bx, initial=self.bx0)) - self.bx0 + 1
        self.ny = int(np.max(by, initial=self.by0)) - self.by0 + 1
        keys = (bx - self.bx0) * self.ny + (by - self.by0)
        order = np.argsort(keys, kind="stable")
        self.rects, self.keys = a[order], keys[order]

    def around(self, rect: Rect, reach: int) -> list[np.ndarray]:
        """Runs of rows that hold every rectangle within `reach` of `rect` (and some others)."""
        if not len(self.rects):
            return []
        s = self.side
        # a rectangle no longer than s that reaches the grown `rect` has its corner at most s before it
        x0, x1 = max(int((rect[0] - reach - s) // s) - self.bx0, 0), min(int((rect[2] + reach) // s) - self.bx0, self.nx - 1)
        y0, y1 = max(int((rect[1] - reach - s) // s) - self.by0, 0), min(int((rect[3] + reach) // s) - self.by0, self.ny - 1)
        if y0 > y1:
            return []
        # each column's buckets y0..y1 are one run of keys: [first key, last key + 1)
        firsts = [bx * self.ny + y0 for bx in range(x0, x1 + 1)]
        bounds = self.keys.searchsorted(firsts + [k + y1 - y0 + 1 for k in firsts]).tolist()
        n = len(firsts)
        return [self.rects[lo:hi] for lo, hi in zip(bounds[:n], bounds[n:]) if hi > lo]


def clear_of(rules: LayerRules, patch: Rect, others, fixed: FixedRects | None, net: int, merged: int = 0) -> bool:
    """Whether metal of `net` over `patch` keeps the layer's spacing from `others` (other
    nets' rectangles) and from the fixed metal that is not the net's own; `merged`: the width
    of the net's own metal the patch merges with (see `LayerRules.too_close`)."""
    if fixed is not None and not rect_clear(rules, patch, fixed, net):
        return False
    # farther on either axis than the rules ask at these widths is never too close: no arrays
    # for those (most neighbours of a narrow pad are narrow too, and ask the least)
    own = max(min(patch[2] - patch[0], patch[3] - patch[1]), merged)
    rects = []
    for r in others:
        need = max(rules.reach(max(own, min(r[2] - r[0], r[3] - r[1]))), 1)   # 1: touching counts
        if r[0] - need < patch[2] and r[2] + need > patch[0] and r[1] - need < patch[3] and r[3] + need > patch[1]:
            rects.append(r)
    if not rects:
        return True
    p = np.array(patch, dtype=np.int64)
    r = np.array(rects, dtype=np.int64).reshape(-1, 4)
    return not rules.too_close(p[0], p[1], p[2], p[3], r[:, 0], r[:, 1], r[:, 2], r[:, 3], merged).any()
