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
    changed = Metal(8 * reach)

    def clear(pads: Pads, x: int, y: int, net: int) -> bool:
        for layer, rect in pads.items():
            z = z_of.get(layer)
            if z is None:
                continue
            pad = moved(rect, x, y)
            others = routed.near(z, pad, reach, net) | changed.near(z, pad, reach, net)
            if not clear_of(rules[z], pad, others, None, net):
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

    out = {}
    for net in sorted(wiring):
        wires, own = [], None
        for w in wiring[net]:
            options = variants.get(w.via) if w.via is not None else None
            if options and len(options) > 1 and w.layer in z_of and w.next_layer in z_of:
                x, y = w.x0, w.y0
                if on_own_pin(options[0][1], x, y, net):
                    own = own_metal(net) if own is None else own
                    ranked = sorted(options, key=lambda o: _protrusion(o[1], x, y, own))   # stable: LEF order
                    pick = next(((name, pads) for name, pads in ranked if clear(pads, x, y, net)), None)
                elif not clear(options[0][1], x, y, net):
                    pick = next(((name, pads) for name, pads in options[1:] if clear(pads, x, y, net)), None)
                else:
                    pick = None
                if pick is not None and pick[0] != w.via:
                    w = replace(w, via=pick[0])
                    for layer, rect in pick[1].items():
                        if layer in z_of:
                            changed.add(z_of[layer], moved(rect, w.x0, w.y0), net)
            wires.append(w)
        out[net] = wires
    return out

