"""Rip-up-and-reroute benchmark: one checkerboard phase of route_boxes.

For each size: the phase's boxes on the module with 1 and 2 threads (fresh grids in the
same state; the two results must be identical), wall time, boxes/s and peak memory;
then the first few boxes of the phase on the module and on the Python model, for the
speed-up and the reroute count (the model counts its attempts; the module makes the
same ones).

    python -m bench.bench_batch [small medium large] [--seed N] [--model-boxes N]
"""
import time

import tovrana
from bench.common import reset_peak, rss_kib, run_sizes
from testkit.designs import make_design
from testkit.model import worker as worker_model
from testkit.model.grid import ModelGrid

PARAMS = dict(ripup_all=False, maze_end_iter=3, gg_drc=8.0, gg_marker=4.0, gg_fixed=1.0, marker_decay=0.5)


def loaded(cls, d):
    return d.load(cls(*d.grid_args()))


def batch_args(d, boxes):
    return (boxes, d.gc, d.wire_halo, d.via_halo, PARAMS["ripup_all"], PARAMS["maze_end_iter"], PARAMS["gg_drc"],
            PARAMS["gg_marker"], PARAMS["gg_fixed"], PARAMS["marker_decay"], d.prl_halo, d.prl_len, d.vertical)


def bench(size, seed, model_boxes):
    d = make_design(size, seed)
    phase = max(d.box_batches(2), key=len)
    timings, results = {}, []
    for threads in (1, 2):
        g = loaded(tovrana.Grid, d)
        rss0 = rss_kib("VmRSS")
        reset_peak()
        t0 = time.perf_counter()
        out = g.route_boxes(*batch_args(d, phase), threads)
        timings[threads] = time.perf_counter() - t0
        peak = rss_kib("VmHWM") - rss0
        results.append((sorted(map(repr, out)), g.occ_signature()))
    assert results[0] == results[1], "thread count changed the result"

    sub = phase[:model_boxes]
    g = loaded(tovrana.Grid, d)
    t0 = time.perf_counter()
    g.route_boxes(*batch_args(d, sub), 1)
    t_mod = time.perf_counter() - t0
    m = loaded(ModelGrid, d)
    before = worker_model.ATTEMPTS
    t0 = time.perf_counter()
    worker_model.route_boxes(m, *batch_args(d, sub))
    t_model = time.perf_counter() - t0
    attempts = worker_model.ATTEMPTS - before
    assert g.occ_signature() == m.occ_signature(), "module and model disagree"

    print(f"{size:>6}: phase of {len(phase)} boxes, {len(results[0][0])} nets changed; "
          f"1 thread {timings[1]:.2f} s, 2 threads {timings[2]:.2f} s ({timings[1] / timings[2]:.2f}x), "
          f"{len(phase) / timings[2]:.1f} boxes/s, peak +{max(peak, 0) / 1024:.1f} MiB; "
          f"model on {len(sub)} boxes: {t_model:.2f} s vs {t_mod * 1e3:.1f} ms -> {t_model / t_mod:,.0f}x, "
          f"{attempts} reroutes = {attempts / t_mod:,.0f} reroutes/s")


if __name__ == "__main__":
    run_sizes(__doc__, bench, "--model-boxes", 2)
