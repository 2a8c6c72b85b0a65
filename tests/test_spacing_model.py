"""Spacing footprints on the track model: occupancy, markers and batches against the model,
hand-made footprints and markers, and the digest that ties worked batches to their rules."""
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import tovrana
from conftest import examples
from strategies import grid_dims, net_routes, spacing_models, track_models, unit_track_model
from test_markers import design
from test_route_boxes import params, run_rounds
from testkit.designs import make_design, make_rules
from testkit.model.grid import ModelGrid
from testkit.model.markers import flexgc as model_flexgc


def ruled_pair(nx, ny, nz, tracks, spacing):
    out = []
    for g in (tovrana.Grid(nx, ny, nz, [], [], [], []), ModelGrid(nx, ny, nz, [], [], [], [])):
        g.set_track_model(*tracks)
        g.set_spacing_model(spacing)
        out.append(g)
    return out


@settings(max_examples=examples(400), deadline=None)
@given(st.data(), grid_dims(), st.integers(-1, 2), st.integers(-1, 2))
def test_occ_init_matches_model(data, dims, wire, via):
    g, m = ruled_pair(*dims, data.draw(track_models(*dims)), data.draw(spacing_models(dims[2])))
    nets = data.draw(net_routes(*dims))
    g.occ_init(nets, wire, via)
    m.occ_init(nets, wire, via)
    assert g.occ_signature() == m.occ_signature()


@settings(max_examples=examples(600), deadline=None)
@given(design(), st.data(), st.one_of(st.integers(1, 3), st.integers(-1, 4)), st.integers(-1, 6))
def test_flexgc_matches_model(d, data, prl_halo, prl_len):
    nx, ny, nz, nets, region, vertical = d
    g, m = ruled_pair(nx, ny, nz, data.draw(track_models(nx, ny, nz)), data.draw(spacing_models(nz)))
    args = (nets, 1, 1, region, prl_halo, prl_len, vertical)
    assert g.flexgc(*args) == model_flexgc(m, *args)


@settings(max_examples=examples(300), deadline=None)
@given(st.data(), grid_dims(), st.integers(0, 2), st.integers(0, 2))
def test_unit_boxes_are_the_halo_squares(data, dims, wire, via):
    """On unit lines a box of h + 1 is the square of halo h >= 0: occ as with halos, for
    route cells inside the grid (spacing footprints drop the others)."""
    nx, ny, nz = dims
    inside = st.tuples(st.integers(0, nx - 1), st.integers(0, ny - 1), st.integers(0, nz - 1))
    nets = [(n, cells, cells[::2]) for n, cells in data.draw(st.lists(
        st.tuples(st.integers(0, 4), st.lists(inside, max_size=6)), max_size=4))]
    halos = tovrana.Grid(*dims, [], [], [], [])
    halos.occ_init(nets, wire, via)
    boxes = tovrana.Grid(*dims, [], [], [], [])
    boxes.set_track_model(*unit_track_model(*dims))
    boxes.set_spacing_model([(wire + 1, wire + 1, via + 1, via + 1)] * nz)
    boxes.occ_init(nets, 5, 5)  # the halos are ignored
    assert boxes.occ_signature() == halos.occ_signature()


@settings(max_examples=examples(40), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(0, 10**6), st.integers(8, 20), st.integers(8, 20), st.integers(2, 3), st.integers(2, 5),
       st.integers(2, 9), params, st.tuples(st.integers(0, 2), st.integers(0, 2)), st.booleans(),
       st.sampled_from([1, 2, 3, 8]))
def test_batches_with_rules_match_model(seed, nx, ny, nz, gc, nets, p, occ_halos, spacing, n_threads):
    d = make_design(seed=seed, shape=(nx, ny, nz, nets, gc))
    run_rounds(d, p, occ_halos, rounds=2, n_threads=n_threads, rules=make_rules(d, seed, spacing))


# --- hand-made footprints and markers -----------------------------------------------

