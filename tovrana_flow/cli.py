"""`tovrana-route`: routes a placed LEF/DEF design and writes the routed DEF.

A thin shell over `tovrana_flow.api.run`. Bad input ends the command with one line naming
the file, the line and the construct, and exit status 2.
"""
from __future__ import annotations

import argparse
import importlib.util
import os
import sys

from . import progress
from .api import run
from .routing.distributed import parse_local
from .errors import FlowInputError
from .routing.initial import InitialOptions
from .mapping import DEFAULT_GCELL, DEFAULT_VIA_COST, MappingOptions
from .routing.stage import RouteOptions
from .routing.schedule import PassOptions


def parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="tovrana-route", description=__doc__.split("\n\n")[0])
    ap.add_argument("--lef", action="append", required=True, metavar="FILE",
                    help="a LEF file (repeat for technology and cell LEFs, in that order)")
    ap.add_argument("--def", dest="def_path", required=True, metavar="FILE", help="the placed DEF")
    ap.add_argument("--guide", metavar="FILE", help="route guides: each net's search corridor")
    ap.add_argument("--out", required=True, metavar="FILE", help="the routed DEF to write")
    ap.add_argument("--png", metavar="FILE", help="a picture of the routed design (needs matplotlib)")
    ap.add_argument("--json", metavar="FILE", help="the metrics as JSON")
    ap.add_argument("--threads", type=int, default=os.cpu_count() or 1, help="worker threads (default: all cores)")
    ap.add_argument("--passes", type=int, default=PassOptions.passes,
                    help=f"rip-up-and-reroute pass limit (default {PassOptions.passes})")
    ap.add_argument("--check", action="store_true", help="check the written DEF: opens and shorts, and the LEF's design rules")
    ap.add_argument("--ray", metavar="ADDRESS", help="work batches on a Ray cluster (ADDRESS or local:N)")
    ap.add_argument("--quiet", action="store_true", help="no progress bars")
    m = ap.add_argument_group("mapping overrides (default: derived from the LEF, see 'What the grid model does not see' in the README)")
    m.add_argument("--gcell", type=int, help=f"grid points per gcell side (default {DEFAULT_GCELL})")
    m.add_argument("--wire-halo", type=int)
    m.add_argument("--via-halo", type=int)
    m.add_argument("--prl-halo", type=int)
    m.add_argument("--prl-len", type=int)
    m.add_argument("--via-cost", type=float, help=f"cost of a layer change in track steps (default {DEFAULT_VIA_COST})")
    m.add_argument("--margin", type=int, default=InitialOptions.margin,
                   help="gcells around a net's pins for its initial corridor when it has no guide")
    return ap


def _bad_option(args) -> str | None:
    """The first option whose value is out of range or malformed, as a message."""
    at_least = [("--threads", args.threads, 1), ("--passes", args.passes, 0), ("--gcell", args.gcell, 1),
                ("--wire-halo", args.wire_halo, 0), ("--via-halo", args.via_halo, 0),
                ("--prl-halo", args.prl_halo, 0), ("--prl-len", args.prl_len, 0), ("--margin", args.margin, 0)]
    for name, value, low in at_least:
        if value is not None and value < low:
            return f"{name} must be at least {low}, not {value}"
    if args.via_cost is not None and not args.via_cost > 0:
        return f"--via-cost must be positive, not {args.via_cost}"
    if args.ray is not None:
        try:
            parse_local(args.ray)
        except ValueError as e:
            return str(e)
    return None


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    bad = _bad_option(args)
    if bad:
        print(f"tovrana-route: {bad}", file=sys.stderr)
        return 2
    progress.enabled = not args.quiet
    if args.png and importlib.util.find_spec("matplotlib") is None:
        print("note: matplotlib is not installed (pip install 'tovrana[flow]'), so no picture is written")
        args.png = None
    mapping = MappingOptions(gcell=args.gcell, wire_halo=args.wire_halo, via_halo=args.via_halo,
                             prl_halo=args.prl_halo, prl_len=args.prl_len, via_cost=args.via_cost)
    routing = RouteOptions(initial=InitialOptions(margin=args.margin),
                           passes=PassOptions(passes=args.passes, threads=args.threads), ray=args.ray)
    try:
        result = run(args.lef, args.def_path, args.out, guide_path=args.guide, png_path=args.png,
                     json_path=args.json, mapping=mapping, routing=routing, run_check=args.check)
    except FlowInputError as e:
        print(f"tovrana-route: {e}", file=sys.stderr)
        return 2
    except OSError as e:
        print(f"tovrana-route: {e.filename or ''}: {e.strerror or e}", file=sys.stderr)
        return 2
    except ImportError as e:   # an optional part (the Ray engine) is not installed
        print(f"tovrana-route: {e}", file=sys.stderr)
        return 2
    print(result.table())
    s = result.summary
    print(f"\n{s['design']}: grid {' x '.join(map(str, s['grid']))} ({', '.join(s['layers'])}"
          f"{'; left out: ' + ', '.join(s['left_out_layers']) if s['left_out_layers'] else ''}), "
          f"{s['routed_nets']} nets routed, {s['pins_reached_by_access_wire']} pins reached by an access wire, "
          f"{s['grid_opens']} open on the grid, {s['markers']} markers ({s['unremovable_markers']} unremovable), "
          f"{s['seconds']:.1f} s, peak {s['peak_mb']:.0f} MB")
    if result.check is not None:
        c = result.check
        print(f"check: {c.opens} opens, {c.shorts} shorts, {c.pin_shorts} pin shorts")
        for line in c.open_details + c.short_details + c.pin_short_details:
            print("  " + line)
        if result.drc is not None:
            print(result.drc.summary())
        if c.opens or c.shorts or c.pin_shorts or (result.drc is not None and not result.drc.clean):
            return 1
    print(f"wrote {args.out}" + (f", {args.png}" if args.png else "") + (f", {args.json}" if args.json else ""))
    return 0
