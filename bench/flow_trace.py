"""The module calls of a flow run on a real design, recorded once and replayed by benchmarks.

    python -m bench.flow_trace [--design ispd18_test1] [--passes N] [--out FILE]

Routes the design with the flow (default options, `--passes` passes) and records what its
engine did: the grid recipe (constructor and loading calls) and then every batch and every
changing call, in order. `replay` builds a grid from such a trace and runs the calls again,
stopping wherever the caller wants to measure.
"""
from __future__ import annotations

import argparse
import os
import pickle
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DESIGNS = ROOT.parent / "shared" / "designs"
DEFAULT_TRACE = Path(os.environ.get("TMPDIR", "/tmp")) / "tovrana_{design}_trace.pkl"


def recipe_calls(recipe) -> list:
    """The recipe's loading calls after the constructor, as (method, args)."""
    calls = []
    if recipe.track_model is not None:
        calls.append(("set_track_model", tuple(recipe.track_model)))
        calls.append(("set_no_via_cells", (recipe.no_via_cells,)))
        if recipe.spacing_model is not None:
            calls.append(("set_spacing_model", (recipe.spacing_model,)))
    return calls + [("routes_init", (recipe.routes,)), ("set_termsets", (recipe.termsets,)),
                    ("set_name_rank", (recipe.ranks,)), ("set_worker_consts", (recipe.supply, recipe.obstacles)),
                    ("occ_init", (recipe.occ_nets, recipe.wire_halo, recipe.via_halo))]


def recording_engine(log):
    """An engine factory: the local engine, writing down the calls it forwards."""
    from tovrana_flow.routing.engines import LocalEngine

    class RecordingEngine(LocalEngine):
        def __init__(self, recipe):
            super().__init__(recipe)
            log.append(("recipe", recipe.grid_args, recipe_calls(recipe)))

        def route_boxes(self, boxes, **params):
            log.append(("route_boxes", list(boxes), dict(params)))
            return super().route_boxes(boxes, **params)

        def update_route(self, net, cells, edges, occ=False):
            log.append(("call", "routes_update", (net, cells, edges), {"occ": occ}))
            super().update_route(net, cells, edges, occ)

        def rebuild_occupancy(self, nets, wire_halo, via_halo):
            log.append(("call", "occ_init", (nets, wire_halo, via_halo), {}))
            super().rebuild_occupancy(nets, wire_halo, via_halo)

    return RecordingEngine


def record(design: str, passes: int) -> list:
    from tovrana_flow import api
    from tovrana_flow.routing.schedule import PassOptions
    from tovrana_flow.routing.stage import RouteOptions

    stem = DESIGNS / design / f"{design}.input"
    guide = Path(f"{stem}.guide")
    inputs = api.read([f"{stem}.lef"], f"{stem}.def", str(guide) if guide.exists() else None)
    model = api.map_to_grid(inputs)
    log: list = []
    options = RouteOptions(passes=PassOptions(passes=passes, threads=2), check_drift=False, show_progress=False,
                           engine=recording_engine(log))
    api.route(model, inputs.guides, options)
    return log


def load(design: str = "ispd18_test1", passes: int = 2, path: str | None = None) -> list:
    """The trace of `design`, recorded now unless a cached one exists."""
    file = Path(path or str(DEFAULT_TRACE).format(design=design))
    if file.exists():
        with open(file, "rb") as f:
            return pickle.load(f)
    if not (DESIGNS / design).exists():
        sys.exit(f"flow_trace: {DESIGNS / design} not found")
    log = record(design, passes)
    with open(file, "wb") as f:
        pickle.dump(log, f, protocol=pickle.HIGHEST_PROTOCOL)
    return log


def build(log: list):
    """A grid loaded by the trace's recipe."""
    import tovrana
    _, grid_args, calls = log[0]
    grid = tovrana.Grid(*grid_args)
    for method, args in calls:
        getattr(grid, method)(*args)
    return grid


def replay(grid, ops, n_threads: int | None = None):
    """Runs recorded operations on `grid`, yielding (op, result) after each (a batch's
    routes applied, as the engine does)."""
    from tovrana_flow.routing.engines import apply_routes

    for op in ops:
        if op[0] == "route_boxes":
            params = dict(op[2])
            if n_threads is not None:
                params["n_threads"] = n_threads
            routes = grid.route_boxes(op[1], **params)
            apply_routes(grid, routes)
            yield op, routes
        else:
            getattr(grid, op[1])(*op[2], **op[3])
            yield op, None


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--design", default="ispd18_test1")
    ap.add_argument("--passes", type=int, default=2)
    ap.add_argument("--out")
    a = ap.parse_args(argv)
    log = load(a.design, a.passes, a.out)
    batches = sum(op[0] == "route_boxes" for op in log)
    print(f"{a.design}: {len(log) - 1} operations after the recipe, {batches} batches")
    return 0


if __name__ == "__main__":
    sys.exit(main())
