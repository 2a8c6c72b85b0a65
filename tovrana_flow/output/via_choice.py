"""Which of the LEF's vias for a layer change each via of the routes is written as.

The grid places one via per layer change, named by the grid map (the LEF's first `DEFAULT`
via on the two layers). Its landing pads are not square: on ispd18_test1 a `VIA12_1C` pad is
0.13 µm along x on Metal1, and two of them on neighbouring columns of one row, each forced
there by its own pin, stand 0.07 µm apart where the end-of-line rule asks 0.09 µm. The LEF
offers variants with the same cut and other pads (`VIA12_1C_V`: upright on Metal1). A via
whose pads come too close to other nets' metal is written as the first variant, in LEF
order, whose pads keep clear on both layers; when none does, it stays as it was.

A via that lands on its net's own pin takes, among the variants that keep clear, the one
whose pads stick out least beyond the net's metal there (its pins and wires): the pad merges
with the pin, and a pad that bulges across a narrow pin makes the merged shape wider than
the spacing table's first row, which then asks more room of every neighbour. A pad on a pin
is judged at the pin's width where the pin is the wider.

The choice runs in rounds: first each via against the others as they stand, then those
still too close against the others' choices, and last each via still too close together
with the two other nets' vias nearest it, every combination of their variants: three vias
of neighbouring pins may each need the pad only another's variant makes room for.
"""
from __future__ import annotations

import itertools
from collections import defaultdict
from dataclasses import replace

import numpy as np

from ..design import Wire
from ..mapping.claims import FixedRects
from ..mapping.layers import Pads, moved, via_pads
from ..mapping.rules import LayerRules, merged_width
from ..placed_shapes import segment_rect
from .nearby_metal import Metal, PackedMetal, clear_of, union_area
from .pin_ends import own_pins

Rect = tuple[int, int, int, int]


def _merged(pins: np.ndarray | None, pad: Rect) -> int:
    """The width of the pad merged with the one of the net's pin rectangles `pins` that
    makes the widest union with it (0: it overlaps none; see `rules.merged_width`)."""
    if pins is None:
        return 0
    hit = (pins[:, 0] < pad[2]) & (pins[:, 2] > pad[0]) & (pins[:, 1] < pad[3]) & (pins[:, 3] > pad[1])
    if not hit.any():
        return 0
    p = pins[hit]
    return int(np.max(merged_width(*pad, p[:, 0], p[:, 1], p[:, 2], p[:, 3])))


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


Key = tuple[int, int]        # a via: (net, index in the net's wires)


