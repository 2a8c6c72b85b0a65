"""Occupancy map: footprints, counts, halos and the signature."""
from hypothesis import given, settings, strategies as st

import tovrana
from testkit.model.grid import ModelGrid
from strategies import grid_dims, net_routes
from conftest import examples


def occ_pair(nx, ny, nz):
    return tovrana.Grid(nx, ny, nz, [], [], [], []), ModelGrid(nx, ny, nz, [], [], [], [])


@settings(max_examples=examples(400), deadline=None)
@given(st.data(), grid_dims(), st.integers(-1, 3), st.integers(-1, 3))
def test_occ_init_matches_model(data, dims, wire, via):
    """occ_init builds the model's map; occ_signature_of tells its signature beforehand without
    touching the grid's map (nets named twice included)."""
    g, m = occ_pair(*dims)
    nets = data.draw(net_routes(*dims))
    m.occ_init(nets, wire, via)
    assert g.occ_signature_of(nets, wire, via) == m.occ_signature()
    assert g.occ_signature() == 0
    g.occ_init(nets, wire, via)
    assert g.occ_signature() == m.occ_signature()
    g.occ_init(nets, wire, via)  # a rebuild replaces, never accumulates
    assert g.occ_signature() == m.occ_signature()


def signature_of(occ):
    m = ModelGrid(1, 1, 1, [], [], [], [])
    m.occ = occ
    return m.occ_signature()


def test_footprint_counts_and_clipping():
    g = tovrana.Grid(10, 10, 1, [], [], [], [])
    g.occ_init([(4, [(0, 0, 0)], [])], 1, 0)
    assert g.occ_signature() == signature_of({i: {4: 1} for i in (0, 1, 10, 11)})
    g.occ_init([(4, [(5, 5, 0), (6, 5, 0)], [])], 1, 0)
    want = {}
    for y in (4, 5, 6):
        for x, count in ((4, 1), (5, 2), (6, 2), (7, 1)):
            want[y * 10 + x] = {4: count}
    assert g.occ_signature() == signature_of(want)
    # a via route cell takes the via halo; a via cell that is no route cell adds nothing
    g.occ_init([(4, [(5, 5, 0)], [(5, 5, 0), (1, 1, 0)])], 1, 2)
    assert g.occ_signature() == signature_of({y * 10 + x: {4: 1} for x in range(3, 8) for y in range(3, 8)})
    g.occ_init([(4, [(5, 5, 0)], [])], -1, 2)
    assert g.occ_signature() == 0


def test_signature_constants():
    assert signature_of({0: {1: 1}}) == 9460491110153905662
    assert signature_of({5: {7: 2}}) == 9980282649048199214
    assert signature_of({0: {1: 1}, 5: {7: 2}}) == 994029685492553260
    g = tovrana.Grid(10, 10, 1, [], [], [], [])
    g.occ_init([(1, [(0, 0, 0)], []), (7, [(5, 0, 0), (5, 0, 0)], [])], 0, 0)
    assert g.occ_signature() == 994029685492553260


def test_huge_halos_are_bounded():
    g = tovrana.Grid(3, 3, 1, [], [], [], [])
    g.occ_init([(1, [(2**31 - 1, 1, 0), (-(2**31), 1, 0), (1, 1, 0)], [])], 2**31 - 1, 2**31 - 1)
    assert g.occ_signature() == signature_of({i: {1: 2} for i in range(9)})
