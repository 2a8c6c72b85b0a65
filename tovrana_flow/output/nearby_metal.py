"""Other nets' metal near a rectangle: what the writer's additions (min-area patches, via
variants) must keep clear of, by the layer's rules."""
from __future__ import annotations

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
    nets, looked up near a patch without a Python object per rectangle. A layer's rectangles
    are sorted by their left edge, and a look-up searches back by the widest of them; the
    few long wires along x, which would make that reach across the die, are kept apart,
    sorted by their lower edge (they are one wire width tall)."""

    def __init__(self, long: int):
        self.long = long
        self.rows: dict[int, PackedRows] = defaultdict(lambda: PackedRows(5))
        self.packed: dict[int, list[tuple[np.ndarray, int, int]]] = {}

    def add(self, z: int, rect: Rect, net: int) -> None:
        self.rows[z].append((*rect, net))

    def pack(self) -> None:
        for z in sorted(self.rows):
            a = self.rows[z].array()
            wide = a[:, 2] - a[:, 0] > self.long
            self.packed[z] = [self._sorted(a[~wide], 0), self._sorted(a[wide], 1)]
        self.rows.clear()

    @staticmethod
    def _sorted(a: np.ndarray, axis: int) -> tuple[np.ndarray, int, int]:
        """Sorted by the low edge on `axis` (0: x, 1: y), with the largest extent along it."""
        a = a[np.argsort(a[:, axis], kind="stable")]
        return a, axis, int(np.max(a[:, axis + 2] - a[:, axis], initial=0))

    def near(self, z: int, rect: Rect, reach: int, net: int) -> set[Rect]:
        out: set[Rect] = set()
        for a, axis, extent in self.packed.get(z, ()):
            lo = np.searchsorted(a[:, axis], rect[axis] - reach - extent, "left")
            hi = np.searchsorted(a[:, axis], rect[axis + 2] + reach, "right")
            c = a[lo:hi]
            hit = (c[:, 0] <= rect[2] + reach) & (c[:, 2] >= rect[0] - reach) & \
                  (c[:, 1] <= rect[3] + reach) & (c[:, 3] >= rect[1] - reach) & (c[:, 4] != net)
            out.update(map(tuple, c[hit, :4].tolist()))
        return out


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
