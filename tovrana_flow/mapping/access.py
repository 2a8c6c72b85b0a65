"""How a route reaches each pin: the pin's terminal set, and what to write with the route.

A pin on a grid layer is reached at the grid points inside its shapes (points on that layer's
tracks, which the claims give to the pin's net). A pin on a layer below the grid (a cell's
local interconnect under the lowest routing layer) is reached from above: at every point of
the lowest grid layer where a via stack down to the pin fits (its lowest pad inside the pin,
its pads clear of other nets' metal), and the route's wiring gets that stack where the route
ends. A pin that has neither is reached through an access wire from the nearest point the
net may use: along that point's track to the pin's edge, then straight in.

Each pin's terminal set is kept inside one gcell (see `one_gcell`).
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from ..design import Rect, Wire
from ..grid_routes import Cell
from .claims import FREE, NOBODY, FixedRects
from .layers import Pads, moved
from .rules import LayerRules, Pad
from .track_points import bracket_points, clamp_into, distance2


@dataclass(slots=True)        # a design has one per pin and grid point
class AccessPoint:
    cell: Cell
    wires: list[Wire] = field(default_factory=list)   # written with the route when it ends here


@dataclass(slots=True)
class PinAccess:
    net: int
    points: list[AccessPoint]          # the terminal set, cells ascending

    @property
    def cells(self) -> list[Cell]:
        return [p.cell for p in self.points]


def one_gcell(points: list[AccessPoint], gc: int) -> list[AccessPoint]:
    """The points in the gcell that holds most of them (the lowest such gcell).

    Boxes of rip-up and reroute are made of whole gcells, and a box worker reconnects a
    terminal set through its cells inside the box only: a set across a box border can be
    left unconnected. Kept inside one gcell, a set is wholly in a box or wholly out of it.
    """
    groups: dict[tuple[int, int], list[AccessPoint]] = {}
    for p in points:
        groups.setdefault((p.cell[0] // gc, p.cell[1] // gc), []).append(p)
    return max(sorted(groups.items()), key=lambda kv: len(kv[1]))[1] if len(groups) > 1 else points


@dataclass
class Stack:
    """The vias from a layer below the grid up to the lowest grid layer, and their pads on
    each layer they touch (bottom up, the grid layer last)."""
    vias: list[str]
    layers: list[str]             # layers[k] joins vias[k] (below) and vias[k - 1] (above)
    pads: list[Pad]               # the largest pad on each of `layers`
    # the preferred tracks of the layers below the grid, where the stack's vias may stand
    tracks: list[tuple[bool, frozenset]] = field(default_factory=list)

    def on_track(self, x: int, y: int) -> bool:
        return all((x if vertical else y) in coords for vertical, coords in self.tracks)

    def wires(self, x: int, y: int) -> list[Wire]:
        return [Wire(self.layers[k], x, y, x, y, via=v, next_layer=self.layers[k + 1]) for k, v in enumerate(self.vias)]


class PointUse:
    """What a net may do at a grid point: enter it, and leave it by a via or along a track.
    `cross`: per layer, the coordinates of its tracks across its preferred direction (x of a
    horizontal layer's vertical tracks), ascending; they need not be grid lines."""

    def __init__(self, xs, ys, masks, owners, no_via, vertical: list[bool], cross: list | None = None):
        self.xs, self.ys, self.masks, self.owners, self.no_via = xs, ys, masks, owners, no_via
        self.vertical = vertical
        self.cross = cross or [np.zeros(0, dtype=np.int64)] * len(masks)

    def on_cross_track(self, z: int, coord: int) -> bool:
        tracks = self.cross[z]
        k = int(np.searchsorted(tracks, coord))
        return k < len(tracks) and int(tracks[k]) == coord

    def cross_track_within(self, z: int, lo: int, hi: int, near: int) -> int | None:
        """The track of layer z across its direction in [lo, hi] nearest to `near`, or None."""
        tracks = self.cross[z]
        inside = tracks[int(np.searchsorted(tracks, lo, "left")):int(np.searchsorted(tracks, hi, "right"))]
        if not len(inside):
            return None
        return int(inside[np.argmin(np.abs(inside - near))])

    def on_track(self, ix: int, iy: int, z: int) -> bool:
        x_mask, y_mask = self.masks[z]
        return bool(x_mask[ix] or y_mask[iy])

    def on_preferred(self, ix: int, iy: int, z: int) -> bool:
        x_mask, y_mask = self.masks[z]
        return bool(x_mask[ix] if self.vertical[z] else y_mask[iy])

    def enterable(self, ix: int, iy: int, z: int, net: int) -> bool:
        return (0 <= ix < len(self.xs) and 0 <= iy < len(self.ys) and self.on_track(ix, iy, z)
                and self.owners[z][iy, ix] in (FREE, net))

    def moves(self, ix: int, iy: int, z: int, net: int) -> list[Cell]:
        """The points a route of `net` can step to from this one: a via to a layer above or
        below, or a step along one of the point's tracks."""
        out = []
        for other in (z - 1, z + 1):
            if 0 <= other < len(self.masks) and not self.no_via[z][iy, ix] and not self.no_via[other][iy, ix] \
                    and self.on_preferred(ix, iy, z) and self.on_preferred(ix, iy, other) \
                    and self.enterable(ix, iy, other, net):
                out.append((ix, iy, other))
        x_mask, y_mask = self.masks[z]
        steps = ([(1, 0), (-1, 0)] if y_mask[iy] else []) + ([(0, 1), (0, -1)] if x_mask[ix] else [])
        out += [(ix + dx, iy + dy, z) for dx, dy in steps if self.enterable(ix + dx, iy + dy, z, net)]
        return out

    def has_exit(self, ix: int, iy: int, z: int, net: int) -> bool:
        return bool(self.moves(ix, iy, z, net))

    def escaping(self, cells: list[Cell], net: int, room: int = 24) -> list[Cell]:
        """Those of `cells` from which a route of `net` gets out into the open: the points
        reachable from them (a pin's neighbourhood) number at least `room`. A point shut in
        by other nets' pins and keep-outs is no way to the pin."""
        out = []
        left = set(cells)
        while left:
            start = min(left)
            seen = {start}
            todo = [start]
            while todo and len(seen) < room:
                for q in self.moves(*todo.pop(), net):
                    if q not in seen:
                        seen.add(q)
                        todo.append(q)
            group = seen & left
            left -= group
            if len(seen) >= room or todo:
                out += sorted(group)
        return sorted(out)

    def inside(self, rect: Rect, z: int) -> list[tuple[int, int]]:
        """The points of layer z's tracks inside `rect`."""
        ix = range(int(np.searchsorted(self.xs, rect.x0, "left")), int(np.searchsorted(self.xs, rect.x1, "right")))
        iy = range(int(np.searchsorted(self.ys, rect.y0, "left")), int(np.searchsorted(self.ys, rect.y1, "right")))
        return [(i, j) for i in ix for j in iy if self.on_track(i, j, z)]


def rect_clear(rules: LayerRules, rect: tuple[int, int, int, int], rects: FixedRects, net: int) -> bool:
    """Whether metal of `net` over `rect` (x0, y0, x1, y1) keeps clear of every fixed
    rectangle not of `net`."""
    if len(rects) == 0:
        return True
    x0, y0, x1, y1 = rect
    reach = 4 * (rules.width + rules.reach(rules.width))
    near = rects.near(x0 - reach, y0 - reach, x1 + reach, y1 + reach)
    owner = rects.owner[near]
    near = near[(owner != net) | (owner == NOBODY)]
    if len(near) == 0:
        return True
    close = rules.too_close(np.int64(x0), np.int64(y0), np.int64(x1), np.int64(y1),
                            rects.x0[near], rects.y0[near], rects.x1[near], rects.y1[near])
    return not close.any()


def clear_of_pads(rules: LayerRules, rect: tuple[int, int, int, int], use: "PointUse", z: int, net: int) -> bool:
    """Whether metal of `net` over `rect` keeps clear of a via pad on each grid point of
    layer z near it that another net owns: a route of that net may end there with a via, and
    the grid never sees metal between its points."""
    x0, y0, x1, y1 = rect
    reach = max(rules.pad.hx, rules.pad.hy) + rules.reach(rules.width)
    ix = slice(int(np.searchsorted(use.xs, x0 - reach, "left")), int(np.searchsorted(use.xs, x1 + reach, "right")))
    iy = slice(int(np.searchsorted(use.ys, y0 - reach, "left")), int(np.searchsorted(use.ys, y1 + reach, "right")))
    owners = use.owners[z][iy, ix]
    jy, jx = np.nonzero((owners >= 0) & (owners != net))
    if len(jx) == 0:
        return True
    px, py = np.asarray(use.xs)[ix][jx].astype(np.int64), np.asarray(use.ys)[iy][jy].astype(np.int64)
    pad = rules.pad
    close = rules.too_close(np.int64(x0), np.int64(y0), np.int64(x1), np.int64(y1),
                            px - pad.hx, py - pad.hy, px + pad.hx, py + pad.hy)
    return not close.any()


def _clear(rules: LayerRules, pad: Pad, x: int, y: int, rects: FixedRects, net: int) -> bool:
    """Whether a pad at (x, y) keeps clear of every fixed rectangle not of `net`."""
    return rect_clear(rules, pad.around(x, y), rects, net)


def on_grid_points(z: int, rect: Rect, net: int, use: PointUse) -> list[AccessPoint]:
    """The points inside a pin shape on grid layer z that the net owns and can leave."""
    return [AccessPoint((ix, iy, z)) for ix, iy in use.inside(rect, z) if use.owners[z][iy, ix] == net]


def stack_points(rect: Rect, net: int, stack: Stack, use: PointUse, rules_of: dict[str, LayerRules],
                 rects_of: dict[str, FixedRects]) -> list[AccessPoint]:
    """The points of the lowest grid layer above a pin shape below the grid where the via
    stack down to it fits (the stack's centre inside the pin, its pads clear of other metal)
    and which the net can leave."""
    out = []
    for ix, iy in use.inside(rect, 0):
        if not use.enterable(ix, iy, 0, net) or use.no_via[0][iy, ix] or not use.has_exit(ix, iy, 0, net) \
                or not stack.on_track(int(use.xs[ix]), int(use.ys[iy])):
            continue
        x, y = int(use.xs[ix]), int(use.ys[iy])
        if all(_clear(rules_of[layer], pad, x, y, rects_of.get(layer, FixedRects.of([])), net)
               for layer, pad in zip(stack.layers[:-1], stack.pads[:-1])):
            out.append(AccessPoint((ix, iy, 0), stack.wires(x, y)))
    return out


def _legs(x: int, y: int, rect: Rect, use: PointUse, z: int) -> list[tuple[tuple[int, int], tuple[int, int]]]:
    """An access wire on layer z from (x, y) into `rect`: along the layer's preferred direction to the
    shape's edge, then straight in; the second leg on a track of the layer across its
    direction where one crosses the shape (a wire off the tracks is a fault of its own)."""
    px, py = clamp_into(x, y, rect)
    vertical = use.vertical[z]
    if vertical and px != x:
        py = _on_cross_track(use, z, py, rect.y0, rect.y1)
    elif not vertical and py != y:
        px = _on_cross_track(use, z, px, rect.x0, rect.x1)
    legs = [((x, y), (x, py)), ((x, py), (px, py))] if vertical else [((x, y), (px, y)), ((px, y), (px, py))]
    return [(a, b) for a, b in legs if a != b]


def _on_cross_track(use: PointUse, z: int, coord: int, lo: float, hi: float) -> int:
    """`coord`, or the track of layer z across its direction nearest to it within [lo, hi]."""
    if use.on_cross_track(z, coord):
        return coord
    track = use.cross_track_within(z, math.ceil(lo), math.floor(hi), coord)
    return coord if track is None else track


def access_wire(shapes: list[tuple[int, Rect]], net: int, use: PointUse, layer_names: list[str],
                rules: list[LayerRules], fixed: dict[str, FixedRects], reach: int = 3,
                tries: int = 16, clear_only: bool = False) -> AccessPoint | None:
    """The nearest point around the net's shapes (within `reach` grid lines of the lines
    around a shape) that it may enter and leave, and whose access wire into the shape keeps
    clear of the fixed metal of other nets (`fixed`, per layer), and with it the via the route
    may take there, of the pads other nets may put on their points (a pin's only point beside
    it would force two vias too close); unless `clear_only`, the nearest such point whatever
    its wire when no wire keeps clear. None when there is none."""
    xs, ys = use.xs, use.ys
    candidates = []
    for z, rect in shapes:
        near = bracket_points(xs, ys, rect)
        ix0, ix1 = min(p[0] for p in near) - reach, max(p[0] for p in near) + reach
        iy0, iy1 = min(p[1] for p in near) - reach, max(p[1] for p in near) + reach
        for ix in range(max(ix0, 0), min(ix1, len(xs) - 1) + 1):
            for iy in range(max(iy0, 0), min(iy1, len(ys) - 1) + 1):
                if use.enterable(ix, iy, z, net):
                    candidates.append((distance2(xs[ix], ys[iy], rect), z, ix, iy, rect))
    candidates.sort(key=lambda c: c[:4])
    first = None
    for _, z, ix, iy, rect in candidates[:tries]:
        if not use.escaping([(ix, iy, z)], net):
            continue
        x, y = int(xs[ix]), int(ys[iy])
        legs = _legs(x, y, rect, use, z)
        half = rules[z].width // 2
        point = AccessPoint((ix, iy, z), [Wire(layer_names[z], a[0], a[1], b[0], b[1]) for a, b in legs])
        first = first or point
        rects = [(min(a[0], b[0]) - half, min(a[1], b[1]) - half, max(a[0], b[0]) + half, max(a[1], b[1]) + half)
                 for a, b in legs]
        if all(rect_clear(rules[z], r, fixed.get(layer_names[z], FixedRects.of([])), net)
               and clear_of_pads(rules[z], r, use, z, net) for r in rects) \
                and clear_of_pads(rules[z], rules[z].pad.around(x, y), use, z, net):
            return point
    return None if clear_only else first


def _via_choices(z: int, up: int, rules: list[LayerRules], via_names: list[str],
                 variants: dict[str, list[tuple[str, Pads]]] | None, layer_names: list[str]) -> list[tuple[str, list]]:
    """The vias that may join layers z and up, each with its pads as (layer index, rectangle
    around the via's origin): the LEF's variants of the grid's via in their order when known
    (see `layers.via_variants`), else the grid's via with the layers' largest pads."""
    options = (variants or {}).get(via_names[z])
    if not options:
        return [(via_names[z], [(k, rules[k].pad.around(0, 0)) for k in (z, up)])]
    return [(name, [(k, pads[layer_names[k]]) for k in (z, up) if layer_names[k] in pads]) for name, pads in options]


def _clear_via(choices: list[tuple[str, list]], layer_names: list[str], rules: list[LayerRules],
               fixed: dict[str, FixedRects], net: int, x: int, y: int) -> str | None:
    """The first of `choices` whose pads at (x, y) keep clear of other nets' metal, or None."""
    for name, pads in choices:
        if all(rect_clear(rules[k], moved(r, x, y),
                          fixed.get(layer_names[k], FixedRects.of([])), net) for k, r in pads):
            return name
    return None


def _upper_columns(tracks, on_track, lo: int, hi: int) -> list[tuple[int, int]]:
    """Where a via onto a shape spanning [lo, hi] across the upper layer's tracks may stand, as
    (track index, coordinate across): on each track crossing the shape; when none does, at
    the shape's middle, joined to the nearest track on either side by a short jog."""
    first, last = int(np.searchsorted(tracks, lo, "left")), int(np.searchsorted(tracks, hi, "right"))
    inside = [(i, int(tracks[i])) for i in range(first, last) if on_track[i]]
    if inside:
        return inside
    return [(i, (lo + hi) // 2) for i in _tracks_around(on_track, first, last) if i is not None]


def _tracks_around(on_track, first: int, last: int) -> tuple[int | None, int | None]:
    """The nearest lines on a track before line `first` and from line `last` on (None: none)."""
    below = next((i for i in range(first - 1, -1, -1) if on_track[i]), None)
    above = next((i for i in range(last, len(on_track)) if on_track[i]), None)
    return below, above


def _beside(along, pin_tracks, a0: float, a1: float) -> list[tuple[int, int]]:
    """The pin layer's nearest tracks below and above a shape spanning [a0, a1] that none
    crosses, each with the shape's edge it faces, (track, edge), the nearer first."""
    first, last = int(np.searchsorted(along, a0, "left")), int(np.searchsorted(along, a1, "right"))
    below, above = _tracks_around(pin_tracks, first, last)
    sides = ([(int(along[below]), math.ceil(a0))] if below is not None else []) + \
            ([(int(along[above]), math.floor(a1))] if above is not None else [])
    return sorted(sides, key=lambda s: (abs(s[0] - s[1]), s[0]))


def _leg_down(t: int, a: int, edge: int, point, use: PointUse, z: int, rules: LayerRules,
              fixed: FixedRects, net: int) -> Wire | None:
    """The leg on pin layer z from a via beside a pin, at track `t` of the layer above and
    track `a` of the pin's layer, straight across to the pin's `edge`: only on a track of
    layer z across its direction, and clear of other nets' fixed metal; else None."""
    if not use.on_cross_track(z, t):
        return None
    x0, y0, x1, y1 = *point(t, a), *point(t, edge)
    half = rules.width // 2
    if not rect_clear(rules, (min(x0, x1) - half, min(y0, y1) - half, max(x0, x1) + half, max(y0, y1) + half), fixed, net):
        return None
    return Wire(rules.name, x0, y0, x1, y1)


def from_above(shapes: list[tuple[int, Rect]], net: int, use: PointUse, layer_names: list[str],
               rules: list[LayerRules], fixed: dict[str, FixedRects], via_names: list[str],
               reach: int = 3, variants: dict[str, list[tuple[str, Pads]]] | None = None) -> AccessPoint | None:
    """A via down onto a pin shape from the grid layer above it, for a pin that no access wire
    on its own layer reaches cleanly. The via stands inside the shape: on a track of the layer
    above (else halfway between, with a jog to the nearest such track on the row it stands on),
    and across the shape on a track of the pin's layer where one crosses it. Where none does,
    beside the shape on the nearest such track, with a leg on the pin's layer straight across
    to the shape (on a track of that layer across its direction); else halfway across. A wire
    along the upper track joins it to the nearest point (within `reach` lines) the net may
    enter and leave. Only where a via's pads (the first of its `variants` that
    fits) and the wire keep clear of other nets' fixed metal; the nearest such way in, on a
    track before off it, or None."""
    found = []
    for z, rect in shapes:
        up = z + 1
        if up >= len(layer_names):
            continue
        choices = _via_choices(z, up, rules, via_names, variants, layer_names)
        vertical = use.vertical[up]
        tracks, along = (use.xs, use.ys) if vertical else (use.ys, use.xs)
        on_track = use.masks[up][0] if vertical else use.masks[up][1]
        lo, hi = (rect.x0, rect.x1) if vertical else (rect.y0, rect.y1)
        a0, a1 = (rect.y0, rect.y1) if vertical else (rect.x0, rect.x1)
        mid = (a0 + a1) // 2
        pin_tracks = use.masks[z][1] if vertical else use.masks[z][0]
        # the pin layer's tracks across the shape, nearest its middle first
        across = sorted((int(along[j]) for j in range(int(np.searchsorted(along, a0, "left")),
                                                      int(np.searchsorted(along, a1, "right"))) if pin_tracks[j]),
                        key=lambda a: (abs(a - mid), a))
        # where none does: beside the shape on the nearest such track, with a leg on the pin's
        # layer across to the shape; halfway across as the last resort (a via off the tracks)
        spots = [(a, None) for a in across] or _beside(along, pin_tracks, a0, a1) + [(mid, None)]
        k = int(np.searchsorted(along, mid))
        nearest = sorted(range(max(k - reach, 0), min(k + reach, len(along) - 1) + 1), key=lambda j: (abs(along[j] - mid), j))
        point = lambda t, a: (t, a) if vertical else (a, t)
        pin_fixed = fixed.get(layer_names[z], FixedRects.of([]))
        for i, t in _upper_columns(tracks, on_track, lo, hi):
            spot = via = down = None
            for a, edge in spots:
                down = None if edge is None else _leg_down(t, a, edge, point, use, z, rules[z], pin_fixed, net)
                if edge is not None and down is None:
                    continue
                via = _clear_via(choices, layer_names, rules, fixed, net, *point(t, a))
                if via is not None:
                    spot = a
                    break
            if spot is None:
                continue
            jog = t != int(tracks[i])
            off_track = jog or (not across and down is None)
            x, y = point(t, spot)
            for j in nearest:
                if jog and int(along[j]) != spot:
                    continue       # the jog runs straight across to the track, on the via's own row
                ix, iy = (i, j) if vertical else (j, i)
                if not use.enterable(ix, iy, up, net) or not use.escaping([(ix, iy, up)], net):
                    continue
                px, py = int(use.xs[ix]), int(use.ys[iy])
                half = rules[up].width // 2
                leg = (min(px, x) - half, min(py, y) - half, max(px, x) + half, max(py, y) + half)
                if (px, py) != (x, y) and not rect_clear(rules[up], leg, fixed.get(layer_names[up], FixedRects.of([])), net):
                    continue
                wires = ([Wire(layer_names[up], px, py, x, y)] if (px, py) != (x, y) else []) + \
                        [Wire(layer_names[z], x, y, x, y, via=via, next_layer=layer_names[up])] + \
                        ([down] if down is not None else [])
                found.append(((off_track, abs(int(along[j]) - spot)), (ix, iy, up), wires))
                break
    if not found:
        return None
    _, cell, wires = min(found, key=lambda f: f[:2])
    return AccessPoint(cell, wires)
