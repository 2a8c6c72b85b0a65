"""The tiny hand-written LEF/DEF pair on the grid, checked cell by cell where it matters.

Grid of tiny: columns x = 100 + 200 i (30, the M2 tracks), rows y = 100 + 200 j (24, the
M1 tracks); M3's tracks (y = 200 + 400 k) lie off the rows, so M3 is left out. Cells are
(ix, iy, z) with z = 0 for M1 and 1 for M2. Net ids follow the DEF: n1 0, n2 1, n_in 2, n3 3.
"""
from __future__ import annotations

import copy
from pathlib import Path

import pytest

from tovrana_flow.design import Rect, Shape
from tovrana_flow.errors import FlowInputError
from tovrana_flow.mapping import MappingOptions, map_design
from tovrana_flow.read import read_def, read_lef

DATA = Path(__file__).parent / "data"
N1, N2, N_IN, N3 = range(4)


@pytest.fixture(scope="module")
def tiny():
    tech = read_lef([str(DATA / "tiny.lef")])
    return tech, read_def(str(DATA / "tiny.def"), tech)


@pytest.fixture(scope="module")
def model(tiny):
    return map_design(*tiny)


def owners(model):
    return {(ix, iy, z): net for z, ix, iy, net in model.pad_owner}


def blocked(model):
    return {(ix, iy, z) for z, ix, iy in model.blocked}


def test_axes_layers_vias_and_derived_halos(model):
    assert (model.nx, model.ny, model.nz) == (30, 24, 2)
    assert model.gridmap.xs[:2] == [100, 300] and model.gridmap.ys[-1] == 4700
    assert model.gridmap.layers == ["M1", "M2"] and model.left_out_layers == ["M3"]
    assert model.vertical == [False, True]
    assert model.gridmap.via_names == ["V12"]
    assert model.via_index == [(0, 1, 4.0)]
    # widths 0.1 + spacing 0.1 fit in a 0.2 pitch, so does a via's 0.15 metal beside a wire;
    # M2's parallel-run table asks no more of minimum-width wires than its spacing
    h = model.halos
    assert (h.wire_halo, h.via_halo, h.prl_halo, h.prl_len) == (0, 0, 0, 0)
    assert model.net_names == ["n1", "n2", "n_in", "n3"]


def test_overrides_replace_derived_values(tiny):
    m = map_design(*tiny, options=MappingOptions(gcell=4, wire_halo=1, via_halo=2, prl_halo=1, prl_len=5, via_cost=2.5))
    assert m.gc == 4 and m.via_index == [(0, 1, 2.5)]
    assert (m.halos.wire_halo, m.halos.via_halo, m.halos.prl_halo, m.halos.prl_len) == (1, 2, 1, 5)


@pytest.mark.parametrize("orient, cells, net", [
    ("N", [(3, j, 0) for j in (1, 2, 3, 4)], N1),                     # c_n Y
    ("S", [(8, 2, 0), (8, 3, 0)], N1),                                # c_s A
    ("FN", [(11, 1, 0), (11, 2, 0), (11, 3, 0), (11, 4, 0), (12, 4, 0)], N2),   # c_fn Y, an L
    ("FS", [(17, 8, 0), (17, 9, 0)], N2),                             # c_fs A
    ("E", [(3, 14, 0), (4, 14, 0)], N2),                              # c_e A
    ("W", [(10, 14, 0), (11, 14, 0), (12, 14, 0), (13, 14, 0)], N3),  # c_w Y
    ("FE", [(19, 15, 0), (20, 15, 0)], N3),                           # c_fe A
    ("FW", [(25, 15, 0), (26, 15, 0), (27, 15, 0), (28, 15, 0)], N3),  # c_fw Y
])
def test_pin_in_each_orientation_is_pads_of_its_net_and_one_terminal_set(model, orient, cells, net):
    own = owners(model)
    assert all(own.get(c) == net for c in cells), orient
    assert sorted(cells) in [sorted(ts) for ts in model.termsets[net]], orient


