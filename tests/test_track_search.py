"""The search under a track model and no-via cells: against the model, against the
reference cost model where the two must agree, and hand-made cases; the setters' checks."""
import math

import pytest
from hypothesis import given, settings, strategies as st

import tovrana
from conftest import examples
from strategies import net_guides, track_models, unit_track_model
from test_maze import WEIGHTS, maze_cases, run_both
from testkit.model import maze as maze_model
from testkit.model.grid import ModelGrid
from testkit.model.maze import MazeModel


@st.composite
def rule_cases(draw, weights=WEIGHTS, **kw):
    """A maze case with a track model (or none), no-via cells and route guides (or none)."""
    case = draw(maze_cases(weights=weights, **kw))
    nx, ny, nz = case["grid_args"][:3]
    in_grid = st.tuples(st.integers(0, nx - 1), st.integers(0, ny - 1), st.integers(0, nz - 1))
    rules = [("set_no_via_cells", (draw(st.lists(in_grid, max_size=4)),))]
    if draw(st.integers(0, 5)):
        rules.insert(0, ("set_track_model", draw(track_models(nx, ny, nz))))
    if draw(st.booleans()):
        rules.append(("set_net_guides", draw(net_guides(nx, ny, nz))))
    case["rules"] = rules
    return case


@settings(max_examples=examples(1500), deadline=None)
@given(rule_cases())
def test_box_maze_with_rules_matches_model(case):
    got, want = run_both(case)
    assert got == want


@settings(max_examples=examples(300), deadline=None)
@given(rule_cases(max_xy=14, max_z=4, gcs=st.sampled_from([2, 3, 5])))
def test_box_maze_with_rules_matches_model_larger(case):
    got, want = run_both(case)
    assert got == want


def _goal_g(case, rules=()):
    """The model's g of the goal its search reaches (None for no path or a failure)."""
    grid = ModelGrid(*case["grid_args"])
    for method, args in rules:
        getattr(grid, method)(*args)
    grid.occ_init(case["occ_nets"], *case["halos"])
    net, starts, goals, hard, shape, markers, fixed, drc, marker, gg_fixed, corridor, gc, use_occ = case["args"]
    ids = lambda cells: {grid.cell_id(c) for c in cells}
    keys = {gx * 2000000 + gy for gx, gy in corridor}
    return goal_cost(grid, (net, starts, goals, drc, marker, gg_fixed, ids(hard), ids(shape), ids(markers), ids(fixed),
                            keys, gc, use_occ), False)


@settings(max_examples=examples(400), deadline=None)
@given(maze_cases(), st.data())
def test_unit_track_model_costs_what_the_reference_costs(case, data):
    """Unit spacing, every line, no wrong-way factor: a path exactly when the reference finds
    one, of the same cost where both searches are exact. (Which of several equal-cost paths differs: among equal f the
    search under a track model takes the deeper state first.)"""
    nx, ny, nz = case["grid_args"][:3]
    vertical = data.draw(st.lists(st.booleans(), min_size=nz, max_size=nz))
    rules = [("set_track_model", unit_track_model(nx, ny, nz, vertical))]
    plain, _ = run_both(case)
    with_model, want = run_both({**case, "rules": rules})
    assert with_model == want
    assert (plain in (None, "fail")) == (with_model in (None, "fail"))
    # the reference's heuristic counts a layer change 2, so only vias of cost 1 or more keep
    # its search exact: below that the two searches may stop at different costs
    if isinstance(plain, list) and all(cost >= 1 for _, _, cost in case["grid_args"][6]):
        assert _goal_g(case, rules) == pytest.approx(_goal_g(case), rel=1e-12, abs=1e-9)


