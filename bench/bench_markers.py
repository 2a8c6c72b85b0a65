"""Marker engine benchmark: flexgc over every net of the synthetic designs, module
against the Python model in the same process.

Reported per size: route cells, footprint visits (cover pass), markers, the best
module time (of --repeat runs; argument conversion and result building included),
the model time, the speed-up and footprint visits per second of the module call.
As timeit does, the cyclic garbage collector is paused while timing (it would
otherwise charge both sides for scans of the design's own objects); the module's
best time with the collector running is shown as well.

    python bench/bench_markers.py [small medium large] [--seed N] [--repeat N] [--region]
"""
import gc
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import tovrana  # noqa: E402
from common import size_parser  # noqa: E402
from designs import make_design  # noqa: E402
from model.grid import ModelGrid  # noqa: E402
from model.markers import flexgc as model_flexgc  # noqa: E402


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


def main():
    ap = size_parser(__doc__)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--halos", type=int, nargs=2, metavar=("WIRE", "VIA"), help="override the design's halos")
    ap.add_argument("--region", action="store_true", help="clip to the middle quarter of the grid")
    a = ap.parse_args()
    for size in a.sizes:
        run(size, a.seed, a.repeat, a.halos, a.region)


if __name__ == "__main__":
    main()
