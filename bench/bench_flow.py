#!/usr/bin/env python3
"""The flow end to end on a real placed design (default: ispd18_test1), checked and measured.

    python -m bench.bench_flow [--design ispd18_test1] [--threads N] [--passes N] [--profile FILE]

Reads `../shared/designs/<design>/` (beside the checkout) or `--dir`, routes it, writes the
routed DEF into a temporary folder, runs the independent checker and the design-rule check on it
and prints the stage table, the summary, the design-rule check's findings and the targets (2 minutes, 2 GB, 0 opens, 0 shorts, markers at most 1 %
of the nets). `--profile FILE` also writes a cProfile of the run and prints where the time
went, in the module and in Python.
"""
from __future__ import annotations

import argparse
import cProfile
import os
import pstats
import sys
import tempfile
from pathlib import Path

from tovrana_flow import api
from tovrana_flow.routing.stage import RouteOptions
from tovrana_flow.routing.initial import InitialOptions
from tovrana_flow.routing.schedule import PassOptions
from tovrana_flow.routing.search import Greed

ROOT = Path(__file__).resolve().parent.parent

TARGET_SECONDS, TARGET_MB, TARGET_MARKER_SHARE = 120, 2048, 0.01


def design_files(folder: Path, name: str) -> tuple[list[str], str, str | None]:
    stem = folder / name / f"{name}.input"
    lef, def_, guide = Path(f"{stem}.lef"), Path(f"{stem}.def"), Path(f"{stem}.guide")
    if not lef.exists() or not def_.exists():
        sys.exit(f"bench_flow: {stem}.lef / .def not found (give --dir)")
    return [str(lef)], str(def_), str(guide) if guide.exists() else None


def module_share(stats: pstats.Stats, top: int = 12) -> None:
    """Prints the most expensive calls by own time, module methods first."""
    rows = sorted(stats.stats.items(), key=lambda kv: -kv[1][2])
    total = sum(v[2] for _, v in rows)
    print(f"\nprofile: {total:.1f} s of own time; top {top} by own time")
    for (file, line, fn), (cc, nc, tt, ct, _) in rows[:top]:
        where = fn if file == "~" else f"{Path(file).name}:{line} {fn}"
        print(f"  {tt:7.2f} s  {100 * tt / total:5.1f} %  {nc:8d} calls  {where}")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--design", default="ispd18_test1")
    ap.add_argument("--dir", default=str(ROOT.parent / "shared" / "designs"), help="folder of design folders")
    ap.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    ap.add_argument("--passes", type=int, default=PassOptions.passes)
    ap.add_argument("--heuristic-weight", type=float, default=Greed.weight,
                    help="A* heuristic weight of nets of many pins (as the command's option)")
    ap.add_argument("--profile", metavar="FILE", help="write a cProfile of the run to FILE")
    args = ap.parse_args(argv)

    lefs, def_path, guide = design_files(Path(args.dir), args.design)
    routing = RouteOptions(initial=InitialOptions(greed=Greed(weight=args.heuristic_weight)),
                           passes=PassOptions(passes=args.passes, threads=args.threads),
                           show_progress=sys.stderr.isatty())
    with tempfile.TemporaryDirectory() as tmp:
        out = str(Path(tmp) / f"{args.design}.routed.def")
        profiler = cProfile.Profile() if args.profile else None
        if profiler:
            profiler.enable()
        result = api.run(lefs, def_path, out, guide_path=guide, routing=routing, run_check=True)
        if profiler:
            profiler.disable()
            profiler.dump_stats(args.profile)
    s, check = result.summary, result.check
    print(f"design {args.design}: grid {' x '.join(map(str, s.grid))}, gcell {s.gcell}, layers "
          f"{', '.join(s.layers)}, {s.nets} nets ({s.routed_nets} routed), {args.threads} threads\n")
    print(result.table())
    module = sum(r.module_seconds or 0 for r in result.rows)
    print(f"\ntotal {s.seconds:.1f} s (module {module:.1f} s, Python {s.seconds - module:.1f} s), "
          f"peak {s.peak_mb:.0f} MB; wire length {s.wirelength_um:.0f} um, {s.vias} vias")
    print(f"checker: {check.opens} opens, {check.shorts} shorts, {check.pin_shorts} pin shorts "
          f"({check.seconds:.1f} s); markers left {s.markers} ({s.unremovable_markers} unremovable), "
          f"{s.pins_reached_by_access_wire} pins reached by an access wire")
    print("\n" + result.drc.summary())
    share = s.markers / max(s.routed_nets, 1)
    targets = [("time", s.seconds <= TARGET_SECONDS, f"{s.seconds:.0f} s <= {TARGET_SECONDS} s"),
               ("memory", s.peak_mb <= TARGET_MB, f"{s.peak_mb:.0f} MB <= {TARGET_MB} MB"),
               ("opens", check.opens == 0, f"{check.opens} == 0"),
               ("shorts", check.shorts + check.pin_shorts == 0, f"{check.shorts + check.pin_shorts} == 0"),
               ("markers", share <= TARGET_MARKER_SHARE, f"{100 * share:.2f} % of nets <= 1 %")]
    print("targets: " + "; ".join(f"{name} {'met' if ok else 'MISSED'} ({text})" for name, ok, text in targets))
    if args.profile:
        module_share(pstats.Stats(args.profile))
    return 0 if all(ok for _, ok, _ in targets[2:4]) else 1


if __name__ == "__main__":
    sys.exit(main())
