"""The routing stage: initial routing, loading the grid into an engine, rip-up-and-reroute passes.

After the initial routing the grid is only changed through an engine (`engine.call`,
`engine.route_boxes`), so that a distributed engine keeps its replicas in step. After each
pass the engine's incrementally kept occupancy is compared with a fresh `occ_init` of the
applied routes on a second grid; a mismatch is reported as drift in the table.
"""
from __future__ import annotations

import time
from dataclasses import dataclass, field

import tovrana

from ..design import Guides
from .shorts import remove_shorts
from .engines import GridRecipe, LocalEngine
from .initial import InitialOptions, initial_routing, reroute
from ..mapping import GridModel
from .markers import MarkerCensus, MarkerCount, occ_nets
from ..metrics import ModuleClock, PhaseRow, peak_memory_mb, route_length
from .schedule import PassOptions, run_passes


@dataclass
class RouteOptions:
    initial: InitialOptions = field(default_factory=InitialOptions)
    passes: PassOptions = field(default_factory=PassOptions)
    ray: str | None = None          # a Ray address or "local:N"; None: this machine's threads
    check_drift: bool = True


@dataclass
class RouteResult:
    routes: dict                     # net id -> (cells, edges)
    opens: list[int]                 # nets the grid routes leave unconnected
    markers: MarkerCount             # after the last pass
    rows: list[PhaseRow]
    drift_passes: int = 0
    widened: int = 0
    repaired: int = 0                # nets rerouted after a pass left them in pieces
    shared_cells: int = 0            # cells still in two nets' routes at the end (shorts)


def grid_recipe(model: GridModel, routes: dict) -> GridRecipe:
    h = model.halos
    ordered = sorted(routes.items())
    return GridRecipe(model.grid_args(), [
        ("routes_init", ([(net, cells, edges) for net, (cells, edges) in ordered],)),
        ("set_termsets", ([(net, model.termsets[net]) for net in sorted(model.termsets)],)),
        ("set_name_rank", ([(net, net) for net in sorted(model.termsets)],)),
        ("set_worker_consts", (model.supply, model.obstacles())),
        ("occ_init", (occ_nets(routes), h.wire_halo, h.via_halo)),
    ])


def make_engine(ray: str | None, recipe: GridRecipe):
    if ray is None:
        return LocalEngine(recipe)
    try:
        from .distributed import make_engine as distributed_engine
    except ImportError as e:
        raise ImportError(f"--ray {ray}: the distributed engine is not available ({e})") from e
    return distributed_engine(ray, recipe)


def open_nets(model: GridModel, routes: dict, nets=None) -> list[int]:
    """Those of `nets` (default: all) whose route does not join all their terminal sets."""
    opens = []
    for net in sorted(model.termsets if nets is None else nets):
        sets = model.termsets[net]
        cells, edges = routes.get(net, ([], []))
        adjacent: dict = {}
        for a, b in edges:
            adjacent.setdefault(a, []).append(b)
            adjacent.setdefault(b, []).append(a)
        seen = set(sets[0])
        todo = list(seen)
        while todo:
            for n in adjacent.get(todo.pop(), ()):
                if n not in seen:
                    seen.add(n)
                    todo.append(n)
        if any(seen.isdisjoint(ts) for ts in sets[1:]):
            opens.append(net)
    return opens


def repair_opens(engine, model: GridModel, routes: dict, nets, options: InitialOptions,
                 clock: ModuleClock) -> list[int]:
    """Reroutes from scratch every net whose route no longer joins all its terminal sets.

    A batch can return a route that touches every set yet falls apart in two pieces (seen
    for nets that cross several boxes of one batch). Such a net is searched again on the
    engine's grid, priced by its occupancy; the occupancy map is then rebuilt through the
    engine, since `routes_update` does not change it. Returns the nets it rerouted.
    """
    fixed = []
    for net in open_nets(model, routes, nets):
        routed = reroute(engine.grid, model, net, options, clock)
        if routed is not None:
            routes[net] = routed
            with clock.timing():
                engine.call("routes_update", net, *routed)
            fixed.append(net)
    if fixed:
        h = model.halos
        with clock.timing():
            engine.call("occ_init", occ_nets(routes), h.wire_halo, h.via_halo)
    return fixed


