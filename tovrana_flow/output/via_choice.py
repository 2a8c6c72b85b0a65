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

from ..design import Wire
from ..mapping.claims import FixedRects
from ..mapping.layers import Pads, moved, via_pads
from ..mapping.rules import LayerRules
from ..placed_shapes import segment_rect
from .nearby_metal import Metal, PackedMetal, clear_of, union_area
from .pin_ends import own_pins

Rect = tuple[int, int, int, int]


def _overlap(a: Rect, b: Rect) -> Rect | None:
    """The common part of two rectangles with an inside, if any."""
    x0, y0, x1, y1 = max(a[0], b[0]), max(a[1], b[1]), min(a[2], b[2]), min(a[3], b[3])
    return (x0, y0, x1, y1) if x0 < x1 and y0 < y1 else None


def _protrusion(pads: Pads, x: int, y: int, own: dict[str, list[Rect]]) -> int:
    """The area of a via's pads at (x, y) outside the net's own metal `own` (per layer)."""
    total = 0
    for layer, rect in pads.items():
        pad = moved(rect, x, y)
        inside = [part for r in own.get(layer, ()) if (part := _overlap(r, pad))]
        total += (pad[2] - pad[0]) * (pad[3] - pad[1]) - union_area(inside)
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

    def own_metal(net: int) -> dict[str, list[Rect]]:
        out = {layer: list(rects) for layer, rects in pins.get(net, {}).items()}
        for w in wiring[net]:
            if w.via is None and w.layer in z_of:
                out.setdefault(w.layer, []).append((w.x0, w.y0, w.x1, w.y1) if w.patch else
                                                   segment_rect(w, rules[z_of[w.layer]].width // 2))
        return out

    def on_own_pin(pads: Pads, x: int, y: int, net: int) -> bool:
        mine = pins.get(net, {})
        return any(_overlap(moved(rect, x, y), p) for layer, rect in pads.items() for p in mine.get(layer, ()))

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

