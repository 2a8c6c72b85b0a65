"""Which nets may use a grid point, and where a via may land, judged against the fixed metal.

For every point on a layer's tracks, the metal a route would put there is set against every
fixed rectangle of that layer (pins, pins of no net, obstructions, blockages, special
wiring) by the layer's rules (`rules.LayerRules.too_close`):
- a point inside a net's pin belongs to that net (two nets' pins: nobody's);
- any other point belongs to the one net whose metal its wire would come too close to, and
  to nobody when that is metal of no net or of two nets; a point near nothing is free;
- a via may not land on a point where its pad would come too close to metal of another net
  than the point's own (for a free point: to any fixed metal).
The wire at a point is what a route on the point's tracks puts there: half a step towards each
neighbouring point along a track through it, and the wire's end, half its width beyond.
Arrays are per layer, indexed [iy, ix], so that the work is numpy's, never one point at a time.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .rules import BIG, LayerRules, merged_width

FREE, NOBODY = -2, -1      # owners of a point besides net ids
OWNER = np.int32           # a point's owner: net ids fit, and the arrays are per grid point


_FIELDS = ("x0", "y0", "x1", "y1", "owner", "pin")


class FixedRects:
    """A layer's fixed rectangles, database units, with their owners (net id, or NOBODY) and
    whether each is a pin of its net (a route may join it). Rectangles can be added one at a
    time (`add`, amortised: the arrays grow by doubling), and `near` finds those overlapping a
    window without looking at every one, so that checking many small shapes against the
    metal of a whole chip costs in proportion to the metal around each."""

    def __init__(self, x0, y0, x1, y1, owner, pin):
        self._cols = [np.asarray(x0, dtype=np.int64), np.asarray(y0, dtype=np.int64), np.asarray(x1, dtype=np.int64),
                      np.asarray(y1, dtype=np.int64), np.asarray(owner, dtype=np.int64), np.asarray(pin, dtype=bool)]
        self._n = len(self._cols[0])
        self._index: _XIndex | None = None

    @classmethod
    def of(cls, rects: list[tuple[int, int, int, int, int, bool]]) -> "FixedRects":
        a = np.array([r[:5] for r in rects], dtype=np.int64).reshape(-1, 5)
        return cls(a[:, 0], a[:, 1], a[:, 2], a[:, 3], a[:, 4], np.array([r[5] for r in rects], dtype=bool))

    def __len__(self) -> int:
        return self._n

    x0 = property(lambda self: self._cols[0][:self._n])
    y0 = property(lambda self: self._cols[1][:self._n])
    x1 = property(lambda self: self._cols[2][:self._n])
    y1 = property(lambda self: self._cols[3][:self._n])
    owner = property(lambda self: self._cols[4][:self._n])
    pin = property(lambda self: self._cols[5][:self._n])

    def add(self, x0: int, y0: int, x1: int, y1: int, owner: int, pin: bool) -> None:
        if self._n == len(self._cols[0]):
            grown = max(16, 2 * self._n)
            self._cols = [np.concatenate([c[:self._n], np.zeros(grown - self._n, dtype=c.dtype)]) for c in self._cols]
        for col, value in zip(self._cols, (x0, y0, x1, y1, owner, pin)):
            col[self._n] = value
        self._n += 1

    def trim(self) -> None:
        """Gives back the arrays' spare room and the look-up index (built again when next
        needed): for rectangles kept from one stage to a later one."""
        self._cols = [c[:self._n].copy() for c in self._cols]
        self._index = None

    def near(self, x0: int, y0: int, x1: int, y1: int) -> np.ndarray:
        """Ascending indices of the rectangles that meet the window (edges included)."""
        if self._index is None or self._index.stale(self._n):
            self._index = _XIndex(self.x0[:self._n], self.x1[:self._n])
        found = self._index.candidates(self._n, x0, x1)
        found = found[(self.x0[found] <= x1) & (self.x1[found] >= x0) & (self.y0[found] <= y1) & (self.y1[found] >= y0)]
        return np.sort(found)


class _XIndex:
    """The rectangles indexed when it was built, by left edge, except the widest (stripes,
    large blockages), which every look-up takes whole; rectangles added since are taken whole
    too, until there are enough of them to build anew."""

    def __init__(self, x0: np.ndarray, x1: np.ndarray):
        self.built = len(x0)
        width = x1 - x0
        limit = 8 * int(np.median(width)) + 1 if len(width) else 0
        wide = width > limit
        self.wide = np.flatnonzero(wide)
        narrow = np.flatnonzero(~wide)
        self.order = narrow[np.argsort(x0[narrow], kind="stable")]
        self.left = x0[self.order]
        self.reach = int(width[narrow].max()) if len(narrow) else 0

    def stale(self, n: int) -> bool:
        return n - self.built > max(1024, self.built // 8)

    def candidates(self, n: int, x0: int, x1: int) -> np.ndarray:
        lo = int(np.searchsorted(self.left, x0 - self.reach, "left"))
        hi = int(np.searchsorted(self.left, x1, "right"))
        return np.concatenate([self.order[lo:hi], self.wide, np.arange(self.built, n)])


@dataclass
class LayerClaims:
    owner: np.ndarray        # [iy, ix]: FREE, NOBODY or a net id
    no_via: np.ndarray       # [iy, ix]: a via's pad would come too close to another net's metal
    inside: np.ndarray       # [iy, ix]: the net whose pin holds the point (FREE: none, NOBODY: two)


def _halfway(lines: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per line, the midpoints towards its neighbours (the line itself at either end)."""
    mid = (lines[:-1] + lines[1:]) // 2
    lo = np.concatenate([lines[:1], mid])
    hi = np.concatenate([mid, lines[-1:]])
    return lo, hi


