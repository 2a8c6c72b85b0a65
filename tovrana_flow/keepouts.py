"""The shapes of a placed design that are not routed by the flow, as placed rectangles.

Signal pins belong to their net; everything else the router has to stay away from is a
keep-out: macro obstructions, routing blockages, pins of instances that no net names (the
power and ground pins among them), IO pins without a net and special-net wiring.
"""
from __future__ import annotations

from .design import Design, Rect, Shape, Tech, Wire
from .placement import PlacedShapes, io_pin_shapes


def _via_shapes(tech: Tech, design: Design, wire: Wire) -> list[Shape]:
    if wire.via in design.vias:   # DEF vias are in database units already
        return [s.moved(wire.x0, wire.y0) for s in design.vias[wire.via].shapes]
    dbu = design.dbu_per_micron
    return [Shape(s.layer, Rect(round(s.rect.x0 * dbu) + wire.x0, round(s.rect.y0 * dbu) + wire.y0,
                                round(s.rect.x1 * dbu) + wire.x0, round(s.rect.y1 * dbu) + wire.y0))
            for s in tech.vias[wire.via].shapes] if wire.via in tech.vias else []


def wire_shapes(tech: Tech, design: Design, wire: Wire) -> list[Shape]:
    """The metal of one piece of special wiring: the segment grown by half its width (and
    by half the layer's width where the wiring states none), or the via's shapes."""
    if wire.via:
        return _via_shapes(tech, design, wire)
    if wire.width is not None:
        half = wire.width / 2
    else:
        layer = tech.layer(wire.layer)
        half = round((layer.width or 0) * design.dbu_per_micron) / 2 if layer else 0
    return [Shape(wire.layer, Rect(min(wire.x0, wire.x1) - half, min(wire.y0, wire.y1) - half,
                                   max(wire.x0, wire.x1) + half, max(wire.y0, wire.y1) + half))]


def keepout_shapes(tech: Tech, design: Design, placed: PlacedShapes) -> list[Shape]:
    """Every placed shape no signal route may cross, in a fixed order."""
    used = {conn for net in design.nets.values() for conn in net.pins}
    shapes: list[Shape] = []
    for name, comp in design.components.items():
        shapes.extend(placed.obstructions(name))
        for pin in tech.macros[comp.macro].pins:
            if (name, pin) not in used:
                shapes.extend(placed.pin(name, pin))
    for name, pin in design.pins.items():
        if ("PIN", name) not in used:
            shapes.extend(io_pin_shapes(pin))
    for blockage in design.blockages:
        if blockage.kind == "LAYER" and blockage.layer:
            shapes.extend(Shape(blockage.layer, r) for r in blockage.rects)
    for net in design.special_nets.values():
        for wire in net.wiring:
            shapes.extend(wire_shapes(tech, design, wire))
    return shapes
