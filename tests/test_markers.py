"""Marker engine: cover and parallel-run-length markers against the model."""

from hypothesis import given, settings, strategies as st

import tovrana
from testkit.designs import via_cells
from testkit.model.grid import ModelGrid
from testkit.model.markers import flexgc as model_flexgc
from conftest import examples

I32_MIN, I32_MAX = -(2**31), 2**31 - 1


def pair(nx, ny, nz=1):
    return tovrana.Grid(nx, ny, nz, [], [], [], []), ModelGrid(nx, ny, nz, [], [], [], [])


def both(nx, ny, nets, *args, nz=1):
    g, m = pair(nx, ny, nz)
    return g.flexgc(nets, *args), model_flexgc(m, nets, *args)


# --- random designs ---------------------------------------------------------------


@st.composite
def wire(draw, nx, ny, nz, near=None, vertical=()):
    """A straight run of cells (either axis), sometimes poking out of the grid.
    `near` = (layer, line, start): wires drawn near it tend to run side by side."""
    if near is not None and draw(st.integers(0, 3)):
        layer, line, start = near
        fixed = line + draw(st.integers(0, 3))
        start += draw(st.integers(-3, 3))
    else:
        layer = draw(st.integers(-1, nz))
        fixed = draw(st.integers(-1, max(nx, ny)))
        start = draw(st.integers(-2, max(nx, ny)))
    length = draw(st.integers(1, 12))
    horizontal = draw(st.booleans())
    if near is not None and 0 <= layer < len(vertical) and draw(st.integers(0, 3)):
        horizontal = not vertical[layer]
    step = draw(st.sampled_from([1, 1, 1, -1]))
    along = [start + i * step for i in range(length)]
    cells = [(a, fixed, layer) if horizontal else (fixed, a, layer) for a in along]
    gaps = draw(st.sets(st.integers(0, length - 1), max_size=2))
    return [c for i, c in enumerate(cells) if i not in gaps or i == 0]


@st.composite
def design(draw, max_xy=14, max_z=3):
    nx, ny, nz = draw(st.integers(1, max_xy)), draw(st.integers(1, max_xy)), draw(st.integers(1, max_z))
    loose = st.tuples(st.integers(-2, nx + 1), st.integers(-2, ny + 1), st.integers(-1, nz))
    vertical = draw(st.lists(st.booleans(), max_size=nz + 1))
    near = (draw(st.integers(0, nz - 1)), draw(st.integers(-1, max(nx, ny) - 2)), draw(st.integers(-1, 4)))
    nets = []
    for _ in range(draw(st.one_of(st.integers(2, 5), st.integers(0, 6)))):
        route = []
        for _ in range(draw(st.one_of(st.integers(1, 3), st.integers(0, 3)))):
            route += draw(wire(nx, ny, nz, near, vertical))
        route += draw(st.lists(loose, max_size=3))
        if route and draw(st.booleans()):
            route += draw(st.lists(st.sampled_from(route), max_size=3))  # repeated route cells
        via_pool = st.one_of(st.sampled_from(route), loose) if route else loose
        vias = draw(st.lists(via_pool, max_size=4))
        nets.append((draw(st.integers(-1, 5)), route, vias))
    region = None
    if draw(st.booleans()):  # mostly overlapping the grid, sometimes inverted or outside
        x0, y0 = draw(st.integers(-3, nx + 1)), draw(st.integers(-3, ny + 1))
        region = (x0, y0, x0 + draw(st.integers(-1, nx + 3)), y0 + draw(st.integers(-1, ny + 3)))
    return nx, ny, nz, nets, region, vertical


@settings(max_examples=examples(800), deadline=None)
@given(design(), st.integers(-1, 3), st.integers(-1, 3), st.one_of(st.integers(1, 3), st.integers(-1, 4)),
       st.one_of(st.integers(1, 4), st.integers(-1, 6)))
def test_matches_model(d, wire_halo, via_halo, prl_halo, prl_len):
    nx, ny, nz, nets, region, vertical = d
    got, want = both(nx, ny, nets, wire_halo, via_halo, region, prl_halo, prl_len, vertical, nz=nz)
    assert got == want


