"""Maze search benchmark: box_maze on the synthetic designs against the Python model.

For each size, a fixed set of single-net searches (first pin to the other pins of a
net, inside the pins' gcell box widened by one gcell, occupancy pricing on) runs on
the module and on the model in the same process. Reported: searches/s, expanded
states/s (expansions counted by the model, which pops in the same order), peak
memory added during the module's searches, and the speed-up over the model.
Times are CPU time of this process (time.process_time), so other load on a shared
machine does not skew them. With --tracks, both sides search under the design's track
model (testkit.designs.make_rules: uneven lines, masks, wrong-way factors, no-via cells);
with --guides, under route guides for most nets (testkit.designs.make_guides), with or
without a track model.

    python -m bench.bench_maze [small medium large] [--seed N] [--repeat N] [--tracks] [--guides]
"""
import random
import time

import tovrana
from bench.common import reset_peak, rss_kib, size_parser
from testkit.designs import make_design, make_guides, make_rules
from testkit.model.grid import ModelGrid, gcell_key
from testkit.model.maze import MazeModel

SEARCHES = {"tiny": 8, "small": 40, "medium": 60, "large": 60}
MODEL_SEARCHES = {"tiny": 8, "small": 40, "medium": 30, "large": 12}
WEIGHTS = (8.0, 4.0, 2.0)  # gg_drc, gg_marker, gg_fixed


def queries(d, count):
    """(net, starts, goals, hard, route_shape, marker_pos, fixed, corridor) per search."""
    out = []
    for net, pins in sorted(d.pins.items())[:count]:
        starts = [pins[0], (pins[0][0], pins[0][1], 1)]
        goals = list(pins[1:])
        gx = [p[0] // d.gc for p in pins]
        gy = [p[1] // d.gc for p in pins]
        corridor = [(x, y) for x in range(min(gx) - 1, max(gx) + 2) for y in range(min(gy) - 1, max(gy) + 2)]
        own = d.routes[net][0]
        marker_pos = own[len(own) // 3: len(own) // 3 + 4]
        fixed = own[-3:]
        out.append((net, starts, goals, [], [], marker_pos, fixed, corridor))
    return out


def run_module(grid, d, qs):
    paths = []
    for net, starts, goals, hard, rs, mp, fx, corridor in qs:
        paths.append(grid.box_maze(net, starts, goals, hard, rs, mp, fx, *WEIGHTS, corridor, d.gc, True))
    return paths


def run_model(model, d, qs):
    paths, expanded = [], 0
    for net, starts, goals, hard, rs, mp, fx, corridor in qs:
        ids = lambda cells: {model.cell_id(c) for c in cells}
        m = MazeModel(model, net, starts, goals, *WEIGHTS, ids(hard), ids(rs), ids(mp), ids(fx),
                      {gcell_key(x, y) for x, y in corridor}, d.gc, True)
        paths.append(m.run())
        expanded += m.expanded
    return paths, expanded


def bench(size, seed, repeat, tracks=False, guides=False):
    d = make_design(size, seed)
    grid = tovrana.Grid(*d.grid_args())
    model = ModelGrid(*d.grid_args())
    rules = make_rules(d, seed, spacing=False).calls() if tracks else []
    if guides:
        rules.append(("set_net_guides", make_guides(d, random.Random(seed))))
    for g in (grid, model):
        for method, args in rules:
            getattr(g, method)(*args)
        g.occ_init(d.occ_nets(), d.wire_halo, d.via_halo)
    qs = queries(d, SEARCHES[size])
    mq = qs[: MODEL_SEARCHES[size]]

    def best_time(fn, *args):
        t0 = time.process_time()
        out = fn(*args)
        return time.process_time() - t0, out

    # peak RSS growth over the module's first pass
    rss0 = rss_kib("VmRSS")
    peak_ok = reset_peak()
    paths = run_module(grid, d, qs)
    peak = (rss_kib("VmHWM") if peak_ok else rss_kib("VmHWM")) - rss0

    # Best of `repeat` rounds for both sides; each round times the module's runs
    # right next to one run of the model, so a slow phase of a shared machine
    # favours neither.
    t_mod = t_mod_sub = t_model = float("inf")
    for _ in range(repeat):
        for _ in range(3):
            t_mod = min(t_mod, best_time(run_module, grid, d, qs)[0])
            t, sub = best_time(run_module, grid, d, mq)
            t_mod_sub = min(t_mod_sub, t)
        t, (model_paths, expanded_sub) = best_time(run_model, model, d, mq)
        t_model = min(t_model, t)
    assert model_paths == sub, "module and model disagree"
    # expansions of all the module's searches (the model's count, same pop order)
    _, expanded_all = run_model(model, d, qs[len(mq):])
    expanded_all += expanded_sub

    found = sum(p is not None for p in paths)
    label = "".join((" tracks" if tracks else "", " guides" if guides else ""))
    print(f"{size:>6}{label}: {len(qs)} searches ({found} found), {expanded_all} expanded states; "
          f"{len(qs) / t_mod:,.0f} searches/s, {expanded_all / t_mod / 1e6:.2f} M expanded/s, "
          f"peak +{max(peak, 0) / 1024:.1f} MiB; "
          f"model on {len(mq)}: {t_model:.2f} s vs {t_mod_sub * 1e3:.2f} ms -> {t_model / t_mod_sub:,.0f}x")


if __name__ == "__main__":
    ap = size_parser(__doc__)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--tracks", action="store_true")
    ap.add_argument("--guides", action="store_true")
    a = ap.parse_args()
    for size in a.sizes:
        bench(size, a.seed, a.repeat, a.tracks, a.guides)
