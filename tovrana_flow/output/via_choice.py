"""Which of the LEF's vias for a layer change each via of the routes is written as.

The grid places one via per layer change, named by the grid map (the LEF's first `DEFAULT`
via on the two layers). Its landing pads are not square: on ispd18_test1 a `VIA12_1C` pad is
0.13 µm along x on Metal1, and two of them on neighbouring columns of one row, each forced
there by its own pin, stand 0.07 µm apart where the end-of-line rule asks 0.09 µm. The LEF
offers variants with the same cut and other pads (`VIA12_1C_V`: upright on Metal1). A via
whose pads come too close to other nets' metal is written as the first variant, in LEF
order, whose pads keep clear on both layers; when none does, it stays as it was.

A via that lands on its net's own pin takes, among the variants that keep clear, the one
whose pads stick out least beyond the net's metal there (its pins, wires and patches): the
pad merges with the pin, and a pad that bulges across a narrow pin makes the merged shape
wider than the spacing table's first row, which then asks more room of every neighbour.
"""
from __future__ import annotations

import itertools
from collections import defaultdict
from dataclasses import replace

import numpy as np

from ..design import Wire
from ..mapping.claims import FixedRects
from ..mapping.layers import Pads, moved, via_pads
from ..mapping.rules import LayerRules
from ..placed_shapes import segment_rect
from .nearby_metal import Metal, PackedMetal, clear_of, union_area
from .pin_ends import own_pins

Rect = tuple[int, int, int, int]


def _widest_under(pins: np.ndarray | None, pad: Rect) -> int:
    """The width of the widest of the net's pin rectangles `pins` a pad overlaps (0: none)."""
    if pins is None:
        return 0
    hit = (pins[:, 0] < pad[2]) & (pins[:, 2] > pad[0]) & (pins[:, 1] < pad[3]) & (pins[:, 3] > pad[1])
    if not hit.any():
        return 0
    p = pins[hit]
    return int(np.max(np.minimum(p[:, 2] - p[:, 0], p[:, 3] - p[:, 1])))


def _protrusion(pads: Pads, x: int, y: int, own: dict[str, np.ndarray]) -> int:
    """The area of a via's pads at (x, y) outside the net's own metal `own` (per layer, rows
    of x0, y0, x1, y1)."""
    total = 0
    for layer, rect in pads.items():
        x0, y0, x1, y1 = moved(rect, x, y)
        total += (x1 - x0) * (y1 - y0)
        rects = own.get(layer)
        if rects is None:
            continue
        part = np.column_stack([np.maximum(rects[:, 0], x0), np.maximum(rects[:, 1], y0),
                                np.minimum(rects[:, 2], x1), np.minimum(rects[:, 3], y1)])
        part = part[(part[:, 0] < part[:, 2]) & (part[:, 1] < part[:, 3])]
        total -= union_area(part.tolist())
    return total