@settings(max_examples=examples(60), deadline=None)
@given(st.data(), st.integers(20, 70), st.integers(20, 70))
def test_matches_model_on_wider_grids(data, nx, ny):
    # Many cells over several tiles and layers: exercises the index's caches.
    nets = []
    for _ in range(data.draw(st.integers(2, 12))):
        route = []
        for _ in range(data.draw(st.integers(1, 6))):
            route += data.draw(wire(nx, ny, 4))
        nets.append((data.draw(st.integers(0, 8)), route, route[:: data.draw(st.integers(2, 7))]))
    args = (data.draw(st.integers(0, 3)), data.draw(st.integers(0, 4)), None, data.draw(st.integers(1, 3)),
            data.draw(st.integers(1, 4)), [True, False, True])
    got, want = both(nx, ny, nets, *args, nz=4)
    assert got == want


EXTREME = st.sampled_from([I32_MIN, I32_MIN + 1, -1, 0, 1, 5, I32_MAX - 1, I32_MAX])


@settings(max_examples=examples(300), deadline=None)
@given(st.data())
def test_extreme_coordinates_and_prl_halo(data):
    nx, ny = data.draw(st.integers(1, 8)), data.draw(st.integers(1, 8))
    coord = st.one_of(EXTREME, st.integers(-1, 9))
    nets = [
        (data.draw(st.one_of(EXTREME, st.integers(0, 3))),
         data.draw(st.lists(st.tuples(coord, coord, st.one_of(EXTREME, st.integers(0, 2))), max_size=6)),
         [])
        for _ in range(data.draw(st.integers(0, 4)))
    ]
    region = data.draw(st.one_of(st.none(), st.tuples(EXTREME, EXTREME, EXTREME, EXTREME)))
    prl = (data.draw(st.one_of(EXTREME, st.integers(1, 3))), data.draw(st.one_of(EXTREME, st.integers(1, 3))))
    got, want = both(nx, ny, nets, data.draw(st.integers(-1, 2)), 0, region, *prl, [True, False])
    assert got == want


@settings(max_examples=examples(100), deadline=None)
@given(st.data(), st.sampled_from([(2**16, 2**16), (2**17, 2**16), (2**31 - 1, 3)]))
def test_planes_of_2_32_cells_and_more(data, dims):
    # Past 2^32 cells per layer the engine indexes cells one id at a time.
    nx, ny = dims
    coord = st.integers(-2, 12)
    layer = st.sampled_from([0, 1, 2**30, -(2**30), 2**15, -(2**15)])
    nets = [(data.draw(st.integers(0, 3)), data.draw(st.lists(st.tuples(coord, coord, layer), max_size=8)), [])
            for _ in range(data.draw(st.integers(0, 4)))]
    region = data.draw(st.one_of(st.none(), st.tuples(coord, coord, coord, coord)))
    got, want = both(nx, ny, nets, data.draw(st.integers(-1, 2)), 0, region, data.draw(st.integers(0, 3)),
                     data.draw(st.integers(0, 3)), [False, True], nz=0)
    assert got == want


# --- cover markers --------------------------------------------------------------------


def test_cover_worked_example_and_first_touch_order():
    nets = [(7, [(2, 2, 0)], []), (3, [(4, 2, 0)], [])]
    want = [([(3, y, 0)], 0, [7, 3]) for y in (1, 2, 3)]
    for prl_halo, prl_len in ((0, 5), (5, 0), (-1, -1)):
        got, model = both(10, 10, nets, 1, 1, None, prl_halo, prl_len, [])
        assert got == model == want
    # Net order, not id or coordinates, decides both orders.
    got, _ = both(10, 10, nets[::-1], 1, 1, None, 0, 0, [])
    assert got == [([(3, y, 0)], 0, [3, 7]) for y in (1, 2, 3)]
    g, _ = pair(10, 10)
    assert g.flexgc([], 1, 1, None, 1, 1, []) == []


def test_cover_net_listed_once_and_vias_select_halo():
    g, _ = pair(10, 10)
    # Self-overlap alone is no marker; duplicate ids merge into one net.
    assert g.flexgc([(1, [(4, 4, 0), (5, 4, 0), (4, 4, 0)], []), (1, [(4, 5, 0)], [])], 1, 1, None, 0, 0, []) == []
    # wire 0, via 2: (6, 4) is reached only through the 5 x 5 via square of (4, 4);
    # net 2's via square at (1, 1) meets it in (2..3, 2..3), listed in net 1's order.
    nets = [(1, [(4, 4, 0)], [(4, 4, 0)]), (2, [(6, 4, 0), (1, 1, 0)], [(1, 1, 0)])]
    want = [([c], 0, [1, 2]) for c in ((2, 2, 0), (2, 3, 0), (3, 2, 0), (3, 3, 0), (6, 4, 0))]
    assert g.flexgc(nets, 0, 2, None, 0, 0, []) == want
    # A via position without a route cell adds nothing.
    assert g.flexgc([(1, [(4, 4, 0)], [(6, 4, 0)]), (2, [(6, 4, 0)], [])], 0, 2, None, 0, 0, []) == []


