"""The routing stage's own logic: checkerboard batches the module accepts, the pass plan,
repair of routes left in pieces, short removal and the unremovable-marker census."""
from __future__ import annotations

from types import SimpleNamespace

import pytest
import tovrana

from tovrana_flow.routing.shorts import remove_shorts, shared_cells
from tovrana_flow.routing.engines import GridRecipe, LocalEngine
from tovrana_flow.routing.initial import InitialOptions
from tovrana_flow.mapping import Halos
from tovrana_flow.routing.markers import MarkerCensus
from tovrana_flow.metrics import ModuleClock
from tovrana_flow.routing.stage import open_nets
from tovrana_flow.routing.schedule import PassOptions, marker_batches, plan_pass


def small_model(termsets=None, halo=0, n=40, gc=5):
    return SimpleNamespace(gc=gc, nx=n, ny=n, nz=2, halos=Halos(halo, halo, 0, 0), vertical=[False, True],
                           termsets=termsets or {}, net_names=[f"n{i}" for i in range(10)])


@pytest.mark.parametrize("p", [1, 2, 3, 4])
def test_marker_batches_are_checkerboards_the_module_accepts(p):
    model = small_model()
    markers = [([(x, y, 0)], 0, [1, 2]) for x in range(0, 40, 3) for y in range(0, 40, 4)]
    plan = plan_pass(p, [10], PassOptions())
    batches = marker_batches(model, markers, plan)
    covered = {(x // 5, y // 5) for cells, _, _ in markers for x, y, _ in cells}
    boxed = set()
    grid = tovrana.Grid(40, 40, 2, [], [], [], [(0, 1, 1.0)])
    for batch in batches:
        for gx0, gy0, gx1, gy1 in batch:
            assert 0 <= gx0 <= gx1 < 8 and 0 <= gy0 <= gy1 < 8
            assert gx1 - gx0 < plan.box and gy1 - gy0 < plan.box
            boxed |= {(gx, gy) for gx in range(gx0, gx1 + 1) for gy in range(gy0, gy1 + 1)}
        # boxes of one batch are at least a box apart: the module would refuse shared gcells
        for i, a in enumerate(batch):
            for b in batch[i + 1:]:
                assert a[2] + plan.box <= b[0] or b[2] + plan.box <= a[0] or \
                    a[3] + plan.box <= b[1] or b[3] + plan.box <= a[1]
        grid.route_boxes(batch, 5, 0, 0, False, 1, 8.0, 1.0, 1.0, 0.5, 0, 0, [False, True], 1)
    assert covered <= boxed


def test_plan_moves_borders_raises_weights_and_rips_up_when_slow():
    opts = PassOptions()
    plans = [plan_pass(p, [100, 90], opts) for p in (1, 2, 3, 4)]
    assert [(pl.box, pl.offset) for pl in plans] == [(2, 0), (3, 1), (2, 1), (3, 0)]
    assert [pl.gg_marker for pl in plans] == [2.0, 4.0, 6.0, 8.0]
    assert plans[0].gg_drc < plans[3].gg_drc
    assert plan_pass(2, [100, 90], opts).ripup_all          # fell by only 10 %
    assert not plan_pass(2, [100, 50], opts).ripup_all
    assert not plan_pass(2, [100, 90], opts, ripup_allowed=False).ripup_all


def engine_for(model, routes):
    args = (model.nx, model.ny, model.nz, [], [], [], [(0, 1, 1.0)])
    return LocalEngine(GridRecipe(args, [("routes_init", ([(n, c, e) for n, (c, e) in sorted(routes.items())],)),
                                         ("occ_init", ([(n, c, []) for n, (c, _) in sorted(routes.items())], 0, 0))]))


def straight(y, x0, x1, z=0):
    cells = [(x, y, z) for x in range(x0, x1 + 1)]
    return cells, list(zip(cells, cells[1:]))


def test_open_nets_sees_a_route_in_pieces():
    model = small_model({1: [[(0, 0, 0)], [(9, 0, 0)]], 2: [[(0, 5, 0)], [(9, 5, 0)]]})
    a_cells, a_edges = straight(0, 0, 9)
    broken = (a_cells, a_edges[:3] + a_edges[4:])          # one step missing
    assert open_nets(model, {1: broken, 2: straight(5, 0, 9)}) == [1]
    assert open_nets(model, {1: (a_cells, a_edges), 2: straight(5, 0, 9)}) == []


def test_short_removal_moves_the_later_net_off_shared_cells():
    # net 2 runs straight through net 1's row: every crossing cell is a short
    model = small_model({1: [[(0, 10, 0)], [(30, 10, 0)]], 2: [[(15, 0, 0)], [(15, 30, 0)]]})
    cells2 = [(15, y, 0) for y in range(31)]
    routes = {1: straight(10, 0, 30), 2: (cells2, list(zip(cells2, cells2[1:])))}
    assert list(shared_cells(routes)) == [(15, 10, 0)]
    engine = engine_for(model, routes)
    moved, left = remove_shorts(engine, model, routes, InitialOptions(), ModuleClock())
    assert (moved, left) == (1, 0)
    assert routes[1] == straight(10, 0, 30)                  # the earlier net keeps its route
    assert not shared_cells(routes) and open_nets(model, routes) == []


def test_markers_forced_by_single_point_pins_are_counted_unremovable():
    # pins of nets 1 and 2 one track apart with halo 1: their footprints always overlap
    model = small_model({1: [[(5, 5, 0)], [(5, 20, 0)]], 2: [[(6, 5, 0)], [(6, 20, 0)]]}, halo=1)
    c1 = [(5, y, 0) for y in range(5, 21)]
    c2 = [(6, y, 0) for y in range(5, 21)]
    routes = {1: (c1, list(zip(c1, c1[1:]))), 2: (c2, list(zip(c2, c2[1:])))}
    grid = tovrana.Grid(40, 40, 2, [], [], [], [(0, 1, 1.0)])
    count = MarkerCensus(model).count(grid, routes, ModuleClock())
    assert count.cover > 0
    # forced: cells within the halo of both nets' pins (around rows 5 and 20), not in between
    assert 0 < count.unremovable < count.cover


@pytest.mark.parametrize("gg_drc, refresh", [(0.0, 200), (8.0, 1), (8.0, 2)])
def test_initial_routing_connects_every_net_with_or_without_pricing(gg_drc, refresh):
    from pathlib import Path

    from tovrana_flow.routing.initial import initial_routing
    from tovrana_flow.mapping import map_design
    from tovrana_flow.read import read_def, read_lef
    data = Path(__file__).parent / "data"
    tech = read_lef([str(data / "tiny.lef")])
    model = map_design(tech, read_def(str(data / "tiny.def"), tech))
    grid = tovrana.Grid(*model.grid_args())
    result = initial_routing(grid, model, options=InitialOptions(gg_drc=gg_drc, refresh=refresh))
    assert result.opens == [] and sorted(result.routes) == sorted(model.termsets)
    assert open_nets(model, result.routes) == []
    assert not shared_cells(result.routes) or gg_drc == 0.0
