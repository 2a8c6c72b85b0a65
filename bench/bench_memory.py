"""Where the module's memory goes on a real design, and what the kept digests cost.

    python -m bench.bench_memory [--design ispd18_test1] [--batches N] [--threads N]

Replays a recorded flow run (`bench.flow_trace`, recorded on first use) on a fresh grid and
prints, per loading call, the resident memory it added (bytes per grid cell and per routed
net) and the module's own accounting of its structures (`Grid._memory_usage()`, when the
module has it); then runs the first batches of the run and prints each batch's transient
peak, the memory it left, and the time of `occ_signature()` and of the state digest
(`work_boxes([])`) after it.
"""
from __future__ import annotations

import argparse
import gc
import sys
import time

from bench import flow_trace
from bench.common import reset_peak, rss_kib
from tovrana_flow.routing.engines import apply_routes


def timed_ms(fn, repeat=5):
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best * 1000


def digest_call(grid, params):
    p = {k: v for k, v in params.items() if k != "n_threads"}
    return lambda: grid.work_boxes([], n_threads=1, **p)


def accounting(grid, cells, nets):
    usage = getattr(grid, "_memory_usage", None)
    if usage is None:
        print("  (no _memory_usage in this module)")
        return
    total = 0
    for name, size in usage().items():
        total += size
        print(f"  {name:<28} {size / 2**20:9.1f} MiB  {size / cells:7.2f} B/cell  {size / nets:9.0f} B/net")
    print(f"  {'total':<28} {total / 2**20:9.1f} MiB  {total / cells:7.2f} B/cell  {total / nets:9.0f} B/net")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--design", default="ispd18_test1")
    ap.add_argument("--batches", type=int, default=2)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--trace", help="trace file (default: a temporary file per design)")
    a = ap.parse_args(argv)
    log = flow_trace.load(a.design, path=a.trace)
    import tovrana

    _, grid_args, calls = log[0]
    nx, ny, nz = grid_args[:3]
    cells = nx * ny * nz
    ops = log[1:]
    first_batch = next((i for i, op in enumerate(ops) if op[0] == "route_boxes"), len(ops))
    # the routes as the first batch finds them: loaded by the recipe, or updated after it
    routes = {n: c for n, c, _ in next(args[0] for method, args in calls if method == "routes_init")}
    routes.update({op[2][0]: op[2][1] for op in ops[:first_batch] if op[:2] == ("call", "routes_update")})
    nets = max(len(routes), 1)
    route_cells = sum(len(c) for c in routes.values())
    print(f"{a.design}: grid {nx} x {ny} x {nz} ({cells:,} cells), {nets} nets, {route_cells:,} route cells\n")
    print(f"{'step':<22} {'MiB':>8} {'B/cell':>8} {'B/net':>9}")
    gc.collect()
    before = rss_kib("VmRSS")
    grid = tovrana.Grid(*grid_args)
    total = 0

    def row(name, kib):
        print(f"{name:<22} {kib / 1024:8.1f} {kib * 1024 / cells:8.2f} {kib * 1024 / nets:9.0f}")

    kib = rss_kib("VmRSS") - before
    total += kib
    row("Grid(...)", kib)
    for method, args in calls:
        gc.collect()
        before = rss_kib("VmRSS")
        getattr(grid, method)(*args)
        kib = rss_kib("VmRSS") - before
        total += kib
        row(method, kib)
    if first_batch:
        gc.collect()
        before = rss_kib("VmRSS")
        for _ in flow_trace.replay(grid, ops[:first_batch]):
            pass
        kib = rss_kib("VmRSS") - before
        total += kib
        row("calls before a batch", kib)
    row("loaded grid", total)
    print("\nmodule accounting before the first batch:")
    accounting(grid, cells, nets)
    print()
    print(f"batches ({a.threads} threads): transient peak of work_boxes (the work without a Python result) "
          f"and of route_boxes, memory kept, occ_signature and state digest after it")
    runs = 0
    i = first_batch
    while runs < a.batches and i < len(ops):
        op = ops[i]
        i += 1
        if op[0] != "route_boxes":
            getattr(grid, op[1])(*op[2], **op[3])
            continue
        params = dict(op[2], n_threads=a.threads)
        packed = params.pop("packed", False)    # a route_boxes option that work_boxes does not take
        gc.collect()
        rss0 = rss_kib("VmRSS")
        reset_peak()
        worked = grid.work_boxes(op[1], **params)
        work_peak = rss_kib("VmHWM") - rss0
        del worked
        gc.collect()
        rss0 = rss_kib("VmRSS")
        reset_peak()
        t = time.perf_counter()
        out = grid.route_boxes(op[1], **params, packed=packed)
        seconds = time.perf_counter() - t
        peak = rss_kib("VmHWM") - rss0
        kept = rss_kib("VmRSS") - rss0
        apply_routes(grid, out)     # as the engine does
        del out
        sig = timed_ms(grid.occ_signature)
        dig = timed_ms(digest_call(grid, params), repeat=3)
        print(f"  batch of {len(op[1])} boxes: work_boxes peak +{work_peak / 1024:.1f} MiB; route_boxes {seconds:.2f} s, "
              f"peak +{peak / 1024:.1f} MiB, kept +{kept / 1024:.1f} MiB (result list included); "
              f"occ_signature {sig:.3f} ms, state digest {dig:.3f} ms")
        runs += 1
    print("\nmodule accounting after the batches:")
    accounting(grid, cells, nets)
    return 0


if __name__ == "__main__":
    sys.exit(main())
