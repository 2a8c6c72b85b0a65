#!/usr/bin/env python3
"""The flow's pass schedule on the synthetic designs: markers per pass, unremovable ones apart.

    python -m bench.bench_schedule [small medium ...] [--passes N] [--threads N]

Each design gets the demo's initial routing (`examples.route_demo`), is loaded into a
local engine and then goes through `tovrana_flow.routing.schedule.run_passes`, the schedule the
real-design flow uses.
"""
from __future__ import annotations

import argparse
import os
import sys
import time
from types import SimpleNamespace

import tovrana
from examples import route_demo
from testkit.designs import SIZES, make_design, via_cells
from tovrana_flow.routing.engines import GridRecipe, LocalEngine
from tovrana_flow.mapping import Halos
from tovrana_flow.routing.markers import MarkerCensus
from tovrana_flow.metrics import ModuleClock
from tovrana_flow.routing.schedule import PassOptions, run_passes


def run(size: str, passes: int, threads: int) -> None:
    d = make_design(size, 1)
    routes, _ = route_demo.initial_routing(tovrana.Grid(*d.grid_args()), d)
    model = SimpleNamespace(gc=d.gc, nx=d.nx, ny=d.ny, vertical=d.vertical, termsets=dict(d.termsets),
                            halos=Halos(d.wire_halo, d.via_halo, d.prl_halo, d.prl_len))
    engine = LocalEngine(GridRecipe(d.grid_args(), [
        ("routes_init", ([(n, c, e) for n, (c, e) in routes.items()],)),
        ("occ_init", ([(n, c, via_cells(e)) for n, (c, e) in routes.items()], d.wire_halo, d.via_halo)),
        ("set_termsets", (d.termset_list(),)),
        ("set_name_rank", (d.name_rank(),)),
        ("set_worker_consts", (d.supply, [(x, y, layer) for layer, x, y in d.blocked])),
    ]))
    clock = ModuleClock()
    census = MarkerCensus(model, {net: routes[net][0] for net in d.supply})
    first = census.count(engine.grid, routes, clock)
    t = time.perf_counter()
    reports = run_passes(engine, model, routes, census, first, PassOptions(passes=passes, threads=threads), clock)
    counts = " ".join(f"{r.markers.total}{'(rb)' if r.rolled_back else ''}" for r in reports)
    last = reports[-1].markers if reports else first
    print(f"{size:7s} initial {first.total:5d}  per pass: {counts}  -> {last.total} markers, "
          f"{last.unremovable} unremovable, {time.perf_counter() - t:.2f} s")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("sizes", nargs="*", metavar="SIZE", help=f"of {', '.join(SIZES)} (default tiny small medium)")
    ap.add_argument("--passes", type=int, default=12)
    ap.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    args = ap.parse_args(argv)
    unknown = [s for s in args.sizes if s not in SIZES]
    if unknown:
        ap.error(f"unknown size {unknown[0]}")
    for size in args.sizes or ["tiny", "small", "medium"]:
        run(size, args.passes, args.threads)
    return 0


if __name__ == "__main__":
    sys.exit(main())
