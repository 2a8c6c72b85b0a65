#!/usr/bin/env python3
"""Routes a synthetic design end to end with the flow's routing stage and draws the result.

The synthetic designs of ``testkit.designs`` (blockages, multi-pin nets, supply straps) are
turned into the flow's grid model (``Design.grid_model``) and routed by
``tovrana_flow.routing.stage.route_design``, the same stage ``tovrana-route`` runs on real
designs: initial routing with ``Grid.box_maze``, the grid loaded into an engine, the
rip-up-and-reroute passes of ``route_boxes`` on all threads, the repair of split nets and
short removal. It prints the stage's table and writes a PNG with one panel per layer.
matplotlib and tqdm (the ``demo`` extra) are optional: without them there is no picture and
no progress bar.

Run it from the checkout root, where the design generator of ``testkit`` is importable:

    python -m examples.route_demo --size small --passes 3 --out route_demo.png
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import sys
import time

from testkit.designs import SIZES, make_design
from tovrana_flow.metrics import format_table
from tovrana_flow.routing.schedule import PassOptions
from tovrana_flow.routing.stage import RouteOptions, route_design


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


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size", choices=list(SIZES), default="small", help="design size (default small)")
    ap.add_argument("--seed", type=int, default=1, help="design seed (default 1)")
    ap.add_argument("--threads", type=int, default=os.cpu_count() or 1, help="worker threads (default: all cores)")
    ap.add_argument("--passes", type=int, default=3, help="rip-up-and-reroute pass limit (default 3)")
    ap.add_argument("--out", default="route_demo.png", help="picture to write (default route_demo.png)")
    args = ap.parse_args(argv)

    has_matplotlib = _has("matplotlib")
    if not _has("tqdm"):
        print("note: tqdm is not installed (pip install '.[demo]'), so there are no progress bars")
    if not has_matplotlib:
        print("note: matplotlib is not installed (pip install '.[demo]'), so no picture is written")

    d = make_design(args.size, args.seed)
    model = d.grid_model()
    print(f"design {args.size} (seed {args.seed}): {d.nx} x {d.ny} cells, {d.nz} layers, gcell {d.gc}, "
          f"{len(model.termsets)} signal nets, {len(d.supply)} supply straps, {args.threads} threads\n")
    t = time.perf_counter()
    result = route_design(model, None, RouteOptions(passes=PassOptions(passes=args.passes, threads=args.threads),
                                                 drift_every_pass=True))
    passes = sum(1 for row in result.rows if row.phase.startswith("pass "))
    print(format_table(result.rows))
    print(f"\ntotal {time.perf_counter() - t:.2f} s on {args.threads} threads; {len(result.opens)} nets open; "
          f"{result.markers.total} markers left ({result.markers.unremovable} unremovable); "
          f"occupancy drift after {result.drift_passes} of {passes} passes")
    print("wire um: grid steps of the signal nets (one unit per step); cover/prl: markers after the phase")

    if has_matplotlib:
        draw(args.out, d, {**result.routes, **model.supply_routes}, result.markers.found)
        print(f"wrote {args.out}")
    return 0


def _has(module):
    return importlib.util.find_spec(module) is not None


if __name__ == "__main__":
    sys.exit(main())
