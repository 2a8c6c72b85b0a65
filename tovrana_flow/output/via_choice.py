"""Which of the LEF's vias for a layer change each via of the routes is written as.

The grid places one via per layer change, named by the grid map (the LEF's first `DEFAULT`
via on the two layers). Its landing pads are not square: on ispd18_test1 a `VIA12_1C` pad is
0.13 µm along x on Metal1, and two of them on neighbouring columns of one row, each forced
there by its own pin, stand 0.07 µm apart where the end-of-line rule asks 0.09 µm. The LEF
offers variants with the same cut and other pads (`VIA12_1C_V`: upright on Metal1). A via
whose pads come too close to other nets' metal is written as the first variant, in LEF
order, whose pads keep clear on both layers; when none does, it stays as it was.
"""
from __future__ import annotations

from dataclasses import replace

from ..design import Wire
from ..mapping.claims import FixedRects
from ..mapping.layers import Pads, moved, via_pads
from ..mapping.rules import LayerRules
from ..placed_shapes import segment_rect
from .nearby_metal import Metal, PackedMetal, clear_of

Rect = tuple[int, int, int, int]



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

    out = {}
    for net in sorted(wiring):
        wires = []
        for w in wiring[net]:
            options = variants.get(w.via) if w.via is not None else None
            if options and len(options) > 1 and w.layer in z_of and w.next_layer in z_of \
                    and not clear(options[0][1], w.x0, w.y0, net):
                pick = next(((name, pads) for name, pads in options[1:] if clear(pads, w.x0, w.y0, net)), None)
                if pick is not None:
                    w = replace(w, via=pick[0])
                    for layer, rect in pick[1].items():
                        if layer in z_of:
                            changed.add(z_of[layer], moved(rect, w.x0, w.y0), net)
            wires.append(w)
        out[net] = wires
    return out

