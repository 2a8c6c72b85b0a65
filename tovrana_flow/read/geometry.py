"""Shapes the readers turn into rectangles: rectilinear polygons, paths, generated vias."""
from __future__ import annotations

from ..design import Rect, Shape


def polygon_rects(points: list[tuple[float, float]]) -> list[Rect]:
    """Splits a rectilinear polygon into rectangles that cover exactly its area.

    The polygon is cut into horizontal slabs at every vertex y; inside a slab the vertical
    edges crossing it pair up (even-odd) into the covered x intervals. A slab's rectangle is
    merged into the one below when both span the same x interval. Raises ValueError for a
    polygon with fewer than four corners or an edge that is not axis-parallel.
    """
    if len(points) > 1 and points[0] == points[-1]:
        points = points[:-1]
    if len(points) < 4:
        raise ValueError(f"a polygon needs at least 4 corners, got {len(points)}")
    vertical: list[tuple[float, float, float]] = []      # (x, y low, y high)
    for (xa, ya), (xb, yb) in zip(points, points[1:] + points[:1]):
        if xa == xb and ya != yb:
            vertical.append((xa, min(ya, yb), max(ya, yb)))
        elif ya != yb:
            raise ValueError(f"edge ({xa:g} {ya:g})-({xb:g} {yb:g}) is neither horizontal nor vertical")
    ys = sorted({y for _, y in points})
    rects: list[Rect] = []
    open_rects: dict[tuple[float, float], Rect] = {}     # x interval -> rectangle ending at the slab's bottom
    for y0, y1 in zip(ys, ys[1:]):
        xs = sorted(x for x, lo, hi in vertical if lo <= y0 and hi >= y1)
        still_open: dict[tuple[float, float], Rect] = {}
        for x0, x1 in zip(xs[0::2], xs[1::2]):
            if x0 == x1:
                continue
            below = open_rects.pop((x0, x1), None)
            still_open[(x0, x1)] = Rect(x0, below.y0 if below else y0, x1, y1)
        rects.extend(open_rects.values())
        open_rects = still_open
    rects.extend(open_rects.values())
    if not rects:
        raise ValueError("the polygon encloses no area")
    return sorted(rects, key=lambda r: (r.y0, r.x0))


def path_rects(points: list[tuple[float, float]], width: float) -> list[Rect]:
    """The rectangles of a wire of `width` through `points`, each segment extended by half
    the width at both ends (the LEF and DEF rule for paths). Raises ValueError for a
    diagonal segment."""
    half = width / 2
    if len(points) == 1:
        (x, y), = points
        return [Rect(x - half, y - half, x + half, y + half)]
    rects = []
    for (xa, ya), (xb, yb) in zip(points, points[1:]):
        if xa != xb and ya != yb:
            raise ValueError(f"path segment ({xa:g} {ya:g})-({xb:g} {yb:g}) is diagonal")
        rects.append(Rect(min(xa, xb) - half, min(ya, yb) - half, max(xa, xb) + half, max(ya, yb) + half))
    return rects


def generated_via_shapes(layers: tuple[str, str, str], cut_size: tuple[float, float],
                         cut_spacing: tuple[float, float], enclosure: tuple[float, float, float, float],
                         rowcol: tuple[int, int] = (1, 1), origin: tuple[float, float] = (0, 0),
                         offset: tuple[float, float, float, float] = (0, 0, 0, 0)) -> list[Shape]:
    """The shapes of a via given by a via rule's parameters (LEF `VIA ... VIARULE` or DEF
    `+ VIARULE`): a `rows` x `cols` array of cuts centred on the origin, each metal the cut
    array grown by its enclosure and shifted by its offset, everything moved by `origin`."""
    bottom, cut, top = layers
    rows, cols = rowcol
    (cw, ch), (sx, sy) = cut_size, cut_spacing
    width, height = cols * cw + (cols - 1) * sx, rows * ch + (rows - 1) * sy
    ox, oy = origin
    left, low = ox - width / 2, oy - height / 2
    shapes = []
    for name, (ex, ey), (dx, dy) in ((bottom, enclosure[:2], offset[:2]), (top, enclosure[2:], offset[2:])):
        shapes.append(Shape(name, Rect(left - ex + dx, low - ey + dy, left + width + ex + dx, low + height + ey + dy)))
    for r in range(rows):
        for c in range(cols):
            x, y = left + c * (cw + sx), low + r * (ch + sy)
            shapes.append(Shape(cut, Rect(x, y, x + cw, y + ch)))
    return shapes
