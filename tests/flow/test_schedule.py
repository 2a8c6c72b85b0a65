"""The routing stage's own logic: checkerboard batches the module accepts, the pass plan,
the route book, repair of routes left in pieces, short removal and the unremovable-marker census."""
from __future__ import annotations

import pytest
import tovrana

from tovrana_flow.errors import OptionError
from tovrana_flow.grid_routes import Route, open_nets, shared_cells
from tovrana_flow.mapping import GridMap, GridModel, Halos
from tovrana_flow.metrics import ModuleClock
from tovrana_flow.packed_routes import pack
from tovrana_flow.routing.initial import InitialOptions
from tovrana_flow.routing.markers import MarkerCensus
from tovrana_flow.routing.repair import remove_shorts, repair_findings
from tovrana_flow.routing.route_book import RouteBook
from tovrana_flow.routing.schedule import PassOptions, marker_batches, plan_pass
from tovrana_flow.routing.stage import RouteLength


def small_model(termsets=None, halo=0, n=40, gc=5):
    gridmap = GridMap(list(range(n)), list(range(n)), ["L0", "L1"], ["V01"], 1)
    return GridModel(gridmap=gridmap, nz=2, blocked=[], pad_owner=[], via_blocked=[], via_index=[(0, 1, 1.0)],
                     net_names=[f"n{i}" for i in range(10)], termsets=termsets or {}, access={},
                     vertical=[False, True], gc=gc, halos=Halos(halo, halo, 0, 0), via_cost=1.0)


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


def straight(y, x0, x1, z=0):
    cells = [(x, y, z) for x in range(x0, x1 + 1)]
    return Route(cells, list(zip(cells, cells[1:])))


def test_a_packed_route_enters_the_book_as_its_tuples_would():
    model = small_model({1: [[(0, 10, 0)], [(30, 10, 0)]], 2: [[(15, 0, 0)], [(15, 30, 1)]]})
    cells2 = [(15, y, 0) for y in range(31)] + [(15, 30, 1)]
    routes = {1: straight(10, 0, 30), 2: Route(cells2, list(zip(cells2, cells2[1:])))}
    plain, packed = RouteBook(model), RouteBook(model)
    for net, route in routes.items():
        plain.set_route(net, route)
        packed.set_packed_route(net, pack(route))
    assert dict(packed.routes) == dict(plain.routes) == routes
    assert packed.grid._check_state() == plain.grid._check_state()      # the same route store
    assert packed.revision(2) == plain.revision(2) == 1


def test_open_nets_sees_a_route_in_pieces():
    termsets = {1: [[(0, 0, 0)], [(9, 0, 0)]], 2: [[(0, 5, 0)], [(9, 5, 0)]]}
    a_cells, a_edges = straight(0, 0, 9)
    broken = (a_cells, a_edges[:3] + a_edges[4:])          # one step missing
    assert open_nets(termsets, {1: broken, 2: straight(5, 0, 9)}) == [1]
    assert open_nets(termsets, {1: (a_cells, a_edges), 2: straight(5, 0, 9)}) == []


def test_short_removal_moves_the_later_net_off_shared_cells():
    # net 2 runs straight through net 1's row: every crossing cell is a short
    model = small_model({1: [[(0, 10, 0)], [(30, 10, 0)]], 2: [[(15, 0, 0)], [(15, 30, 0)]]})
    cells2 = [(15, y, 0) for y in range(31)]
    book = RouteBook(model, {1: straight(10, 0, 30), 2: Route(cells2, list(zip(cells2, cells2[1:])))})
    assert list(book.shared_cells()) == [(15, 10, 0)]
    moved, left = remove_shorts(book, margin=1)
    assert (moved, left) == (1, 0)
    assert book.routes[1] == straight(10, 0, 30)             # the earlier net keeps its route
    assert not book.shared_cells() and book.open_nets() == []
    # the engine holds what the book holds, occupancy included
    assert not book.occupancy_drifted()