PAIRS_PER_CHUNK = 1 << 18   # (rectangle, point) pairs judged at once: about 200 bytes of temporaries each


def _reach_ranges(xs: np.ndarray, ys: np.ndarray, rects: FixedRects, reach: np.ndarray):
    """Per rectangle, the index ranges of the grid lines within `reach[shape]` of it."""
    ix0 = np.searchsorted(xs, rects.x0 - reach, "left")
    ix1 = np.maximum(np.searchsorted(xs, rects.x1 + reach, "right"), ix0)
    iy0 = np.searchsorted(ys, rects.y0 - reach, "left")
    iy1 = np.maximum(np.searchsorted(ys, rects.y1 + reach, "right"), iy0)
    return ix0, ix1 - ix0, iy0, iy1 - iy0


def _chunks(counts: np.ndarray, budget: int) -> list[tuple[int, int]]:
    """Consecutive ranges of rectangles with about `budget` pairs each (one rectangle at least)."""
    ends = np.cumsum(counts)
    out, start = [], 0
    while start < len(counts):
        base = ends[start - 1] if start else 0
        stop = max(int(np.searchsorted(ends, base + budget, "right")), start + 1)
        out.append((start, stop))
        start = stop
    return out


def _pairs(shapes: np.ndarray, ix0, nxs, iy0, nys):
    """(shape, ix, iy) for every grid point in the ranges of each of `shapes`."""
    counts = nxs[shapes] * nys[shapes]
    shape = np.repeat(shapes, counts)
    first = np.cumsum(counts) - counts
    t = np.arange(int(counts.sum())) - np.repeat(first, counts)
    return shape, ix0[shape] + t % nxs[shape], iy0[shape] + t // nxs[shape]


class _Owners:
    """Per point, the least and the greatest owner that reached it, over several rounds."""

    def __init__(self, size: int):
        self.lo = np.full(size, np.iinfo(OWNER).max, dtype=OWNER)
        self.hi = np.full(size, np.iinfo(OWNER).min, dtype=OWNER)

    def add(self, owners: np.ndarray, flat: np.ndarray) -> None:
        owners = owners.astype(OWNER)
        np.minimum.at(self.lo, flat, owners)
        np.maximum.at(self.hi, flat, owners)

    def resolve(self) -> np.ndarray:
        """FREE when no owner reached a point, the owner when one did, NOBODY for several (or
        for metal of no net)."""
        out = np.where(self.lo == self.hi, self.lo, OWNER(NOBODY))
        out[self.hi == np.iinfo(OWNER).min] = FREE
        return out


