"""The grid's axes, layers, via rules and halos, taken from the technology and the DEF tracks.

The grid's columns are the x tracks of the lowest vertical routing layer and its rows the
y tracks of the lowest horizontal one. Layers join the grid bottom up for as long as their
preferred-direction tracks lie on those grid lines; the first layer whose tracks do not
(a coarser pitch off the grid rows, or no tracks at all) ends the stack, and it and every
layer above it are left out, so that every wire is written on a real track.
"""
from __future__ import annotations

import math
from dataclasses import dataclass

from ..design import Design, Layer, Tech, Tracks
from ..errors import FlowInputError


@dataclass
class LayerStack:
    xs: list[int]
    ys: list[int]
    layers: list[Layer]            # grid layer z -> routing layer, bottom up
    left_out: list[str]            # routing layers not on the grid
    off_track: dict[int, set]      # z -> grid rows (or columns) that are not tracks of that layer
    pitch: list[int]               # z -> preferred-direction track step, database units


def _track_coords(t: Tracks) -> list[int]:
    return [t.start + k * t.step for k in range(t.count)]


def _preferred_tracks(design: Design, layer: Layer) -> Tracks | None:
    axis = "X" if layer.direction == "VERTICAL" else "Y"
    return next((t for t in design.tracks if t.axis == axis and layer.name in t.layers), None)


def layer_stack(tech: Tech, design: Design) -> LayerStack:
    routing = tech.routing_layers()
    where = design.file or "DEF"
    if not routing:
        raise FlowInputError(tech.files[0] if tech.files else "LEF", 1, "LAYER", "no routing layer in the LEF")
    axes: dict[str, list[int]] = {}
    for layer in routing:
        t = _preferred_tracks(design, layer)
        if t is not None and t.axis not in axes:
            axes[t.axis] = sorted(set(_track_coords(t)))
    for axis in ("X", "Y"):
        if axis not in axes:
            raise FlowInputError(where, 1, "TRACKS", f"no {axis} tracks on a routing layer of preferred direction "
                                 f"{'VERTICAL' if axis == 'X' else 'HORIZONTAL'}")
    xs, ys = axes["X"], axes["Y"]
    layers, off_track, pitch = [], {}, []
    for layer in routing:
        t = _preferred_tracks(design, layer)
        if t is None:
            break
        grid_lines = xs if t.axis == "X" else ys
        coords = set(_track_coords(t))
        if not coords <= set(grid_lines):
            break
        off_track[len(layers)] = {k for k, c in enumerate(grid_lines) if c not in coords}
        layers.append(layer)
        pitch.append(t.step)
    if not layers:
        raise FlowInputError(where, 1, "TRACKS", f"the lowest routing layer {routing[0].name} has no "
                             "tracks of its preferred direction on the grid")
    left_out = [l.name for l in routing[len(layers):]]
    return LayerStack(xs, ys, layers, left_out, off_track, pitch)


def via_names(tech: Tech, layers: list[Layer]) -> list[str]:
    """For each layer change z <-> z + 1, the first DEFAULT via (else the first via) of the
    LEF whose metal shapes are on exactly those two layers."""
    names = []
    for lower, upper in zip(layers, layers[1:]):
        pair = {lower.name, upper.name}
        fits = [v for v in tech.vias.values()
                if {s.layer for s in v.shapes if tech.layer(s.layer) and tech.layer(s.layer).kind == "ROUTING"} == pair]
        if not fits:
            raise FlowInputError(tech.files[0] if tech.files else "LEF", upper.line, f"LAYER {upper.name}",
                                 f"no via connects {lower.name} and {upper.name}")
        fits.sort(key=lambda v: not v.default)   # stable: file order among equals
        names.append(fits[0].name)
    return names


def _dbu(value: float | None, dbu: int) -> int:
    return round((value or 0.0) * dbu)


def tracks_apart(extent_a: int, extent_b: int, spacing: int, pitch: int) -> int:
    """How many neighbouring tracks two shapes reach into each other's way: the shapes
    stick out `extent_a` and `extent_b` from their track centres and need `spacing`
    between them, so they may sit k tracks apart only when k * pitch >= a + b + spacing."""
    return max(0, -(-(extent_a + extent_b + spacing) // pitch) - 1)


def via_extent(tech: Tech, via: str, layer: str, vertical: bool, dbu: int) -> int:
    """How far the via's metal on `layer` reaches from its centre across the layer's tracks."""
    rects = [s.rect for s in tech.vias[via].shapes if s.layer == layer]
    if not rects:
        return 0
    if vertical:
        return _dbu(max(max(-r.x0, r.x1) for r in rects), dbu)
    return _dbu(max(max(-r.y0, r.y1) for r in rects), dbu)


@dataclass
class Halos:
    wire_halo: int
    via_halo: int
    prl_halo: int
    prl_len: int


def derived_halos(tech: Tech, stack: LayerStack, vias: list[str], dbu: int) -> Halos:
    """The module's halos from the LEF rules, the largest over the grid's layers.

    wire_halo: tracks_apart(w/2, w/2, s, pitch); via_halo: the same with the via's metal
    half-extent across the tracks on one side (a via beside a wire);
    prl_halo: as wire_halo with the spacing the layer's PARALLELRUNLENGTH table asks of
    minimum-width wires at its longest run, and prl_len that run in tracks; both 0 (no
    parallel-run markers) when no table asks more than the plain spacing.
    """
    wire = via = prl = prl_len = 0
    for z, layer in enumerate(stack.layers):
        p = stack.pitch[z]
        vertical = layer.direction == "VERTICAL"
        half = _dbu(layer.width, dbu) // 2
        s = _dbu(layer.spacing, dbu)
        wire = max(wire, tracks_apart(half, half, s, p))
        for v in (vias[z - 1] if z > 0 else None, vias[z] if z < len(vias) else None):
            if v is not None:
                ext = via_extent(tech, v, layer.name, vertical, dbu)
                via = max(via, tracks_apart(ext, half, s, p))
        table = layer.spacing_table
        if table and table.spacings and len(table.lengths) > 1:
            row = table.spacings[0]
            long_s = _dbu(row[-1], dbu)
            if long_s > s:
                k = next(j for j, sp in enumerate(row) if _dbu(sp, dbu) > s)
                prl = max(prl, tracks_apart(half, half, long_s, p))
                prl_len = max(prl_len, math.ceil(_dbu(table.lengths[k], dbu) / p))
    return Halos(wire, via, prl, prl_len if prl else 0)
