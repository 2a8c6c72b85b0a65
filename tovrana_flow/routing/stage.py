"""The routing stage: initial routing, the grid loaded into an engine, rip-up-and-reroute
passes, marker repair and short removal, refinement, loops cut.

The routes live in a `RouteBook`, the one writer of the routes and of the engine's grid,
from the first net the initial routing enters. After each pass the nets the pass left in pieces are reconnected, and
the engine's incrementally kept occupancy can be compared (by signature) with a fresh
`occ_init` of the applied routes; a mismatch is reported as drift in the table.
"""
from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Mapping

from ..design import Guides
from ..errors import OptionError
from ..grid_routes import Route, distinct_edges
from ..mapping import GridModel
from ..metrics import ModuleClock, PhaseRow, peak_memory_mb, release_freed_memory
from .distributed import parse_local
from .engines import EngineFactory, engine_factory
from .initial import InitialOptions, initial_routing
from .markers import MarkerCensus, MarkerCount
from .repair import RuleCheck, reconnect_split_nets, refine_routes, remove_markers, remove_shorts, repair_findings
from .route_cost import RouteCost, edge_cost
from .route_book import GuideCosts, RouteBook
from .schedule import PassOptions, plan_pass, run_pass, stalled


# The marker repair reroutes whole nets with every conflict priced out: it clears the last few
# markers (gcd_sky130hs: 7 -> 0 in 0.5 s), but with many left a round moves more than it fixes
# and is undone (ispd18_test1, 114 markers: 69 nets rerouted in 63 s, then undone).
MARKER_REPAIR_SHARE = 0.02      # at most this many markers per routed net


@dataclass
class RouteOptions:
    initial: InitialOptions = field(default_factory=InitialOptions)
    passes: PassOptions = field(default_factory=PassOptions)
    ray: str | None = None          # a Ray address or "local:N"; None: this machine's threads
    check_drift: bool = True
    # a fresh occupancy map costs what the whole design's halos cost (0.6 s on ispd18_test1),
    # so by default only the state after the last pass is compared
    drift_every_pass: bool = False
    show_progress: bool = True
    guide_costs: GuideCosts = field(default_factory=GuideCosts)   # leaving a net's guides, on every search
    # Reroute away from what the design-rule check finds (when one is given): a full check per
    # round, so it costs minutes on a design of thousands of nets; off unless asked for.
    rule_repair: bool = False
    # After the repairs, search the nets the passes changed again from scratch, every other
    # net priced out, and keep each new route that costs less (see `repair.refine_routes`).
    refine: bool = True
    # How the engine is made from its recipe (default: from `ray`); a benchmark may put its own.
    engine: EngineFactory | None = None

    def __post_init__(self):
        if self.ray is not None:
            try:
                parse_local(self.ray)   # a malformed local:N fails here, before Ray is imported
            except ValueError as e:
                raise OptionError("ray", str(e)) from None


@dataclass
class RouteResult:
    routes: Mapping[int, Route]      # net id -> route (held packed: each read unpacks it)
    opens: list[int]                 # nets the grid routes leave unconnected
    markers: MarkerCount             # after the last pass
    rows: list[PhaseRow]
    drift_passes: int = 0
    widened: int = 0
    repaired: int = 0                # nets rerouted after a pass left them in pieces
    shared_cells: int = 0            # cells still in two nets' routes at the end (shorts)


def _net_length(xs, ys, edges) -> tuple[int, int]:
    """One route's wire length (database units) and via count, each distinct edge once."""
    length = vias = 0
    for a, b in distinct_edges(edges):
        if a[2] != b[2]:
            vias += 1
        else:
            length += abs(xs[a[0]] - xs[b[0]]) + abs(ys[a[1]] - ys[b[1]])
    return length, vias


class RouteLength:
    """Wire length in microns and via count of the book's routes, each distinct edge counted
    once. Each net's figures are kept with its route's revision, so a table row after a pass
    measures only the routes the pass replaced."""

    def __init__(self, model: GridModel):
        self.model = model
        self.kept: dict[int, tuple[int, int, int]] = {}      # net -> (revision, length, vias)

    def __call__(self, book: RouteBook) -> tuple[float, int]:
        xs, ys = self.model.gridmap.xs, self.model.gridmap.ys
        length = vias = 0
        routes = book.routes
        for net in routes:
            kept = self.kept.get(net)
            if kept is None or kept[0] != book.revision(net):       # only then is the route read
                kept = self.kept[net] = (book.revision(net), *_net_length(xs, ys, routes[net].edges))
            length += kept[1]
            vias += kept[2]
        return length / self.model.gridmap.dbu_per_micron, vias


def _row(phase: str, seconds: float, module: float, measure: RouteLength, book: RouteBook, markers: MarkerCount | None,
         changed: int | None, opens: int, occ: str | None = None) -> PhaseRow:
    length, vias = measure(book)
    return PhaseRow(phase, seconds, module, changed, length, vias, opens,
                    markers.cover if markers else None, markers.prl if markers else None,
                    markers.unremovable if markers else None, peak_memory_mb(), occ)