def row_grid(nx=10, wire=(15, 1), via=(0, 0), nz=1):
    """One row of columns 10 units apart; layer 0's boxes as given."""
    g = tovrana.Grid(nx, 1, nz, [], [], [], [(0, 1, 1.0)] if nz > 1 else [])
    g.set_track_model([10 * x for x in range(nx)], [0], 10, [(False, 1.0, list(range(nx)), [0])] * nz)
    g.set_spacing_model([(*wire, *via)] * nz)
    return g


def cover(g, nets):
    return g.flexgc([(n, cells, vias) for n, cells, vias in nets], 0, 0, None, 0, 0, [])


def test_body_in_footprint():
    g = row_grid()  # a wire covers the columns less than 15 units away: itself and one each side
    one = (1, [(2, 0, 0)], [])
    assert cover(g, [one, (2, [(5, 0, 0)], [])]) == []  # 1..3 and 4..6
    # 1..3 and 3..5 overlap on the empty cell 3: no conflict
    assert cover(g, [one, (2, [(4, 0, 0)], [])]) == []
    # 2..4 reaches net 1's route cell at 2, and net 1's footprint net 2's route cell at 3
    assert cover(g, [one, (2, [(3, 0, 0)], [])]) == [([(2, 0, 0)], 0, [1, 2]), ([(3, 0, 0)], 0, [1, 2])]
    # the empty cell between two route cells of one net does not turn the overlap into a conflict
    assert cover(g, [(1, [(2, 0, 0), (6, 0, 0)], []), (2, [(4, 0, 0)], [])]) == []
    # a third net's route cell on the shared empty cell: all three nets, in first-touch order
    assert cover(g, [one, (3, [(3, 0, 0)], []), (2, [(4, 0, 0)], [])]) == [
        ([(2, 0, 0)], 0, [1, 3]), ([(3, 0, 0)], 0, [1, 3, 2]), ([(4, 0, 0)], 0, [3, 2])]
    # halo squares (no spacing model) mark the overlap itself
    g.set_spacing_model(None)
    assert g.flexgc([one, (2, [(4, 0, 0)], [])], 1, 1, None, 0, 0, []) == [([(3, 0, 0)], 0, [1, 2])]


def test_spacing_distance_is_strict_and_per_axis():
    neighbours = [(1, [(2, 0, 0)], []), (2, [(3, 0, 0)], [])]
    assert cover(row_grid(wire=(10, 1)), neighbours) == []  # exactly 10 apart: no conflict
    assert len(cover(row_grid(wire=(11, 1)), neighbours)) == 2
    assert cover(row_grid(wire=(11, 0)), neighbours) == []  # a zero side covers the cell alone
    assert cover(row_grid(wire=(0, 0)), [(1, [(2, 0, 0)], []), (2, [(2, 0, 0)], [])]) == [([(2, 0, 0)], 0, [1, 2])]
    # rows: 0, 3 and 20 units apart with dy 4: rows 0 and 1 conflict, row 2 is clear
    g = tovrana.Grid(1, 3, 1, [], [], [], [])
    g.set_track_model([0], [0, 3, 23], 1, [(True, 1.0, [0], [0, 1, 2])])
    g.set_spacing_model([(1, 4, 0, 0)])
    assert cover(g, [(1, [(0, 0, 0)], []), (2, [(0, 1, 0)], [])]) == [([(0, 0, 0)], 0, [1, 2]), ([(0, 1, 0)], 0, [1, 2])]
    assert cover(g, [(1, [(0, 1, 0)], []), (2, [(0, 2, 0)], [])]) == []


def test_via_cells_take_the_via_box():
    g = row_grid(wire=(11, 1), via=(21, 1))
    via_net = (1, [(2, 0, 0)], [(2, 0, 0)])  # covers 0..4
    assert cover(g, [via_net, (2, [(5, 0, 0)], [])]) == []  # 4..6: meets it on the empty cell 4
    assert cover(g, [via_net, (2, [(4, 0, 0)], [])]) == [([(4, 0, 0)], 0, [1, 2])]
    assert cover(g, [(1, [(2, 0, 0)], [(9, 0, 0)]), (2, [(4, 0, 0)], [])]) == []  # a via cell elsewhere


