"""Routes held packed: what is read back is what was put in, and the occupancy entries made
from the packed form are those of the plain routes."""
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from tovrana_flow.grid_routes import Route, cell_keys, cells_of_keys, occ_nets as plain_occ_nets
from tovrana_flow.packed_routes import PackedRoutes, occ_nets

cell = st.tuples(st.integers(0, 40), st.integers(0, 3000), st.integers(0, 9))


@st.composite
def routes(draw):
    """Routes with repeated cells, edges in both directions and edges ending off the cell list."""
    out = {}
    for net in draw(st.lists(st.integers(0, 50), unique=True, max_size=5)):
        cells = draw(st.lists(cell, max_size=12))
        ends = cells + draw(st.lists(cell, max_size=3))
        edges = draw(st.lists(st.tuples(st.sampled_from(ends), st.sampled_from(ends)), max_size=15)) if ends else []
        out[net] = Route(cells, edges)
    return out


@settings(max_examples=200, deadline=None)
@given(routes())
def test_packed_routes_read_back_as_given(given_routes):
    book = PackedRoutes(given_routes)
    assert dict(book) == given_routes and len(book) == len(given_routes)
    for net in given_routes:
        route = book[net]
        own = {id(c) for c in route.cells}
        # an edge's ends are the very tuples of the cell list wherever they are among its cells
        assert all(id(c) in own for e in route.edges for c in e if c in given_routes[net].cells)
        assert cells_of_keys(book.cell_ids(net)).tolist() == [list(c) for c in given_routes[net].cells]
    decoded = [(n, [tuple(c) for c in cells_of_keys(np.asarray(c, dtype=np.int64)).tolist()],
                [tuple(v) for v in cells_of_keys(np.asarray(v, dtype=np.int64)).tolist()])
               for n, c, v in occ_nets(book)]
    assert decoded == plain_occ_nets(given_routes)
    # the same routes handed over as ids, as the module's packed batch results are
    by_ids = PackedRoutes()
    for net, (cells, edges) in given_routes.items():
        ids = lambda cs: cell_keys(np.array(cs, dtype=np.int64).reshape(-1, 3))
        by_ids.set_ids(net, ids(cells), ids([c for e in edges for c in e]))
    assert dict(by_ids) == given_routes


def test_copies_and_views_of_packed_routes():
    book = PackedRoutes({1: Route([(0, 0, 0), (1, 0, 0)], [((0, 0, 0), (1, 0, 0))])})
    snapshot, view = book.copy(), book.read_only()
    book[1] = Route([(5, 5, 1)], [])
    book[2] = Route([(6, 5, 1)], [])
    assert snapshot[1].cells == [(0, 0, 0), (1, 0, 0)] and 2 not in snapshot      # a copy keeps the old state
    assert view[1].cells == [(5, 5, 1)] and 2 in view                          # a view sees every change
    with pytest.raises(TypeError, match="read-only"):
        view[1] = Route([], [])


def test_a_route_off_the_id_range_is_kept_as_it_is():
    off = Route([(-1, 0, 0), (0, 0, 0)], [((-1, 0, 0), (0, 0, 0))])
    book = PackedRoutes({3: off, 4: Route([(1, 1, 1)], [])})
    assert book[3] == off
    book[3].cells.clear()                       # what a reader does with its copy stays with it
    assert book[3] == off
    assert occ_nets(book, {5: Route([(2, 2, 2)], [])})[0] == (3, off.cells, [])
    assert [e[0] for e in occ_nets(book, {4: Route([(9, 9, 9)], [])})] == [3, 4]
    assert occ_nets(book, {4: Route([(9, 9, 9)], [])})[1] == (4, [(9, 9, 9)], [])   # the later mapping wins
