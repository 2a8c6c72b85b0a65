"""Route guides per net, and stack costs, in the search: box_maze and batches against the
model on searches long enough for the guides to matter, hand-made cases, the setter's
checks, and the digest that ties worked batches to the guides."""
import math

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import tovrana
from conftest import examples
from strategies import net_guides, track_models
from test_maze import run_both
from test_route_boxes import params, run_rounds
from test_track_search import goal_cost
from testkit.designs import make_design, make_rules
from testkit.model.grid import ModelGrid
from testkit.model.maze import MazeModel


@st.composite
def open_cases(draw, max_xy=10, max_z=4):
    """A box_maze case in an open grid (few blockages, a via rule between neighbouring
    layers, the whole grid as corridor), a start and a goal apart, and guides for the
    searched net among others: most searches run a few steps, through and past guides."""
    nx, ny, nz = draw(st.integers(2, max_xy)), draw(st.integers(2, max_xy)), draw(st.integers(1, max_z))
    in_grid = st.tuples(st.integers(0, nx - 1), st.integers(0, ny - 1), st.integers(0, nz - 1))
    net = draw(st.integers(0, 2))
    start = draw(in_grid)
    if nz > 2 and draw(st.booleans()):  # bottom to top: room for stacks
        start = start[:2] + (0,)
        goal = draw(st.tuples(st.integers(0, nx - 1), st.integers(0, ny - 1), st.just(nz - 1)))
    else:
        goal = draw(in_grid.filter(lambda c: c != start))
    blocked = [c for c in draw(st.lists(in_grid, max_size=nx * ny * nz // 8)) if c not in (start, goal)]
    via_index = [(z, z + 1, draw(st.sampled_from([0.5, 1.0, 2.0, 4.0]))) for z in range(nz - 1)]
    gc = draw(st.sampled_from([2, 3, 4]))
    corridor = [(gx, gy) for gx in range((nx - 1) // gc + 1) for gy in range((ny - 1) // gc + 1)]
    shape = draw(st.lists(in_grid, max_size=6))
    guides, factor, via = draw(net_guides(nx, ny, nz, nets=st.integers(0, 2)))
    own = draw(net_guides(nx, ny, nz, nets=st.just(net)))[0][:1]
    rules = [("set_net_guides", (guides + own, factor, via))]
    if draw(st.integers(0, 3)):
        rules.insert(0, ("set_track_model", draw(track_models(nx, ny, nz))))
    return dict(
        grid_args=(nx, ny, nz, [(c[2], c[0], c[1]) for c in blocked], [], [], via_index),
        occ_nets=[], halos=(0, 0), rules=rules,
        args=(net, [start], [goal], [], shape, [], [], draw(st.sampled_from([0.0, 2.0])), 0.0, 0.0, corridor, gc,
              False),
    )


@settings(max_examples=examples(1500), deadline=None)
@given(open_cases())
def test_box_maze_with_guides_matches_model(case):
    got, want = run_both(case)
    assert got == want


@settings(max_examples=examples(300), deadline=None)
@given(open_cases())
def test_heuristic_stays_admissible(case):
    """Guides and stack costs only add to a move: A* still finds Dijkstra's cost."""
    grid = ModelGrid(*case["grid_args"])
    for method, args in case["rules"]:
        getattr(grid, method)(*args)
    net, starts, goals, _, shape, _, _, drc, _, _, corridor, gc, _ = case["args"]
    keys = {gx * 2000000 + gy for gx, gy in corridor}
    args = (net, starts, goals, drc, 0.0, 0.0, set(), {grid.cell_id(c) for c in shape}, set(), set(), keys, gc, False)
    astar, dijkstra = goal_cost(grid, args, False), goal_cost(grid, args, True)
    assert (astar is None) == (dijkstra is None)
    if astar is not None:
        assert astar == pytest.approx(dijkstra, rel=1e-12, abs=1e-9)


@settings(max_examples=examples(40), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(0, 10**6), st.integers(8, 20), st.integers(8, 20), st.integers(2, 4), st.integers(2, 5),
       st.integers(2, 9), params, st.booleans(), st.sampled_from([1, 2, 3, 8]))
def test_batches_with_guides_match_model(seed, nx, ny, nz, gc, nets, p, spacing, n_threads):
    d = make_design(seed=seed, shape=(nx, ny, nz, nets, gc))
    run_rounds(d, p, (1, 1), rounds=2, n_threads=n_threads, rules=make_rules(d, seed, spacing, stacks=True, guides=True))


# --- hand-made cases --------------------------------------------------------------

def search(grid, starts, goals, net=1, gc=8):
    return grid.box_maze(net, starts, goals, [], [], [], [], 0.0, 0.0, 0.0, [(0, 0)], gc, False)


def detour_grid(cls=tovrana.Grid):
    """A 5 x 3 layer with its centre blocked: two equal detours, below (row 0, which the
    tie-break takes) and above (row 2)."""
    return cls(5, 3, 1, [(0, 2, 1)], [], [], [])


BELOW = [(0, 1, 0), (0, 0, 0), (1, 0, 0), (2, 0, 0), (3, 0, 0), (4, 0, 0), (4, 1, 0)]
ABOVE = [(0, 1, 0), (0, 2, 0), (1, 2, 0), (2, 2, 0), (3, 2, 0), (4, 2, 0), (4, 1, 0)]
UPPER_HALF = [(0, 0, 1, 4, 2)]


def test_a_guide_takes_the_path_into_it():
    g = detour_grid()
    assert search(g, [(0, 1, 0)], [(4, 1, 0)]) == BELOW
    g.set_net_guides([(1, UPPER_HALF)], 3.0, 0.0)
    assert search(g, [(0, 1, 0)], [(4, 1, 0)]) == ABOVE
    # a factor of 1 prices nothing; [] clears every guide
    g.set_net_guides([(1, UPPER_HALF)], 1.0, 5.0)
    assert search(g, [(0, 1, 0)], [(4, 1, 0)]) == BELOW
    g.set_net_guides([(1, UPPER_HALF)], math.inf, 0.0)  # nothing outside may be entered but goals
    assert search(g, [(0, 1, 0)], [(4, 1, 0)]) == ABOVE
    g.set_net_guides([], 3.0, 0.0)
    assert search(g, [(0, 1, 0)], [(4, 1, 0)]) == BELOW


def test_step_costs_off_the_guides():
    # Without a track model the length part is 1: outside 1 * factor (+ 1 after a turn);
    # under one, gap / unit * wrong_way * factor. The model's g-scores spell it out.
    g = detour_grid(ModelGrid)
    g.set_net_guides([(1, [(0, 0, 0, 4, 0)])], 2.5, 0.0)  # row 0 only
    m = MazeModel(g, 1, [(0, 1, 0)], [(4, 1, 0)], 0.0, 0.0, 0.0, set(), set(), set(), set(), {0}, 8, False)
    assert m.run() == BELOW
    score = lambda c, d: m.g[g.cell_id(c) * 7 + d]
    assert score((0, 0, 0), 3) == 1.0  # inside: as without guides
    assert score((0, 2, 0), 2) == 2.5  # outside, straight out of the start
    assert score((1, 2, 0), 1) == 2.5 + (2.5 + 1.0)  # outside after a turn
    assert score((4, 1, 0), 2) == 6.0 + (2.5 + 1.0)  # the goal lies outside
    # rows 0, 20 and 30 on a vertical layer (x steps wrong-way, times 1.5), unit 10
    tracks = ([0, 10, 20, 30, 40], [0, 20, 30], 10, [(True, 1.5, list(range(5)), list(range(3)))])
    g.set_track_model(*tracks)
    m = MazeModel(g, 1, [(0, 1, 0)], [(4, 1, 0)], 0.0, 0.0, 0.0, set(), set(), set(), set(), {0}, 8, False)
    assert m.run() == BELOW
    assert score((0, 0, 0), 3) == 2.0
    assert score((1, 0, 0), 1) == 2.0 + (1.5 + 1.0)
    assert score((0, 2, 0), 2) == 1.0 * 2.5
    assert score((1, 2, 0), 1) == 2.5 + (1.0 * 1.5 * 2.5 + 1.0)
    assert score((4, 1, 0), 2) == 9.0 + (2.0 * 2.5 + 1.0)
    grid = detour_grid()
    grid.set_track_model(*tracks)
    assert search(grid, [(0, 1, 0)], [(4, 1, 0)]) == ABOVE  # row 2 is nearer
    grid.set_net_guides([(1, [(0, 0, 0, 4, 0)])], 2.5, 0.0)
    assert search(grid, [(0, 1, 0)], [(4, 1, 0)]) == BELOW


def test_a_via_landing_off_the_guides_pays_outside_via():
    # Two layers, the goal on layer 1 at the far end of the row: the via goes first (at
    # the start, the tie-break) unless landing there costs more than landing at the goal.
    g = tovrana.Grid(4, 1, 2, [], [], [], [(0, 1, 1.0)])
    first = [(0, 0, 0), (0, 0, 1), (1, 0, 1), (2, 0, 1), (3, 0, 1)]
    last = [(0, 0, 0), (1, 0, 0), (2, 0, 0), (3, 0, 0), (3, 0, 1)]
    assert search(g, [(0, 0, 0)], [(3, 0, 1)]) == first
    everywhere = [(0, 0, 0, 3, 0), (1, 1, 0, 3, 0)]  # layer 1 but its column 0
    g.set_net_guides([(1, everywhere)], 1.0, 0.5)
    assert search(g, [(0, 0, 0)], [(3, 0, 1)]) == last
    m = ModelGrid(4, 1, 2, [], [], [], [(0, 1, 1.0)])
    m.set_net_guides([(1, everywhere)], 1.0, 0.5)
    mm = MazeModel(m, 1, [(0, 0, 0)], [(3, 0, 1)], 0.0, 0.0, 0.0, set(), set(), set(), set(), {0}, 8, False)
    assert mm.run() == last
    assert mm.g[m.cell_id((0, 0, 1)) * 7 + 4] == (1.0 + 1.0) + 0.5
    assert mm.g[m.cell_id((3, 0, 1)) * 7 + 4] == 3.0 + (1.0 + 2.0)  # inside: no extra
    # the landing cell counts, not the cell the via leaves
    g.set_net_guides([(1, [(1, 0, 0, 3, 0)])], 1.0, 0.5)
    assert search(g, [(0, 0, 0)], [(3, 0, 1)]) == first


def test_nets_without_guides_are_priced_as_before():
    g = detour_grid()
    g.set_net_guides([(2, UPPER_HALF), (1, UPPER_HALF), (1, [])], 3.0, 0.0)  # net 1's entry is replaced
    assert search(g, [(0, 1, 0)], [(4, 1, 0)]) == BELOW
    assert search(g, [(0, 1, 0)], [(4, 1, 0)], net=2) == ABOVE
    g.set_net_guides([(1, [(0, 0, 0, 4, 0)]), (1, UPPER_HALF)], 3.0, 0.0)  # the later entry counts
    assert search(g, [(0, 1, 0)], [(4, 1, 0)]) == ABOVE


def test_a_stack_cost_turns_a_stack_into_via_wire_via():
    # Layers 0 and 2 horizontal, 1 vertical, every line: from (0, 0, 0) to (0, 1, 2) the
    # stack (up, up, then a wrong-way step on layer 2) costs 2v + 4, via-wire-via (up,
    # along y on layer 1, up after a turn) 2v + 5. A stack cost on layer 1 above 1 tips it.
    args = (1, 2, 3, [], [], [], [(0, 1, 1.0), (1, 2, 1.0)])
    stack = [(0, 0, 0), (0, 0, 1), (0, 0, 2), (0, 1, 2)]
    via_wire_via = [(0, 0, 0), (0, 0, 1), (0, 1, 1), (0, 1, 2)]

    def layers(*costs):  # no steps on layer 0, a wrong-way column on layer 2
        plain = [(False, 1.0, [], [0, 1]), (True, 1.0, [0], []), (False, 1.0, [0], [0, 1])]
        return [layer + cost for layer, cost in zip(plain, costs)]

    g = tovrana.Grid(*args)
    g.set_track_model([0], [0, 1], 1, layers((), (), ()))
    assert search(g, [(0, 0, 0)], [(0, 1, 2)]) == stack
    g.set_track_model([0], [0, 1], 1, layers((9.0,), (0.5,), (9.0,)))  # only layer 1's pad is a stack's middle
    assert search(g, [(0, 0, 0)], [(0, 1, 2)]) == stack
    g.set_track_model([0], [0, 1], 1, layers((0.0,), (2.0,), ()))
    assert search(g, [(0, 0, 0)], [(0, 1, 2)]) == via_wire_via
    m = ModelGrid(*args)
    m.set_track_model([0], [0, 1], 1, layers((0.0,), (2.0,), ()))
    mm = MazeModel(m, 1, [(0, 0, 0)], [(0, 1, 2)], 0.0, 0.0, 0.0, set(), set(), set(), set(), {0}, 8, False)
    assert mm.run() == via_wire_via
    assert mm.g[m.cell_id((0, 0, 2)) * 7 + 4] == (1.0 + 1.0) + ((1.0 + 1.0) + 2.0)
    assert mm.g[m.cell_id((0, 1, 2)) * 7 + 4] == (1.0 + 1.0) + (1.0 + 1.0) + (1.0 + 2.0)


# --- the setter's checks ----------------------------------------------------------

GOOD = ([(1, UPPER_HALF)], 3.0, 0.0)


@pytest.mark.parametrize("change, error, message", [
    (dict(outside_factor=0.5), ValueError, "outside_factor must be at least 1, got 0.5"),
    (dict(outside_factor=math.nan), ValueError, "outside_factor must be at least 1, got nan"),
    (dict(outside_via=-1.0), ValueError, "outside_via must be at least 0, got -1"),
    (dict(outside_via=math.nan), ValueError, "outside_via must be at least 0, got nan"),
    (dict(guides=[(1, UPPER_HALF), (2, [(0, 0, 0, 4, 2), (1, 0, 0, 4, 2)])]), ValueError,
     r"guides\[1\]: rects\[1\] = \(1, 0, 0, 4, 2\) is not a rectangle of the grid: layer 0 .. 0, "
     r"0 <= ix0 <= ix1 <= 4, 0 <= iy0 <= iy1 <= 2"),
    (dict(guides=[(1, [(0, 3, 0, 2, 2)])]), ValueError, r"guides\[0\]: rects\[0\] = \(0, 3, 0, 2, 2\) is not"),
    (dict(guides=[(1, [(0, 0, 0, 5, 2)])]), ValueError, r"rects\[0\] = \(0, 0, 0, 5, 2\) is not"),
    (dict(guides=[(1, [(0, 0, -1, 4, 2)])]), ValueError, r"rects\[0\] = \(0, 0, -1, 4, 2\) is not"),
    (dict(guides=[(1, [(-1, 0, 0, 4, 2)])]), ValueError, r"rects\[0\] = \(-1, 0, 0, 4, 2\) is not"),
    (dict(guides=[(1, [(0, 0, 0, 4)])]), ValueError, "expected tuple of length 5"),
    (dict(outside_via="1"), TypeError, "argument 'outside_via': "),
])
def test_bad_guides_are_refused_and_change_nothing(change, error, message):
    g = detour_grid()
    g.set_net_guides(*GOOD)
    before = search(g, [(0, 1, 0)], [(4, 1, 0)])
    with pytest.raises(error, match=message):
        g.set_net_guides(**(dict(zip(("guides", "outside_factor", "outside_via"), GOOD)) | change))
    assert search(g, [(0, 1, 0)], [(4, 1, 0)]) == before == ABOVE


@pytest.mark.parametrize("stack, error, message", [
    (-1.0, ValueError, r"layers\[0\]: stack must be at least 0, got -1"),
    (math.nan, ValueError, r"layers\[0\]: stack must be at least 0, got nan"),
    ("1", TypeError, "argument 'layers': "),
])
def test_bad_stack_costs_are_refused(stack, error, message):
    g = tovrana.Grid(2, 2, 1, [], [], [], [])
    with pytest.raises(error, match=message):
        g.set_track_model([0, 1], [0, 1], 1, [(False, 1.0, [0, 1], [0, 1], stack)])
    with pytest.raises(ValueError, match="expected tuple of length 4 to 5, but got tuple of length 6"):
        g.set_track_model([0, 1], [0, 1], 1, [(False, 1.0, [0, 1], [0, 1], 1.0, 1.0)])


# --- worked batches carry the guides -------------------------------------------------

D = make_design("tiny", 5)
RULES = make_rules(D, 5, stacks=True, guides=True)
BATCH = D.box_batches(2)[0]
ARGS = dict(gc=D.gc, wire_halo=1, via_halo=1, ripup_all=True, maze_end_iter=2, gg_drc=4.0, gg_marker=2.0,
            gg_fixed=1.0, marker_decay=0.5, prl_halo=1, prl_len=4, vertical=D.vertical, n_threads=2)


def loaded(change=None):
    g = D.load(tovrana.Grid(*D.grid_args()), (1, 1), (), RULES)
    if change:
        change(g)
    return g


def test_worked_batches_carry_the_guides_and_stack_costs():
    guides, factor, via = RULES.guides
    xs, ys, unit, layers = RULES.track_model
    worked = loaded().work_boxes(BATCH, **ARGS)
    for change in (lambda g: g.set_net_guides([], 1.0, 0.0),
                   lambda g: g.set_net_guides(guides[1:], factor, via),
                   lambda g: g.set_net_guides(guides, factor + 1, via),
                   lambda g: g.set_net_guides(guides, factor, via + 1),
                   lambda g: g.set_net_guides([(n, r[1:]) for n, r in guides], factor, via),
                   lambda g: g.set_track_model(xs, ys, unit, [l[:4] + (7.0,) for l in layers])):
        with pytest.raises(ValueError, match="worked on a grid in another state"):
            loaded(change).merge_boxes(BATCH, D.gc, [worked])
    # the same guides in another order, repeated, with an entry replaced; a stack cost of
    # 0 given or left out: the same state
    same = [(n, r[::-1] + r[:1]) for n, r in guides[::-1]] + [(guides[0][0], guides[0][1])]
    again = loaded(lambda g: (g.set_net_guides([(guides[0][0], [])] + same, factor, via),
                              g.set_track_model(xs, ys, unit, [l if len(l) > 4 else l + (0.0,) for l in layers])))
    assert again.merge_boxes(BATCH, D.gc, [worked]) == loaded().route_boxes(BATCH, **ARGS)
