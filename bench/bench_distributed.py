"""Distributed batch overhead: 2 local Ray actors against 2 threads, on synthetic designs.

For each size, every checkerboard batch of the given passes runs through the local engine
(`route_boxes` on 2 threads) and through a `RayEngine` with 2 actors of 1 thread each on a
local cluster; their routes and occupancy must agree batch by batch. Per size the table
sums the batches: wall time of both engines and the Ray run's overhead; what the leader
spends on its own (the Ray engine's time from handing out the parts to holding every result,
and from then to every replica merged and checked; `work_boxes([])` = the state digest, `merge_boxes` of the batch's
results = decode + digest + merge); what one whole-batch `work_boxes` call costs more than
`route_boxes` (encoding and digest, less the merge); and the bytes shipped per batch and
per box (each result travels to the leader and to every replica).

    python -m bench.bench_distributed [small medium large] [--seed N] [--passes N]
"""
import time

from bench.common import run_sizes
from testkit.designs import make_design
from tovrana_flow.engine import GridRecipe, LocalEngine

PARAMS = dict(ripup_all=False, maze_end_iter=3, gg_drc=8.0, gg_marker=4.0, gg_fixed=1.0, marker_decay=0.5)


def recipe(d):
    """The grid of a synthetic design, loaded as a driver loads it before its passes."""
    return GridRecipe(d.grid_args(), d.loading_calls())


def timed(fn, *args, **kwargs):
    t0 = time.perf_counter()
    out = fn(*args, **kwargs)
    return out, time.perf_counter() - t0


def bench(size, seed, passes):
    from tovrana_flow.distributed import RayEngine

    d = make_design(size, seed)
    params = dict(gc=d.gc, wire_halo=d.wire_halo, via_halo=d.via_halo, **PARAMS, prl_halo=d.prl_halo,
                  prl_len=d.prl_len, vertical=d.vertical, n_threads=2)
    local, spare = LocalEngine(recipe(d)), LocalEngine(recipe(d))
    engine = RayEngine(recipe(d), "local:2", actors=2)
    sums = dict(threads=0.0, ray=0.0, ray_work=0.0, ray_merge=0.0, digest=0.0, merge=0.0, work_extra=0.0, bytes=0, boxes=0, batches=0)
    try:
        for _ in range(passes):
            for batch in d.box_batches(2) + d.box_batches(3):
                _, digest = timed(local.grid.work_boxes, [], **params)
                blob, work = timed(local.grid.work_boxes, batch, **params)
                want, threads = timed(local.route_boxes, batch, **params)
                got, ray_s = timed(engine.route_boxes, batch, **params)
                merged, merge = timed(spare.grid.merge_boxes, batch, d.gc, [blob])
                assert sorted(got) == sorted(want) == sorted(merged), "engines disagree"
                for e in (local, engine, spare):
                    for net, cells, edges in want:
                        e.call("routes_update", net, cells, edges)
                assert engine.grid.occ_signature() == local.grid.occ_signature() == spare.grid.occ_signature()
                sums["threads"] += threads
                sums["ray"] += ray_s
                sums["ray_work"] += engine.stats[-1].work_s
                sums["ray_merge"] += engine.stats[-1].merge_s
                sums["digest"] += digest
                sums["merge"] += merge
                sums["work_extra"] += work - threads
                sums["bytes"] += engine.stats[-1].bytes
                sums["boxes"] += len(batch)
                sums["batches"] += 1
    finally:
        engine.close()
    n, t = sums["batches"], sums["threads"]
    print(f"| {size} | {n} | {sums['boxes'] / n:.1f} | {t / n * 1e3:.1f} | {sums['ray'] / n * 1e3:.1f} | "
          f"{(sums['ray'] / t - 1) * 100:+.0f} % | {sums['ray_work'] / n * 1e3:.1f} / {sums['ray_merge'] / n * 1e3:.1f} | {sums['digest'] / n * 1e3:.2f} ({sums['digest'] / t * 100:.1f} %) | "
          f"{sums['merge'] / n * 1e3:.2f} ({sums['merge'] / t * 100:.1f} %) | "
          f"{sums['work_extra'] / n * 1e3:+.2f} | {sums['bytes'] / n / 1024:.1f} | "
          f"{sums['bytes'] / sums['boxes']:.0f} |")


if __name__ == "__main__":
    print("| size | batches | boxes/batch | 2 threads ms/batch | 2 actors ms/batch | overhead | "
          "Ray work / merge ms | digest ms (share) | merge_boxes ms (share) | work_boxes - route_boxes ms | KiB/batch | bytes/box |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    run_sizes(__doc__, bench, "--passes", 1)
