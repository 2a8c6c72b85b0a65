"""Box workers and the batch merge against the model, over several checkerboard rounds."""
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import tovrana
from conftest import PanicException, examples
from testkit.designs import make_design, via_cells
from testkit.model import worker as worker_model
from testkit.model.grid import ModelGrid


def pair(d, occ_halos=(1, 1), rules=None):
    obstacles = [(x, y, layer) for layer, x, y in d.blocked[:3]]
    return (d.load(tovrana.Grid(*d.grid_args()), occ_halos, obstacles, rules),
            d.load(ModelGrid(*d.grid_args()), occ_halos, obstacles, rules))


params = st.fixed_dictionaries(
    {
        "wire_halo": st.integers(0, 2),
        "via_halo": st.integers(0, 2),
        "ripup_all": st.booleans(),
        "maze_end_iter": st.integers(0, 3),
        "gg_drc": st.sampled_from([0.0, 2.0, 8.0]),
        "gg_marker": st.sampled_from([0.0, 1.5, 4.0]),
        "gg_fixed": st.sampled_from([0.0, 1.0]),
        "marker_decay": st.sampled_from([0.0, 0.5, 1.0]),
        "prl_halo": st.integers(0, 2),
        "prl_len": st.integers(1, 5),
    }
)


def run_rounds(d, p, occ_halos, rounds, n_threads=2, rules=None):
    g, m = pair(d, occ_halos, rules)
    for _ in range(rounds):
        for batch in d.box_batches(1) + d.box_batches(2):
            args = (batch, d.gc, p["wire_halo"], p["via_halo"], p["ripup_all"], p["maze_end_iter"], p["gg_drc"],
                    p["gg_marker"], p["gg_fixed"], p["marker_decay"], p["prl_halo"], p["prl_len"], d.vertical)
            want = worker_model.route_boxes(m, *args)
            got = g.route_boxes(*args, n_threads)
            assert {n: (c, e) for n, c, e in got} == {n: (c, e) for n, c, e in want}
            assert len(got) == len({n for n, _, _ in got})
            assert g.occ_signature() == m.occ_signature()
            for net, cells, edges in got:
                g.routes_update(net, cells, edges)
                m.routes_update(net, cells, edges)
            assert_occ_matches_routes(g, m, occ_halos)
    return g


def assert_occ_matches_routes(g, m, occ_halos):
    """The occupancy the merges built is the one the stored routes give when rebuilt: a box
    that moves a via but keeps a net's cells must hand the route out with its delta."""
    merged = g.occ_signature()
    stored = [(net, m.slot_cells[s], via_cells(m.slot_edges[s])) for net, s in sorted(m.net_slot.items())]
    g.occ_init(stored, *occ_halos)
    m.occ_init(stored, *occ_halos)
    assert g.occ_signature() == merged


@settings(max_examples=examples(60), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(0, 10**6), st.integers(8, 20), st.integers(8, 20), st.integers(2, 3), st.integers(2, 5),
       st.integers(2, 9), params, st.tuples(st.integers(0, 2), st.integers(0, 2)))
def test_batches_match_model(seed, nx, ny, nz, gc, nets, p, occ_halos):
    d = make_design(seed=seed, shape=(nx, ny, nz, nets, gc))
    run_rounds(d, p, occ_halos, rounds=2)


@settings(max_examples=examples(3), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(0, 10**6), params, st.sampled_from([(200, 50), (50, 200)]))
def test_wide_designs_match_model(seed, p, plane):
    """Grids many boxes wide, with supply straps across: each worker's marker checks then
    visit only the routes near its box, and must find what a walk over every route finds."""
    d = make_design(seed=seed, shape=(*plane, 3, 45, 6))
    run_rounds(d, p, (1, 1), rounds=1)


@settings(max_examples=examples(15), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(0, 10**6), params)
def test_thread_count_does_not_change_results(seed, p):
    d = make_design(seed=seed, shape=(40, 40, 3, 24, 5))
    outcomes = set()
    for n_threads in (0, -1, 1, 2, 3, 64):
        g, _ = pair(d)
        results = []
        for batch in d.box_batches(2):
            got = g.route_boxes(batch, d.gc, p["wire_halo"], p["via_halo"], p["ripup_all"], p["maze_end_iter"],
                                p["gg_drc"], p["gg_marker"], p["gg_fixed"], p["marker_decay"], p["prl_halo"],
                                p["prl_len"], d.vertical, n_threads)
            results.append(repr(sorted(got)))
            for net, cells, edges in got:
                g.routes_update(net, cells, edges)
        outcomes.add((tuple(results), g.occ_signature()))
    assert len(outcomes) == 1


BATCH = dict(gc=10, wire_halo=1, via_halo=1, ripup_all=False, maze_end_iter=2, gg_drc=4.0, gg_marker=2.0,
             gg_fixed=1.0, marker_decay=0.5, prl_halo=1, prl_len=4, vertical=[False, True], n_threads=2)


def two_net_grid(via_index=((0, 1, 1.0),)):
    g = tovrana.Grid(30, 30, 2, [], [], [], list(via_index))
    r1 = [(x, 15, 0) for x in range(5, 25)]
    r2 = [(15, y, 0) for y in range(5, 25)]
    routes = [(1, r1, list(zip(r1, r1[1:]))), (2, r2, list(zip(r2, r2[1:])))]
    g.routes_init(routes)
    g.occ_init([(n, c, []) for n, c, _ in routes], 1, 1)
    g.set_termsets([(1, [[r1[0]], [r1[-1]]]), (2, [[r2[0]], [r2[-1]]])])
    g.set_name_rank([(1, 0), (2, 1)])
    return g


def test_batch_checks_before_any_work():
    g = two_net_grid()
    before = g.occ_signature()
    for gc, exc in ((0, PanicException), (-1, ValueError)):
        with pytest.raises(exc):
            g.route_boxes([(1, 1, 1, 1)], **{**BATCH, "gc": gc})
    with pytest.raises(ValueError, match="boxes 0 and 2"):
        g.route_boxes([(0, 0, 1, 1), (5, 5, 5, 5), (1, 1, 2, 2)], **BATCH)
    assert g.route_boxes([], **{**BATCH, "gc": 0}) == []
    assert g.occ_signature() == before


def test_failing_worker_leaves_occ_unchanged():
    # A via rule to a layer outside the grid fails the search that meets it.
    g = two_net_grid(via_index=((0, 7, 1.0),))
    before = g.occ_signature()
    with pytest.raises(PanicException):
        g.route_boxes([(0, 0, 0, 0), (1, 1, 1, 1)], **BATCH)
    assert g.occ_signature() == before
    # the grid is still usable and still borrowable afterwards
    assert g.route_boxes([(0, 0, 0, 0)], **BATCH) == []


def test_crossing_nets_are_rerouted_and_merged():
    g = two_net_grid(via_index=((0, 1, 1.0),))
    got = g.route_boxes([(1, 1, 1, 1)], **BATCH)
    assert [n for n, _, _ in got] in ([1], [2])
    net, cells, edges = got[0]
    assert cells == sorted(set(cells))
    assert all(abs(a[0] - b[0]) + abs(a[1] - b[1]) + abs(a[2] - b[2]) == 1 for a, b in edges)
    # an edge's ends are the cell list's own tuples, not copies made for the edge
    same = {id(c) for c in cells}
    assert all(id(a) in same and id(b) in same for a, b in edges)
