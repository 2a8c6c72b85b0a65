"""Which rectangles on one layer meet: a bucket grid in numpy, never all pairs.

Every item is a closed axis-parallel rectangle; a wire's centre line and a via's point are
rectangles of no width. Each item is entered in every bucket of a square grid that it
covers, and only items sharing a bucket are compared. Two items that meet are both in the
bucket holding the lower-left corner of their common part, and are reported from that
bucket alone: once, however many buckets they share.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass
class Pairs:
    """Meeting pairs of items: `a[k] < b[k]` index the items given, (x[k], y[k]) is the
    lower-left corner of what the two have in common."""
    a: np.ndarray
    b: np.ndarray
    x: np.ndarray
    y: np.ndarray


def _no_pairs() -> Pairs:
    empty = np.zeros(0, dtype=np.int64)
    return Pairs(empty, empty, empty, empty)


def _bucket_entries(bx0, by0, bx1, by1):
    """(item, bucket x, bucket y) for every bucket each item covers."""
    nbx = bx1 - bx0 + 1
    counts = nbx * (by1 - by0 + 1)
    item = np.repeat(np.arange(len(bx0)), counts)
    first = np.cumsum(counts) - counts
    t = np.arange(int(counts.sum())) - np.repeat(first, counts)
    return item, bx0[item] + t % nbx[item], by0[item] + t // nbx[item]


def meeting_pairs(x0, y0, x1, y1, passive, cell: int) -> Pairs:
    """All pairs of the rectangles (x0[i], y0[i], x1[i], y1[i]) that touch, overlap or
    cross, except pairs of two `passive` items (pins, which only matter where wiring is).
    Coordinates are integers with x0 <= x1 and y0 <= y1; `cell` is the bucket size."""
    x0, y0, x1, y1 = (np.asarray(v, dtype=np.int64) for v in (x0, y0, x1, y1))
    passive = np.asarray(passive, dtype=bool)
    item, bx, by = _bucket_entries(x0 // cell, y0 // cell, x1 // cell, y1 // cell)
    if item.size == 0:
        return _no_pairs()
    bx_min, by_min = bx.min(), by.min()
    width = int(bx.max() - bx_min) + 1
    key = (by - by_min) * width + (bx - bx_min)

    # Passive items matter only in buckets that hold an active one.
    p = passive[item]
    keep = ~p | np.isin(key, np.unique(key[~p]))
    item, key = item[keep], key[keep]
    order = np.lexsort((item, key))
    item, key = item[order], key[order]

    found: list[tuple[np.ndarray, ...]] = []
    n = item.size
    alive = np.arange(n)
    d = 1
    # Compare each entry with the one d places further on, while both are in one bucket;
    # a run of s entries in a bucket is done after s - 1 rounds.
    while True:
        alive = alive[alive + d < n]
        alive = alive[key[alive] == key[alive + d]]
        if alive.size == 0:
            break
        i, j = item[alive], item[alive + d]
        meet = (x0[i] <= x1[j]) & (x0[j] <= x1[i]) & (y0[i] <= y1[j]) & (y0[j] <= y1[i])
        meet &= ~(passive[i] & passive[j])
        i, j, k = i[meet], j[meet], key[alive][meet]
        cx, cy = np.maximum(x0[i], x0[j]), np.maximum(y0[i], y0[j])
        own = ((cy // cell - by_min) * width + (cx // cell - bx_min)) == k
        found.append((i[own], j[own], cx[own], cy[own]))
        d += 1
    if not found:
        return _no_pairs()
    a, b, x, y = (np.concatenate(parts) for parts in zip(*found))
    return Pairs(a, b, x, y)