def choose_vias(wiring: dict[int, list[Wire]], variants: dict[str, list[tuple[str, Pads]]],
                rules: list[LayerRules], layer_names: list[str], fixed: dict[str, FixedRects],
                reach: int) -> dict[int, list[Wire]]:
    """Net -> its wiring with each via between two grid layers written as the first of its
    `variants` (per via name, itself first, see `mapping.layers.via_variants`) whose pads keep
    clear of other nets' metal within `reach` (routed, fixed, and vias changed before, nets
    in ascending order); everything else as it was. The fixed metal is looked up with the
    routes' (its owner as the net), so that a look-up reads only what lies near."""
    z_of = {name: z for z, name in enumerate(layer_names)}
    pads_of = via_pads(variants)     # the grid's vias, and a variant an access via chose
    routed = PackedMetal(8 * reach)
    for net, wires in wiring.items():
        for w in wires:
            if w.via is not None:
                for layer, rect in pads_of.get(w.via, {}).items():
                    if layer in z_of:
                        routed.add(z_of[layer], moved(rect, w.x0, w.y0), net)
            elif w.layer in z_of:
                rect = (w.x0, w.y0, w.x1, w.y1) if w.patch else segment_rect(w, rules[z_of[w.layer]].width // 2)
                routed.add(z_of[w.layer], rect, net)
    for layer, rects in fixed.items():       # fixed metal with its owner (NOBODY is no net id)
        if layer in z_of:
            for row in zip(rects.x0.tolist(), rects.y0.tolist(), rects.x1.tolist(), rects.y1.tolist(),
                           rects.owner.tolist()):
                routed.add(z_of[layer], row[:4], row[4])
    routed.pack()
    changed = Metal(8 * reach)                  # the pads of the vias written as another variant
    removed: dict[int, set[Rect]] = defaultdict(set)     # and the grid's pads they replace

    def clear(pads: Pads, x: int, y: int, net: int) -> bool:
        for layer, rect in pads.items():
            z = z_of.get(layer)
            if z is None:
                continue
            pad = moved(rect, x, y)
            others = (routed.near(z, pad, reach, net) - removed[z]) | changed.near(z, pad, reach, net)
            if not clear_of(rules[z], pad, others, None, net, _widest_under(pins_of(net).get(layer), pad)):
                return False
        return True

    pins = own_pins(fixed)
    pin_arrays: dict[int, dict[str, np.ndarray]] = {}

    def pins_of(net: int) -> dict[str, np.ndarray]:
        if net not in pin_arrays:
            pin_arrays[net] = {layer: np.array(rects, dtype=np.int64).reshape(-1, 4)
                               for layer, rects in pins.get(net, {}).items()}
        return pin_arrays[net]

    def own_metal(net: int) -> dict[str, np.ndarray]:
        """The net's pins, wires and patches per layer (its vias' pads are what is chosen)."""
        rows = {layer: [tuple(r) for r in rects.tolist()] for layer, rects in pins_of(net).items()}
        for w in wiring[net]:
            if w.via is None and w.layer in z_of:
                rows.setdefault(w.layer, []).append((w.x0, w.y0, w.x1, w.y1) if w.patch else
                                                    segment_rect(w, rules[z_of[w.layer]].width // 2))
        return {layer: np.array(r, dtype=np.int64).reshape(-1, 4) for layer, r in rows.items()}

    def on_own_pin(pads: Pads, x: int, y: int, net: int) -> bool:
        mine = pins_of(net)
        for layer, rect in pads.items():
            p = mine.get(layer)
            if p is not None:
                x0, y0, x1, y1 = moved(rect, x, y)
                if ((p[:, 0] < x1) & (p[:, 2] > x0) & (p[:, 1] < y1) & (p[:, 3] > y0)).any():
                    return True
        return False

    out = {net: list(wires) for net, wires in sorted(wiring.items())}
    # the vias that may change: (net, index in its wires) -> their variants, the best first
    ranked: dict[tuple[int, int], list[tuple[str, Pads]]] = {}
    for net, wires in out.items():
        own = None
        for k, w in enumerate(wires):
            options = variants.get(w.via) if w.via is not None else None
            if not options or len(options) < 2 or w.layer not in z_of or w.next_layer not in z_of:
                continue
            if on_own_pin(options[0][1], w.x0, w.y0, net):
                own = own_metal(net) if own is None else own
                options = sorted(options, key=lambda o, x=w.x0, y=w.y0: _protrusion(o[1], x, y, own))  # stable
            ranked[net, k] = options

    rewritten: set[tuple[int, int]] = set()      # vias whose pads are in `changed`

    def rewrite(key: tuple[int, int], name: str) -> None:
        net, k = key
        w = out[net][k]
        for layer, rect in pads_of[w.via].items():
            if layer in z_of:
                z, r = z_of[layer], moved(rect, w.x0, w.y0)
                if key in rewritten:
                    changed.remove(z, r, net)
                else:
                    removed[z].add(r)          # the grid's via: in `routed`, looked past from now on
        for layer, rect in pads_of[name].items():
            if layer in z_of:
                changed.add(z_of[layer], moved(rect, w.x0, w.y0), net)
        rewritten.add(key)
        out[net][k] = replace(w, via=name)

    def fits(key: tuple[int, int], name: str | None = None) -> bool:
        w = out[key[0]][key[1]]
        return clear(pads_of[name or w.via], w.x0, w.y0, key[0])

    # first every via on a pin, or too close, takes the best variant that keeps clear of the
    # others as they stand; then those still too close try again among the others' choices
    doubtful = list(ranked)        # the vias some round found too close
    for round_ in range(3):
        moved_any, seen = False, []
        for key in doubtful:
            options = ranked[key]
            w = out[key[0]][key[1]]
            if (round_ > 0 or options[0][0] == w.via) and fits(key):
                continue
            seen.append(key)
            pick = next((name for name, _ in options if fits(key, name)), None)
            if pick is not None and pick != w.via:
                rewrite(key, pick)
                moved_any = True
        doubtful = seen
        if not moved_any:
            break
    # last, a via still too close tries its variants together with those of the other nets'
    # vias nearest it: two vias a row apart on one column may each need the pad only the
    # other's variant makes room for
    buckets: dict[tuple[int, int], list[tuple[int, int]]] = defaultdict(list)
    for key in ranked:
        w = out[key[0]][key[1]]
        buckets[w.x0 // reach, w.y0 // reach].append(key)
    for key in doubtful:
        if fits(key):
            continue
        group = [key] + _neighbours(key, buckets, out, reach)[:2]
        before = [out[n][k].via for n, k in group]
        for combo in itertools.product(*([name for name, _ in ranked[g]] for g in group)):
            for g, name in zip(group, combo):
                if out[g[0]][g[1]].via != name:
                    rewrite(g, name)
            if all(fits(g) for g in group):
                break
        else:
            for g, name in zip(group, before):
                if out[g[0]][g[1]].via != name:
                    rewrite(g, name)
    return out


def _neighbours(key: tuple[int, int], buckets: dict, out, reach: int) -> list[tuple[int, int]]:
    """Other nets' vias that may change (`buckets`: by position // reach) within `reach` of
    the via `key` on both axes, nearest first."""
    w = out[key[0]][key[1]]
    bx, by = w.x0 // reach, w.y0 // reach
    near = []
    for other in (o for i in (-1, 0, 1) for j in (-1, 0, 1) for o in buckets.get((bx + i, by + j), ())):
        v = out[other[0]][other[1]]
        dx, dy = abs(v.x0 - w.x0), abs(v.y0 - w.y0)
        if other[0] != key[0] and dx <= reach and dy <= reach:
            near.append((dx + dy, other))
    return [other for _, other in sorted(near)]