def route_design(model: GridModel, guides: Guides | None = None, options: RouteOptions | None = None,
                 rule_check: RuleCheck | None = None) -> RouteResult:
    """The routing stage. `rule_check`, when given, is a design-rule check of routes (see
    `repair.RuleCheck`) whose findings the stage reroutes away from at the end."""
    opts = options or RouteOptions()
    io, po = opts.initial, opts.passes
    clock = ModuleClock()
    census = MarkerCensus(model)
    measure = RouteLength(model)
    rows: list[PhaseRow] = []

    t = time.perf_counter()
    book = RouteBook(model, None, clock, opts.engine or engine_factory(opts.ray), guides, opts.guide_costs)
    t_engine, m_engine = time.perf_counter() - t, clock.seconds
    release_freed_memory()      # the conversions of the grid's arguments
    try:
        t = time.perf_counter()
        initial = initial_routing(book, guides, io, opts.show_progress, po.threads)
        release_freed_memory()      # the searches' tables, kept by each thread's heap
        current = census.count(book.grid, book.routes, clock)
        still_open = set(initial.opens)
        rows.append(_row("initial maze routing", time.perf_counter() - t, clock.seconds - m_engine, measure,
                         book, current, len(book.routes), len(still_open)))
        t, m0 = time.perf_counter(), clock.seconds
        book.follow_occupancy()
        rows.append(PhaseRow("load grid into engine", t_engine + time.perf_counter() - t,
                             m_engine + clock.seconds - m0, peak_mb=peak_memory_mb()))

        drift = repaired = 0
        given_up: set[int] = set()
        history = [current.total]
        ripup_allowed = True
        for p in range(1, po.passes + 1):
            if current.removable <= 0:
                break
            plan = plan_pass(p, history, po, ripup_allowed)
            t, m0 = time.perf_counter(), clock.seconds
            before = book.snapshot() if plan.ripup_all else None
            previous = current
            changed = run_pass(book, current.found, plan, po, opts.show_progress)
            release_freed_memory()      # the batches' results and the routes they replaced
            # a net that could not be reconnected is tried again only once a pass changed it;
            # the nets neither changed nor rerouted are as open as they were
            suspects = changed | (still_open - given_up)
            broken = set(book.open_nets(suspects))
            mended = reconnect_split_nets(book, broken, io.margin, io.gg_drc, io.greed)
            release_freed_memory()      # their searches' tables, before the census adds its own
            repaired += len(mended)
            still_open = set(book.open_nets(mended)) | (broken - set(mended)) | (still_open - suspects)
            given_up = (given_up - changed) | (still_open & suspects)
            current = census.count(book.grid, book.routes, clock)
            rolled_back = before is not None and current.total > previous.total
            if rolled_back:
                book.roll_back(before, changed)
                current, ripup_allowed = previous, False
                still_open = set(book.open_nets())
            seconds, module = time.perf_counter() - t, clock.seconds - m0
            occ = None
            if opts.check_drift and opts.drift_every_pass:
                off = book.occupancy_drifted()
                drift += off
                occ = "DRIFT" if off else "ok"
            name = plan.label() + (" (rolled back)" if rolled_back else "")
            rows.append(_row(name, seconds, module, measure, book, current, len(changed), len(still_open), occ))
            history.append(current.total)
            if stalled(history, po.stall):
                break
        if opts.check_drift and not opts.drift_every_pass and rows[-1].occ is None and len(history) > 1:
            off = book.occupancy_drifted()      # the last pass's row tells
            drift += off
            rows[-1].occ = "DRIFT" if off else "ok"

        t, m0 = time.perf_counter(), clock.seconds
        worth_it = 0 < current.removable <= MARKER_REPAIR_SHARE * len(book.routes)
        removed = remove_markers(book, census, io.margin, greed=io.greed) if worth_it else 0
        if removed:
            current = census.count(book.grid, book.routes, clock)
            still_open = set(book.open_nets())
            rows.append(_row("marker repair", time.perf_counter() - t, clock.seconds - m0, measure, book,
                             current, removed, len(still_open)))
        t, m0 = time.perf_counter(), clock.seconds
        moved, shared_left = remove_shorts(book, io.margin, greed=io.greed)
        if moved:
            current = census.count(book.grid, book.routes, clock)
            still_open = set(book.open_nets())
            rows.append(_row("short removal", time.perf_counter() - t, clock.seconds - m0, measure, book, current,
                             moved, len(still_open)))
        if rule_check is not None and opts.rule_repair:
            t, m0 = time.perf_counter(), clock.seconds
            found, left = repair_findings(book, rule_check, census, io.margin, greed=io.greed)
            if left < found:
                current = census.count(book.grid, book.routes, clock)
                still_open = set(book.open_nets())
                rows.append(_row(f"design-rule repair ({found} -> {left})", time.perf_counter() - t,
                                 clock.seconds - m0, measure, book, current, found - left, len(still_open)))
        if opts.refine:
            t, m0 = time.perf_counter(), clock.seconds
            # a route the passes never changed is what the unpriced search found: nothing is cheaper
            changed_since = [net for net in book.routes if book.revision(net) > 1]
            refined = refine_routes(book, changed_since, RouteCost(model, guides, opts.guide_costs), census,
                                    current.found, threads=po.threads)
            release_freed_memory()      # the searches' tables and the routes replaced
            if refined:
                current = census.count(book.grid, book.routes, clock)
                rows.append(_row("routes refined", time.perf_counter() - t, clock.seconds - m0, measure, book,
                                 current, refined, len(still_open)))
        t, m0 = time.perf_counter(), clock.seconds
        trimmed = book.cut_loops(edge_cost(model))
        if trimmed:
            current = census.count(book.grid, book.routes, clock)
            rows.append(_row("loops and idle branches cut", time.perf_counter() - t, clock.seconds - m0, measure, book,
                             current, trimmed, len(still_open)))
        return RouteResult(book.routes_copy(), sorted(still_open), current, rows, drift, initial.widened, repaired,
                           shared_left)
    finally:
        book.close()
