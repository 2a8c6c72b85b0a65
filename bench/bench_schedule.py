#!/usr/bin/env python3
"""The flow's routing stage on the synthetic designs: markers per pass, unremovable ones apart.

    python -m bench.bench_schedule [small medium ...] [--passes N] [--threads N]

Each design becomes the flow's grid model (`Design.grid_model`) and is routed by
`tovrana_flow.routing.stage.route_design`, the stage `tovrana-route` runs on real designs.
"""
from __future__ import annotations

import argparse
import os
import sys
import time

from testkit.designs import SIZES, make_design
from tovrana_flow.routing.schedule import PassOptions
from tovrana_flow.routing.stage import RouteOptions, route_design


def run(size: str, passes: int, threads: int) -> None:
    model = make_design(size, 1).grid_model()
    t = time.perf_counter()
    result = route_design(model, None, RouteOptions(passes=PassOptions(passes=passes, threads=threads),
                                                    show_progress=False))
    first, *rest = [r for r in result.rows if r.cover is not None]
    counts = " ".join(f"{r.cover + r.prl}{'(rb)' if 'rolled back' in r.phase else ''}" for r in rest)
    last = result.markers
    print(f"{size:7s} initial {first.cover + first.prl:5d}  per phase: {counts}  -> {last.total} markers, "
          f"{last.unremovable} unremovable, {len(result.opens)} open, {time.perf_counter() - t:.2f} s")


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
