"""`tovrana-route`: routes a placed LEF/DEF design and writes the routed DEF.

A thin shell over `tovrana_flow.api.run`. Bad input or an option out of range ends the
command with one line naming what is wrong and exit status 2; a failure of the distributed
engine with one line and exit status 3.
"""
from __future__ import annotations

import argparse
import importlib.util
import os
import sys

from .api import run
from .errors import FlowInputError, OptionError
from .mapping import DEFAULT_GCELL, DEFAULT_VIA_COST, DEFAULT_WRONG_WAY, MappingOptions
from .routing.distributed import DistributedError
from .routing.initial import InitialOptions
from .routing.route_book import GuideCosts
from .routing.schedule import PassOptions
from .routing.search import Greed
from .routing.stage import RouteOptions

EXIT_CHECK_FAILED, EXIT_BAD_INPUT, EXIT_ENGINE_FAILED = 1, 2, 3


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
    ap.add_argument("--rule-repair", action="store_true",
                    help="after the passes, check the routes against the LEF's design rules and reroute the nets "
                         "the check names (slow: a full check per round)")
    ap.add_argument("--no-refine", action="store_true",
                    help="keep the routes the passes leave (default: search the nets they changed again, every "
                         "other net priced out, and keep each route that gets cheaper)")
    ap.add_argument("--ray", metavar="ADDRESS", help="work batches on a Ray cluster (ADDRESS or local:N)")
    ap.add_argument("--quiet", action="store_true", help="no progress bars")
    ap.add_argument("--guide-factor", type=float, default=GuideCosts.factor,
                    help=f"cost factor of wire outside a net's guides (default {GuideCosts.factor:g}; 1: guides only "
                         "bound the search)")
    ap.add_argument("--lift-pin-guides", action="store_true",
                    help="a guide on the pin layer also admits the next layer of its direction (faster, fewer vias, "
                         "more wire outside the guides)")
    ap.add_argument("--heuristic-weight", type=float, default=Greed.weight,
                    help=f"A* heuristic weight of guided nets of at least {Greed.from_sets} pins (default "
                         f"{Greed.weight:g}: far faster on nets whose guides keep long runs among the pins; 1: plain A*)")
    m = ap.add_argument_group("mapping (default: derived from the LEF and DEF, see 'Mapping' in the README)")
    m.add_argument("--bottom-layer", metavar="LAYER",
                   help="lowest routing layer routes run on (default: the lowest that is not the cells' own wiring layer)")
    m.add_argument("--top-layer", metavar="LAYER", help="highest routing layer routes run on (default: the highest)")
    m.add_argument("--gcell", type=int, help=f"gcell side in unit pitches (default {DEFAULT_GCELL})")
    m.add_argument("--via-cost", type=float, help=f"cost of a layer change in unit pitches (default {DEFAULT_VIA_COST:g})")
    m.add_argument("--wrong-way", type=float,
                   help=f"cost factor of a step against a layer's preferred direction (default {DEFAULT_WRONG_WAY:g})")
    m.add_argument("--margin", type=int, default=InitialOptions.margin,
                   help="gcells around a net's pins for its initial corridor when it has no guide")
    return ap


def options(args) -> tuple[MappingOptions, RouteOptions]:
    """The API's options from the command's; raises what the API raises for a value out of range."""
    mapping = MappingOptions(gcell=args.gcell, via_cost=args.via_cost, wrong_way=args.wrong_way,
                             bottom_layer=args.bottom_layer, top_layer=args.top_layer)
    routing = RouteOptions(initial=InitialOptions(margin=args.margin, greed=Greed(weight=args.heuristic_weight)),
                           passes=PassOptions(passes=args.passes, threads=args.threads), ray=args.ray,
                           show_progress=not args.quiet, rule_repair=args.rule_repair, refine=not args.no_refine,
                           guide_costs=GuideCosts(factor=args.guide_factor, lift_pin_layer=args.lift_pin_guides))
    return mapping, routing


def _fail(message: str, status: int) -> int:
    print(f"tovrana-route: {message}", file=sys.stderr)
    return status


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        mapping, routing = options(args)
    except OptionError as e:
        return _fail(f"--{e.option.replace('_', '-')} {e.problem}", EXIT_BAD_INPUT)
    if args.png and importlib.util.find_spec("matplotlib") is None:
        print("note: matplotlib is not installed (pip install 'tovrana[flow]'), so no picture is written")
        args.png = None
    try:
        result = run(args.lef, args.def_path, args.out, guide_path=args.guide, png_path=args.png,
                     json_path=args.json, mapping=mapping, routing=routing, run_check=args.check)
    except FlowInputError as e:
        return _fail(str(e), EXIT_BAD_INPUT)
    except OSError as e:
        return _fail(f"{e.filename or ''}: {e.strerror or e}", EXIT_BAD_INPUT)
    except ImportError as e:   # an optional part (the Ray engine) is not installed
        return _fail(str(e), EXIT_BAD_INPUT)
    except DistributedError as e:
        return _fail(f"the distributed engine failed: {e}", EXIT_ENGINE_FAILED)
    print(result.table())
    print("\n" + result.summary.text())
    if result.check is not None:
        c = result.check
        print(f"check: {c.opens} opens, {c.shorts} shorts, {c.pin_shorts} pin shorts")
        for line in c.open_details + c.short_details + c.pin_short_details:
            print("  " + line)
        if result.drc is not None:
            print(result.drc.summary())
        if result.failed_check():
            return EXIT_CHECK_FAILED
    print(f"wrote {args.out}" + (f", {args.png}" if args.png else "") + (f", {args.json}" if args.json else ""))
    return 0