def goal_cost(grid, args, zero_heuristic, heuristic_weight=1.0):
    """The model's g of the goal state it reaches (Dijkstra when zero_heuristic), or None."""
    real = maze_model.heuristic
    if zero_heuristic:
        maze_model.heuristic = lambda c, goals, tracks=None: 0.0
    try:
        m = MazeModel(grid, *args, heuristic_weight=heuristic_weight)
        path = m.run()
    finally:
        maze_model.heuristic = real
    if path is None:
        return None
    return min(g for s, g in m.g.items() if s // 7 == grid.cell_id(path[-1]))


@settings(max_examples=examples(300), deadline=None)
@given(rule_cases(weights=st.sampled_from([0.0, 0.5, 2.0]), via_costs=st.sampled_from([1.0, 1.5, 4.0])), st.data())
def test_heuristic_never_overestimates(case, data):
    """With non-negative weights and via costs of at least 1 the heuristic is consistent,
    so A* finds what Dijkstra finds; weighted, a path no dearer than the weight allows."""
    grid = ModelGrid(*case["grid_args"])
    for method, args in case["rules"]:
        getattr(grid, method)(*args)
    net, starts, goals, hard, shape, markers, fixed, drc, marker, gg_fixed, corridor, gc, _ = case["args"]
    if gc <= 0:
        return
    ids = lambda cells: {grid.cell_id(c) for c in cells}
    keys = {gx * 2000000 + gy for gx, gy in corridor}
    args = (net, starts, goals, drc, marker, gg_fixed, ids(hard), ids(shape), ids(markers), ids(fixed), keys, gc,
            False)
    astar, dijkstra = goal_cost(grid, args, False), goal_cost(grid, args, True)
    assert (astar is None) == (dijkstra is None)
    if astar is not None:
        assert astar == pytest.approx(dijkstra, rel=1e-12, abs=1e-9)
    # a weighted heuristic finds a path exactly when there is one, at most its weight times the cheapest
    weight = data.draw(st.sampled_from([1.5, 2.0, 8.0]))
    greedy = goal_cost(grid, args, False, weight)
    assert (greedy is None) == (dijkstra is None)
    if greedy is not None:
        assert dijkstra - 1e-9 <= greedy <= weight * dijkstra + 1e-9


@settings(max_examples=examples(600), deadline=None)
@given(rule_cases(), st.sampled_from([1.0, 1.5, 2.0, 8.0]))
def test_weighted_search_matches_model(case, weight):
    got, want = run_both(case, heuristic_weight=weight)
    assert got == want


# --- hand-made cases --------------------------------------------------------------

def search(grid, starts, goals, **kw):
    return grid.box_maze(1, starts, goals, [], [], [], [], 0.0, 0.0, 0.0, kw.get("corridor", [(0, 0)]), 8, False)


def layer(vertical, nx, ny, wrong_way=1.0, x_lines=None, y_lines=None):
    return (vertical, wrong_way, list(range(nx)) if x_lines is None else x_lines,
            list(range(ny)) if y_lines is None else y_lines)


def test_uneven_lines_take_the_physically_shorter_detour():
    # Around a blocked centre: both detours are four steps; on the grid the tie goes to
    # row 0, on the track model to the row one unit away instead of ten.
    g = tovrana.Grid(3, 3, 1, [(0, 1, 1)], [], [], [])
    below = [(0, 1, 0), (0, 0, 0), (1, 0, 0), (2, 0, 0), (2, 1, 0)]
    above = [(0, 1, 0), (0, 2, 0), (1, 2, 0), (2, 2, 0), (2, 1, 0)]
    assert search(g, [(0, 1, 0)], [(2, 1, 0)]) == below
    g.set_track_model([0, 10, 20], [0, 10, 11], 10, [layer(False, 3, 3)])
    assert search(g, [(0, 1, 0)], [(2, 1, 0)]) == above
    g.set_track_model([0, 10, 20], [0, 9, 11], 10, [layer(False, 3, 3)])  # replaces the model before
    assert search(g, [(0, 1, 0)], [(2, 1, 0)]) == above
    g.set_track_model([0, 10, 20], [0, 1, 11], 10, [layer(False, 3, 3)])
    assert search(g, [(0, 1, 0)], [(2, 1, 0)]) == below


def test_preferred_direction_moves_the_vertical_run_up_a_layer():
    # Layer 0 horizontal, layer 1 vertical, cheap vias: without a model the path stays
    # on layer 0; with a wrong-way factor of 3 it takes the y run on layer 1.
    g = tovrana.Grid(5, 5, 2, [], [], [], [(0, 1, 0.5)])
    assert {c[2] for c in search(g, [(0, 0, 0)], [(4, 4, 0)])} == {0}
    g.set_track_model(list(range(5)), list(range(5)), 1, [layer(False, 5, 5, 3.0), layer(True, 5, 5, 3.0)])
    path = search(g, [(0, 0, 0)], [(4, 4, 0)])
    assert path == [(x, 0, 0) for x in range(5)] + [(4, y, 1) for y in range(5)] + [(4, 4, 0)]
    # an infinite factor forbids wrong-way steps outright
    g.set_track_model(list(range(5)), list(range(5)), 1, [layer(False, 5, 5, math.inf), layer(True, 5, 5, math.inf)])
    assert search(g, [(0, 0, 0)], [(4, 4, 0)]) == path
    assert search(g, [(0, 0, 1)], [(4, 0, 1)]) == [(0, 0, 1), (0, 0, 0)] + [(x, 0, 0) for x in range(1, 5)] + \
        [(4, 0, 1)]


def test_masks_forbid_moves_and_vias():
    g = tovrana.Grid(3, 3, 1, [], [], [], [])
    assert search(g, [(0, 1, 0)], [(2, 1, 0)]) == [(0, 1, 0), (1, 1, 0), (2, 1, 0)]
    # row 1 carries no x run, column 1 no y run
    g.set_track_model([0, 1, 2], [0, 1, 2], 1, [layer(False, 3, 3, x_lines=[0, 2], y_lines=[0, 2])])
    assert search(g, [(0, 1, 0)], [(2, 1, 0)]) == [(0, 1, 0), (0, 0, 0), (1, 0, 0), (2, 0, 0), (2, 1, 0)]
    # the centre lies on no track: nothing leaves it or enters it
    assert search(g, [(1, 1, 0)], [(2, 1, 0)]) is None
    assert search(g, [(0, 1, 0)], [(1, 1, 0)]) is None
    # a via lands only where both layers' preferred lines cross: (1, 1) is on no line of
    # layer 1, and (1, 0) only on its wrong-way row, so the via moves to column 0
    g = tovrana.Grid(3, 3, 2, [], [], [], [(0, 1, 1.0)])
    g.set_track_model([0, 1, 2], [0, 1, 2], 1, [layer(False, 3, 3), layer(True, 3, 3, x_lines=[0, 2], y_lines=[0])])
    assert search(g, [(1, 1, 0)], [(1, 1, 1)]) is None
    assert search(g, [(1, 0, 0)], [(1, 0, 1)]) == [(1, 0, 0), (0, 0, 0), (0, 0, 1), (1, 0, 1)]
    assert search(g, [(0, 1, 0)], [(0, 1, 1)]) == [(0, 1, 0), (0, 1, 1)]


def test_vias_land_only_on_preferred_crossings():
    # Layer 0 vertical on column 2, with a wrong-way row 1; layer 1 horizontal on row 1,
    # with wrong-way columns 0 .. 2. (1, 1) lies on a line of both layers, but on layer 0
    # only on its wrong-way row: the via lands on the crossing at (2, 1).
    g = tovrana.Grid(3, 3, 2, [], [], [], [(0, 1, 1.0)])
    g.set_track_model([0, 1, 2], [0, 1, 2], 1, [layer(True, 3, 3, x_lines=[2], y_lines=[1]),
                                                layer(False, 3, 3, x_lines=[0, 1, 2], y_lines=[1])])
    assert search(g, [(1, 1, 0)], [(1, 1, 1)]) == [(1, 1, 0), (2, 1, 0), (2, 1, 1), (1, 1, 1)]
    m = ModelGrid(3, 3, 2, [], [], [], [(0, 1, 1.0)])
    m.set_track_model([0, 1, 2], [0, 1, 2], 1, [layer(True, 3, 3, x_lines=[2], y_lines=[1]),
                                                layer(False, 3, 3, x_lines=[0, 1, 2], y_lines=[1])])
    assert [m.via_may_land((x, 1, z)) for z in (0, 1) for x in range(3)] == [False, False, True, True, True, True]


def test_no_via_cell_moves_the_via():
    g = tovrana.Grid(4, 1, 2, [], [], [], [(0, 1, 1.0)])
    assert search(g, [(0, 0, 0)], [(3, 0, 1)]) == [(0, 0, 0), (0, 0, 1), (1, 0, 1), (2, 0, 1), (3, 0, 1)]
    g.set_no_via_cells([(0, 0, 1)])  # into it
    assert search(g, [(0, 0, 0)], [(3, 0, 1)]) == [(0, 0, 0), (1, 0, 0), (2, 0, 0), (3, 0, 0), (3, 0, 1)]
    g.set_no_via_cells([(0, 0, 1), (3, 0, 0)])  # out of it; replaces the set before
    assert search(g, [(0, 0, 0)], [(3, 0, 1)]) == [(0, 0, 0), (1, 0, 0), (2, 0, 0), (2, 0, 1), (3, 0, 1)]
    g.set_no_via_cells([(x, 0, 0) for x in range(4)])
    assert search(g, [(0, 0, 0)], [(3, 0, 1)]) is None
    g.set_no_via_cells([])
    assert search(g, [(0, 0, 0)], [(3, 0, 1)]) == [(0, 0, 0), (0, 0, 1), (1, 0, 1), (2, 0, 1), (3, 0, 1)]


def test_step_costs_follow_gaps_and_turns():
    # Columns 0, 3, 4, 10 (unit 2) on a vertical layer with factor 1.5, rows 0 and 1,
    # row 1 blocked but at the goal: every x step is wrong-way. The model's g-scores
    # spell out the formula.
    args = (4, 2, 1, [(0, x, 1) for x in range(3)], [], [], [])
    g = ModelGrid(*args)
    g.set_track_model([0, 3, 4, 10], [0, 1], 2, [layer(True, 4, 2, 1.5)])
    m = MazeModel(g, 1, [(0, 0, 0)], [(3, 1, 0)], 0.0, 0.0, 0.0, set(), set(), set(), set(), {0}, 8, False)
    assert m.run() == [(0, 0, 0), (1, 0, 0), (2, 0, 0), (3, 0, 0), (3, 1, 0)]
    score = lambda c, d: m.g[g.cell_id(c) * 7 + d]
    assert score((1, 0, 0), 1) == 3 / 2 * 1.5
    assert score((2, 0, 0), 1) == 3 / 2 * 1.5 + 1 / 2 * 1.5
    assert score((3, 1, 0), 2) == 10 / 2 * 1.5 + (1 / 2 + 1.0)  # a turn adds 1
    grid = tovrana.Grid(*args)
    grid.set_track_model([0, 3, 4, 10], [0, 1], 2, [layer(True, 4, 2, 1.5)])
    assert search(grid, [(0, 0, 0)], [(3, 1, 0)]) == m.run()


# --- the setters' checks ------------------------------------------------------------

def reference_search(g):
    return search(g, [(0, 0, 0)], [(3, 2, 1)])


GOOD = ([0, 10, 20, 40], [0, 5, 10], 10, [layer(False, 4, 3, 2.0), layer(True, 4, 3, 1.5)])


@pytest.mark.parametrize("change, error, message", [
    (dict(xs=[0, 10, 20]), ValueError, r"xs: expected one coordinate per column, nx \(4\), got 3"),
    (dict(ys=[0, 5, 10, 20]), ValueError, r"ys: expected one coordinate per row, ny \(3\), got 4"),
    (dict(xs=[0, 10, 10, 40]), ValueError, r"xs must be strictly ascending: xs\[2\] = 10 follows 10"),
    (dict(ys=[0, 5, 4]), ValueError, r"ys must be strictly ascending"),
    (dict(xs=[-2**63, 0, 1, 2]), ValueError, "does not fit in a signed 64-bit integer"),
    (dict(xs=[0, 1, 2, 2**62], ys=[0, 1, 2**62]), ValueError, "does not fit in a signed 64-bit integer"),
    (dict(unit=0), ValueError, "unit must be positive, got 0"),
    (dict(unit=-5), ValueError, "unit must be positive, got -5"),
    (dict(layers=GOOD[3][:1]), ValueError, r"layers: expected one entry per layer \(2\), got 1"),
    (dict(layers=[GOOD[3][0], (True, 0.5, [], [])]), ValueError, r"layers\[1\]: wrong_way must be at least 1, got 0.5"),
    (dict(layers=[GOOD[3][0], (True, math.nan, [], [])]), ValueError, "wrong_way must be at least 1, got nan"),
    (dict(layers=[GOOD[3][0], (True, 1.0, [0, 4], [])]), ValueError,
     r"layers\[1\]: x_lines\[1\] = 4 is not a column \(0 .. 3\)"),
    (dict(layers=[(False, 1.0, [], [-1]), GOOD[3][1]]), ValueError, r"layers\[0\]: y_lines\[0\] = -1 is not a row"),
    (dict(xs=[0, 1, 2, "3"]), TypeError, "argument 'xs': "),
    (dict(unit=1.0), TypeError, "argument 'unit': "),
    (dict(layers=[(1, 1.0, [], []), GOOD[3][1]]), TypeError, "argument 'layers': "),
    (dict(layers=[(False, 1.0, []), GOOD[3][1]]), ValueError, "expected tuple of length 4"),
    (dict(xs=[0, 1, 2, 2**63]), OverflowError, "out of range"),
])
def test_bad_track_model_is_refused_and_changes_nothing(change, error, message):
    g = tovrana.Grid(4, 3, 2, [], [], [], [(0, 1, 1.0)])
    g.set_track_model(*GOOD)
    before = reference_search(g)
    args = dict(zip(("xs", "ys", "unit", "layers"), GOOD)) | change
    with pytest.raises(error, match=message):
        g.set_track_model(**args)
    assert reference_search(g) == before


def test_bad_no_via_cells_and_spacing_models_are_refused():
    g = tovrana.Grid(4, 3, 2, [], [], [], [(0, 1, 1.0)])
    for cell in ((4, 0, 0), (0, -1, 0), (0, 0, 2)):
        with pytest.raises(ValueError, match=rf"cells\[1\] = \({cell[0]}, {cell[1]}, {cell[2]}\) is outside the grid"):
            g.set_no_via_cells([(0, 0, 0), cell])
    with pytest.raises(TypeError, match="argument 'cells': "):
        g.set_no_via_cells([[0, 0, 0]])
    assert reference_search(g) == reference_search(tovrana.Grid(4, 3, 2, [], [], [], [(0, 1, 1.0)]))
    with pytest.raises(ValueError, match="a spacing model needs a track model"):
        g.set_spacing_model([(1, 1, 1, 1)] * 2)
    g.set_spacing_model(None)  # clearing needs none
    g.set_track_model(*GOOD)
    with pytest.raises(ValueError, match=r"layers: expected one entry per layer \(2\), got 3"):
        g.set_spacing_model([(1, 1, 1, 1)] * 3)
    with pytest.raises(ValueError, match=r"layers\[1\]: via_dy must not be negative, got -1"):
        g.set_spacing_model([(1, 1, 1, 1), (1, 1, 1, -1)])
    with pytest.raises(TypeError, match="argument 'layers': "):
        g.set_spacing_model([(1, 1, 1, 1.5)] * 2)
    with pytest.raises(OverflowError):
        g.set_spacing_model([(1, 1, 1, 2**63)] * 2)


@pytest.mark.parametrize("weight", [0.5, 0.0, -1.0, math.nan, math.inf])
def test_a_heuristic_weight_below_one_or_not_finite_is_refused(weight):
    g = tovrana.Grid(4, 3, 2, [], [], [], [(0, 1, 1.0)])
    with pytest.raises(ValueError, match="heuristic_weight must be a finite number of at least 1"):
        g.box_maze(1, [(0, 0, 0)], [(3, 2, 0)], [], [], [], [], 0.0, 0.0, 0.0, [(0, 0)], 8, False, weight)
    with pytest.raises(TypeError, match="argument 'heuristic_weight'"):
        g.box_maze(1, [(0, 0, 0)], [(3, 2, 0)], [], [], [], [], 0.0, 0.0, 0.0, [(0, 0)], 8, False,
                   heuristic_weight="2")
