"""The flow as one function per stage, and `run` chaining them.

    read -> map_to_grid -> route -> wiring -> write -> check (-> draw)

Each stage takes plain records and returns plain records, so a driver can replace any of
them: e.g. map with its own `GridModel`, or route with its own schedule and hand the routes
to `wiring` and `write`.
"""
from __future__ import annotations

import copy
import json
import time
from dataclasses import asdict, dataclass, field

from .design import Design, Guides, Tech, Wire
from .mapping import GridModel, MappingOptions, map_design
from .metrics import PhaseRow, format_table, peak_memory_mb, release_freed_memory, return_large_blocks
from .read import read_def, read_guides, read_lef
from .routing.stage import RouteOptions, RouteResult, route_design


@dataclass
class Inputs:
    tech: Tech
    design: Design
    guides: Guides | None
    def_path: str


def read(lef_paths: list[str], def_path: str, guide_path: str | None = None) -> Inputs:
    tech = read_lef(list(lef_paths))
    design = read_def(def_path, tech)
    guides = read_guides(guide_path, tech) if guide_path else None
    return Inputs(tech, design, guides, def_path)


def map_to_grid(inputs: Inputs, options: MappingOptions | None = None) -> GridModel:
    return map_design(inputs.tech, inputs.design, inputs.guides, options)


def route(model: GridModel, guides: Guides | None = None, options: RouteOptions | None = None,
          inputs: Inputs | None = None) -> RouteResult:
    """The routing stage; with `inputs` (the design read) and `options.rule_repair`, the routes
    are also checked by the design-rule check before they are final, and rerouted away from
    what it finds."""
    options = options or RouteOptions()
    check = _rule_check(inputs, model) if inputs is not None and options.rule_repair else None
    return route_design(model, guides, options, rule_check=check)


def _rule_check(inputs: Inputs, model: GridModel):
    """The design-rule check of routes as the routing stage takes it: findings as (net ids,
    layer, rectangle), for findings on metal the flow routes."""
    from .check.drc import drc_def
    ids = {name: k for k, name in enumerate(model.net_names)}

    def check(routes) -> list:
        wired = wiring(model, RouteResult(routes, [], None, []))
        design = copy.copy(inputs.design)
        design.nets = {name: copy.copy(net) for name, net in inputs.design.nets.items()}
        for name, wires in wired.items():
            design.nets[name].wiring = wires
        report = drc_def(inputs.tech, design)
        return [(tuple(ids[n] for n in m.nets if n in ids), m.layer, m.rect) for m in report.markers]

    return check


def wiring(model: GridModel, result: RouteResult) -> dict[str, list[Wire]]:
    """Each routed net's wires and vias in database units, with what reaches its pins (access
    wires and vias) and the patches its metal needs for the layers' minimum area."""
    from .mapping.layers import via_pads
    from .output.min_area import min_area_patches
    from .output.pin_ends import flush_ends_in_pins, own_pins, steps_outside_pins
    from .output.nearby_metal import widest_step
    from .output.via_choice import choose_vias
    from .output.wires import route_wires
    g = model.gridmap
    access = {net: model.access_used(net, route) for net, route in result.routes.items()}
    pins = own_pins(model.fixed)
    by_net = {}
    for net in sorted(result.routes):        # one route unpacked at a time
        cells, edges = result.routes[net]
        by_net[net] = (flush_ends_in_pins(route_wires(cells, steps_outside_pins(edges, g.xs, g.ys, g.layers,
                                                                                pins.get(net, {})), g),
                                          pins.get(net, {}))
                       + [w for p in access[net] for w in p.wires])
    # the vias first: a variant changes the pads' shape, and so what a piece lacks of the area
    by_net = choose_vias(by_net, model.via_variants, model.rules, g.layers, model.fixed, 2 * widest_step(g.xs, g.ys))
    patches = min_area_patches(result.routes, access, g.xs, g.ys, model.rules, g.layers, model.fixed,
                               model.manufacturing_grid, via_pads(model.via_variants), by_net)
    return {model.net_names[net]: wires + patches.get(net, []) for net, wires in by_net.items()}


def write(inputs: Inputs, out_path: str, wires: dict[str, list[Wire]]) -> None:
    from .output.def_writer import write_routed_def
    write_routed_def(inputs.def_path, out_path, inputs.design, wires)


def check(tech: Tech, routed_def: str | Design):
    """The independent checker on the written DEF (its path, or the design read back from
    it): opens and shorts."""
    from .check.connectivity import check_def
    return check_def(tech, _read_back(tech, routed_def))


def drc(tech: Tech, routed_def: str | Design, guides: Guides | None = None):
    """The design-rule check of the written DEF (its path, or the design read back from it)
    against the LEF's rules, with the contest's soft measures (out-of-guide ones when `guides`
    are given) and score: a `DrcReport`."""
    from .check.drc import drc_def
    return drc_def(tech, _read_back(tech, routed_def), guides)


def _read_back(tech: Tech, routed_def: str | Design) -> Design:
    return read_def(routed_def, tech) if isinstance(routed_def, str) else routed_def


def draw(tech: Tech, routed_def_path: str, png_path: str, markers=None) -> None:
    from .output.pictures import draw_routed
    draw_routed(tech, read_def(routed_def_path, tech), png_path, markers=markers)