def _merged_with_pins(xs: np.ndarray, ys: np.ndarray, rects: FixedRects,
                      pad: tuple[int, int, int, int]) -> tuple[np.ndarray, np.ndarray]:
    """The points (flat indices, ascending) where a pad overlaps a net's pin rectangle, and
    per point the width of the widest union of the pad with such a rectangle: the pad and the
    pin are one shape, and the spacing table asks that shape's width. Only those points, not
    an array over the grid: most points lie near no pin."""
    nx = len(xs)
    pins = np.flatnonzero(rects.pin & (rects.owner >= 0))
    found, widths = [np.zeros(0, dtype=np.int64)], [np.zeros(0, dtype=np.int64)]
    sub = FixedRects(*(getattr(rects, k)[pins] for k in _FIELDS))
    reach = np.full(len(sub), max(abs(v) for v in pad), dtype=np.int64)
    ranges = _reach_ranges(xs, ys, sub, reach)
    for start, stop in _chunks(ranges[1] * ranges[3], PAIRS_PER_CHUNK):
        s, ix, iy = _pairs(np.arange(start, stop), *ranges)
        ax0, ay0, ax1, ay1 = xs[ix] + pad[0], ys[iy] + pad[1], xs[ix] + pad[2], ys[iy] + pad[3]
        bx0, by0, bx1, by1 = sub.x0[s], sub.y0[s], sub.x1[s], sub.y1[s]
        on = (ax0 < bx1) & (bx0 < ax1) & (ay0 < by1) & (by0 < ay1)
        found.append((iy * nx + ix)[on])
        widths.append(merged_width(ax0[on], ay0[on], ax1[on], ay1[on], bx0[on], by0[on], bx1[on], by1[on]))
    flat, width = np.concatenate(found), np.concatenate(widths)
    order = np.lexsort((width, flat))                 # by point, the widest last
    flat, width = flat[order], width[order]
    last = np.ones(len(flat), dtype=bool)
    last[:-1] = flat[1:] != flat[:-1]
    return flat[last], width[last]


def _width_at(table: tuple[np.ndarray, np.ndarray], flat: np.ndarray) -> np.ndarray:
    """The merged width `_merged_with_pins` found at each point of `flat` (0 elsewhere)."""
    keys, values = table
    if len(keys) == 0:
        return np.zeros(len(flat), dtype=np.int64)
    k = np.minimum(np.searchsorted(keys, flat), len(keys) - 1)
    return np.where(keys[k] == flat, values[k], 0)


