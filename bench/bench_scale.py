#!/usr/bin/env python3
"""How the flow grows with the design: a placed design tiled 1 x 1, 2 x 2, ... routed end to end.

    python -m bench.bench_scale [--design ispd18_test1] [--tiles 1 2 4] [--threads N]
                                [--passes N] [--no-guide] [--keep DIR]

Each size is tiled with `bench.tile_design` into a temporary folder (or `--keep DIR`) and
routed by `tovrana-route --check` in a process of its own, so that each peak is its own. The
table gives per size the nets, the grid's cells (columns x rows x layers), the time of each
stage, the peak resident memory, bytes per grid cell and per net, and the check's opens,
design-rule violations and contest score; then each size's time and peak against the first
(the work grows with the number of tiles).
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from bench.bench_flow import ROOT, design_files
from bench.tile_design import tile_design

STAGES = (("read", ("read LEF/DEF",)), ("map", ("map to grid",)), ("initial", ("initial maze routing",)),
          ("passes", ("pass ",)),
          ("repair", ("marker repair", "short removal", "design-rule repair", "routes refined",
                      "loops and idle branches cut")),
          ("write", ("wires + write DEF",)), ("check", ("check", "design-rule check")))


def stage_seconds(phases: list[dict]) -> dict[str, float]:
    """Seconds per stage of the table, from the flow's rows."""
    out = {name: 0.0 for name, _ in STAGES}
    for row in phases:
        for name, prefixes in STAGES:
            if any(row["phase"] == p or (p.endswith(" ") and row["phase"].startswith(p)) for p in prefixes):
                out[name] += row["seconds"]
                break
    return out


def route_one(lefs: list[str], def_path: str, guide: str | None, folder: Path, threads: int, passes: int) -> dict:
    """One run of the command in its own process; its JSON summary and phases."""
    out, js = folder / "routed.def", folder / "metrics.json"
    cmd = [sys.executable, "-m", "tovrana_flow", "--def", def_path, "--out", str(out), "--json", str(js),
           "--threads", str(threads), "--passes", str(passes), "--check", "--quiet"]
    for lef in lefs:
        cmd += ["--lef", lef]
    if guide:
        cmd += ["--guide", guide]
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode not in (0, 1):          # 1: the check found violations, still a result
        sys.exit(f"bench_scale: the run failed ({done.returncode}):\n{done.stderr[-2000:]}")
    return json.loads(js.read_text())


def row(n: int, run: dict) -> dict:
    s = run["summary"]
    drc = s.get("drc") or {}
    cells = s["grid"][0] * s["grid"][1] * s["grid"][2]
    peak = s["peak_mb"] * 2**20
    return {"tiles": f"{n} x {n}", "nets": s["nets"], "cells": cells, "seconds": s["seconds"],
            "stages": stage_seconds(run["phases"]), "peak_mb": s["peak_mb"],
            "bytes_per_cell": peak / cells if cells else float("nan"), "bytes_per_net": peak / s["nets"],
            "opens": (s.get("check") or {}).get("opens", s["grid_opens"]),
            "violations": sum(drc["counts"].values()) if drc else None,
            "score": (drc.get("score") or {}).get("total")}


def print_table(rows: list[dict]) -> None:
    head = ["tiles", "nets", "grid cells"] + [name for name, _ in STAGES] + ["total s", "peak MB", "B/cell",
                                                                              "KB/net", "opens", "violations", "score"]
    print("  ".join(f"{h:>10}" for h in head))
    for r in rows:
        cols = [r["tiles"], f"{r['nets']:,}", f"{r['cells'] / 1e6:.1f} M"]
        cols += [f"{r['stages'][name]:.1f}" for name, _ in STAGES]
        cols += [f"{r['seconds']:.0f}", f"{r['peak_mb']:.0f}", f"{r['bytes_per_cell']:.0f}",
                 f"{r['bytes_per_net'] / 1024:.0f}", str(r["opens"]), str(r["violations"]),
                 "-" if r["score"] is None else f"{r['score']:,.0f}"]
        print("  ".join(f"{c:>10}" for c in cols))
    first = rows[0]
    for r in rows[1:]:
        work = r["nets"] / first["nets"]
        print(f"{r['tiles']}: {work:.1f} x the nets, {r['seconds'] / first['seconds']:.1f} x the time, "
              f"{r['peak_mb'] / first['peak_mb']:.1f} x the peak")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--design", default="ispd18_test1")
    ap.add_argument("--dir", default=str(ROOT.parent / "shared" / "designs"), help="folder of design folders")
    ap.add_argument("--tiles", type=int, nargs="+", default=[1, 2, 4])
    ap.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    ap.add_argument("--passes", type=int, default=12)
    ap.add_argument("--no-guide", action="store_true", help="route without the design's guides")
    ap.add_argument("--keep", metavar="DIR", help="keep the tiled designs and the routed DEFs here")
    args = ap.parse_args(argv)

    lefs, def_path, guide = design_files(Path(args.dir), args.design)
    guide = None if args.no_guide else guide
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        base = Path(args.keep or tmp)
        for n in args.tiles:
            folder = base / f"{n}x{n}"
            folder.mkdir(parents=True, exist_ok=True)
            tiled_def, tiled_guide = def_path, guide
            if n > 1:
                tiled_def = str(folder / "tiled.def")
                tiled_guide = str(folder / "tiled.guide") if guide else None
                tile_design(def_path, n, tiled_def, guide, tiled_guide)
            rows.append(row(n, route_one(lefs, tiled_def, tiled_guide, folder, args.threads, args.passes)))
            print(f"{n} x {n}: {rows[-1]['seconds']:.0f} s, peak {rows[-1]['peak_mb']:.0f} MB", file=sys.stderr)
    print(f"design {args.design}, {args.threads} threads, {'no guides' if guide is None else 'with guides'}")
    print_table(rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
