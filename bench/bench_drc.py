#!/usr/bin/env python3
"""The design-rule check on a routed design: its findings per layer, its time and memory.

    python -m bench.bench_drc [--design ispd18_test1] [--routed FILE] [--dir DIR] [--json FILE]
    python -m bench.bench_drc --lef FILE [--lef FILE ...] --def FILE [--guide FILE]

With `--design`, the LEF, DEF and guide of `../shared/designs/<design>/` (beside the checkout)
or `--dir`; the design is routed by the flow (default options) into a temporary folder unless
`--routed` names a routed DEF of it. With `--lef`/`--def`, that DEF is checked as it is (e.g. a
placed design before routing: only its fixed shapes). Prints the read and check times, the
check's peak memory and its summary; `--json` writes the whole report with every marker.
"""
from __future__ import annotations

import argparse
import json
import sys
import tempfile
import time
from pathlib import Path

from bench.bench_flow import ROOT, design_files
from bench.common import reset_peak, rss_kib
from tovrana_flow import api, progress
from tovrana_flow.check.drc import drc_def
from tovrana_flow.read import read_def, read_guides, read_lef


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--design", default="ispd18_test1")
    ap.add_argument("--dir", default=str(ROOT.parent / "shared" / "designs"), help="folder of design folders")
    ap.add_argument("--routed", metavar="FILE", help="a routed DEF of --design (default: route it now)")
    ap.add_argument("--lef", action="append", metavar="FILE", help="check --def with these LEFs instead")
    ap.add_argument("--def", dest="def_path", metavar="FILE")
    ap.add_argument("--guide", metavar="FILE")
    ap.add_argument("--json", metavar="FILE", help="write the report, every marker included")
    args = ap.parse_args(argv)
    progress.enabled = False

    with tempfile.TemporaryDirectory() as tmp:
        if args.lef:
            if not args.def_path:
                ap.error("--lef needs --def")
            lefs, routed, guide = args.lef, args.def_path, args.guide
        else:
            lefs, def_path, guide = design_files(Path(args.dir), args.design)
            routed = args.routed
            if routed is None:
                routed = str(Path(tmp) / f"{args.design}.routed.def")
                started = time.perf_counter()
                api.run(lefs, def_path, routed, guide_path=guide)
                print(f"routed {args.design} in {time.perf_counter() - started:.1f} s")
        started = time.perf_counter()
        tech = read_lef(lefs)
        design = read_def(routed, tech)
        guides = read_guides(guide, tech) if guide else None
        read_seconds = time.perf_counter() - started
        before = rss_kib("VmRSS")
        exact = reset_peak()
        report = drc_def(tech, design, guides)
        peak = rss_kib("VmHWM")
    print(f"read {read_seconds:.2f} s; check {report.seconds:.2f} s, peak {peak / 1024:.0f} MB "
          f"({'+' if exact else 'process peak, +'}{(peak - before) / 1024:.0f} MB over the read design)\n")
    print(report.summary())
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report.as_dict(), f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