def test_short_removal_keeps_a_route_that_cannot_get_clear():
    # net 1 walls off rows y = 10 on both layers: every way across for net 2 meets it
    model = small_model({1: [[(0, 10, 0)], [(39, 10, 0)]], 2: [[(15, 0, 0)], [(15, 30, 0)]]})
    lower, upper = straight(10, 0, 39), straight(10, 0, 39, z=1)
    wall = Route(lower.cells + upper.cells, lower.edges + upper.edges + [((0, 10, 0), (0, 10, 1))])
    cells2 = [(15, y, 0) for y in range(31)]
    crossing = Route(cells2, list(zip(cells2, cells2[1:])))
    book = RouteBook(model, {1: wall, 2: crossing})
    assert remove_shorts(book, margin=1) == (0, 1)
    assert book.routes[2] == crossing and book.routes[1] == wall


def test_roll_back_restores_the_routes_and_the_engine():
    model = small_model({1: [[(0, 10, 0)], [(30, 10, 0)]], 2: [[(15, 0, 0)], [(15, 30, 0)]]}, gc=10)
    cells2 = [(15, y, 0) for y in range(31)]
    book = RouteBook(model, {1: straight(10, 0, 30), 2: Route(cells2, list(zip(cells2, cells2[1:])))})
    before, signature = book.snapshot(), book.grid.occ_signature()
    measure = RouteLength(model)          # keeps each net's figures while its route stays
    first = measure(book)
    changed = book.work_batch([(0, 0, 3, 3)], gc=10, wire_halo=0, via_halo=0, ripup_all=True, maze_end_iter=3,
                              gg_drc=8.0, gg_marker=1.0, gg_fixed=1.0, marker_decay=0.5, prl_halo=0, prl_len=0,
                              vertical=[False, True], n_threads=1)
    assert changed and book.snapshot() != before
    assert measure(book) == RouteLength(model)(book) != first
    book.roll_back(before, changed)
    assert book.snapshot() == before and book.grid.occ_signature() == signature
    assert measure(book) == first
    # the routes the engine holds are the old ones too: a batch on them changes the same nets again
    assert book.work_batch([(0, 0, 3, 3)], gc=10, wire_halo=0, via_halo=0, ripup_all=True, maze_end_iter=3,
                           gg_drc=8.0, gg_marker=1.0, gg_fixed=1.0, marker_decay=0.5, prl_halo=0, prl_len=0,
                           vertical=[False, True], n_threads=1) == changed


def test_rule_repair_moves_a_net_off_a_finding_or_rolls_back():
    # a finding on net 1's row between x=10 and x=20 (grid lines are database units here)
    model = small_model({1: [[(0, 10, 0)], [(30, 10, 0)]]})
    finding = ((1,), "L0", (10, 10, 20, 10))

    def check_once(routes):                    # the finding goes once the net leaves the row
        return [finding] if any(10 <= x <= 20 and y == 10 and z == 0 for x, y, z in routes[1].cells) else []

    book = RouteBook(model, {1: straight(10, 0, 30)})
    assert repair_findings(book, check_once, MarkerCensus(model), margin=2) == (1, 0)
    assert check_once(book.routes) == [] and book.open_nets() == []
    assert not book.occupancy_drifted()

    # a check that finds more after the move: the first routes come back, in the engine too
    book = RouteBook(model, {1: straight(10, 0, 30)})
    before, signature = book.snapshot(), book.grid.occ_signature()
    assert repair_findings(book, lambda routes: [finding] * (1 + (routes[1] != straight(10, 0, 30))),
                           MarkerCensus(model), margin=2) == (1, 1)
    assert book.snapshot() == before and book.grid.occ_signature() == signature


def test_options_are_refused_where_they_are_built():
    with pytest.raises(OptionError, match="threads must be at least 1, not 0"):
        PassOptions(threads=0)
    with pytest.raises(OptionError, match="margin must be at least 0, not -1"):
        InitialOptions(margin=-1)