@dataclass
class FlowSummary:
    """The run in one record: what the command prints after its table, and the JSON's summary."""
    design: str
    grid: list[int]
    gcell: int
    layers: list[str]
    pin_only_layers: list[str]       # routing layers below the grid, reached for their pins only
    nets: int
    routed_nets: int
    pins_reached_by_access_wire: int
    contested_points: int
    halos: dict
    via_cost: float
    wirelength_um: float
    vias: int
    grid_opens: int
    shared_cells: int
    markers: int
    unremovable_markers: int
    occ_drift_passes: int
    nets_repaired_after_passes: int
    seconds: float
    peak_mb: float
    check: dict | None = None        # the checker's counts, when it ran
    drc: dict | None = None          # the design-rule check's counts, soft measures and score, when it ran

    def as_dict(self) -> dict:
        out = asdict(self)
        for key in ("check", "drc"):
            if out[key] is None:
                del out[key]
        return out

    def text(self) -> str:
        pins_only = f"; pins only: {', '.join(self.pin_only_layers)}" if self.pin_only_layers else ""
        return (f"{self.design}: grid {' x '.join(map(str, self.grid))} ({', '.join(self.layers)}{pins_only}), "
                f"{self.routed_nets} nets routed, {self.pins_reached_by_access_wire} pins reached by an access wire, "
                f"{self.grid_opens} open on the grid, {self.markers} markers ({self.unremovable_markers} unremovable), "
                f"{self.seconds:.1f} s, peak {self.peak_mb:.0f} MB")


@dataclass
class FlowResult:
    model: GridModel
    routed: RouteResult
    summary: FlowSummary
    rows: list[PhaseRow] = field(default_factory=list)
    check: object | None = None
    drc: object | None = None          # the design-rule check's `DrcReport`, with run_check

    def table(self) -> str:
        return format_table(self.rows)

    def failed_check(self) -> bool:
        """Whether the checkers ran and found an open, a short or a design-rule violation."""
        c = self.check
        return (c is not None and bool(c.opens or c.shorts or c.pin_shorts)) or \
            (self.drc is not None and not self.drc.clean)


def run(lef_paths: list[str], def_path: str, out_path: str, guide_path: str | None = None,
        png_path: str | None = None, json_path: str | None = None, mapping: MappingOptions | None = None,
        routing: RouteOptions | None = None, run_check: bool = False) -> FlowResult:
    rows: list[PhaseRow] = []
    t0 = time.perf_counter()

    def timed(name, stage, *args):
        t = time.perf_counter()
        value = stage(*args)
        release_freed_memory()
        rows.append(PhaseRow(name, time.perf_counter() - t, peak_mb=peak_memory_mb()))
        return value

    inputs = timed("read LEF/DEF", read, lef_paths, def_path, guide_path)
    model = timed("map to grid", map_to_grid, inputs, mapping)
    return_large_blocks()
    routed = route(model, inputs.guides, routing, inputs)
    release_freed_memory()      # the engine's grid, gone with the routing stage
    rows.extend(routed.rows)
    timed("wires + write DEF", lambda: write(inputs, out_path, wiring(model, routed)))
    report = rules = None
    if run_check:
        written: list[Design] = []      # the DEF read back once: both checks judge the same design

        def read_back_and_check():
            written.append(read_def(out_path, inputs.tech))
            return check(inputs.tech, written[0])
        report = timed("check", read_back_and_check)
        rules = timed("design-rule check", drc, inputs.tech, written.pop(), inputs.guides)
    if png_path:
        timed("picture", draw, inputs.tech, out_path, png_path, rules.markers if rules else None)
    summary = _summary(inputs, model, routed, report, time.perf_counter() - t0)
    summary.drc = None if rules is None else _drc_summary(rules)
    result = FlowResult(model, routed, summary, rows, report, drc=rules)
    # --
    if json_path:
        with open(json_path, "w") as f:
            json.dump({"summary": result.summary.as_dict(), "phases": [r.as_dict() for r in rows]}, f, indent=1)
    return result


def _summary(inputs: Inputs, model: GridModel, routed: RouteResult, report, seconds: float) -> FlowSummary:
    last = routed.rows[-1]
    return FlowSummary(
        design=inputs.design.name, grid=[model.nx, model.ny, model.nz], gcell=model.gc,
        layers=model.gridmap.layers, pin_only_layers=model.cell_layers,
        nets=len(model.net_names), routed_nets=len(routed.routes),
        pins_reached_by_access_wire=model.nearest_pins, contested_points=model.contested_points,
        halos=vars(model.halos), via_cost=model.via_cost,
        wirelength_um=last.wirelength_um, vias=last.vias, grid_opens=len(routed.opens),
        shared_cells=routed.shared_cells, markers=routed.markers.total,
        unremovable_markers=routed.markers.unremovable,
        occ_drift_passes=routed.drift_passes, nets_repaired_after_passes=routed.repaired,
        seconds=seconds, peak_mb=peak_memory_mb(),
        check=None if report is None else {"opens": report.opens, "shorts": report.shorts,
                                           "pin_shorts": report.pin_shorts})


def _drc_summary(report) -> dict:
    """The design-rule check's counts, soft measures and score for the summary JSON."""
    d = report.as_dict()
    return {k: d[k] for k in ("counts", "short_area", "short_pairs", "soft", "score", "seconds")} | \
        {"preexisting": len(report.preexisting)}
