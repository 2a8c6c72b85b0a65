"""Rip-up-and-reroute passes of `route_boxes` through an engine, and the schedule that drives them.

Pass p works only the boxes that hold a marker, in four checkerboard batches. From pass to
pass the schedule
- alternates boxes of 2 and 3 gcells and shifts their origin by one gcell every other
  pass, so that box borders move and a marker on one pass's border is inside a box later;
- raises the marker weight (`gg_marker * p`) and the cost of a foreign cell
  (`gg_drc * (1 + (p - 1) / 2)`), so that cells that keep producing markers get dearer;
- allows p reroutes per net and box (`maze_end_iter`, up to its option): the first pass
  meets the most markers and is the dearest, one reroute each there costs less time than
  the markers it leaves to the next pass;
- rips up every net in a box (`ripup_all`) once the markers fell by less than a quarter
  over the previous pass. Such a box is accepted with up to five times its markers, so a
  `ripup_all` pass that leaves more markers than it found is rolled back (its nets get their
  old routes, the occupancy map is rebuilt) and the later passes go without it.
It stops when no removable marker is left, after `passes` passes, or when the markers have
not fallen for `stall` passes in a row.
"""
from __future__ import annotations

import os
import time
from dataclasses import dataclass, field

from ..mapping import GridModel
from .markers import MarkerCensus, MarkerCount, occ_nets
from ..metrics import ModuleClock
from ..progress import progress


@dataclass
class PassOptions:
    passes: int = 12
    threads: int = field(default_factory=lambda: os.cpu_count() or 1)
    gg_drc: float = 8.0
    gg_marker: float = 2.0
    gg_fixed: float = 1.0
    marker_decay: float = 0.5
    maze_end_iter: int = 3
    stall: int = 3


@dataclass
class PassPlan:
    number: int
    box: int           # gcells per box side
    offset: int        # gcells the box origin is shifted by
    ripup_all: bool
    gg_drc: float
    gg_marker: float


def plan_pass(p: int, history: list[int], opts: PassOptions, ripup_allowed: bool = True) -> PassPlan:
    """The settings of pass p (from 1) given the marker counts before each pass so far."""
    slow = ripup_allowed and len(history) >= 2 and history[-1] > 0.75 * history[-2]
    return PassPlan(number=p, box=2 if p % 2 else 3, offset=(p // 2) % 2, ripup_all=slow,
                    gg_drc=opts.gg_drc * (1 + (p - 1) / 2), gg_marker=opts.gg_marker * p)


def marker_batches(model: GridModel, markers: list, plan: PassPlan) -> list[list[tuple[int, int, int, int]]]:
    """The boxes holding a marker, as four checkerboard batches (boxes of a batch are a box apart)."""
    gc, b, off = model.gc, plan.box, plan.offset
    gx_n, gy_n = -(-model.nx // gc), -(-model.ny // gc)
    boxes = set()
    for cells, _, _ in markers:
        for x, y, _ in cells:
            boxes.add(((x // gc + off) // b, (y // gc + off) // b))
    batches = []
    for px in (0, 1):
        for py in (0, 1):
            batch = []
            for bx, by in sorted(boxes):
                if bx % 2 == px and by % 2 == py:
                    gx0, gy0 = max(bx * b - off, 0), max(by * b - off, 0)
                    gx1, gy1 = min(bx * b - off + b, gx_n) - 1, min(by * b - off + b, gy_n) - 1
                    batch.append((gx0, gy0, gx1, gy1))
            if batch:
                batches.append(batch)
    return batches


def run_pass(engine, model: GridModel, routes: dict, markers: list, plan: PassPlan, opts: PassOptions,
             clock: ModuleClock) -> set[int]:
    """One pass; applies every changed route to the engine and to `routes`; returns the changed nets."""
    h = model.halos
    changed: set[int] = set()
    batches = marker_batches(model, markers, plan)
    engine.balance_by_markers(markers, model.gc)
    for batch in progress(batches, f"pass {plan.number}"):
        with clock.timing():
            result = engine.route_boxes(
                batch, gc=model.gc, wire_halo=h.wire_halo, via_halo=h.via_halo, ripup_all=plan.ripup_all,
                maze_end_iter=min(opts.maze_end_iter, plan.number), gg_drc=plan.gg_drc, gg_marker=plan.gg_marker,
                gg_fixed=opts.gg_fixed, marker_decay=opts.marker_decay, prl_halo=h.prl_halo,
                prl_len=h.prl_len, vertical=model.vertical, n_threads=opts.threads)
            for net, cells, edges in sorted(result):
                engine.call("routes_update", net, cells, edges)
        for net, cells, edges in result:
            routes[net] = (cells, edges)
            changed.add(net)
    return changed


def _roll_back(engine, model: GridModel, routes: dict, before: dict, changed: set[int], clock: ModuleClock) -> None:
    h = model.halos
    with clock.timing():
        for net in sorted(changed):
            routes[net] = before[net]
            engine.call("routes_update", net, *before[net])
        engine.call("occ_init", occ_nets(routes), h.wire_halo, h.via_halo)


@dataclass
class PassReport:
    plan: PassPlan
    seconds: float
    module_seconds: float
    changed: int
    markers: MarkerCount
    repaired: int = 0
    rolled_back: bool = False


def run_passes(engine, model: GridModel, routes: dict, census: MarkerCensus, first: MarkerCount,
               opts: PassOptions, clock: ModuleClock, repair=None, after_pass=None) -> list[PassReport]:
    """Passes until no removable marker is left, the pass limit, or a stall.
    `repair(changed nets)` runs after each pass and returns how many nets it reconnected; `after_pass(report)`
    is called after each pass (e.g. for the drift check)."""
    reports: list[PassReport] = []
    history = [first.total]
    current = first
    ripup_allowed = True
    for p in range(1, opts.passes + 1):
        if current.total - current.unremovable <= 0:
            break
        plan = plan_pass(p, history, opts, ripup_allowed)
        t, m0 = time.perf_counter(), clock.seconds
        before = dict(routes) if plan.ripup_all else None
        previous = current
        changed = run_pass(engine, model, routes, current.found, plan, opts, clock)
        repaired = repair(changed) if repair else 0
        current = census.count(engine.grid, routes, clock)
        rolled_back = before is not None and current.total > previous.total
        if rolled_back:
            _roll_back(engine, model, routes, before, changed, clock)
            current, ripup_allowed = previous, False
        report = PassReport(plan, time.perf_counter() - t, clock.seconds - m0, len(changed), current, repaired,
                            rolled_back)
        reports.append(report)
        if after_pass:
            after_pass(report)
        history.append(current.total)
        if len(history) > opts.stall and min(history[-opts.stall:]) >= history[-opts.stall - 1]:
            break
    return reports
