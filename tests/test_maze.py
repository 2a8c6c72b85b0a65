"""Maze search: box_maze against the model, plus hand-made cost, order and failure cases."""
import math
import random

import pytest
from hypothesis import given, settings, strategies as st

import tovrana
from conftest import PanicException, examples
from testkit.model.grid import ModelGrid
from testkit.model.maze import MazeModel, box_maze as model_box_maze
from strategies import cells, net_routes
from testkit.designs import make_design, make_rules

WEIGHTS = st.sampled_from([0.0, 0.5, 1.0, 2.0, 3.0, 0.1, 1e-12, 2.5e-12, math.inf])


@st.composite
def maze_cases(draw, max_xy=7, max_z=3, weights=WEIGHTS, gcs=st.sampled_from([1, 1, 2, 2, 3, 4, -2, -1]), max_rules=4,
               via_costs=None):
    nx, ny, nz = draw(st.integers(1, max_xy)), draw(st.integers(1, max_xy)), draw(st.integers(1, max_z))
    cell = cells(nx, ny, nz)
    layer = st.integers(0, nz - 1)
    in_grid = st.tuples(st.integers(0, nx - 1), st.integers(0, ny - 1), layer)
    net = draw(st.integers(0, 3))
    grid_args = (
        nx, ny, nz,
        [(c[2], c[0], c[1]) for c in draw(st.lists(cell, max_size=nx * ny * nz // 3))],
        [(c[2], c[0], c[1], draw(st.integers(-1, 3))) for c in draw(st.lists(cell, max_size=6))],
        draw(st.lists(st.tuples(st.integers(-1, nx), st.integers(-1, ny)), max_size=3)),
        draw(st.lists(st.tuples(layer, layer, weights if via_costs is None else via_costs), max_size=max_rules)),
    )
    gc = draw(gcs)
    gx_max, gy_max = (nx - 1) // abs(gc), (ny - 1) // abs(gc)
    sign = 1 if gc > 0 else -1
    corridor = st.tuples(st.integers(-1, gx_max + 1).map(lambda v: v * sign), st.integers(-1, gy_max + 1).map(lambda v: v * sign))
    empty_or = lambda s, n: st.one_of(st.just([]), st.lists(s, max_size=n))
    starts = draw(st.lists(st.one_of(in_grid, cell), min_size=1, max_size=3))
    goals = draw(st.lists(st.one_of(in_grid, cell, st.sampled_from(starts)), min_size=1, max_size=4))
    return dict(
        grid_args=grid_args,
        occ_nets=draw(net_routes(nx, ny, nz, max_nets=4, max_cells=5, net_ids=st.integers(0, 3))),
        halos=(draw(st.integers(-1, 1)), draw(st.integers(-1, 1))),
        args=(net, starts, goals, draw(empty_or(cell, 3)), draw(empty_or(cell, 6)), draw(empty_or(cell, 6)),
              draw(empty_or(cell, 6)), draw(weights), draw(weights), draw(weights),
              draw(st.one_of(st.just([]), st.lists(corridor, max_size=6))), gc, draw(st.booleans())),
    )


def run_both(case, **kw):
    """box_maze on the module and on the model (both given the keyword arguments `kw`); a
    failure on either side is reported as 'fail'."""
    grid, model = tovrana.Grid(*case["grid_args"]), ModelGrid(*case["grid_args"])
    for method, args in case.get("rules", ()):  # (setter, arguments) of the routing rules, if any
        getattr(grid, method)(*args)
        getattr(model, method)(*args)
    grid.occ_init(case["occ_nets"], *case["halos"])
    model.occ_init(case["occ_nets"], *case["halos"])
    try:
        got = grid.box_maze(*case["args"], **kw)
    except PanicException:
        got = "fail"
    try:
        want = model_box_maze(model, *case["args"], **kw)
    except (ZeroDivisionError, IndexError, RuntimeError):
        want = "fail"
    return got, want


@settings(max_examples=examples(1500), deadline=None)
@given(maze_cases())
def test_box_maze_matches_model(case):
    got, want = run_both(case)
    assert got == want


@settings(max_examples=examples(300), deadline=None)
@given(maze_cases(max_xy=14, max_z=4, gcs=st.sampled_from([2, 3, 5])))
def test_box_maze_matches_model_larger(case):
    got, want = run_both(case)
    assert got == want


@settings(max_examples=examples(300), deadline=None)
@given(maze_cases(weights=st.sampled_from([0.0, 1.0, 0.25, -0.5, math.nan, -math.inf])))
def test_box_maze_odd_weights_match_model(case):
    # NaN never reaches the queue (it fails the improvement test); negative weights may
    # close came-from cycles, which both sides refuse.
    got, want = run_both(case)
    assert got == want


@settings(max_examples=examples(400), deadline=None)
@given(maze_cases(max_z=3, max_rules=9, weights=st.sampled_from([0.0, 1.0, -0.5, math.inf]),
                  via_costs=st.sampled_from([0.0, 0.5, 1.0, 1.0, 2.0, -1.0, math.inf, -math.inf, math.nan])))
def test_crowded_via_tables_match_model(case):
    # repeated and reversed rules between the same layers, at equal, larger, smaller,
    # infinite and NaN costs: a later rule that can never win must still lose exactly
    got, want = run_both(case)
    assert got == want


# --- hand-made cases -----------------------------------------------------------------

def search(grid, starts, goals, *, net=1, hard=(), route_shape=(), marker_pos=(), fixed=(), drc=0.0, marker=0.0,
           gg_fixed=0.0, corridor=None, gc=8, use_occ=False):
    if corridor is None:
        corridor = [(gx, gy) for gx in range(8) for gy in range(8)]
    return grid.box_maze(net, starts, goals, list(hard), list(route_shape), list(marker_pos), list(fixed), drc, marker,
                         gg_fixed, corridor, gc, use_occ)


def model_g_scores(grid_args, starts, goals):
    m = MazeModel(ModelGrid(*grid_args), 1, starts, goals, 0.0, 0.0, 0.0, set(), set(), set(), set(), {0}, 8, False)
    path = m.run()
    stride = grid_args[0] * grid_args[1]
    return path, {(s // 7 % stride % grid_args[0], s // 7 % stride // grid_args[0], s // 7 // stride, s % 7): g
                  for s, g in m.g.items()}


def test_turn_and_via_costs():
    # A corridor one cell wide forces +x, +x, +y, via up: g = 1, 2, 4, then 4 + 2 + 3.
    nx, ny, nz = 3, 2, 2
    free = {(0, 0, 0), (1, 0, 0), (2, 0, 0), (2, 1, 0), (2, 1, 1)}
    blocked = [(l, x, y) for x in range(nx) for y in range(ny) for l in range(nz) if (x, y, l) not in free]
    args = (nx, ny, nz, blocked, [], [], [(0, 1, 3.0)])
    path, g = model_g_scores(args, [(0, 0, 0)], [(2, 1, 1)])
    assert path == sorted(free, key=lambda c: (c[2], c[1], c[0]))
    assert (g[(1, 0, 0, 1)], g[(2, 0, 0, 1)], g[(2, 1, 0, 2)], g[(2, 1, 1, 4)]) == (1.0, 2.0, 4.0, 9.0)
    assert search(tovrana.Grid(*args), [(0, 0, 0)], [(2, 1, 1)]) == path
    # A start pays 1.0 for a first via; two vias in one direction go straight; up then down turns.
    args = (1, 1, 3, [], [], [], [(0, 1, 3.0), (1, 2, 0.5)])
    _, g = model_g_scores(args, [(0, 0, 0)], [(0, 0, 2)])
    assert (g[(0, 0, 1, 4)], g[(0, 0, 2, 4)], g[(0, 0, 0, 0)]) == (4.0, 5.5, 9.0)
    assert search(tovrana.Grid(*args), [(0, 0, 0)], [(0, 0, 2)]) == [(0, 0, 0), (0, 0, 1), (0, 0, 2)]


def test_tie_break_and_one_cell_paths():
    g = tovrana.Grid(2, 2, 1, [], [], [], [])
    # (0,1) and (1,0) tie on f and g; the smaller ix expands first, and its +x arrival
    # (dir 1) beats the +y arrival (dir 2) at the goal.
    assert search(g, [(0, 0, 0)], [(1, 1, 0)]) == [(0, 0, 0), (0, 1, 0), (1, 1, 0)]
    # Several starts that are goals: the smallest (ix, iy, layer) wins at f = 0.
    both = [(1, 1, 0), (1, 0, 0), (0, 1, 0)]
    assert search(g, both, both) == [(0, 1, 0)]
    # Duplicate starts and goals change nothing.
    assert search(g, [(0, 0, 0)] * 3, [(1, 1, 0)] * 2) == [(0, 0, 0), (0, 1, 0), (1, 1, 0)]


@pytest.mark.parametrize("seed", range(4))
def test_long_searches_with_many_distinct_costs_match_model(seed):
    # Searches of thousands of states whose f values spread over many distinct
    # fractions: queue levels come and go, and late entries land below, between
    # and above the queued ones.
    rnd = random.Random(seed)
    nx, ny, nz = 40, 40, 3
    blocked = [(rnd.randrange(nz), rnd.randrange(nx), rnd.randrange(ny)) for _ in range(300)]
    vias = [(0, 1, 0.3), (1, 2, 1.7), (2, 0, 0.05)]
    args = (nx, ny, nz, blocked, [], [], vias)
    cells = lambda n: [(rnd.randrange(nx), rnd.randrange(ny), rnd.randrange(nz)) for _ in range(n)]
    starts, goals = [(0, 0, 0), (1, 0, 2)], [(nx - 1, ny - 1, 1), (nx - 2, 3, 0)]
    shape, markers, fixed = cells(250), cells(250), cells(250)
    weights = (0.7, 0.35, 1.1)
    corridor = [(gx, gy) for gx in range(5) for gy in range(5)]
    want = model_box_maze(ModelGrid(*args), 1, starts, goals, [], shape, markers, fixed, *weights, corridor, 8, False)
    assert want is not None
    assert search(tovrana.Grid(*args), starts, goals, route_shape=shape, marker_pos=markers, fixed=fixed,
                  drc=weights[0], marker=weights[1], gg_fixed=weights[2], corridor=corridor) == want


def test_passability_and_corridor():
    g = tovrana.Grid(6, 1, 1, [(0, 3, 0)], [(0, 4, 0, 2)], [], [])
    assert search(g, [(0, 0, 0)], [(5, 0, 0)]) is None  # blocked wall
    g = tovrana.Grid(6, 1, 1, [], [(0, 4, 0, 2)], [], [])
    assert search(g, [(0, 0, 0)], [(5, 0, 0)]) is None  # another net's pad
    assert search(g, [(0, 0, 0)], [(5, 0, 0)], net=2) == [(x, 0, 0) for x in range(6)]
    assert search(g, [(0, 0, 0)], [(3, 0, 0)], hard=[(2, 0, 0)]) is None
    # a start or goal in hard is dropped
    assert search(g, [(0, 0, 0)], [(3, 0, 0)], hard=[(3, 0, 0)]) is None
    assert search(g, [(0, 0, 0), (1, 0, 0)], [(3, 0, 0)], hard=[(0, 0, 0)]) == [(1, 0, 0), (2, 0, 0), (3, 0, 0)]
    # gc 2: an empty corridor holds only the start's and the goal's gcells
    assert search(g, [(0, 0, 0)], [(3, 0, 0)], corridor=[], gc=2) == [(x, 0, 0) for x in range(4)]
    assert search(g, [(0, 0, 0)], [(5, 0, 0)], corridor=[], gc=2, net=2) is None
    assert search(g, [(0, 0, 0)], [(5, 0, 0)], corridor=[(1, 0)], gc=2, net=2) == [(x, 0, 0) for x in range(6)]
    # a goal outside the corridor is entered from a corridor cell beside it
    g = tovrana.Grid(6, 1, 1, [], [], [], [])
    assert search(g, [(1, 0, 0)], [(4, 0, 0), (2, 0, 0)], corridor=[], gc=2) == [(1, 0, 0), (2, 0, 0)]


def test_penalties_steer_the_path():
    g = tovrana.Grid(3, 3, 1, [], [], [], [])
    straight = [(0, 1, 0), (1, 1, 0), (2, 1, 0)]
    for key in ("route_shape", "marker_pos", "fixed"):
        weight = {"route_shape": "drc", "marker_pos": "marker", "fixed": "gg_fixed"}[key]
        assert search(g, [(0, 1, 0)], [(2, 1, 0)], **{key: [(1, 1, 0)], weight: 5.0}) != straight
        assert search(g, [(0, 1, 0)], [(2, 1, 0)], **{key: [(1, 1, 0)], weight: 1.0}) == straight
    # +inf makes the cell unenterable; a cell 0-weighted costs nothing extra
    assert search(g, [(0, 1, 0)], [(2, 1, 0)], fixed=[(1, y, 0) for y in range(3)], gg_fixed=math.inf) is None
    # occupancy pricing: a foreign net is charged, the net itself is not, route_shape is ignored
    g.occ_init([(7, [(1, 1, 0)], [])], 0, 0)
    assert search(g, [(0, 1, 0)], [(2, 1, 0)], drc=5.0, use_occ=True) != straight
    assert search(g, [(0, 1, 0)], [(2, 1, 0)], drc=5.0, use_occ=True, net=7) == straight
    g.occ_init([], 0, 0)
    assert search(g, [(0, 1, 0)], [(2, 1, 0)], route_shape=[(1, 1, 0)], drc=5.0, use_occ=True) == straight


@pytest.mark.parametrize("owner", [-2**31, -2**31 + 1, -2**31 + 2, -2**31 + 3, -1, 0, 2**31 - 1])
def test_occupancy_pricing_for_any_net_id(owner):
    g = tovrana.Grid(3, 3, 1, [], [], [], [])
    straight = [(0, 1, 0), (1, 1, 0), (2, 1, 0)]
    other = owner + 1 if owner < 2**31 - 1 else owner - 1
    g.occ_init([(owner, [(1, 1, 0)], [])], 0, 0)
    assert search(g, [(0, 1, 0)], [(2, 1, 0)], drc=5.0, use_occ=True, net=owner) == straight
    assert search(g, [(0, 1, 0)], [(2, 1, 0)], drc=5.0, use_occ=True, net=other) != straight
    # two nets on the cell: foreign to either of them
    g.occ_init([(owner, [(1, 1, 0)], []), (other, [(1, 1, 0)], [])], 0, 0)
    assert search(g, [(0, 1, 0)], [(2, 1, 0)], drc=5.0, use_occ=True, net=owner) != straight
    assert search(g, [(0, 1, 0)], [(2, 1, 0)], drc=5.0, use_occ=True, net=other) != straight


@pytest.mark.parametrize("penalty, via_upper", [(1 - 2e-12, True), (1 - 1e-13, False), (1 - 1e-12, None)])
def test_improvement_tolerance(penalty, via_upper):
    # The goal (2,1) is reached by +x from (1,1) in two states: arrived by +y (g 3,
    # popped first, pushes g 5) and by +x over the penalised (0,1) (g 3 + p, pushes
    # 4 + p). The second replaces the first only if it is better by more than 1e-12.
    args = (3, 2, 1, [(0, 2, 0)], [], [], [])
    starts, goals = [(0, 0, 0)], [(2, 1, 0)]
    got = search(tovrana.Grid(*args), starts, goals, fixed=[(0, 1, 0)], gg_fixed=penalty)
    assert got == model_box_maze(ModelGrid(*args), 1, starts, goals, [], [], [], [(0, 1, 0)], 0.0, 0.0, penalty,
                                 [(0, 0)], 8, False)
    if via_upper is not None:
        middle = (0, 1, 0) if via_upper else (1, 0, 0)
        assert got == [(0, 0, 0), middle, (1, 1, 0), (2, 1, 0)]


def test_late_came_from_update_changes_the_path():
    # Free vias make the layer term of the heuristic overestimate, so (1,1,1) is
    # expanded as reached from the start (2,1,1) and only later reached more cheaply
    # from (1,1,0). The goal's chain passes through it after that rewrite.
    args = (6, 4, 4, [(1, 0, 0), (3, 0, 2)], [], [], [(0, 1, 0.5), (1, 2, 0.0), (2, 3, 0.0)])
    starts, goals = [(1, 1, 0), (2, 1, 1)], [(1, 0, 2), (5, 0, 0)]
    fixed = [(1, 0, 0), (5, 1, 1), (4, 0, 0), (5, 0, 2), (4, 1, 2), (0, 1, 1)]
    got = search(tovrana.Grid(*args), starts, goals, fixed=fixed, gg_fixed=1.0, corridor=[])
    assert got == [(1, 1, 0), (1, 1, 1), (1, 1, 2), (1, 0, 2)]
    assert got == model_box_maze(ModelGrid(*args), 1, starts, goals, [], [], [], fixed, 0.0, 0.0, 1.0, [], 8, False)


def test_gc_zero_fails_only_with_a_start_and_a_goal():
    g = tovrana.Grid(4, 4, 1, [(0, 3, 3)], [], [], [])
    with pytest.raises(PanicException, match="attempt to divide by zero"):
        search(g, [(0, 0, 0)], [(0, 0, 0)], gc=0)
    assert search(g, [(0, 0, 0)], [(3, 3, 0)], gc=0) is None
    assert search(g, [(9, 0, 0)], [(1, 1, 0)], gc=0) is None


def test_via_rule_outside_the_grid_fails_when_attempted():
    g = tovrana.Grid(3, 1, 2, [], [], [(2, 0)], [(0, 5, 1.0), (1, 0, 1.0)])
    with pytest.raises(PanicException, match="index"):
        search(g, [(0, 0, 0)], [(1, 0, 1)])
    # never attempted: from layer 1 the rule does not apply, the start is a goal, or
    # the only column reached is via-blocked
    assert search(g, [(0, 0, 1)], [(1, 0, 1)]) == [(0, 0, 1), (1, 0, 1)]
    assert search(g, [(0, 0, 0)], [(0, 0, 0)]) == [(0, 0, 0)]
    g = tovrana.Grid(3, 1, 2, [], [], [(0, 0), (1, 0)], [(0, -1, 1.0)])
    assert search(g, [(0, 0, 0)], [(1, 0, 0)]) == [(0, 0, 0), (1, 0, 0)]


def test_equal_layer_via_rule_is_a_same_layer_move():
    # The rule (0, 0) yields a move to the same cell, coded 3 and free of the via cost.
    args = (2, 1, 1, [], [], [], [(0, 0, 100.0)])
    got = search(tovrana.Grid(*args), [(0, 0, 0)], [(1, 0, 0)])
    assert got == [(0, 0, 0), (1, 0, 0)]
    _, g = model_g_scores(args, [(0, 0, 0)], [(1, 0, 0)])
    assert g[(0, 0, 0, 3)] == 1.0


def test_came_from_cycle_fails():
    # Negative penalties let (1,0) and (1,1) improve each other forever; the chain
    # back from the goal would never reach a start.
    g = tovrana.Grid(3, 2, 1, [], [], [], [])
    with pytest.raises(PanicException, match="cycle"):
        search(g, [(0, 1, 0)], [(2, 1, 0)], fixed=[(1, 1, 0), (1, 0, 0)], gg_fixed=-10.0)


def test_nan_weight_is_no_failure():
    g = tovrana.Grid(3, 3, 1, [], [], [], [])
    got = search(g, [(0, 1, 0)], [(2, 1, 0)], fixed=[(1, 1, 0)], gg_fixed=math.nan)
    assert got == model_box_maze(ModelGrid(3, 3, 1, [], [], [], []), 1, [(0, 1, 0)], [(2, 1, 0)], [], [], [],
                                 [(1, 1, 0)], 0.0, 0.0, math.nan, [(0, 0)], 8, False)
    assert (1, 1, 0) not in got


def test_corridor_keys_are_plain_numbers():
    # With more than 2000000 gcell rows, keys of different gcells coincide: (1, -1)
    # and (0, 1999999) share 1999999. The corridor admits every cell of either gcell.
    args = (2, 2000001, 1, [(0, 1, y) for y in range(1999990, 2000001)], [], [], [])
    starts, goals = [(0, 1999998, 0)], [(0, 2000000, 0)]
    grid = tovrana.Grid(*args)
    want = [(0, 1999998, 0), (0, 1999999, 0), (0, 2000000, 0)]
    assert search(grid, starts, goals, corridor=[(1, -1)], gc=1) == want
    assert model_box_maze(ModelGrid(*args), 1, starts, goals, [], [], [], [], 0.0, 0.0, 0.0, [(1, -1)], 1, False) == want
    assert search(grid, starts, goals, corridor=[], gc=1) is None


# --- searches one after another, and on several threads ---------------------------
# A search reuses per-thread storage left by the previous one; none of it may leak
# into the next result, whatever the window, layer count or way the last one ended.

def _mixed_searches():
    """(grid args, box_maze args) for searches of very different shapes."""
    rnd = random.Random(7)
    out = []
    for nx, ny, nz, gc in [(40, 40, 3, 8), (6, 5, 1, 2), (30, 12, 4, 3), (3, 3, 2, 1), (25, 25, 2, 5)]:
        blocked = [(rnd.randrange(nz), rnd.randrange(nx), rnd.randrange(ny)) for _ in range(nx * ny * nz // 8)]
        vias = [(l, l + 1, 0.5 + l * 0.7) for l in range(nz - 1)]
        args = (nx, ny, nz, blocked, [], [(rnd.randrange(nx), rnd.randrange(ny))], vias)
        for _ in range(3):
            cell = lambda: (rnd.randrange(nx), rnd.randrange(ny), rnd.randrange(nz))
            starts, goals = [cell(), cell()], [cell() for _ in range(rnd.randint(1, 3))]
            corridor = [(gx, gy) for gx in range(-1, (nx - 1) // gc + 2) for gy in range(-1, (ny - 1) // gc + 2)
                        if rnd.random() < 0.8]
            out.append((args, (1, starts, goals, [], [cell() for _ in range(5)], [cell() for _ in range(5)],
                               [cell() for _ in range(5)], 0.75, 0.3, 1.9, corridor, gc, False)))
    return out


def _model_result(grid_args, args):
    try:
        return model_box_maze(ModelGrid(*grid_args), *args)
    except (ZeroDivisionError, IndexError, RuntimeError):
        return "fail"


def _module_result(grid, args):
    try:
        return grid.box_maze(*args)
    except PanicException:
        return "fail"


def test_back_to_back_searches_leave_nothing_behind():
    cases = _mixed_searches()
    want = [_model_result(g, a) for g, a in cases]
    assert any(w not in (None, "fail") for w in want)
    grids = [tovrana.Grid(*g) for g, _ in cases]
    # failing searches in between: a via rule naming a missing layer, a came-from cycle
    bad_via = tovrana.Grid(3, 1, 2, [], [], [], [(0, 5, 1.0)])
    cycle = tovrana.Grid(3, 2, 1, [], [], [], [])
    for order in (list(range(len(cases))), list(reversed(range(len(cases))))):
        for i in order:
            assert _module_result(grids[i], cases[i][1]) == want[i]
            with pytest.raises(PanicException, match="index"):
                search(bad_via, [(0, 0, 0)], [(2, 0, 1)])
            with pytest.raises(PanicException, match="cycle"):
                search(cycle, [(0, 1, 0)], [(2, 1, 0)], fixed=[(1, 1, 0), (1, 0, 0)], gg_fixed=-10.0)


def test_searches_on_several_threads_match_model():
    from concurrent.futures import ThreadPoolExecutor
    cases = _mixed_searches()
    want = [_model_result(g, a) for g, a in cases]
    grids = [tovrana.Grid(*g) for g, _ in cases]

    def run(offset):
        return [_module_result(grids[(i + offset) % len(cases)], cases[(i + offset) % len(cases)][1])
                for i in range(len(cases) * 3)]

    with ThreadPoolExecutor(4) as pool:
        for offset, got in zip(range(4), pool.map(run, range(4))):
            assert got == [want[(i + offset) % len(cases)] for i in range(len(cases) * 3)]


def test_searches_on_one_grid_from_several_threads():
    """box_maze releases the interpreter lock while it searches: searches of one loaded grid
    (track model, guides, occupancy, the kept route shape built by whichever comes first)
    overlap, give what they give one after another, and keep changing calls out."""
    from concurrent.futures import ThreadPoolExecutor
    d = make_design("medium", 5)
    grid = d.load(tovrana.Grid(*d.grid_args()), rules=make_rules(d, 5, guides=True))
    corridor = [(gx, gy) for gx in range(-(-d.nx // d.gc)) for gy in range(-(-d.ny // d.gc))]
    queries = [dict(net=net, starts=sets[0], goals=[c for s in sets[1:] for c in s], hard=[],
                    route_shape=None if k % 2 else [], marker_pos=[], fixed=[], gg_drc=2.0, gg_marker=0.0,
                    gg_fixed=0.0, corridor=corridor, gc=d.gc, use_occ=k % 3 == 0)
               for k, (net, sets) in enumerate(sorted(d.termsets.items())) if len(sets) > 1]
    fresh = d.load(tovrana.Grid(*d.grid_args()), rules=make_rules(d, 5, guides=True))
    want = [fresh.box_maze(**q) for q in queries]
    assert sum(w is not None for w in want) > len(want) // 2

    def run(task):
        if task is not None:
            return grid.box_maze(**task)
        try:   # a changing call (to the same ranks) while searches may hold the grid
            grid.set_name_rank(d.name_rank())
            return "changed"
        except RuntimeError as e:
            return str(e)

    tasks = [t for q in queries * 3 for t in (q, None)]
    with ThreadPoolExecutor(4) as pool:
        got = list(pool.map(run, tasks))
    assert got[::2] == want * 3
    assert set(got[1::2]) <= {"changed", "Already borrowed"}


@pytest.mark.parametrize("nz", [63, 64, 65, 70])
def test_many_layers_match_model(nz):
    # Via moves are grouped by layer up to some layer count and found by scanning the
    # via table above it; both must give the same moves in the same order.
    rnd = random.Random(nz)
    nx, ny = 4, 3
    vias = [(l, l + 1, 0.25 + (l % 5) * 0.5) for l in range(nz - 1)] + [(l, l + 3, 1.3) for l in range(0, nz - 3, 7)]
    rnd.shuffle(vias)
    blocked = [(rnd.randrange(nz), rnd.randrange(nx), rnd.randrange(ny)) for _ in range(nx * ny * nz // 5)]
    args = (nx, ny, nz, blocked, [], [(1, 1)], vias)
    starts, goals = [(0, 0, 0)], [(3, 2, nz - 1), (2, 0, nz // 2)]
    blocked_set = {(x, y, l) for l, x, y in blocked}
    goals = [c for c in goals if c not in blocked_set]
    starts = [c for c in starts if c not in blocked_set] or [(0, 2, 1)]
    corridor = [(gx, gy) for gx in range(2) for gy in range(2)]
    want = model_box_maze(ModelGrid(*args), 1, starts, goals, [], [], [], [], 0.0, 0.0, 0.0, corridor, 2, False)
    assert search(tovrana.Grid(*args), starts, goals, corridor=corridor, gc=2) == want
    # a rule naming a layer past the top fails only when a cell on its layer expands
    bad = (nx, ny, nz, [], [], [], [(nz - 1, nz + 1, 1.0), (0, 1, 1.0)])
    with pytest.raises(PanicException, match="index"):
        search(tovrana.Grid(*bad), [(0, 0, nz - 1)], [(3, 2, 0)], corridor=corridor, gc=2)
    assert search(tovrana.Grid(*bad), [(0, 0, 0)], [(3, 2, 0)], corridor=corridor, gc=2) == \
        [(0, 0, 0), (0, 1, 0), (0, 2, 0), (1, 2, 0), (2, 2, 0), (3, 2, 0)]


def test_hashed_cell_index_with_vias_matches_model():
    # Gcell keys that cannot be decoded leave no dense window: cells are found by id.
    args = (2, 2000001, 2, [(0, 1, y) for y in range(1999990, 2000001)], [], [(0, 1999999)], [(0, 1, 0.4)])
    starts, goals = [(0, 1999996, 0)], [(1, 2000000, 1)]
    corridor = [(0, y) for y in range(1999995, 2000001)] + [(1, -1), (1, 1999998)]
    want = model_box_maze(ModelGrid(*args), 1, starts, goals, [], [], [], [], 0.0, 0.0, 0.0, corridor, 1, False)
    assert want is not None and len({c[2] for c in want}) == 2
    assert search(tovrana.Grid(*args), starts, goals, corridor=corridor, gc=1) == want


@pytest.mark.parametrize("seed", range(3))
def test_searches_with_hundreds_of_distinct_f_values_match_model(seed):
    # Via costs with no common measure spread f over many distinct values at once, so
    # new entries land far from the smallest queued f.
    rnd = random.Random(100 + seed)
    nx, ny, nz = 30, 30, 4
    vias = [(0, 1, math.pi / 7), (1, 2, math.e / 3), (2, 3, math.sqrt(2) / 5), (0, 2, math.sqrt(3)), (1, 3, 0.1 / 3)]
    blocked = [(rnd.randrange(nz), rnd.randrange(nx), rnd.randrange(ny)) for _ in range(500)]
    args = (nx, ny, nz, blocked, [], [], vias)
    cells = lambda n: [(rnd.randrange(nx), rnd.randrange(ny), rnd.randrange(nz)) for _ in range(n)]
    blocked_set = {(x, y, l) for l, x, y in blocked}
    starts = [c for c in cells(3) if c not in blocked_set] or [(0, 0, 0)]
    goals = [c for c in cells(2) if c not in blocked_set] or [(nx - 1, ny - 1, 3)]
    weights = (math.log(2), 1 / 7, math.sqrt(5) / 9)
    shape, markers, fixed = cells(200), cells(200), cells(200)
    corridor = [(gx, gy) for gx in range(5) for gy in range(5)]
    want = model_box_maze(ModelGrid(*args), 1, starts, goals, [], shape, markers, fixed, *weights, corridor, 8, False)
    assert search(tovrana.Grid(*args), starts, goals, route_shape=shape, marker_pos=markers, fixed=fixed,
                  drc=weights[0], marker=weights[1], gg_fixed=weights[2], corridor=corridor) == want
