#!/usr/bin/env python3
"""Routes a synthetic design end to end with tovrana and draws the result.

The flow is the one a routing driver runs:

1. initial routing: every signal net is connected terminal set by terminal set with
   ``Grid.box_maze`` inside its bounding box grown by one gcell, priced against the cells
   near the nets routed before it (a net without a path keeps the design's pattern route);
2. loading: ``routes_init``, ``set_termsets``, ``set_name_rank``, ``set_worker_consts`` and
   ``occ_init``, then the design-rule markers with ``flexgc``;
3. rip-up and reroute: for each pass, the four checkerboard batches of boxes (of 2 and 3
   gcells in turn) go through ``route_boxes`` on all threads; the returned routes are applied with ``routes_update``,
   and the incrementally maintained occupancy is compared with a fresh ``occ_init`` of the
   applied routes on a second ``Grid``.

It prints a summary table and writes a PNG with one panel per layer. matplotlib and tqdm
(the ``demo`` extra) are optional: without them there is no picture and no progress bar.

Run it from the checkout root, where the design generator of ``testkit`` is importable:

    python -m examples.route_demo --size small --passes 3 --out route_demo.png
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import tovrana
from testkit.designs import SIZES, make_design, via_cells

try:
    from tqdm import tqdm
except ImportError:  # the demo extra is not installed
    tqdm = None

# Penalty weights and worker settings of the schedule. Pass p of the rip-up-and-reroute
# loop uses a marker weight of p * GG_MARKER, so that cells which keep producing markers
# grow costlier from pass to pass.
GG_DRC = 8.0
GG_MARKER = 2.0
GG_FIXED = 1.0
MARKER_DECAY = 0.5
MAZE_END_ITER = 3


def progress(items, desc, total=None):
    if tqdm is None:
        return items
    # disable=None: no bar when stderr is not a terminal
    return tqdm(items, desc=desc, total=total, unit="", leave=False, dynamic_ncols=True, disable=None)


def halo_square(cells, halo, nx, ny):
    """The cells within `halo` of `cells` on their own layer, clipped to the grid."""
    out = set()
    for x, y, layer in cells:
        for dx in range(-halo, halo + 1):
            for dy in range(-halo, halo + 1):
                if 0 <= x + dx < nx and 0 <= y + dy < ny:
                    out.add((x + dx, y + dy, layer))
    return out


def corridor_of(cells, gc, gx_n, gy_n):
    """The gcells of the bounding box of `cells`, grown by one gcell and clipped to the grid."""
    gxs = [x // gc for x, _, _ in cells]
    gys = [y // gc for _, y, _ in cells]
    gx0, gx1 = max(0, min(gxs) - 1), min(gx_n - 1, max(gxs) + 1)
    gy0, gy1 = max(0, min(gys) - 1), min(gy_n - 1, max(gys) + 1)
    return [(gx, gy) for gx in range(gx0, gx1 + 1) for gy in range(gy0, gy1 + 1)]


def initial_routing(grid, d):
    """Maze-routes every signal net over the design's pattern routes; returns routes and failures.

    Nets are routed one after another. A net pays ``GG_DRC`` on every cell where its halo
    footprint would overlap that of a net routed before it, i.e. within ``2 * wire_halo`` of
    one of that net's cells; supply straps and their halos are hard keep-outs. Only the part
    of that shape inside the net's corridor is passed to the search.
    """
    routes = dict(d.routes)  # routes-dict order: signal nets, then supply straps
    supply = set(d.supply)
    gx_n, gy_n = -(-d.nx // d.gc), -(-d.ny // d.gc)

    def bucket(cells, into):
        for c in cells:
            into.setdefault((c[0] // d.gc, c[1] // d.gc), set()).add(c)

    hard = {}  # gcell -> keep-out cells: the supply straps with their halo
    for net in d.supply:
        bucket(halo_square(routes[net][0], d.wire_halo, d.nx, d.ny), hard)
    spacing = 2 * max(d.wire_halo, d.via_halo)
    shape = {}  # gcell -> cells too close to the nets routed so far
    failed = []
    signal = [net for net in routes if net not in supply]
    for net in progress(signal, "initial routing"):
        termsets = d.termsets[net]
        corridor = corridor_of([c for ts in termsets for c in ts], d.gc, gx_n, gy_n)
        # the search never leaves the corridor, so only the sets' parts inside it matter
        keep_out = [c for gcell in corridor for c in hard.get(gcell, ())]
        near = [c for gcell in corridor for c in shape.get(gcell, ())]
        tree = list(termsets[0])
        cells, edges = list(tree), []
        ok = True
        for goals in termsets[1:]:
            path = grid.box_maze(net, tree, goals, keep_out, near, [], [], GG_DRC, 0.0, 0.0, corridor, d.gc, False)
            if path is None:
                ok = False
                break
            edges.extend(zip(path, path[1:]))
            cells.extend(path)
            tree.extend(path)
        if ok:
            cells = sorted(set(cells))
            routes[net] = (cells, edges)
        else:
            failed.append(net)
            cells = routes[net][0]
        bucket(halo_square(cells, spacing, d.nx, d.ny), shape)
    return routes, failed


def occ_nets(routes):
    return [(net, cells, via_cells(edges)) for net, (cells, edges) in routes.items()]


def route_stats(routes, supply):
    """Wire length (unit planar steps) and vias of the signal nets, each edge counted once."""
    wire = vias = 0
    for net, (_, edges) in routes.items():
        if net in supply:
            continue
        for a, b in {tuple(sorted(e)) for e in edges}:
            if a[2] != b[2]:
                vias += 1
            else:
                wire += 1
    return wire, vias


def markers(grid, d, routes):
    """All markers, and how many of them are cover markers (they come first in the list)."""
    nets = occ_nets(routes)
    cover = grid.flexgc(nets, d.wire_halo, d.via_halo, None, 0, 0, d.vertical)
    everything = grid.flexgc(nets, d.wire_halo, d.via_halo, None, d.prl_halo, d.prl_len, d.vertical)
    return everything, len(cover)


def draw(path, d, routes, final_markers):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.collections import LineCollection

    cols = min(d.nz, 2)
    rows = -(-d.nz // cols)
    fig, axes = plt.subplots(rows, cols, figsize=(5.2 * cols, 5.2 * rows), squeeze=False)
    cmap = plt.get_cmap("tab20")
    colour = {net: cmap(i % 20) for i, net in enumerate(routes)}
    supply = set(d.supply)
    for layer in range(d.nz):
        ax = axes[layer // cols][layer % cols]
        blocked = [[0.0] * d.nx for _ in range(d.ny)]
        for bl, x, y in d.blocked:
            if bl == layer:
                blocked[y][x] = 1.0
        ax.imshow(blocked, cmap="Greys", vmin=0, vmax=2.5, origin="lower", interpolation="nearest",
                  extent=(-0.5, d.nx - 0.5, -0.5, d.ny - 0.5))
        segments, seg_colours, via_xy, via_colours = [], [], [], []
        for net, (cells, edges) in routes.items():
            c = (0.55, 0.55, 0.55, 1.0) if net in supply else colour[net]
            for a, b in edges:
                if a[2] == b[2] == layer:
                    segments.append(((a[0], a[1]), (b[0], b[1])))
                    seg_colours.append(c)
                elif a[2] != b[2] and layer in (a[2], b[2]):
                    via_xy.append((a[0], a[1]))
                    via_colours.append(c)
        ax.add_collection(LineCollection(segments, colors=seg_colours, linewidths=1.4))
        if via_xy:
            ax.scatter(*zip(*via_xy), s=7, c=via_colours, marker="s", zorder=3)
        bad = [(x, y) for cells, ml, _ in final_markers if ml == layer for x, y, _ in cells]
        if bad:
            ax.scatter(*zip(*bad), s=28, facecolors="none", edgecolors="red", linewidths=0.9, zorder=4)
        direction = "vertical" if layer < len(d.vertical) and d.vertical[layer] else "horizontal"
        n_marks = sum(1 for _, ml, _ in final_markers if ml == layer)
        ax.set_title(f"layer {layer} ({direction}), {n_marks} markers", fontsize=10)
        ax.set_xlim(-0.5, d.nx - 0.5)
        ax.set_ylim(-0.5, d.ny - 0.5)
        ax.set_aspect("equal")
        ax.set_xticks(range(0, d.nx + 1, d.gc), minor=True)
        ax.set_yticks(range(0, d.ny + 1, d.gc), minor=True)
        ax.grid(which="minor", color="0.9", linewidth=0.4)
        ax.tick_params(labelsize=7)
    for k in range(d.nz, rows * cols):
        axes[k // cols][k % cols].axis("off")
    fig.suptitle("routes by net, blockages grey, remaining markers red", fontsize=11)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def print_table(rows, header):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    line = "  ".join(h.ljust(w) if i == 0 else h.rjust(w) for i, (h, w) in enumerate(zip(header, widths)))
    print(line)
    print("-" * len(line))
    for r in rows:
        print("  ".join(str(v).ljust(w) if i == 0 else str(v).rjust(w) for i, (v, w) in enumerate(zip(r, widths))))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size", choices=list(SIZES), default="small", help="design size (default small)")
    ap.add_argument("--seed", type=int, default=1, help="design seed (default 1)")
    ap.add_argument("--threads", type=int, default=os.cpu_count() or 1, help="worker threads (default: all cores)")
    ap.add_argument("--passes", type=int, default=3, help="rip-up-and-reroute passes (default 3)")
    ap.add_argument("--out", default="route_demo.png", help="picture to write (default route_demo.png)")
    args = ap.parse_args(argv)

    has_matplotlib = _has("matplotlib")
    if tqdm is None:
        print("note: tqdm is not installed (pip install '.[demo]'), so there are no progress bars")
    if not has_matplotlib:
        print("note: matplotlib is not installed (pip install '.[demo]'), so no picture is written")

    d = make_design(args.size, args.seed)
    supply = set(d.supply)
    n_signal = sum(1 for net in d.routes if net not in supply)
    print(f"design {args.size} (seed {args.seed}): {d.nx} x {d.ny} cells, {d.nz} layers, gcell {d.gc}, "
          f"{n_signal} signal nets, {len(d.supply)} supply straps, {args.threads} threads")

    header = ("phase", "time s", "changed", "wire", "vias", "cover", "prl", "occ")
    rows = []
    t_total = time.perf_counter()

    # 1. initial routing
    t = time.perf_counter()
    grid = tovrana.Grid(*d.grid_args())
    routes, failed = initial_routing(grid, d)
    t_route = time.perf_counter() - t
    pattern_wire, pattern_vias = route_stats(d.routes, supply)
    rows.append(("pattern routes", "-", "-", pattern_wire, pattern_vias, *_counts(grid, d, d.routes), "-"))

    # 2. load the grid, build occ, first markers
    t = time.perf_counter()
    grid.routes_init([(net, cells, edges) for net, (cells, edges) in routes.items()])
    grid.set_termsets(d.termset_list())
    grid.set_name_rank(d.name_rank())
    grid.set_worker_consts(d.supply, [(x, y, layer) for layer, x, y in d.blocked])
    grid.occ_init(occ_nets(routes), d.wire_halo, d.via_halo)
    found, n_cover = markers(grid, d, routes)
    t_load = time.perf_counter() - t
    wire, vias = route_stats(routes, supply)
    rows.append(("initial maze routing", f"{t_route:.2f}", n_signal - len(failed), wire, vias, n_cover,
                 len(found) - n_cover, "-"))
    rows.append(("load + occ_init + flexgc", f"{t_load:.2f}", "-", "", "", "", "", "-"))

    # 3. rip-up-and-reroute passes
    check = tovrana.Grid(*d.grid_args())
    drifts = 0
    for p in range(1, args.passes + 1):
        t = time.perf_counter()
        changed = set()
        # boxes of 2 and 3 gcells in turn, so that box borders move between passes
        batches = d.box_batches(2 if p % 2 else 3)
        bar = progress(batches, f"pass {p}/{args.passes}")
        for batch in bar:
            result = grid.route_boxes(batch, d.gc, d.wire_halo, d.via_halo, False, MAZE_END_ITER, GG_DRC,
                                      GG_MARKER * p, GG_FIXED, MARKER_DECAY, d.prl_halo, d.prl_len, d.vertical,
                                      args.threads)
            for net, cells, edges in result:
                grid.routes_update(net, cells, edges)
                routes[net] = (cells, edges)
                changed.add(net)
        t_pass = time.perf_counter() - t
        check.occ_init(occ_nets(routes), d.wire_halo, d.via_halo)
        drift = grid.occ_signature() != check.occ_signature()
        drifts += drift
        found, n_cover = markers(grid, d, routes)
        wire, vias = route_stats(routes, supply)
        rows.append((f"pass {p}: route_boxes", f"{t_pass:.2f}", len(changed), wire, vias, n_cover,
                     len(found) - n_cover, "DRIFT" if drift else "ok"))

    total = time.perf_counter() - t_total
    print()
    print_table(rows, header)
    print()
    print(f"total {total:.2f} s on {args.threads} threads; {len(failed)} nets kept their pattern route; "
          f"occ drift after {drifts} of {args.passes} passes")
    print("changed: nets whose route the phase changed; wire: unit planar steps of the signal nets; "
          "cover/prl: markers after the phase; occ: incremental occ vs. a fresh occ_init")

    if has_matplotlib:
        draw(args.out, d, routes, found)
        print(f"wrote {args.out}")
    return 0


def _counts(grid, d, routes):
    found, n_cover = markers(grid, d, routes)
    return n_cover, len(found) - n_cover


def _has(module):
    try:
        __import__(module)
    except ImportError:
        return False
    return True


if __name__ == "__main__":
    sys.exit(main())
