#!/usr/bin/env python3
"""Distributed batch overhead on a real design (default: ispd18_test1): 2 local Ray actors
against 2 threads, pass by pass.

    python -m bench.bench_flow_distributed [--design ispd18_test1] [--passes N] [--actors N] [--whole]

Routes the design with the flow's default options, with every batch of the passes worked by
`bench.bench_distributed.ComparingEngine` (the local engine on 2 threads and a `RayEngine` of
2 actors, which must agree batch by batch), and prints the same table as that script, one
row per pass and one for all. The flow itself goes on with the local engine's routes, so the
routes are those of a threaded run. Each batch is timed alone there, so the Ray engine works
nothing ahead.

With `--whole` the routing stage runs twice on the same mapped design instead, once on
threads and once on Ray as `--ray local:N` would (batches worked ahead; with
`--leader-share`, the leader works a share of each beside N - 1 actors), and the passes'
rows are set side by side; the two runs' routes must be equal.
"""
from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path

from bench.bench_distributed import HEADER, ComparingEngine, table_row
from bench.bench_flow import ROOT, design_files
from tovrana_flow import api
from tovrana_flow.routing.stage import RouteOptions
from tovrana_flow.routing.schedule import PassOptions


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--design", default="ispd18_test1")
    ap.add_argument("--dir", default=str(ROOT.parent / "shared" / "designs"), help="folder of design folders")
    ap.add_argument("--passes", type=int, default=PassOptions.passes)
    ap.add_argument("--actors", type=int, default=2)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--whole", action="store_true", help="whole routing stages, threads against actors")
    ap.add_argument("--leader-share", action="store_true",
                    help="with --whole: the leader works a share of each batch beside N - 1 actors")
    args = ap.parse_args(argv)
    if args.whole:
        return whole_runs(args)

    engines: list[ComparingEngine] = []

    def comparing_engine(recipe):
        engines.append(ComparingEngine(recipe, args.actors, args.threads))
        return engines[-1]

    lefs, def_path, guide = design_files(Path(args.dir), args.design)
    with tempfile.TemporaryDirectory() as tmp:
        result = api.run(lefs, def_path, str(Path(tmp) / "routed.def"), guide_path=guide,
                         routing=RouteOptions(passes=PassOptions(passes=args.passes, threads=args.threads),
                                              show_progress=False, engine=comparing_engine))
    figures = engines[0].figures
    passes: dict[tuple, list] = {}
    for f in figures:
        passes.setdefault(f.key, []).append(f)
    print(f"design {args.design}: {len(figures)} batches in {len(passes)} passes, {args.actors} actors "
          f"of 1 thread against {args.threads} threads; {result.summary.seconds:.0f} s in all\n")
    print(HEADER.format(label="pass"))
    for number, batches in enumerate(passes.values(), 1):
        print(table_row(str(number), batches))
    print(table_row("all", figures))
    return 0


def whole_runs(args) -> int:
    inputs = api.read(*design_files(Path(args.dir), args.design))
    model = api.map_to_grid(inputs)
    runs = {}
    def shared(recipe):
        from tovrana_flow.routing.distributed import RayEngine

        return RayEngine(recipe, f"local:{args.actors}", actors=max(1, args.actors - 1), leader_share=True)

    for label, ray in (("threads", None), ("actors", f"local:{args.actors}")):
        options = RouteOptions(passes=PassOptions(passes=args.passes, threads=args.threads), show_progress=False,
                               ray=ray, refine=False, engine=shared if ray and args.leader_share else None)
        started = time.perf_counter()
        runs[label] = api.route(model, inputs.guides, options)
        print(f"{label}: routing stage {time.perf_counter() - started:.1f} s", flush=True)
    threads, actors = runs["threads"], runs["actors"]
    assert dict(threads.routes) == dict(actors.routes), "the two runs' routes differ"
    ray_side = (f"the leader's share and {max(1, args.actors - 1)} actor(s)" if args.leader_share
                else f"{args.actors} actors")
    print(f"\ndesign {args.design}: {args.threads} threads against --ray local:{args.actors} ({ray_side} of 1 "
          f"thread); same routes\n")
    print("| pass | threads s | actors s | overhead | threads module s | actors module s | wire um | vias | markers |")
    print("|---|---|---|---|---|---|---|---|---|")
    total = [0.0, 0.0]
    for a, b in zip(threads.rows, actors.rows):
        if not a.phase.startswith("pass"):
            continue
        total[0] += a.seconds
        total[1] += b.seconds
        print(f"| {a.phase} | {a.seconds:.1f} | {b.seconds:.1f} | {(b.seconds / a.seconds - 1) * 100:+.0f} % | "
              f"{a.module_seconds:.1f} | {b.module_seconds:.1f} | {a.wirelength_um:.1f} | {a.vias} | {a.cover + a.prl} |")
    print(f"| all passes | {total[0]:.1f} | {total[1]:.1f} | {(total[1] / total[0] - 1) * 100:+.0f} % | | | | | |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