def layer_claims(xs: np.ndarray, ys: np.ndarray, x_tracks: np.ndarray, y_tracks: np.ndarray,
                 rules: LayerRules, rects: FixedRects, pads: list[list[tuple[int, int, int, int]]] | None = None
                 ) -> LayerClaims:
    """The claims of one layer. `x_tracks`/`y_tracks`: booleans per column / row, whether the
    layer runs along it. `pads`: per via that lands on the layer (from below, from above),
    the pads its variants put there (rectangles around the point; default: the layer's
    largest pad). A via may land on a point where each of those vias has a variant whose pad
    keeps clear (the writer picks it): a point refuses vias both ways. The (rectangle, point)
    pairs are judged a chunk of rectangles at a time, so that memory stays bounded on a
    layer with tens of thousands of pins."""
    nx, ny = len(xs), len(ys)
    size = nx * ny
    no_via = np.zeros(size, dtype=bool)
    if len(rects) == 0:
        free = np.full((ny, nx), FREE, dtype=OWNER)
        return LayerClaims(free, no_via.reshape(ny, nx), free.copy())
    half = rules.width // 2
    pad = rules.pad
    groups = [g for g in (pads or []) if g] or [[pad.around(0, 0)]]
    every = sorted({r for g in groups for r in g})
    # how far from a point its metal reaches, and how far a rectangle keeps other metal away
    piece = int(max(np.max(np.diff(xs), initial=0) // 2, np.max(np.diff(ys), initial=0) // 2, pad.hx, pad.hy,
                    *(max(-r[0], -r[1], r[2], r[3]) for r in every))) + half
    width = np.maximum(np.minimum(rects.x1 - rects.x0, rects.y1 - rects.y0), rules.width)
    keep = rules._needs(width, np.full(len(rects), BIG), np.zeros(len(rects)), np.zeros(len(rects)))
    ranges = _reach_ranges(xs, ys, rects, piece + keep + 1)
    xlo, xhi = _halfway(xs)
    ylo, yhi = _halfway(ys)
    merged = [_merged_with_pins(xs, ys, rects, r) for r in every]
    inside_by, close_by = _Owners(size), _Owners(size)
    pad_flat, pad_owner = [[] for _ in every], [[] for _ in every]
    for start, stop in _chunks(ranges[1] * ranges[3], PAIRS_PER_CHUNK):
        s, ix, iy = _pairs(np.arange(start, stop), *ranges)
        on_x, on_y = x_tracks[ix], y_tracks[iy]
        on = on_x | on_y
        s, ix, iy, on_x, on_y = s[on], ix[on], iy[on], on_x[on], on_y[on]
        px, py = xs[ix], ys[iy]
        flat = iy * nx + ix
        sx0, sy0, sx1, sy1 = rects.x0[s], rects.y0[s], rects.x1[s], rects.y1[s]
        so = rects.owner[s]
        # points inside a pin of a net
        held = rects.pin[s] & (sx0 <= px) & (px <= sx1) & (sy0 <= py) & (py <= sy1)
        inside_by.add(so[held], flat[held])
        # the wire at the point, along each of its tracks
        close = np.zeros(len(s), dtype=bool)
        if on_y.any():     # a wire along x through the point
            wx0, wx1 = np.minimum(xlo[ix], px - half), np.maximum(xhi[ix], px + half)
            close |= on_y & rules.too_close(wx0, py - half, wx1, py + half, sx0, sy0, sx1, sy1)
        if on_x.any():     # a wire along y
            wy0, wy1 = np.minimum(ylo[iy], py - half), np.maximum(yhi[iy], py + half)
            close |= on_x & rules.too_close(px - half, wy0, px + half, wy1, sx0, sy0, sx1, sy1)
        close_by.add(so[close], flat[close])
        # each pad a via may put at the point: judged below, once the point's owner is known
        for k, (dx0, dy0, dx1, dy1) in enumerate(every):
            pad_close = rules.too_close(px + dx0, py + dy0, px + dx1, py + dy1, sx0, sy0, sx1, sy1,
                                        _width_at(merged[k], flat))
            pad_flat[k].append(flat[pad_close])
            pad_owner[k].append(so[pad_close])
    inside = inside_by.resolve()
    held_by = inside >= 0
    owner = np.where(held_by, inside, np.where(inside == NOBODY, OWNER(NOBODY), close_by.resolve()))
    # a pad is blocked where it comes too close to metal not of the point's own net; no via
    # where one of the vias has every variant's pad blocked
    blocked = {}
    for r, flats, owners in zip(every, pad_flat, pad_owner):
        flat, so = np.concatenate(flats), np.concatenate(owners)
        foreign = (so != owner[flat]) | (so == NOBODY)
        blocked[r] = np.zeros(size, dtype=bool)
        blocked[r][flat[foreign]] = True
    for g in groups:
        no_via |= np.logical_and.reduce([blocked[r] for r in g])
    return LayerClaims(owner.reshape(ny, nx), no_via.reshape(ny, nx), inside.reshape(ny, nx))
