"""Hypothesis strategies for small random designs shared by the differential tests."""
from hypothesis import strategies as st


def cells(nx, ny, nz, margin=1):
    """Cells mostly inside the grid, sometimes just outside it."""
    return st.tuples(
        st.integers(-margin, nx - 1 + margin), st.integers(-margin, ny - 1 + margin), st.integers(-margin, nz - 1 + margin)
    )


@st.composite
def grid_dims(draw, max_xy=9, max_z=3):
    return draw(st.integers(1, max_xy)), draw(st.integers(1, max_xy)), draw(st.integers(1, max_z))


@st.composite
def net_routes(draw, nx, ny, nz, max_nets=5, max_cells=8, net_ids=st.integers(-2, 6)):
    """[(net, route cells, via cells)] with duplicate ids and repeated cells allowed."""
    out = []
    for _ in range(draw(st.integers(0, max_nets))):
        route = draw(st.lists(cells(nx, ny, nz), max_size=max_cells))
        vias = draw(st.lists(st.one_of(st.sampled_from(route) if route else cells(nx, ny, nz), cells(nx, ny, nz)), max_size=3))
        out.append((draw(net_ids), route, vias))
    return out