class _Layout:
    """The vias being chosen, and the metal they must keep clear of."""

    def __init__(self, wiring: dict[int, list[Wire]], variants: dict[str, list[tuple[str, Pads]]],
                 rules: list[LayerRules], layer_names: list[str], fixed: dict[str, FixedRects], reach: int):
        self.rules, self.reach = rules, reach
        self.z_of = {name: z for z, name in enumerate(layer_names)}
        self.pads_of = via_pads(variants)     # the grid's vias, and a variant an access via chose
        self.out = {net: list(wires) for net, wires in sorted(wiring.items())}
        self.routed = self._metal(wiring, fixed)
        self.changed = Metal(8 * reach)                       # the pads of the vias rewritten
        self.removed: dict[int, set[Rect]] = defaultdict(set)   # and the grid's pads they replace
        self.rewritten: set[Key] = set()
        pins = own_pins(fixed)
        self.pins = {net: {layer: np.array(rects, dtype=np.int64).reshape(-1, 4) for layer, rects in by_layer.items()}
                     for net, by_layer in pins.items()}
        self.ranked = self._ranked(variants)

    def _metal(self, wiring, fixed) -> PackedMetal:
        """Every net's routed metal and the fixed metal with its owner (NOBODY is no net id),
        looked up together so that a look-up reads only what lies near."""
        z_of, routed = self.z_of, PackedMetal(8 * self.reach)
        for net, wires in wiring.items():
            for w in wires:
                if w.via is not None:
                    for layer, rect in self.pads_of.get(w.via, {}).items():
                        if layer in z_of:
                            routed.add(z_of[layer], moved(rect, w.x0, w.y0), net)
                elif w.layer in z_of:
                    rect = (w.x0, w.y0, w.x1, w.y1) if w.patch else segment_rect(w, self.rules[z_of[w.layer]].width // 2)
                    routed.add(z_of[w.layer], rect, net)
        for layer, rects in fixed.items():
            if layer in z_of:
                for row in zip(rects.x0.tolist(), rects.y0.tolist(), rects.x1.tolist(), rects.y1.tolist(),
                               rects.owner.tolist()):
                    routed.add(z_of[layer], row[:4], row[4])
        routed.pack()
        return routed

    def _own_metal(self, net: int) -> dict[str, np.ndarray]:
        """The net's pins and wires per layer (its vias' pads are what is chosen)."""
        rows = {layer: [tuple(r) for r in rects.tolist()] for layer, rects in self.pins.get(net, {}).items()}
        for w in self.out[net]:
            if w.via is None and w.layer in self.z_of:
                rows.setdefault(w.layer, []).append((w.x0, w.y0, w.x1, w.y1) if w.patch else
                                                    segment_rect(w, self.rules[self.z_of[w.layer]].width // 2))
        return {layer: np.array(r, dtype=np.int64).reshape(-1, 4) for layer, r in rows.items()}

    def _on_own_pin(self, pads: Pads, x: int, y: int, net: int) -> bool:
        mine = self.pins.get(net, {})
        return any(_merged(mine.get(layer), moved(rect, x, y)) for layer, rect in pads.items())

    def _ranked(self, variants) -> dict[Key, list[str]]:
        """The vias that may change, each with its variants' names, the best first: LEF
        order, or on the net's own pin the least protrusion first (a stable sort)."""
        ranked = {}
        for net, wires in self.out.items():
            own = None
            for k, w in enumerate(wires):
                options = variants.get(w.via) if w.via is not None else None
                if not options or len(options) < 2 or w.layer not in self.z_of or w.next_layer not in self.z_of:
                    continue
                if self._on_own_pin(options[0][1], w.x0, w.y0, net):
                    own = self._own_metal(net) if own is None else own
                    options = sorted(options, key=lambda o, x=w.x0, y=w.y0: _protrusion(o[1], x, y, own))
                ranked[net, k] = [name for name, _ in options]
        return ranked

    def via(self, key: Key) -> Wire:
        return self.out[key[0]][key[1]]

    def fits(self, key: Key, name: str | None = None) -> bool:
        """Whether the via (written as `name`, default: as it stands) keeps clear of the
        other nets' metal as it stands."""
        w, net = self.via(key), key[0]
        for layer, rect in self.pads_of[name or w.via].items():
            z = self.z_of.get(layer)
            if z is None:
                continue
            pad = moved(rect, w.x0, w.y0)
            others = (self.routed.near(z, pad, self.reach, net) - self.removed[z]) | \
                self.changed.near(z, pad, self.reach, net)
            if not clear_of(self.rules[z], pad, others, None, net, _merged(self.pins.get(net, {}).get(layer), pad)):
                return False
        return True

    def rewrite(self, key: Key, name: str) -> None:
        w, net = self.via(key), key[0]
        for layer, rect in self.pads_of[w.via].items():
            if layer in self.z_of:
                z, r = self.z_of[layer], moved(rect, w.x0, w.y0)
                if key in self.rewritten:
                    self.changed.remove(z, r, net)
                else:
                    self.removed[z].add(r)      # the grid's via: in `routed`, looked past from now on
        for layer, rect in self.pads_of[name].items():
            if layer in self.z_of:
                self.changed.add(self.z_of[layer], moved(rect, w.x0, w.y0), net)
        self.rewritten.add(key)
        self.out[net][key[1]] = replace(w, via=name)

    def set_all(self, keys: list[Key], names) -> None:
        for key, name in zip(keys, names):
            if self.via(key).via != name:
                self.rewrite(key, name)


def choose_vias(wiring: dict[int, list[Wire]], variants: dict[str, list[tuple[str, Pads]]],
                rules: list[LayerRules], layer_names: list[str], fixed: dict[str, FixedRects],
                reach: int) -> dict[int, list[Wire]]:
    """Net -> its wiring with each via between two grid layers written as one of its
    `variants` (per via name, itself first, see `mapping.layers.via_variants`) whose pads keep
    clear of other nets' metal within `reach` (see the module doc); everything else as it was."""
    layout = _Layout(wiring, variants, rules, layer_names, fixed, reach)
    doubtful = _alone(layout)
    _together(layout, doubtful)
    return layout.out


def _alone(layout: _Layout, rounds: int = 3) -> list[Key]:
    """Each via on a pin, or too close, takes the best of its variants that keeps clear of
    the others as they stand, round after round while one changes; returns the vias the last
    round found too close."""
    doubtful = list(layout.ranked)
    for round_ in range(rounds):
        moved_any, seen = False, []
        for key in doubtful:
            names = layout.ranked[key]
            current = layout.via(key).via
            if (round_ > 0 or names[0] == current) and layout.fits(key):
                continue
            seen.append(key)
            pick = next((name for name in names if layout.fits(key, name)), None)
            if pick is not None and pick != current:
                layout.rewrite(key, pick)
                moved_any = True
        doubtful = seen
        if not moved_any:
            break
    return doubtful


def _together(layout: _Layout, doubtful: list[Key]) -> None:
    """Each via still too close tries every combination of its variants with those of the
    two other nets' vias nearest it, and keeps the first that leaves all three clear."""
    reach = layout.reach
    buckets: dict[tuple[int, int], list[Key]] = defaultdict(list)
    for key in layout.ranked:
        w = layout.via(key)
        buckets[w.x0 // reach, w.y0 // reach].append(key)
    for key in doubtful:
        if layout.fits(key):
            continue
        group = [key] + _neighbours(layout, key, buckets)[:2]
        before = [layout.via(g).via for g in group]
        for combo in itertools.product(*(layout.ranked[g] for g in group)):
            layout.set_all(group, combo)
            if all(layout.fits(g) for g in group):
                break
        else:
            layout.set_all(group, before)


def _neighbours(layout: _Layout, key: Key, buckets: dict) -> list[Key]:
    """Other nets' vias that may change (`buckets`: by position // reach) within reach of the
    via `key` on both axes, nearest first."""
    w, reach = layout.via(key), layout.reach
    bx, by = w.x0 // reach, w.y0 // reach
    near = []
    for other in (o for i in (-1, 0, 1) for j in (-1, 0, 1) for o in buckets.get((bx + i, by + j), ())):
        v = layout.via(other)
        dx, dy = abs(v.x0 - w.x0), abs(v.y0 - w.y0)
        if other[0] != key[0] and dx <= reach and dy <= reach:
            near.append((dx + dy, other))
    return [other for _, other in sorted(near)]