def test_colliding_cell_ids_share_an_entry():
    # With nx * ny = 2^33 the ids of layers 2^30 and -2^30 wrap onto each other;
    # the engine keys cells by id, so both nets land on one marker.
    nx, ny = 2**17, 2**16
    nets = [(1, [(0, 0, 2**30)], []), (2, [(0, 0, -(2**30))], []), (3, [(5, 0, 2**30)], [])]
    got, want = both(nx, ny, nets, 0, 0, None, 1, 1, [], nz=0)
    assert got == want == [([(0, 0, 2**30)], 2**30, [1, 2])]


def test_outside_cell_aliasing_an_in_plane_cell_beyond_the_region():
    # On a 1 x 8 grid (2, 6, 0) has the id of (0, 0, 1) and (0, -2, 1) that of (0, 6, 0),
    # a row far from the region: net 1 owns that id first, so net 0's (0, -2, 1) owns
    # nothing and faces nobody. Leaving (0, 6, 0) out of ownership because of its row
    # gave net 0 the id, and a parallel-run marker with net 1 two rows up.
    nets = [(1, [(0, 0, 0), (0, 6, 0), (1, 6, 0), (2, 6, 0)], []), (0, [(0, 0, 0), (0, -2, 1)], [])]
    got, want = both(1, 8, nets, 0, 0, (0, 0, 0, 0), 2, 1, [])
    assert got == want == [([(0, 0, 0)], 0, [1, 0])]


def test_huge_halos_clip():
    # How fast these finish is measured by `python -m bench.bench_markers --extremes`.
    nets = [(1, [(0, 0, 0), (I32_MIN, 3, 0)], [(I32_MIN, 3, 0)]), (2, [(I32_MAX, I32_MAX, 0)], [])]
    g, m = pair(12, 9)
    got = g.flexgc(nets, I32_MAX, I32_MAX, None, I32_MAX, I32_MAX, [True])
    got_region = g.flexgc(nets, I32_MAX, I32_MAX, (2, 2, 4, 3), I32_MAX, 1, [])
    # Net 1's wire square already covers the whole 12 x 9 plane, as does net 2's.
    assert got == [([(x, y, 0)], 0, [1, 2]) for x in range(12) for y in range(9)]
    assert got_region == [([(x, y, 0)], 0, [1, 2]) for x in (2, 3, 4) for y in (2, 3)]


# --- parallel-run-length markers ----------------------------------------------------------


def column(net, x, ys, layer=1):
    return (net, [(x, y, layer) for y in ys], [])


def run_cells(lo, hi, ys, layer=1):
    return [(t, y, layer) for y in ys for t in (lo, hi)]


def test_prl_vertical_layer_run():
    nets = [column(9, 4, range(10, 20)), column(5, 5, range(12, 26))]
    got, want = both(30, 30, nets, -1, -1, None, 1, 8, [False, True])
    assert got == want == [(run_cells(4, 5, range(12, 20)), 1, [5, 9])]
    assert both(30, 30, nets, -1, -1, None, 1, 9, [False, True])[0] == []
    # Horizontal layer (explicit, or past the end of the list) compares rows.
    assert both(30, 30, nets, -1, -1, None, 1, 1, [True, False])[0] == []
    assert both(30, 30, nets, -1, -1, None, 1, 1, [True])[0] == []
    # Cover markers come first and are unaffected by the run pass.
    got, want = both(30, 30, nets, 0, 0, None, 1, 8, [False, True])
    assert got == want == [(run_cells(4, 5, range(12, 20)), 1, [5, 9])]


