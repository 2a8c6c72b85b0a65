"""Which grid cells a rectangle touches, and the nearest cell to it.

Grid points sit on track crossings `(xs[ix], ys[iy])`. A route runs between adjacent points
along a row or a column, so a shape is safe from a foreign route once every point inside it
is kept out, and, where the shape lies between two rows (or columns) and covers none, the
two points on either side of it: every grid edge that crosses the shape then has an end
among those points.
"""
from __future__ import annotations

import math
from bisect import bisect_left, bisect_right

from ..design import Rect


def covered_range(coords: list[int], lo: float, hi: float) -> range:
    """Indices k with lo <= coords[k] <= hi."""
    return range(bisect_left(coords, lo), bisect_right(coords, hi))


def guarded_range(coords: list[int], lo: float, hi: float) -> range:
    """The covered indices, or when there are none the (at most two) indices on either
    side of [lo, hi], whose edge would cross it."""
    r = covered_range(coords, lo, hi)
    if len(r):
        return r
    return range(max(r.start - 1, 0), min(r.start + 1, len(coords)))


def covered_points(xs: list[int], ys: list[int], rect: Rect) -> list[tuple[int, int]]:
    """(ix, iy) of the grid points inside `rect` (boundary included)."""
    return [(ix, iy) for ix in covered_range(xs, rect.x0, rect.x1) for iy in covered_range(ys, rect.y0, rect.y1)]


def guarded_points(xs: list[int], ys: list[int], rect: Rect) -> list[tuple[int, int]]:
    """(ix, iy) of the points to keep free of foreign routes so that none crosses `rect`.

    Empty when the rect lies strictly between two rows and two columns: no grid edge
    reaches it then.
    """
    rx, ry = covered_range(xs, rect.x0, rect.x1), covered_range(ys, rect.y0, rect.y1)
    if not len(rx) and not len(ry):
        return []
    gx, gy = guarded_range(xs, rect.x0, rect.x1), guarded_range(ys, rect.y0, rect.y1)
    return [(ix, iy) for ix in gx for iy in gy]


def bracket_points(xs: list[int], ys: list[int], rect: Rect) -> list[tuple[int, int]]:
    """The points of the smallest box of grid lines around `rect` (up to 2 x 2 when it
    covers no point): where a pin that covers no point is reached from."""
    return [(ix, iy) for ix in guarded_range(xs, rect.x0, rect.x1) for iy in guarded_range(ys, rect.y0, rect.y1)]


def distance2(x: int, y: int, rect: Rect) -> float:
    """Squared distance from (x, y) to `rect` (0 inside)."""
    dx = max(rect.x0 - x, 0, x - rect.x1)
    dy = max(rect.y0 - y, 0, y - rect.y1)
    return dx * dx + dy * dy


def clamp_into(x: int, y: int, rect: Rect) -> tuple[int, int]:
    """The point of `rect` nearest to (x, y), rounded inwards to whole database units."""
    cx = min(max(x, math.ceil(rect.x0)), math.floor(rect.x1))
    cy = min(max(y, math.ceil(rect.y0)), math.floor(rect.y1))
    return cx, cy