def test_occupancy_counts_and_outside_cells():
    g = row_grid(nz=2)
    m = ModelGrid(10, 1, 2, [], [], [], [(0, 1, 1.0)])
    m.set_track_model([10 * x for x in range(10)], [0], 10, [(False, 1.0, list(range(10)), [0])] * 2)
    m.set_spacing_model([(15, 1, 0, 0)] * 2)
    nets = [(1, [(2, 0, 0), (3, 0, 0), (3, 0, 0)], []), (2, [(-1, 0, 0), (10, 0, 1), (5, 0, 2), (0, 0, 1)], [])]
    g.occ_init(nets, 0, 0)
    m.occ_init(nets, 0, 0)
    assert m.occ == {m.cell_id(c): counts for c, counts in [
        ((1, 0, 0), {1: 1}), ((2, 0, 0), {1: 3}), ((3, 0, 0), {1: 3}), ((4, 0, 0), {1: 2}),
        ((0, 0, 1), {2: 1}), ((1, 0, 1), {2: 1})]}
    assert g.occ_signature() == m.occ_signature()


# --- occupancy keeps its footprints; worked batches carry the rules ------------------

D = make_design("tiny", 3)
RULES = make_rules(D, 3)
BATCH = D.box_batches(2)[0]
ARGS = dict(gc=D.gc, wire_halo=1, via_halo=1, ripup_all=True, maze_end_iter=2, gg_drc=4.0, gg_marker=2.0,
            gg_fixed=1.0, marker_decay=0.5, prl_halo=1, prl_len=4, vertical=D.vertical, n_threads=2)


def loaded(rules=RULES):
    return D.load(tovrana.Grid(*D.grid_args()), (1, 1), (), rules)


def test_occ_keeps_the_footprints_it_was_built_with():
    """Local deltas use the footprints of the last occ_init, as they use its halos: a
    spacing model set later changes the markers, not the occupancy's bookkeeping."""
    g = loaded()
    g.set_spacing_model([(30, 30, 40, 40)] * D.nz)
    changed = g.route_boxes(BATCH, **ARGS)
    assert changed
    for net, cells, edges in changed:
        g.routes_update(net, cells, edges)
    routes = {net: (cells, edges) for net, (cells, edges) in D.routes.items()} | {
        net: (cells, edges) for net, cells, edges in changed}
    fresh = D.load(tovrana.Grid(*D.grid_args()), (1, 1), (), RULES)
    fresh.occ_init([(net, cells, [c for e in edges if e[0][:2] == e[1][:2] for c in e])
                    for net, (cells, edges) in routes.items()], 1, 1)
    assert g.occ_signature() == fresh.occ_signature()


def refused(merging, worked):
    with pytest.raises(ValueError, match="worked on a grid in another state"):
        merging.merge_boxes(BATCH, D.gc, [worked.work_boxes(BATCH, **ARGS)])


def test_worked_batches_carry_the_rules():
    plain = D.load(tovrana.Grid(*D.grid_args()), (1, 1))
    ruled = loaded()
    refused(plain, ruled)
    refused(ruled, plain)
    # every rule takes part: no-via cells, spacing, and the track model's lines and factors
    xs, ys, unit, layers = RULES.track_model
    for change in (lambda g: g.set_no_via_cells(RULES.no_via_cells[1:]),
                   lambda g: g.set_spacing_model(None),
                   lambda g: g.set_track_model(xs, ys, unit + 1, layers),
                   lambda g: g.set_track_model(xs, ys, unit, [(v, w + 1, x, y) for v, w, x, y in layers]),
                   lambda g: g.set_track_model(xs, ys, unit, [(v, w, x[1:], y) for v, w, x, y in layers])):
        other = loaded()
        change(other)
        refused(ruled, other)
    # the same rules, given again, in another order of lines: accepted
    again = loaded()
    again.set_track_model(xs, ys, unit, [(v, w, x[::-1] + x[:1], y) for v, w, x, y in layers])
    again.set_no_via_cells(RULES.no_via_cells[::-1])
    again.set_spacing_model(RULES.spacing)
    assert again.merge_boxes(BATCH, D.gc, [loaded().work_boxes(BATCH, **ARGS)]) == loaded().route_boxes(BATCH, **ARGS)
