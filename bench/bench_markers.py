"""Marker engine benchmark: flexgc over every net of the synthetic designs, module
against the Python model in the same process.

Reported per size: route cells, footprint visits (cover pass), markers, the best
module time (of --repeat runs; argument conversion and result building included),
the model time, the speed-up and footprint visits per second of the module call.
As timeit does, the cyclic garbage collector is paused while timing (it would
otherwise charge both sides for scans of the design's own objects); the module's
best time with the collector running is shown as well.

    python -m bench.bench_markers [small medium large] [--seed N] [--repeat N] [--region]

With --extremes it times instead the calls whose halos reach 2^31 - 1, where the engine
must clamp its loops to the grid: each must finish within EXTREME_BUDGET_S seconds, or
the script exits with status 1.

    python -m bench.bench_markers --extremes
"""
import gc
import time

import tovrana
from bench.common import size_parser
from testkit.designs import make_design
from testkit.model.grid import ModelGrid
from testkit.model.markers import flexgc as model_flexgc


def visit_count(nx, ny, nets, wire_halo, via_halo, region):
    """Number of footprint visits, from the clipped square sizes."""
    x_lo, x_hi, y_lo, y_hi = 0, nx - 1, 0, ny - 1
    if region is not None:
        x_lo, y_lo = max(x_lo, region[0]), max(y_lo, region[1])
        x_hi, y_hi = min(x_hi, region[2]), min(y_hi, region[3])
    total = 0
    for _net, cells, vias in nets:
        via_set = set(vias)
        for x, y, _layer in cells:
            h = via_halo if (x, y, _layer) in via_set else wire_halo
            if h < 0:
                continue
            w = min(x + h, x_hi) - max(x - h, x_lo) + 1
            t = min(y + h, y_hi) - max(y - h, y_lo) + 1
            total += max(w, 0) * max(t, 0)
    return total


def run(size, seed, repeat, halos, with_region):
    d = make_design(size, seed)
    nets = d.occ_nets()
    wire_halo, via_halo = halos if halos else (d.wire_halo, d.via_halo)
    region = (d.nx // 4, d.ny // 4, 3 * d.nx // 4, 3 * d.ny // 4) if with_region else None
    args = (nets, wire_halo, via_halo, region, d.prl_halo, d.prl_len, d.vertical)
    g = tovrana.Grid(*d.grid_args())
    m = ModelGrid(*d.grid_args())

    def best_of(n):
        best = float("inf")
        for _ in range(n):
            t0 = time.perf_counter()
            out = g.flexgc(*args)
            best = min(best, time.perf_counter() - t0)
        return best, out

    best_gc, _ = best_of(repeat)
    gc.collect()
    gc.disable()
    try:
        best, got = best_of(repeat)
        t0 = time.perf_counter()
        want = model_flexgc(m, *args)
        t_model = time.perf_counter() - t0
    finally:
        gc.enable()
    if got != want:
        raise SystemExit(f"{size}: module and model disagree")

    cells = sum(len(c) for _n, c, _v in nets)
    visits = visit_count(d.nx, d.ny, nets, wire_halo, via_halo, region)
    n_prl = sum(1 for mk in got if len(mk[0]) > 1)
    print(
        f"{size:>7} {d.nx}x{d.ny}x{d.nz} nets={len(nets):5d} cells={cells:7d} visits={visits:8d} "
        f"markers={len(got):6d} (prl {n_prl:4d})  module={best * 1e3:8.2f} ms (gc on {best_gc * 1e3:7.2f})  model={t_model * 1e3:9.1f} ms  "
        f"speed-up={t_model / best:6.1f}x  visits/s={visits / best / 1e6:7.1f} M",
        flush=True,
    )


I32_MIN, I32_MAX = -(2**31), 2**31 - 1
EXTREME_BUDGET_S = 2.0


def column(net, x, ys, layer=1):
    return (net, [(x, y, layer) for y in ys], [])


# name: (grid nx, ny, flexgc arguments)
EXTREMES = {
    "huge wire, via and prl halos": (
        12, 9, ([(1, [(0, 0, 0), (I32_MIN, 3, 0)], [(I32_MIN, 3, 0)]), (2, [(I32_MAX, I32_MAX, 0)], [])],
                I32_MAX, I32_MAX, None, I32_MAX, I32_MAX, [True])),
    "huge halos, clipped to a region": (
        12, 9, ([(1, [(0, 0, 0), (I32_MIN, 3, 0)], [(I32_MIN, 3, 0)]), (2, [(I32_MAX, I32_MAX, 0)], [])],
                I32_MAX, I32_MAX, (2, 2, 4, 3), I32_MAX, 1, [])),
    "huge prl_halo over three columns": (
        30, 30, ([column(9, 4, range(10, 20)), column(5, 6, range(12, 26)), column(7, 5, range(0, 30, 2))],
                 -1, -1, None, I32_MAX, 8, [False, True])),
}


def extremes():
    """Times each extreme call once; 1 when one of them exceeds the budget."""
    status = 0
    for name, (nx, ny, args) in EXTREMES.items():
        g = tovrana.Grid(nx, ny, 1, [], [], [], [])
        t0 = time.perf_counter()
        g.flexgc(*args)
        took = time.perf_counter() - t0
        over = took > EXTREME_BUDGET_S
        status |= over
        print(f"{name:<36} {took * 1e3:9.2f} ms{'  OVER BUDGET' if over else ''}", flush=True)
    return int(status)


def main():
    ap = size_parser(__doc__)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--halos", type=int, nargs=2, metavar=("WIRE", "VIA"), help="override the design's halos")
    ap.add_argument("--region", action="store_true", help="clip to the middle quarter of the grid")
    ap.add_argument("--extremes", action="store_true", help="time the calls with halos of 2^31 - 1 instead")
    a = ap.parse_args()
    if a.extremes:
        raise SystemExit(extremes())
    for size in a.sizes:
        run(size, a.seed, a.repeat, a.halos, a.region)


if __name__ == "__main__":
    main()
