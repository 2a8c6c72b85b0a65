"""Hypothesis strategies for small random designs shared by the differential tests."""
import math

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


@st.composite
def coordinates(draw, n, gaps=st.sampled_from([1, 2, 3, 5, 8, 19, 38])):
    """n strictly ascending coordinates with uneven gaps, anywhere on the axis."""
    out = [draw(st.integers(-1000, 1000))]
    for _ in range(n - 1):
        out.append(out[-1] + draw(gaps))
    return out[:n]


@st.composite
def line_masks(draw, n):
    """Line indices for one layer and axis: all, most (in any order, repeated), or few."""
    kind = draw(st.sampled_from(["all", "all", "most", "few"]))
    if kind == "all":
        return list(range(n))
    lines = [i for i in range(n) if draw(st.integers(0, 4 if kind == "most" else 1)) != 0]
    return draw(st.permutations(lines + lines[:2]))


STACK_COSTS = st.sampled_from([0.0, 0.5, 1.0, 3.0, math.inf])


@st.composite
def track_models(draw, nx, ny, nz, wrong_way=st.sampled_from([1.0, 1.0, 1.5, 2.0, 3.25, math.inf])):
    """(xs, ys, unit, layers) for set_track_model: uneven lines, masks, wrong-way factors,
    and on some layers a stack cost (a fifth element)."""
    layers = []
    for _ in range(nz):
        layer = (draw(st.booleans()), draw(wrong_way), draw(line_masks(nx)), draw(line_masks(ny)))
        layers.append(layer + (draw(STACK_COSTS),) if draw(st.booleans()) else layer)
    return draw(coordinates(nx)), draw(coordinates(ny)), draw(st.sampled_from([1, 1, 2, 3, 10, 19])), layers


@st.composite
def net_guides(draw, nx, ny, nz, nets=st.integers(0, 3)):
    """(guides, outside_factor, outside_via) for set_net_guides: a few in-grid rectangles
    per net, repeated nets and nets without rectangles among them."""
    def rect():
        x0, x1 = sorted((draw(st.integers(0, nx - 1)), draw(st.integers(0, nx - 1))))
        y0, y1 = sorted((draw(st.integers(0, ny - 1)), draw(st.integers(0, ny - 1))))
        return (draw(st.integers(0, nz - 1)), x0, y0, x1, y1)

    guides = [(draw(nets), [rect() for _ in range(draw(st.integers(0, 4)))]) for _ in range(draw(st.integers(0, 3)))]
    return (guides, draw(st.sampled_from([1.0, 1.0, 1.5, 3.0, math.inf])),
            draw(st.sampled_from([0.0, 0.5, 2.0, math.inf])))


@st.composite
def spacing_models(draw, nz, distances=st.sampled_from([0, 1, 2, 3, 5, 8, 20, 40, 100])):
    """(wire_dx, wire_dy, via_dx, via_dy) per layer for set_spacing_model."""
    return [tuple(draw(distances) for _ in range(4)) for _ in range(nz)]


def unit_track_model(nx, ny, nz, vertical=()):
    """A track model equal to having none: unit spacing, every line, no wrong-way factor."""
    layers = [(i < len(vertical) and bool(vertical[i]), 1.0, list(range(nx)), list(range(ny))) for i in range(nz)]
    return list(range(nx)), list(range(ny)), 1, layers