def test_prl_track_distance_and_huge_prl_halo():
    far = [column(9, 4, range(10, 20)), column(5, 6, range(12, 26)), column(7, 5, range(0, 30, 2))]
    assert both(30, 30, far[:2], -1, -1, None, 1, 1, [False, True])[0] == []
    # The net between the two tracks does not hide the pair at distance 2.
    got, want = both(30, 30, far, -1, -1, None, 2, 8, [False, True])
    assert got == want
    assert [m for m in got if m[2] == [5, 9]] == [(run_cells(4, 6, range(12, 20)), 1, [5, 9])]
    # How fast a huge prl_halo finishes is measured by `python -m bench.bench_markers --extremes`.
    huge, want = both(30, 30, far, -1, -1, None, I32_MAX, 8, [False, True])
    assert huge == want and (run_cells(4, 6, range(12, 20)), 1, [5, 9]) in huge


def test_prl_gaps_swaps_and_region():
    # Net 5 below net 9 for x 0..3, above it for x 4..6, nothing at x 7, again at 8..9.
    rows = {x: (5, 9) if x < 4 else (9, 5) for x in list(range(7)) + [8, 9]}
    nets = [(n, [(x, y, 0) for x, (a, b) in rows.items() for n2, y in ((a, 2), (b, 3)) if n2 == n], []) for n in (9, 5)]
    got, want = both(12, 12, nets, -1, -1, None, 1, 2, [])
    cells = lambda xs: [(x, y, 0) for x in xs for y in (2, 3)]
    assert got == want == [(cells(range(7)), 0, [5, 9]), (cells([8, 9]), 0, [5, 9])]
    assert both(12, 12, nets, -1, -1, None, 1, 3, [])[0] == [(cells(range(7)), 0, [5, 9])]
    # Length is measured unclipped; the region only trims the emitted cells.
    got, want = both(12, 12, nets, -1, -1, (5, 3, 20, 3), 1, 7, [])
    assert got == want == [([(x, 3, 0) for x in (5, 6)], 0, [5, 9])]
    assert both(12, 12, nets, -1, -1, (10, 0, 11, 11), 1, 1, [])[0] == []


@settings(max_examples=examples(400), deadline=None)
@given(st.data(), design(), st.integers(-1, 3), st.integers(-1, 3), st.sampled_from([0, 0, -1, 1, 2, 3]),
       st.one_of(st.integers(1, 4), st.integers(-1, 6)), st.sampled_from([1, 1, 2, 3, 64]))
def test_box_worker_markers_equal_flexgc_of_the_stored_routes(data, d, wire_halo, via_halo, prl_halo, prl_len, strip):
    """A box worker's marker check visits only the stored routes that an index of the store
    finds near its region (strips of a few lines here, so that routes span many); it must
    find exactly what flexgc finds over every route."""
    nx, ny, nz, nets, region, vertical = d
    if data.draw(st.booleans()):  # a small region, as a box worker's is against the grid
        x0, y0 = data.draw(st.integers(0, nx - 1)), data.draw(st.integers(0, ny - 1))
        region = (x0, y0, x0 + data.draw(st.integers(0, 3)), y0 + data.draw(st.integers(0, 3)))
    g = tovrana.Grid(nx, ny, nz, [], [], [], [])
    loaded = {}
    for net, route, _ in nets:
        loaded.setdefault(net, (route, list(zip(route, route[1:]))))
    g.routes_init([(net, cells, edges) for net, (cells, edges) in loaded.items()])
    every = [(net, cells, via_cells(edges)) for net, (cells, edges) in loaded.items()]
    args = (wire_halo, via_halo, region, prl_halo, prl_len, vertical)
    assert g._stored_markers(*args, strip) == g.flexgc(every, *args)


def test_stored_markers_see_an_owner_beyond_the_region_that_cuts_a_run_short():
    """Net 1's lone cell, past the region's columns, takes its cell on net 2's track first
    and cuts the parallel run of nets 2 and 3 to three cells inside: below prl_len, so no
    marker. A check that left net 1 out, being far from the region's columns, would report
    the whole run."""
    g = tovrana.Grid(30, 5, 1, [], [], [], [])
    b = [(x, 2, 0) for x in range(3, 21)]
    c = [(x, 3, 0) for x in range(3, 21)]
    routes = [(1, [(6, 2, 0)], []), (2, b, list(zip(b, b[1:]))), (3, c, list(zip(c, c[1:])))]
    g.routes_init(routes)
    args = (0, 0, (0, 0, 4, 4), 1, 5, [False])
    assert g.flexgc([(n, cells, []) for n, cells, _ in routes], *args) == []
    assert g._stored_markers(*args, 64) == []