def test_io_pin_on_m2_and_terminal_sets_per_pin(model):
    assert owners(model)[(15, 0, 1)] == N_IN
    assert [len(model.termsets[n]) for n in (N1, N2, N_IN, N3)] == [2, 3, 2, 3]


def test_keepouts_are_blocked(model):
    b = blocked(model)
    # the M2 routing blockage (4000 3600)-(4400 4800): columns 20, 21, rows 18..23; nothing
    # else on M2 (the placement blockage is not a routing one)
    assert {(x, y) for x, y, z in b if z == 1} == {(x, y) for x in (20, 21) for y in range(18, 24)}
    # VSS's M1 rail y 1140..1260 lies between rows 5 and 6: both are closed along the die
    assert all((x, y, 0) in b for x in range(30) for y in (5, 6))
    # c_n's unconnected pin A (300..400, 500..700) and c_fn's obstruction (2500..2700, 0..200)
    assert {(1, 2, 0), (1, 3, 0), (12, 0, 0), (13, 0, 0)} <= b
    assert not b & set(owners(model))


def test_pin_between_tracks_gets_nearest_cell_and_a_stub(tiny):
    tech, design = tiny
    tech = copy.deepcopy(tech)
    # INV pin A shrunk to 0.12..0.18 x 0.52..0.58: for c_s (S at 1200 0, width 600) it lands
    # on x 1620..1680, y 620..680, between columns 8, 9 and rows 3, 4
    tech.macros["INV"].pins["A"].ports = [Shape("M1", Rect(0.12, 0.52, 0.18, 0.58))]
    m = map_design(tech, design)
    assert m.nearest_pins >= 1
    access = [ts for ts in m.termsets[N1] if len(ts) == 1 and ts[0][:2] in {(8, 3), (9, 3), (8, 2), (9, 2)}]
    assert access == [[(8, 3, 0)]]           # (1700, 700) is nearest to the point (1680, 680)
    # no grid edge reaches the shape; the stub runs on row 3 inside the edge (8, 3) - (9, 3),
    # which no other net can use as (8, 3) is n1's
    assert owners(m)[(8, 3, 0)] == N1
    stub = m.stubs[N1]
    assert [(w.layer, w.x0, w.y0, w.x1, w.y1) for w in stub] == [("M1", 1700, 700, 1680, 700),
                                                                 ("M1", 1680, 700, 1680, 680)]


def test_pins_of_two_nets_claiming_a_point_leave_it_blocked(tiny):
    tech, design = tiny
    design = copy.deepcopy(design)
    design.components["c_s"].x = 200    # c_s on top of c_n: c_s/A (n1) meets nothing, but
    design.components["c_s"].orient = "N"
    design.nets["n1"].pins = [("c_n", "Y"), ("c_s", "Y")]
    design.nets["n2"].pins = [("c_fn", "Y"), ("c_n", "Y")]   # c_n/Y on two nets: a short in the input
    m = map_design(tech, design)
    # all four points of c_n/Y are contested and blocked; each net then reaches the pin
    # through the nearest blocked one still free, never through the other net's
    assert m.contested_points == 2
    b, own = blocked(m), owners(m)
    four = [(3, j, 0) for j in (1, 2, 3, 4)]
    assert [c in b for c in four] == [False, False, True, True]
    assert [own[c] for c in four[:2]] == [N1, N2]


def test_pin_without_shape_on_the_grid_names_the_net(tiny):
    tech, design = tiny
    tech = copy.deepcopy(tech)
    tech.macros["BUF"].pins["A"].ports = [Shape("M3", Rect(0.1, 0.5, 0.2, 0.7))]
    with pytest.raises(FlowInputError) as e:
        map_design(tech, design)
    assert e.value.file.endswith("tiny.def") and e.value.line > 0
    assert "n3" in e.value.construct and "c_fe A" in e.value.construct
