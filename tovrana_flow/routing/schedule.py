"""The schedule of rip-up-and-reroute passes: which boxes each pass works, with which weights.

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
The passes stop when no removable marker is left, after `passes` passes, or when the markers
have not fallen for `stall` passes in a row (`stalled`). The routing stage runs the loop.
"""
from __future__ import annotations

import os
from dataclasses import dataclass, field

from ..errors import at_least
from ..grid_routes import Box, gcell_count
from ..mapping import GridModel
from ..metrics import release_freed_memory
from ..progress import progress
from .route_book import RouteBook


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

    def __post_init__(self):
        for name, low in (("passes", 0), ("threads", 1), ("gg_drc", 0), ("gg_marker", 0), ("gg_fixed", 0),
                          ("marker_decay", 0), ("maze_end_iter", 1), ("stall", 1)):
            at_least(name, getattr(self, name), low)


@dataclass
class PassPlan:
    number: int
    box: int           # gcells per box side
    offset: int        # gcells the box origin is shifted by
    ripup_all: bool
    gg_drc: float
    gg_marker: float

    def label(self) -> str:
        return f"pass {self.number}: box {self.box}{'+' if self.offset else ''}{' ripup_all' if self.ripup_all else ''}"


def plan_pass(p: int, history: list[int], opts: PassOptions, ripup_allowed: bool = True) -> PassPlan:
    """The settings of pass p (from 1) given the marker counts before each pass so far."""
    slow = ripup_allowed and len(history) >= 2 and history[-1] > 0.75 * history[-2]
    return PassPlan(number=p, box=2 if p % 2 else 3, offset=(p // 2) % 2, ripup_all=slow,
                    gg_drc=opts.gg_drc * (1 + (p - 1) / 2), gg_marker=opts.gg_marker * p)


def stalled(history: list[int], stall: int) -> bool:
    """Whether the marker counts (before each pass, then after the last) have not fallen
    below the count `stall` passes ago."""
    return len(history) > stall and min(history[-stall:]) >= history[-stall - 1]


def marker_batches(model: GridModel, markers: list, plan: PassPlan) -> list[list[Box]]:
    """The boxes holding a marker, as four checkerboard batches (boxes of a batch are a box apart)."""
    gc, b, off = model.gc, plan.box, plan.offset
    gx_n, gy_n = gcell_count(model.nx, gc), gcell_count(model.ny, gc)
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


def run_pass(book: RouteBook, markers: list, plan: PassPlan, opts: PassOptions, show_progress: bool = True) -> set[int]:
    """One pass over the boxes holding `markers`; returns the nets it changed."""
    model, h = book.model, book.model.halos
    changed: set[int] = set()
    batches = marker_batches(model, markers, plan)
    params = dict(gc=model.gc, wire_halo=h.wire_halo, via_halo=h.via_halo, ripup_all=plan.ripup_all,
                  maze_end_iter=min(opts.maze_end_iter, plan.number), gg_drc=plan.gg_drc, gg_marker=plan.gg_marker,
                  gg_fixed=opts.gg_fixed, marker_decay=opts.marker_decay, prl_halo=h.prl_halo,
                  prl_len=h.prl_len, vertical=model.vertical, n_threads=opts.threads)
    book.balance_by_markers(markers)
    book.expect_batches(batches, **params)
    for batch in progress(batches, f"pass {plan.number}", enabled=show_progress):
        changed |= book.work_batch(batch, **params)
        release_freed_memory()      # what the batch's workers freed stays in their heaps otherwise
    return changed