def test_markers_forced_by_single_point_pins_are_counted_unremovable():
    # pins of nets 1 and 2 one track apart with halo 1: their footprints always overlap
    model = small_model({1: [[(5, 5, 0)], [(5, 20, 0)]], 2: [[(6, 5, 0)], [(6, 20, 0)]]}, halo=1)
    c1 = [(5, y, 0) for y in range(5, 21)]
    c2 = [(6, y, 0) for y in range(5, 21)]
    routes = {1: (c1, list(zip(c1, c1[1:]))), 2: (c2, list(zip(c2, c2[1:])))}
    grid = tovrana.Grid(*model.grid_args())
    count = MarkerCensus(model).count(grid, routes, ModuleClock())
    assert count.cover > 0
    # forced: cells within the halo of both nets' pins (around rows 5 and 20), not in between
    assert 0 < count.unremovable < count.cover


def test_initial_routing_on_threads_gives_the_routes_of_one_thread():
    from testkit.designs import make_design

    from tovrana_flow.routing.initial import initial_routing
    model = make_design("medium", 4).grid_model()
    found = {}
    for threads in (1, 3):
        book = RouteBook(model)
        result = initial_routing(book, show_progress=False, threads=threads)
        book.rebuild_occupancy()
        found[threads] = (dict(book.routes), result.opens, result.widened, book.grid._check_state())
        book.close()
    assert found[1] == found[3]
    assert len(found[1][0]) == len(model.termsets)


def test_module_clock_counts_overlapping_calls_once():
    import threading
    import time
    clock = ModuleClock()
    start = threading.Barrier(3)

    def call():
        start.wait()
        with clock.timing():
            time.sleep(0.2)

    threads = [threading.Thread(target=call) for _ in range(3)]
    t = time.perf_counter()
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert 0.2 <= clock.seconds <= time.perf_counter() - t


@pytest.mark.parametrize("gg_drc, refresh", [(0.0, 200), (8.0, 1), (8.0, 2)])
def test_initial_routing_connects_every_net_with_or_without_pricing(gg_drc, refresh):
    from pathlib import Path

    from tovrana_flow.routing.initial import initial_routing
    from tovrana_flow.mapping import map_design
    from tovrana_flow.read import read_def, read_lef
    data = Path(__file__).parent / "data"
    tech = read_lef([str(data / "tiny.lef")])
    model = map_design(tech, read_def(str(data / "tiny.def"), tech))
    book = RouteBook(model)
    result = initial_routing(book, options=InitialOptions(gg_drc=gg_drc, refresh=refresh))
    assert result.opens == [] and sorted(book.routes) == sorted(model.termsets)
    assert book.open_nets() == []
    assert not book.shared_cells() or gg_drc == 0.0


def test_pin_layer_guides_lifted_only_when_asked(tiny_tech, tiny_design):
    from tovrana_flow.design import GuideBox, Rect
    from tovrana_flow.mapping import map_design
    from tovrana_flow.routing.route_book import GuideCosts
    from tovrana_flow.routing.search import guide_rects
    model = map_design(tiny_tech, tiny_design)
    assert model.gridmap.layers[:3] == ["M1", "M2", "M3"] and model.vertical[:3] == [False, True, False]
    net = min(model.termsets)
    whole = Rect(0, 0, 6000, 4800)
    guides = {model.net_names[net]: [GuideBox(whole, "M1"), GuideBox(whole, "M2")]}
    plain = dict(guide_rects(model, guides))[net]
    lifted = dict(guide_rects(model, guides, lift_pin_layer=True))[net]
    assert [r[0] for r in plain] == [0, 1]
    # the pin layer's box also on the next horizontal layer, nothing else added
    assert lifted == plain[:1] + [(2, *plain[0][1:])] + plain[1:]
    with pytest.raises(OptionError, match="guide_factor must be at least 1, not 0.5"):
        GuideCosts(factor=0.5)


