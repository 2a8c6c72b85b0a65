"""The contest's soft measures of regular wiring: length and vias, wrong-way wire, off-track
wires and vias, and wiring outside the net's route guides. All lengths are centre-line
lengths in database units; special wiring is the input's and not measured.

- wrong way: a wire running across its layer's preferred direction;
- off track: a wire whose centre line is not on a track of its layer in its own direction
  (a horizontal wire on a horizontal track: the DEF's `TRACKS Y ... LAYER`, else the LEF's
  pitch and offset along y); a via whose centre is off the preferred-direction tracks of
  either of its two routing layers;
- out of guide: the part of a wire outside the union of its net's guide boxes on its layer
  (boxes closed: the border is inside); a via outside them on either of its layers. A net
  the guide file does not name is outside everywhere.
"""
from __future__ import annotations

from collections import defaultdict
from dataclasses import dataclass, field

from ..design import Design, Guides, Tech, Wire

MEASURES = ("wire_length", "vias", "wrong_way_length", "off_track_length", "off_track_vias",
            "out_of_guide_length", "out_of_guide_vias")


@dataclass
class SoftMeasures:
    """Per routing layer (a via counts on the layer the wiring was on where it was placed)."""
    per_layer: dict[str, dict[str, int]] = field(default_factory=dict)
    guided: bool = False           # a guide file was given

    def total(self, measure: str) -> int:
        return sum(m[measure] for m in self.per_layer.values())


class _Tracks:
    """Track positions of each routing layer and axis ("X": vertical tracks, at x)."""

    def __init__(self, tech: Tech, design: Design):
        self.sets: dict[tuple[str, str], list[tuple[int, int, int | None]]] = defaultdict(list)
        for t in design.tracks:
            for layer in t.layers:
                self.sets[layer, t.axis].append((t.start, t.step, t.count))
        dbu = design.dbu_per_micron
        for layer in tech.routing_layers():
            for axis in ("X", "Y"):
                pitch = layer.track_pitch(axis)
                if (layer.name, axis) not in self.sets and pitch:
                    self.sets[layer.name, axis].append((round(layer.track_offset(axis) * dbu), round(pitch * dbu), None))

    def on(self, layer: str, axis: str, value: int) -> bool:
        for start, step, count in self.sets.get((layer, axis), ()):
            k, rest = divmod(value - start, step) if step else (0, value - start)
            if rest == 0 and k >= 0 and (count is None or k < count):
                return True
        return False


def _covered(lo: int, hi: int, spans: list[tuple[int, int]]) -> int:
    """How much of [lo, hi] the closed intervals `spans` cover."""
    covered, reach = 0, lo
    for a, b in sorted(spans):
        a, b = max(a, reach), min(b, hi)
        if b > a:
            covered += b - a
            reach = b
    return covered


def soft_measures(tech: Tech, design: Design, guides: Guides | None = None) -> SoftMeasures:
    tracks = _Tracks(tech, design)
    direction = {l.name: l.direction for l in tech.routing_layers()}
    out = SoftMeasures(guided=guides is not None)
    for name in direction:
        out.per_layer[name] = dict.fromkeys(MEASURES, 0)
    for net in design.nets.values():
        boxes: dict[str, list] = defaultdict(list)
        for g in (guides or {}).get(net.name, ()):
            boxes[g.layer].append(g.rect)
        for w in net.wiring:
            if w.patch or w.layer not in direction:
                continue
            m = out.per_layer[w.layer]
            if w.via is not None:
                m["vias"] += 1
                layers = [w.layer] + ([w.next_layer] if w.next_layer in direction else [])
                if not all(_via_on_track(tracks, direction, layer, w) for layer in layers):
                    m["off_track_vias"] += 1
                if guides is not None and not all(any(r.x0 <= w.x0 <= r.x1 and r.y0 <= w.y0 <= r.y1
                                                       for r in boxes[layer]) for layer in layers):
                    m["out_of_guide_vias"] += 1
                continue
            _wire(m, w, direction[w.layer], tracks, boxes[w.layer] if guides is not None else None)
    return out


def _via_on_track(tracks: _Tracks, direction: dict, layer: str, w: Wire) -> bool:
    if direction[layer] == "HORIZONTAL":
        return tracks.on(layer, "Y", w.y0)
    return tracks.on(layer, "X", w.x0)


def _wire(m: dict[str, int], w: Wire, direction: str, tracks: _Tracks, guide_rects: list | None) -> None:
    length = abs(w.x1 - w.x0) + abs(w.y1 - w.y0)
    if length == 0:
        return
    m["wire_length"] += length
    along_x = w.y0 == w.y1
    if direction == ("VERTICAL" if along_x else "HORIZONTAL"):
        m["wrong_way_length"] += length
    if not (tracks.on(w.layer, "Y", w.y0) if along_x else tracks.on(w.layer, "X", w.x0)):
        m["off_track_length"] += length
    if guide_rects is not None:
        if along_x:
            lo, hi = sorted((w.x0, w.x1))
            spans = [(r.x0, r.x1) for r in guide_rects if r.y0 <= w.y0 <= r.y1]
        else:
            lo, hi = sorted((w.y0, w.y1))
            spans = [(r.y0, r.y1) for r in guide_rects if r.x0 <= w.x0 <= r.x1]
        m["out_of_guide_length"] += length - _covered(lo, hi, spans)
