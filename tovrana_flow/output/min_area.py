"""Patches where a net's metal on a layer is smaller than the layer's minimum area.

A via whose landing pad carries no wire on its layer (the middle of a stack of vias, or a
via that ends a route on a pin smaller than the layer's `AREA`) leaves too little metal.
Such a piece gets a patch, placed over the piece where
it keeps clear of other nets' metal: the piece's box grown by just the missing area, along
the tracks to either end or both, else across them. A piece that touches the net's own pin
on that layer counts the pin's area as its own.
"""
from __future__ import annotations

from collections import defaultdict

from ..design import Wire
from ..grid_routes import Cell, Route, via_cells
from ..mapping.claims import FixedRects
from ..mapping.layers import Pads, moved
from ..mapping.rules import LayerRules
from .nearby_metal import Metal, PackedMetal, clear_of, union_area, widest_step
from .pin_ends import cells_in_pins, own_pins, pin_under_step

Rect = tuple[int, int, int, int]


def _shapes(route: Route, access, xs, ys, rules: list[LayerRules], z_of: dict[str, int],
            via_pads: dict[str, Pads], written: dict[tuple[int, int, int], list[Rect]],
            pins: dict[int, list[Rect]]) -> dict[int, list[tuple[Rect, list[Cell]]]]:
    """Per layer, the route's metal as rectangles with the cells each one holds; an access
    wire, and the pads of a via down onto a pin, hold their access point's cell. A via cell's
    pads are those `written` at its point and layer, else the layer's largest pad; a step
    inside one of the net's pin rectangles (`pins`, per layer) is that rectangle, since the
    writer leaves the step out (see `pin_ends`)."""
    out: dict[int, list] = defaultdict(list)
    for point in access:
        for w in point.wires:
            z = z_of.get(w.layer)
            if w.via is not None:
                for layer, r in via_pads.get(w.via, {}).items():
                    if layer in z_of:
                        out[z_of[layer]].append((moved(r, w.x0, w.y0), [point.cell]))
            elif z is not None:
                half = rules[z].width // 2
                out[z].append(((min(w.x0, w.x1) - half, min(w.y0, w.y1) - half, max(w.x0, w.x1) + half,
                                max(w.y0, w.y1) + half), [point.cell]))
    inside = cells_in_pins(pins, xs, ys)
    for a, b in route.edges:
        if a[2] == b[2]:
            half = rules[a[2]].width // 2
            x0, x1 = sorted((int(xs[a[0]]), int(xs[b[0]])))
            y0, y1 = sorted((int(ys[a[1]]), int(ys[b[1]])))
            pin = pin_under_step(x0, y0, x1, y1, pins[a[2]]) if a in inside and b in inside else None
            out[a[2]].append((pin or (x0 - half, y0 - half, x1 + half, y1 + half), [a, b]))
    for c in via_cells(route.edges):
        x, y = int(xs[c[0]]), int(ys[c[1]])
        for rect in written.get((x, y, c[2])) or [rules[c[2]].pad.around(x, y)]:
            out[c[2]].append((rect, [c]))
    return out


def written_pads(wires: list[Wire], z_of: dict[str, int], via_pads: dict[str, Pads]
                 ) -> dict[tuple[int, int, int], list[Rect]]:
    """(x, y, layer index) -> the pads a net's written vias put there."""
    out: dict[tuple[int, int, int], list[Rect]] = defaultdict(list)
    for w in wires:
        for layer, rect in via_pads.get(w.via, {}).items() if w.via is not None else ():
            if layer in z_of:
                out[w.x0, w.y0, z_of[layer]].append(moved(rect, w.x0, w.y0))
    return out


def _pieces(shapes: list[tuple[Rect, list[Cell]]]) -> list[tuple[list[Rect], set[Cell]]]:
    """The shapes of one layer grouped into connected pieces (shapes sharing a cell)."""
    parent = list(range(len(shapes)))

    def find(i):
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    owner: dict[Cell, int] = {}
    for i, (_, cells) in enumerate(shapes):
        for c in cells:
            j = owner.setdefault(c, i)
            if j != i:
                parent[find(i)] = find(j)
    groups: dict[int, tuple[list, set]] = {}
    for i, (rect, cells) in enumerate(shapes):
        g = groups.setdefault(find(i), ([], set()))
        g[0].append(rect)
        g[1].update(cells)
    return [groups[k] for k in sorted(groups)]