def test_the_census_in_bands_of_rows_finds_the_markers_of_one_call(tiny_tech, tiny_design, monkeypatch):
    """Worked band by band (each band's call gets only the nets that reach into it), the
    census finds the same cover markers as one call over every route, on a spacing model and
    on plain halos; only their order may differ."""
    import tovrana_flow.routing.markers as markers
    from tovrana_flow.mapping import map_design

    def census(model, grid, routes, bands):
        monkeypatch.setattr(markers, "BANDS", bands)
        monkeypatch.setattr(markers, "BAND_CELLS", 1)
        found = MarkerCensus(model).count(grid, routes, ModuleClock()).found
        return sorted((tuple(map(tuple, cells)), layer, tuple(nets)) for cells, layer, nets in found)

    def crossing_runs(model, nets):
        """Straight runs on layer 0: two side by side along y, one across both along x."""
        nx, ny = model.nx, model.ny
        a, b, c = nets
        runs = {a: [(nx // 2, y, 0) for y in range(ny)], b: [(nx // 2 + 1, y, 0) for y in range(2, ny - 3)],
                c: [(x, ny // 2, 0) for x in range(nx)]}
        return {net: (cells, list(zip(cells, cells[1:]))) for net, cells in runs.items()}

    spaced = map_design(tiny_tech, tiny_design)       # a spacing model of the LEF's rules
    for model in (spaced, small_model(halo=1)):
        routes = crossing_runs(model, sorted(model.termsets)[:3] if model.termsets else (1, 2, 3))
        book = RouteBook(model, routes)
        one = census(model, book.grid, routes, 1)
        assert one and census(model, book.grid, routes, 5) == one
        book.close()


def test_cell_owners_name_the_first_holder_and_every_net_of_a_shared_cell():
    from tovrana_flow.grid_routes import CellOwners
    routes = {7: ([(1, 2, 0), (1, 3, 0)], []), 3: ([(1, 3, 0), (1, 3, 0), (900000, 5, 8)], []),
              5: ([(1, 3, 0), (4, 4, 1)], [])}
    owners = CellOwners(routes)
    assert owners.shared == {(1, 3, 0): [3, 5, 7]}            # net order; net 3's repeat counts once
    assert [owners.holder(c) for c in ((1, 3, 0), (1, 2, 0), (900000, 5, 8), (2, 2, 0))] == [3, 7, 3, None]
    owners.claim([(2, 2, 0), (1, 2, 0)], 9)                   # only the free cell becomes net 9's
    assert owners.holder((2, 2, 0)) == 9 and owners.holder((1, 2, 0)) == 7
    assert shared_cells({1: ([(0, 0, 0)], [])}) == {}
    with pytest.raises(ValueError, match="outside"):
        CellOwners({1: ([(-1, 0, 0)], [])})


def test_a_route_loses_its_cycles_at_their_dearest_edge_and_its_idle_branches():
    """The net116 shape of ispd18_test1: a run on layer 0 from terminal A to terminal B, with
    a detour up two vias and across layer 1 above it (two stacks side by side), and a stub to
    nowhere. The detour's second via closes a cycle; with vias the dearest edges it goes,
    and what then hangs free (the upper run, the stub) is cut; the terminals stay joined."""
    from tovrana_flow.grid_routes import without_loops
    a, b = (0, 0, 0), (4, 0, 0)
    run = [(x, 0, 0) for x in range(5)]
    upper = [(x, 0, 1) for x in (1, 2, 3)]
    stub = [(2, 0, 0), (2, 1, 0), (2, 2, 0)]
    edges = list(zip(run, run[1:])) + [((1, 0, 0), (1, 0, 1)), ((3, 0, 1), (3, 0, 0))] + \
        list(zip(upper, upper[1:])) + list(zip(stub, stub[1:]))
    cells = sorted(set(run) | set(upper) | set(stub))
    cost = lambda e: 4 if e[0][2] != e[1][2] else 1
    trimmed = without_loops(Route(cells, edges), [a, b], cost)
    assert trimmed.cells == run and sorted(trimmed.edges) == sorted(zip(run, run[1:]))
    assert without_loops(trimmed, [a, b], cost) is None              # a tree between terminals: as it is
    # a terminal on the stub keeps the stub; a cell no edge touches stays
    kept = without_loops(Route(cells + [(9, 9, 0)], edges), [a, b, (2, 2, 0)], cost)
    assert set(stub) <= set(kept.cells) and (9, 9, 0) in kept.cells and not set(upper) & set(kept.cells)
    # with layer 0 dear, the cycle loses a step of the lower run instead: the detour carries it
    detour = without_loops(Route(cells, edges), [a, b], lambda e: 4 if e[0][2] == e[1][2] == 0 else 1)
    assert set(upper) <= set(detour.cells) and (2, 0, 0) not in detour.cells
    assert open_nets({1: [[a], [b]]}, {1: detour}) == []


def test_route_cost_prices_length_vias_and_leaving_the_guides():
    from tovrana_flow.design import GuideBox, Rect
    from tovrana_flow.routing.route_cost import RouteCost
    model = small_model({1: [[(0, 0, 0)], [(9, 0, 0)]]})
    run = straight(0, 0, 9)
    assert RouteCost(model, None)(1, run) == 9                   # no guides: its length
    guides = {"n1": [GuideBox(Rect(0, 0, 5, 0), "L0")]}
    cost = RouteCost(model, guides)
    assert cost(1, run) == 5 + 4 * 3                                       # four steps leave the guide
    up = Route([(5, 0, 0), (5, 0, 1)], [((5, 0, 0), (5, 0, 1)), ((5, 0, 1), (5, 0, 0))])
    assert cost(1, up) == 1.0 + 2.0                                         # once, landing off the guide
    assert cost(2, run) == 9                                                # another net has no guides


def test_refining_takes_a_cheaper_route_and_keeps_one_that_cannot_improve():
    from tovrana_flow.routing.repair import refine_routes
    from tovrana_flow.routing.route_cost import RouteCost
    a, b = (0, 10, 0), (30, 10, 0)
    model = small_model({1: [[a], [b]], 2: [[(0, 20, 0)], [(30, 20, 0)]], 3: [[(0, 30, 0)], [(30, 30, 0)]]},
                        gc=10)
    around = [(0, y, 0) for y in range(10, 16)] + [(x, 15, 0) for x in range(1, 31)] + \
        [(30, y, 0) for y in range(14, 9, -1)]
    detour = Route(sorted(around), list(zip(around, around[1:])))
    book = RouteBook(model, {1: detour, 2: straight(20, 0, 30), 3: straight(30, 0, 30)})
    cost = RouteCost(model, None)
    census = MarkerCensus(model)

    def refine(nets):
        return refine_routes(book, nets, cost, census, census.count(book.grid, book.routes, book.clock).found)

    assert refine([1, 2]) == 1
    assert cost(1, book.routes[1]) == 30 and book.open_nets() == []
    assert book.routes[2] == straight(20, 0, 30) and book.routes[3] == straight(30, 0, 30)
    assert not book.occupancy_drifted()
    # net 2 lies on net 1's row on both layers: net 1 takes the next row, clear of it
    wall = straight(10, 1, 29)
    upper = straight(10, 1, 29, z=1)
    book = RouteBook(model, {1: detour, 2: Route(wall.cells + upper.cells, wall.edges + upper.edges)})
    assert refine([1]) == 1
    assert cost(1, book.routes[1]) == 32 and not set(book.routes[1].cells) & set(wall.cells + upper.cells)
    assert refine([1]) == 0            # and keeps it: nothing cheaper is left


def test_refined_routes_do_not_depend_on_the_thread_count():
    """After a few passes the routes hold detours; refining takes the cheaper ones that keep
    clear of the other nets and brings no marker of its own, and which route each net ends
    with does not depend on how many threads run the searches."""
    from testkit.designs import make_design

    from tovrana_flow.routing.repair import refine_routes
    from tovrana_flow.routing.route_cost import RouteCost
    from tovrana_flow.routing.stage import RouteOptions, route_design
    model = make_design("medium", 4).grid_model()
    passed = route_design(model, options=RouteOptions(refine=False, show_progress=False,
                                                      passes=PassOptions(passes=4, threads=2))).routes
    cost = RouteCost(model, None)
    found = []
    for threads in (1, 3):
        book = RouteBook(model, passed)
        census = MarkerCensus(model)
        before = census.count(book.grid, book.routes, book.clock)
        changed = refine_routes(book, list(book.routes), cost, census, before.found, threads=threads)
        after = census.count(book.grid, book.routes, book.clock)
        found.append((changed, dict(book.routes), after.total))
        assert book.open_nets() == [] and after.total <= before.total
        assert sum(map(cost, book.routes, book.routes.values())) < sum(map(cost, passed, passed.values()))
        book.close()
    assert found[0] == found[1] and found[0][0] > 0
