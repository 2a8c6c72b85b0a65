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

from .rules import BIG, LayerRules

FREE, NOBODY = -2, -1      # owners of a point besides net ids


@dataclass
class FixedRects:
    """A layer's fixed rectangles, database units, with their owners (net id, or NOBODY)."""
    x0: np.ndarray
    y0: np.ndarray
    x1: np.ndarray
    y1: np.ndarray
    owner: np.ndarray
    pin: np.ndarray            # whether the rectangle is a pin of its net (a route may join it)

    @classmethod
    def of(cls, rects: list[tuple[int, int, int, int, int, bool]]) -> "FixedRects":
        a = np.array([r[:5] for r in rects], dtype=np.int64).reshape(-1, 5)
        return cls(a[:, 0], a[:, 1], a[:, 2], a[:, 3], a[:, 4], np.array([r[5] for r in rects], dtype=bool))

    def __len__(self) -> int:
        return len(self.x0)

    def joined(self, other: "FixedRects") -> "FixedRects":
        return FixedRects(*(np.concatenate([getattr(self, k), getattr(other, k)])
                            for k in ("x0", "y0", "x1", "y1", "owner", "pin")))


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


def _pairs(xs: np.ndarray, ys: np.ndarray, rects: FixedRects, reach: np.ndarray):
    """(shape, ix, iy) for every grid point within `reach[shape]` of each rectangle."""
    ix0 = np.searchsorted(xs, rects.x0 - reach, "left")
    ix1 = np.searchsorted(xs, rects.x1 + reach, "right")
    iy0 = np.searchsorted(ys, rects.y0 - reach, "left")
    iy1 = np.searchsorted(ys, rects.y1 + reach, "right")
    nxs, nys = np.maximum(ix1 - ix0, 0), np.maximum(iy1 - iy0, 0)
    counts = nxs * nys
    shape = np.repeat(np.arange(len(rects)), counts)
    first = np.cumsum(counts) - counts
    t = np.arange(int(counts.sum())) - np.repeat(first, counts)
    return shape, ix0[shape] + t % nxs[shape], iy0[shape] + t // nxs[shape]


def _resolve(shape_owner: np.ndarray, flat: np.ndarray, size: int) -> np.ndarray:
    """Per point: FREE when no owner reached it, the owner when one did, NOBODY for several
    (or for metal of no net)."""
    lo = np.full(size, np.iinfo(np.int64).max, dtype=np.int64)
    hi = np.full(size, np.iinfo(np.int64).min, dtype=np.int64)
    np.minimum.at(lo, flat, shape_owner)
    np.maximum.at(hi, flat, shape_owner)
    out = np.where(lo == hi, lo, NOBODY)
    out[hi == np.iinfo(np.int64).min] = FREE
    return out


def layer_claims(xs: np.ndarray, ys: np.ndarray, x_tracks: np.ndarray, y_tracks: np.ndarray,
                 rules: LayerRules, rects: FixedRects) -> LayerClaims:
    """The claims of one layer. `x_tracks`/`y_tracks`: booleans per column / row, whether the
    layer runs along it."""
    nx, ny = len(xs), len(ys)
    size = nx * ny
    owner = np.full(size, FREE, dtype=np.int64)
    inside = np.full(size, FREE, dtype=np.int64)
    no_via = np.zeros(size, dtype=bool)
    if len(rects) == 0:
        return LayerClaims(owner.reshape(ny, nx), no_via.reshape(ny, nx), inside.reshape(ny, nx))
    half = rules.width // 2
    pad = rules.pad
    # how far from a point its metal reaches, and how far a rectangle keeps other metal away
    piece = int(max(np.max(np.diff(xs), initial=0) // 2, np.max(np.diff(ys), initial=0) // 2, pad.hx, pad.hy)) + half
    width = np.maximum(np.minimum(rects.x1 - rects.x0, rects.y1 - rects.y0), rules.width)
    keep = rules._needs(width, np.full(len(rects), BIG), np.zeros(len(rects)), np.zeros(len(rects)))
    s, ix, iy = _pairs(xs, ys, rects, piece + keep + 1)
    on_x, on_y = x_tracks[ix], y_tracks[iy]
    keep = on_x | on_y
    s, ix, iy, on_x, on_y = s[keep], ix[keep], iy[keep], on_x[keep], on_y[keep]
    px, py = xs[ix], ys[iy]
    flat = iy * nx + ix
    sx0, sy0, sx1, sy1 = rects.x0[s], rects.y0[s], rects.x1[s], rects.y1[s]
    so = rects.owner[s]

    # points inside a pin of a net
    held = rects.pin[s] & (sx0 <= px) & (px <= sx1) & (sy0 <= py) & (py <= sy1)
    if held.any():
        inside = _resolve(so[held], flat[held], size)

    # the wire at the point, along each of its tracks
    xlo, xhi = _halfway(xs)
    ylo, yhi = _halfway(ys)
    close = np.zeros(len(s), dtype=bool)
    if on_y.any():     # a wire along x through the point
        wx0, wx1 = np.minimum(xlo[ix], px - half), np.maximum(xhi[ix], px + half)
        close |= on_y & rules.too_close(wx0, py - half, wx1, py + half, sx0, sy0, sx1, sy1)
    if on_x.any():     # a wire along y
        wy0, wy1 = np.minimum(ylo[iy], py - half), np.maximum(yhi[iy], py + half)
        close |= on_x & rules.too_close(px - half, wy0, px + half, wy1, sx0, sy0, sx1, sy1)
    if close.any():
        owner = _resolve(so[close], flat[close], size)
    held_by = inside >= 0
    owner = np.where(held_by, inside, np.where(inside == NOBODY, NOBODY, owner))

    # a via's pad at the point, against metal not of the point's own net
    pad_close = rules.too_close(px - pad.hx, py - pad.hy, px + pad.hx, py + pad.hy, sx0, sy0, sx1, sy1)
    foreign = pad_close & ((so != owner[flat]) | (so == NOBODY))
    no_via[flat[foreign]] = True
    return LayerClaims(owner.reshape(ny, nx), no_via.reshape(ny, nx), inside.reshape(ny, nx))