def _row(phase: str, seconds: float, module: float, model: GridModel, routes: dict, markers: MarkerCount | None,
         changed: int | None, opens: int, occ: str | None = None) -> PhaseRow:
    length, vias = route_length(model.gridmap, routes)
    return PhaseRow(phase, seconds, module, changed, length, vias, opens,
                    markers.cover if markers else None, markers.prl if markers else None,
                    markers.unremovable if markers else None, peak_memory_mb(), occ)


def route_design(model: GridModel, guides: Guides | None = None, options: RouteOptions | None = None) -> RouteResult:
    opts = options or RouteOptions()
    clock = ModuleClock()
    census = MarkerCensus(model)
    rows: list[PhaseRow] = []

    t = time.perf_counter()
    with clock.timing():
        grid = tovrana.Grid(*model.grid_args())
    initial = initial_routing(grid, model, guides, opts.initial, clock)
    routes = initial.routes
    first = census.count(grid, routes, clock)
    still_open = set(initial.opens)
    rows.append(_row("initial maze routing", time.perf_counter() - t, clock.seconds, model, routes, first,
                     len(routes), len(still_open)))
    del grid

    t, m0 = time.perf_counter(), clock.seconds
    with clock.timing():
        engine = make_engine(opts.ray, grid_recipe(model, routes))
    rows.append(PhaseRow("load grid into engine", time.perf_counter() - t, clock.seconds - m0,
                         peak_mb=peak_memory_mb()))
    drift = 0
    check_grid = tovrana.Grid(*model.grid_args()) if opts.check_drift else None

    def after_pass(report):
        nonlocal drift
        if report.rolled_back:   # the routes are those before the pass again
            still_open.clear()
            still_open.update(open_nets(model, routes))
        occ = None
        if check_grid is not None:
            h = model.halos
            check_grid.occ_init(occ_nets(routes), h.wire_halo, h.via_halo)
            same = check_grid.occ_signature() == engine.grid.occ_signature()
            drift += not same
            occ = "ok" if same else "DRIFT"
        plan = report.plan
        name = (f"pass {plan.number}: box {plan.box}{'+' if plan.offset else ''}"
                f"{' ripup_all' if plan.ripup_all else ''}{' (rolled back)' if report.rolled_back else ''}")
        rows.append(_row(name, report.seconds, report.module_seconds, model, routes, report.markers,
                         report.changed, len(still_open), occ))

    def repair(changed: set[int]) -> int:
        """Reconnects the nets a pass left in pieces; keeps `still_open` current."""
        suspects = changed | still_open
        fixed = repair_opens(engine, model, routes, suspects, opts.initial, clock)
        still_open.clear()
        still_open.update(open_nets(model, routes, suspects))
        return len(fixed)

    try:
        reports = run_passes(engine, model, routes, census, first, opts.passes, clock, repair, after_pass)
        last = reports[-1].markers if reports else first
        t, m0 = time.perf_counter(), clock.seconds
        moved, shared_left = remove_shorts(engine, model, routes, opts.initial, clock)
        if moved:
            last = census.count(engine.grid, routes, clock)
            still_open.clear()
            still_open.update(open_nets(model, routes))
            rows.append(_row("short removal", time.perf_counter() - t, clock.seconds - m0, model, routes, last, moved,
                             len(still_open)))
    finally:
        engine.close()
    repaired = sum(r.repaired for r in reports)
    return RouteResult(routes, sorted(still_open), last, rows, drift, initial.widened, repaired, shared_left)
