"""Which routing layers the grid has, the via for each layer change, and the module's halos."""
from __future__ import annotations

from dataclasses import dataclass

from ..design import Design, Layer, Tech
from ..errors import FlowInputError

Pads = dict[str, tuple[int, int, int, int]]   # layer -> a via's metal there around its origin, database units

# A layer on which the placed cells' own obstructions cover this share of their area or more
# is the cells' internal wiring layer: routes reach its pins from above and do not run on it.
CELL_INTERNAL_SHARE = 0.1


@dataclass
class Halos:
    """The module's halos in grid steps. The flow's grid states its spacing in database units
    instead (`GridModel.spacing`), so on real designs they are all 0."""
    wire_halo: int
    via_halo: int
    prl_halo: int
    prl_len: int


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


def _pads(tech: Tech, via: str, dbu: int) -> Pads:
    """A via's metal per layer as one rectangle around its origin (database units)."""
    out: dict[str, list] = {}
    for s in tech.vias[via].shapes:
        out.setdefault(s.layer, []).append(s.rect)
    return {layer: (round(min(r.x0 for r in rs) * dbu), round(min(r.y0 for r in rs) * dbu),
                    round(max(r.x1 for r in rs) * dbu), round(max(r.y1 for r in rs) * dbu))
            for layer, rs in out.items()}


def via_variants(tech: Tech, via: str, dbu: int) -> list[tuple[str, Pads]]:
    """`via` and then, in LEF order, every other `DEFAULT` via with the same cut and metal on
    the same layers, each with its pads."""
    own = _pads(tech, via, dbu)
    out = [(via, own)]
    for name, v in tech.vias.items():
        if name == via or not v.default:
            continue
        pads = _pads(tech, name, dbu)
        cuts_same = all(pads.get(layer) == rect for layer, rect in own.items()
                        if tech.layer(layer) is not None and tech.layer(layer).kind == "CUT")
        if set(pads) == set(own) and cuts_same:
            out.append((name, pads))
    return out


def moved(rect: tuple[int, int, int, int], x: int, y: int) -> tuple[int, int, int, int]:
    """A via's pad (a rectangle around its origin) placed with its origin at (x, y)."""
    return rect[0] + x, rect[1] + y, rect[2] + x, rect[3] + y


def via_pads(variants: dict[str, list[tuple[str, Pads]]]) -> dict[str, Pads]:
    """Via name -> its pads, for every via of `variants` (per grid via, its variants)."""
    return {name: pads for options in variants.values() for name, pads in options}


def obstruction_share(tech: Tech, design: Design) -> dict[str, float]:
    """Per layer, the share of the placed cells' area their own obstructions cover."""
    area: dict[str, float] = {}
    cells = 0.0
    for comp in design.components.values():
        macro = tech.macros.get(comp.macro)
        if macro is None:
            continue
        cells += macro.width * macro.height
        for s in macro.obstructions:
            area[s.layer] = area.get(s.layer, 0.0) + (s.rect.x1 - s.rect.x0) * (s.rect.y1 - s.rect.y0)
    return {layer: a / cells for layer, a in area.items()} if cells else {}


def routing_range(tech: Tech, design: Design, bottom: str | None, top: str | None) -> tuple[int, int]:
    """Indices (among the LEF's routing layers) of the lowest and highest layer routes run
    on. By default every layer up to the highest, from the lowest that is not the cells'
    internal wiring layer."""
    routing = tech.routing_layers()
    names = [l.name for l in routing]
    where = tech.files[0] if tech.files else "LEF"
    for option, name in (("bottom layer", bottom), ("top layer", top)):
        if name is not None and name not in names:
            raise FlowInputError(where, 1, "LAYER", f"the {option} {name} is not a routing layer of the LEF "
                                 f"({', '.join(names)})")
    if bottom is None:
        share = obstruction_share(tech, design)
        lo = next((k for k, l in enumerate(routing) if share.get(l.name, 0.0) < CELL_INTERNAL_SHARE), 0)
    else:
        lo = names.index(bottom)
    hi = names.index(top) if top is not None else len(routing) - 1
    if hi < lo:
        raise FlowInputError(where, 1, "LAYER", f"the top layer {names[hi]} is below the bottom layer {names[lo]}")
    return lo, hi
