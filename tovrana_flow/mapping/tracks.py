"""The routing layers' tracks, and the grid lines they make together.

Each routing layer has tracks across its preferred direction (vertical layers: x tracks,
where its wires run along y) and may have tracks the other way (where it may run against its
preferred direction). They come from the DEF's `TRACKS`, else from the LEF's `PITCH` and
`OFFSET` over the die. The grid's columns are the union of the routing layers' preferred x
tracks, its rows the union of their preferred y tracks: every layer keeps its own tracks,
whatever their pitch and offset, and a via can stand wherever a layer's track crosses its
neighbour's. A layer may run only on its own tracks: its preferred ones, and its other-way
tracks where they fall on a grid line.
"""
from __future__ import annotations

from bisect import bisect_left
from dataclasses import dataclass

from ..design import Design, Layer, Tech
from ..errors import FlowInputError


@dataclass
class LayerTracks:
    layer: Layer
    vertical: bool
    xs: list[int]          # x of the layer's vertical tracks (database units), ascending
    ys: list[int]          # y of its horizontal tracks
    pitch: int             # the step of its preferred tracks

    @property
    def preferred(self) -> list[int]:
        return self.xs if self.vertical else self.ys


def _def_tracks(design: Design, layer: str, axis: str) -> list[int]:
    coords: set[int] = set()
    for t in design.tracks:
        if t.axis == axis and layer in t.layers:
            coords.update(t.start + k * t.step for k in range(t.count))
    return sorted(coords)


def _lef_tracks(layer: Layer, axis: str, lo: int, hi: int, dbu: int) -> list[int]:
    """The LEF's tracks of `layer` along `axis` over [lo, hi]: offset + k * pitch."""
    pitch = layer.track_pitch(axis) or layer.pitch
    if not pitch:
        return []
    step, offset = round(pitch * dbu), round(layer.track_offset(axis) * dbu)
    if step <= 0:
        return []
    first = offset + -(-(lo - offset) // step) * step
    return list(range(first, hi + 1, step))


def layer_tracks(tech: Tech, design: Design) -> list[LayerTracks]:
    """Every routing layer's tracks, bottom up. A layer the DEF gives no preferred tracks
    takes them from the LEF over the die; a layer with neither is an error."""
    dbu, die = design.dbu_per_micron, design.die
    out = []
    for layer in tech.routing_layers():
        vertical = layer.direction == "VERTICAL"
        along = {"X": _def_tracks(design, layer.name, "X"), "Y": _def_tracks(design, layer.name, "Y")}
        pref = "X" if vertical else "Y"
        if not along[pref] and die is not None:
            lo, hi = (die.x0, die.x1) if pref == "X" else (die.y0, die.y1)
            along[pref] = _lef_tracks(layer, pref, int(lo), int(hi), dbu)
        if len(along[pref]) == 0:
            raise FlowInputError(design.file or "DEF", 1, "TRACKS",
                                 f"routing layer {layer.name} has no {pref} tracks in the DEF and no PITCH in the LEF")
        coords = along[pref]
        pitch = min(b - a for a, b in zip(coords, coords[1:])) if len(coords) > 1 else round((layer.pitch or 0) * dbu)
        out.append(LayerTracks(layer, vertical, along["X"], along["Y"], pitch))
    return out


def union_lines(tracks: list[LayerTracks]) -> tuple[list[int], list[int]]:
    """The grid's columns and rows: every layer's preferred tracks, merged."""
    xs: set[int] = set()
    ys: set[int] = set()
    for t in tracks:
        (xs if t.vertical else ys).update(t.preferred)
    return sorted(xs), sorted(ys)


def on_lines(coords: list[int], lines: list[int]) -> list[int]:
    """Indices of `lines` that are in `coords` (both ascending)."""
    out = []
    for c in coords:
        k = bisect_left(lines, c)
        if k < len(lines) and lines[k] == c:
            out.append(k)
    return out