def _patch(rules: LayerRules, rects: list[Rect], deficit: int, grid: int) -> list[Rect]:
    """Candidate patches for a piece short of `deficit` square units: its bounding box
    grown just enough, along the layer's tracks first (to either end, then to both), then
    across them, then a strip one wire wide through its middle either way; each covers or
    crosses the piece, so it joins it."""
    x0, y0 = min(r[0] for r in rects), min(r[1] for r in rects)
    x1, y1 = max(r[2] for r in rects), max(r[3] for r in rects)

    def grown(extent: int) -> int:
        step = -(-deficit // max(extent, 1))
        return -(-step // grid) * grid

    along_x = [(x0 - grown(y1 - y0), y0, x1, y1), (x0, y0, x1 + grown(y1 - y0), y1),
               (x0 - grown(y1 - y0) // 2 // grid * grid, y0, x1 + -(-grown(y1 - y0) // 2 // grid) * grid, y1)]
    along_y = [(x0, y0 - grown(x1 - x0), x1, y1), (x0, y0, x1, y1 + grown(x1 - x0)),
               (x0, y0 - grown(x1 - x0) // 2 // grid * grid, x1, y1 + -(-grown(x1 - x0) // 2 // grid) * grid)]
    # last, strips one wire wide through the middle, out of both ends: a piece as wide as the
    # spacing table's wider rows asks more room than a wire does beside a neighbouring pin
    w, cx, cy = rules.width, (x0 + x1) // 2, (y0 + y1) // 2
    reach = -(-deficit // (2 * max(w, 1)) // grid) * grid
    strip_y = (cx - w // 2, y0 - reach, cx + w - w // 2, y1 + reach)
    strip_x = (x0 - reach, cy - w // 2, x1 + reach, cy + w - w // 2)
    strips = [strip_y, strip_x] if rules.vertical else [strip_x, strip_y]
    return (along_y + along_x if rules.vertical else along_x + along_y) + strips


def _enough(rules: LayerRules, rects: list[Rect], pins: list[Rect], deficit: int, grid: int):
    """The candidate patches (`_patch`) that bring the piece with its own pins `pins` up to
    the minimum area. Where a candidate covers metal the deficit counted already (a pin, the
    piece's own wire), it is grown again by twice what it still lacks: a strip grown at both
    ends may gain area at one end only."""
    for k, p in enumerate(_patch(rules, rects, deficit, grid)):
        extra = 0
        for _ in range(4):
            short = rules.min_area - union_area(rects + pins + [p])
            if short <= 0:
                yield p
                break
            extra += 2 * short
            p = _patch(rules, rects, deficit + extra, grid)[k]


def _own_pins(rects: list[Rect], pins: list[Rect]) -> list[Rect]:
    """Those of the net's pin rectangles `pins` that touch the piece `rects`."""
    x0, y0 = min(r[0] for r in rects), min(r[1] for r in rects)
    x1, y1 = max(r[2] for r in rects), max(r[3] for r in rects)
    near = [p for p in pins if p[0] <= x1 and x0 <= p[2] and p[1] <= y1 and y0 <= p[3]]
    return [p for p in near if any(p[0] <= r[2] and r[0] <= p[2] and p[1] <= r[3] and r[1] <= p[3] for r in rects)]


def _runs(rects: list[Rect]) -> list[Rect]:
    """The same union with rectangles of one span across joined where they meet along: a
    route's wire is one rectangle per grid step, its runs a few."""
    for along in (0, 1):
        across = 1 - along
        out = []
        for r in sorted(rects, key=lambda r: (r[across], r[across + 2], r[along])):
            last = out[-1] if out else None
            if last and (last[across], last[across + 2]) == (r[across], r[across + 2]) and r[along] <= last[along + 2]:
                grown = list(last)
                grown[along + 2] = max(last[along + 2], r[along + 2])
                out[-1] = tuple(grown)
            else:
                out.append(r)
        rects = out
    return rects


def _area_with_pins(rects: list[Rect], pins: list[Rect], min_area: int) -> int:
    """The piece's area with the net's pins it touches: exact below `min_area`, and at least
    `min_area` when one run alone covers that much (the union is no smaller)."""
    rects = _runs(rects)
    largest = max((r[2] - r[0]) * (r[3] - r[1]) for r in rects)
    if largest >= min_area:
        return largest
    return union_area(rects + _own_pins(rects, pins))


def min_area_patches(routes: dict[int, Route], access: dict, xs, ys, rules: list[LayerRules],
                     layer_names: list[str], fixed: dict[str, FixedRects], grid: int = 1,
                     via_pads: dict[str, Pads] | None = None,
                     wiring: dict[int, list[Wire]] | None = None) -> dict[int, list[Wire]]:
    """Net -> the patches its routes need. `access`: per net the access points its route
    uses (their wires, and the pads of their vias by `via_pads`, are its metal too); `fixed`:
    per layer name the fixed metal (the nets' pins among it); `grid`: the manufacturing grid
    in database units; `wiring`: per net the wires as they will be written, whose vias' pads
    (by `via_pads`) stand for the route's via cells (without it, each via cell is the layer's
    largest pad). A piece gets the first candidate patch that keeps clear of other nets'
    metal, routed, fixed and patches placed before; a piece with no such candidate gets none
    (too small beats a short)."""
    if not any(r.min_area for r in rules):
        return {}
    z_of = {name: z for z, name in enumerate(layer_names)}
    step = widest_step(xs, ys)
    routed = PackedMetal(8 * step)
    small = []    # (net, layer, the piece's rectangles, the net's pins it touches, its area with them)
    pins = own_pins(fixed)
    for net in sorted(routes):
        written = written_pads((wiring or {}).get(net, ()), z_of, via_pads or {})
        mine = {z_of[layer]: rects for layer, rects in pins.get(net, {}).items() if layer in z_of}
        shapes = _shapes(routes[net], access.get(net, ()), xs, ys, rules, z_of, via_pads or {}, written, mine)
        for z in sorted(shapes):
            for rect, _ in shapes[z]:
                routed.add(z, rect, net)
            if not rules[z].min_area:
                continue
            for rects, _ in _pieces(shapes[z]):
                net_pins = pins.get(net, {}).get(layer_names[z], [])
                area = _area_with_pins(rects, net_pins, rules[z].min_area)
                if area < rules[z].min_area:
                    small.append((net, z, rects, _own_pins(rects, net_pins), area))
    routed.pack()
    placed = Metal(8 * step)
    out: dict[int, list[Wire]] = {}
    reach = 2 * step
    for net, z, rects, touching, area in small:
        r = rules[z]
        choice = next((p for p in _enough(r, rects, touching, r.min_area - area, grid)
                       if clear_of(r, p, routed.near(z, p, reach, net) | placed.near(z, p, reach, net),
                                 fixed.get(layer_names[z]), net)), None)
        if choice is None:
            continue
        placed.add(z, choice, net)
        out.setdefault(net, []).append(Wire(layer_names[z], choice[0], choice[1], choice[2], choice[3], patch=True))
    return out
