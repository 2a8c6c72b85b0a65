"""Distributed batch overhead: 2 local Ray actors against 2 threads, on synthetic designs.

For each size, every checkerboard batch of the given passes runs through `ComparingEngine`:
the local engine (`route_boxes` on 2 threads) and a `RayEngine` with 2 actors of 1 thread
each on a local cluster, whose routes and occupancy must agree batch by batch. Per size the
table sums the batches (see `HEADER`): wall time of both engines and the Ray run's overhead;
where the Ray run's time goes (the replicas catching up: merging the batch before and
applying the calls made since; the work, from handing out the parts to holding every
result; the leader's own merge); `work_boxes([])` (the state digest) and `merge_boxes` of
the batch's results (decode + digest + merge) on the leader; what one
whole-batch `work_boxes` call costs more than `route_boxes` (encoding and digest, less the
merge); and the bytes shipped per batch and per box (each result travels to the leader and
to every replica). `bench/bench_flow_distributed.py` runs the same engine inside the flow
on a real design.

    python -m bench.bench_distributed [small medium large] [--seed N] [--passes N]
"""
import time
from dataclasses import dataclass

from bench.common import run_sizes
from testkit.designs import make_design
from tovrana_flow.routing.engines import GridRecipe, LocalEngine, apply_routes

PARAMS = dict(ripup_all=False, maze_end_iter=3, gg_drc=8.0, gg_marker=4.0, gg_fixed=1.0, marker_decay=0.5)

HEADER = ("| {label} | batches | boxes/batch | 2 threads ms/batch | 2 actors ms/batch | overhead | "
          "replicas catch up / Ray work / leader merge ms | digest ms (share) | merge_boxes ms (share) | work_boxes - route_boxes ms | "
          "KiB/batch | bytes/box |\n|---|---|---|---|---|---|---|---|---|---|---|---|")


def recipe(d):
    return d.grid_recipe()


def timed(fn, *args, **kwargs):
    t0 = time.perf_counter()
    out = fn(*args, **kwargs)
    return out, time.perf_counter() - t0


@dataclass
class BatchFigures:
    """One batch worked both ways; times in seconds."""
    key: str              # the batch's parameters other than its boxes (which pass it belongs to)
    boxes: int
    threads: float        # route_boxes on the local engine
    ray: float            # route_boxes on the Ray engine, catch_up included
    catch_up: float       # the replicas' merge of the batch before and the calls since
    ray_work: float
    ray_merge: float
    digest: float         # work_boxes([]) on the local grid
    merge: float          # merge_boxes of a whole-batch result on a spare grid
    work_extra: float     # whole-batch work_boxes less route_boxes
    bytes: int


class ComparingEngine:
    """A batch engine that works every batch on the local engine (`threads` threads) and on a
    `RayEngine` of `actors` local actors, checks that both return the same routes from the
    same state, and keeps each batch's `BatchFigures`. A spare local grid takes the merge of
    a whole-batch `work_boxes`, to time the merge alone. Returns the local engine's routes."""

    def __init__(self, grid_recipe: GridRecipe, actors: int = 2, threads: int = 2):
        from tovrana_flow.routing.distributed import RayEngine

        self.threads = threads
        self.local, self.spare = LocalEngine(grid_recipe), LocalEngine(grid_recipe)
        self.ray = RayEngine(grid_recipe, f"local:{actors}", actors=actors, leader_share=False)
        self.grid = self.local.grid
        self.figures: list[BatchFigures] = []

    def route_boxes(self, boxes, **params):
        params = {**params, "n_threads": self.threads}
        packed = params.pop("packed", False)
        signature = self.local.grid.occ_signature()
        assert self.ray.grid.occ_signature() == signature == self.spare.grid.occ_signature(), "grids differ"
        _, digest = timed(self.local.grid.work_boxes, [], **params)
        blob, work = timed(self.local.grid.work_boxes, boxes, **params)
        want, threads = timed(self.local.route_boxes, boxes, **params, packed=packed)
        catch_up = self.ray.settle()
        got, ray_s = timed(self.ray.route_boxes, boxes, **params, packed=packed)
        ray_s += catch_up
        merged, merge = timed(self.spare.grid.merge_boxes, boxes, params["gc"], [blob], packed=packed)
        apply_routes(self.spare.grid, merged)
        assert sorted(got) == sorted(want) == sorted(merged), "engines disagree"
        stats = self.ray.stats[-1]
        key = repr(sorted(params.items()))
        self.figures.append(BatchFigures(key, len(boxes), threads, ray_s, catch_up, stats.work_s, stats.merge_s,
                                         digest, merge, work - threads, stats.bytes))
        return want

    def update_route(self, net, cells, edges, occ=False):
        for engine in (self.local, self.ray, self.spare):
            engine.update_route(net, cells, edges, occ)

    def rebuild_occupancy(self, nets, wire_halo, via_halo):
        for engine in (self.local, self.ray, self.spare):
            engine.rebuild_occupancy(nets, wire_halo, via_halo)

    def balance_by_markers(self, markers, gc):
        self.ray.balance_by_markers(markers, gc)

    def expect_batches(self, batches, params):
        pass        # each batch is timed alone: nothing is worked ahead

    def close(self):
        self.ray.close()


def table_row(label, figures: list[BatchFigures]) -> str:
    """The sums of some batches as a row under `HEADER`."""
    n = len(figures)

    def total(name):
        return sum(getattr(f, name) for f in figures)

    t, ray_s, boxes, shipped = total("threads"), total("ray"), total("boxes"), total("bytes")
    return (f"| {label} | {n} | {boxes / n:.1f} | {t / n * 1e3:.1f} | {ray_s / n * 1e3:.1f} | "
            f"{(ray_s / t - 1) * 100:+.0f} % | {total('catch_up') / n * 1e3:.1f} / {total('ray_work') / n * 1e3:.1f} / "
            f"{total('ray_merge') / n * 1e3:.1f} | "
            f"{total('digest') / n * 1e3:.2f} ({total('digest') / t * 100:.1f} %) | "
            f"{total('merge') / n * 1e3:.2f} ({total('merge') / t * 100:.1f} %) | "
            f"{total('work_extra') / n * 1e3:+.2f} | {shipped / n / 1024:.1f} | {shipped / boxes:.0f} |")


def bench(size, seed, passes):
    d = make_design(size, seed)
    params = dict(gc=d.gc, wire_halo=d.wire_halo, via_halo=d.via_halo, **PARAMS, prl_halo=d.prl_halo,
                  prl_len=d.prl_len, vertical=d.vertical, n_threads=2)
    engine = ComparingEngine(recipe(d))
    try:
        for _ in range(passes):
            for batch in d.box_batches(2) + d.box_batches(3):
                engine.route_boxes(batch, **params)     # which applies the routes
    finally:
        engine.close()
    print(table_row(size, engine.figures))


if __name__ == "__main__":
    print(HEADER.format(label="size"))
    run_sizes(__doc__, bench, "--passes", 1)
