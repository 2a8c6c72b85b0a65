"""The tiny hand-written LEF/DEF pair on the grid, checked line by line and cell by cell.

tiny's tracks: M1 horizontal y = 100 + 200k, M2 vertical x = 100 + 200k, M3 horizontal
y = 200 + 400k (off M1's rows). The grid's columns are M2's tracks, its rows M1's and M3's
together. Cells are (ix, iy, z) with z = 0 for M1, 1 for M2, 2 for M3. Net ids follow the
DEF: n1 0, n2 1, n_in 2, n3 3.
"""
from __future__ import annotations

import copy
from pathlib import Path

import pytest

from tovrana_flow.design import Rect, Shape, Tracks
from tovrana_flow.errors import FlowInputError, OptionError
from tovrana_flow.mapping import MappingOptions, map_design
from tovrana_flow.placed_shapes import PlacedShapes
from tovrana_flow.read import read_def, read_lef
from tovrana_flow.routing.route_book import spare_grid

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


def test_every_layer_runs_on_its_own_tracks(model):
    g, t = model.gridmap, model.tracks
    assert g.layers == ["M1", "M2", "M3"] and model.cell_layers == []
    assert g.xs == list(range(100, 6000, 200))
    assert g.ys == sorted(set(range(100, 4800, 200)) | set(range(200, 4800, 400)))
    m1_rows = [g.ys.index(y) for y in range(100, 4800, 200)]
    m3_rows = [g.ys.index(y) for y in range(200, 4800, 400)]
    # (vertical, wrong-way factor, columns it runs along, rows it runs along)
    assert t.layers[0] == (False, 5.0, [], m1_rows)            # the lowest layer: no wrong way
    assert t.layers[1] == (True, 5.0, list(range(30)), m1_rows)
    assert t.layers[2] == (False, 5.0, list(range(30)), m3_rows)
    assert t.unit == 200 and (t.xs, t.ys) == (g.xs, g.ys)      # a step costs its length in M2 pitches
    assert model.via_index == [(0, 1, 4.0), (1, 2, 4.0)] and g.via_names == ["V12", "V23"]
    assert model.net_names == ["n1", "n2", "n_in", "n3"]


def test_spacing_boxes_from_the_rules(model):
    # M1: 0.1 wires ending face to face need the end-of-line 0.12 (edges shorter than 0.12):
    # 0.05 + 0.05 + 0.12 along the track, 0.05 + 0.05 + 0.1 across it; a via's 0.15 x 0.1 pad
    # ends 0.075 out, 0.075 + 0.075 + 0.12 from another via's
    assert model.spacing[0] == (220, 200, 270, 200)
    for wx, wy, vx, vy in model.spacing:
        assert vx >= wx and vy >= wy
    # neighbouring tracks hold two nets' wires (no conflict at one pitch), not two vias on M1's row
    assert model.spacing[0][0] > 200 and model.spacing[0][1] <= 200


def test_options_are_checked_and_change_the_model(tiny):
    with pytest.raises(OptionError, match="wrong_way must be at least 1"):
        MappingOptions(wrong_way=0.5)
    m = map_design(*tiny, options=MappingOptions(gcell=4, via_cost=2.5, wrong_way=8))
    assert m.via_index == [(0, 1, 2.5), (1, 2, 2.5)] and m.tracks.layers[1][1] == 8
    assert m.gc == 5      # 4 M2 pitches (800) over lines 200 and 131 apart: 166 on average
    top = map_design(*tiny, options=MappingOptions(top_layer="M2"))
    assert top.gridmap.layers == ["M1", "M2"] and top.gridmap.ys == list(range(100, 4800, 200))
    with pytest.raises(FlowInputError, match="the bottom layer M9 is not a routing layer"):
        map_design(*tiny, options=MappingOptions(bottom_layer="M9"))


def _pin_points(model, design, tech, comp, pin):
    """The grid points of M1's rows inside a placed pin."""
    g = model.gridmap
    out = set()
    for s in PlacedShapes(tech, design).pin(comp, pin):
        for ix, x in enumerate(g.xs):
            for iy, y in enumerate(g.ys):
                if y % 200 == 100 and s.rect.x0 <= x <= s.rect.x1 and s.rect.y0 <= y <= s.rect.y1:
                    out.add((ix, iy, 0))
    return out


@pytest.mark.parametrize("comp, pin, net", [("c_n", "Y", N1), ("c_s", "A", N1), ("c_fn", "Y", N2),
                                            ("c_fs", "A", N2), ("c_e", "A", N2), ("c_w", "Y", N3),
                                            ("c_fe", "A", N3), ("c_fw", "Y", N3)])
def test_a_pin_in_each_orientation_is_its_nets_with_one_terminal_set(tiny, model, comp, pin, net):
    tech, design = tiny
    inside = _pin_points(model, design, tech, comp, pin)
    own = owners(model)
    assert inside and all(own.get(c) == net for c in inside)
    sets = [ts for ts in model.termsets[net] if set(ts) & inside]
    assert len(sets) == 1 and set(sets[0]) <= inside


def test_io_pin_on_m2_and_terminal_sets_per_pin(model):
    assert owners(model)[(15, 0, 1)] == N_IN
    assert [len(model.termsets[n]) for n in (N1, N2, N_IN, N3)] == [2, 3, 2, 3]


def test_keepouts_and_their_neighbourhood_are_blocked(model):
    g = model.gridmap
    b = blocked(model)
    # the M2 routing blockage (4000 3600)-(4400 4800): columns 20, 21 from row 3600 up
    inside = {(x, y, 1) for x in (20, 21) for y, yy in enumerate(g.ys) if yy >= 3600}
    assert inside <= b
    # VSS's 0.12 M1 rail at y = 1200 overlaps a wire on the rows 1100 and 1300, the whole die along
    assert all((x, g.ys.index(y), 0) in b for x in range(30) for y in (1100, 1300))
    # VSS's 0.4 M3 stripe at y = 4400 covers M3's rows 4200 and 4600
    assert all((x, g.ys.index(y), 2) in b for x in range(30) for y in (4200, 4600))
    # the unconnected pin A of c_n (300..400, 500..700) on M1
    assert {(1, g.ys.index(500), 0), (1, g.ys.index(700), 0)} <= b
    assert not b & set(owners(model))


def test_a_pin_between_tracks_gets_an_access_wire(tiny):
    tech, design = tiny
    tech = copy.deepcopy(tech)
    # INV pin A shrunk to 0.12..0.18 x 0.52..0.58: for c_s (S at 1200 0, width 600) it lands
    # on x 1620..1680, y 620..680, between columns 1500, 1700 and rows 500, 700 of M1
    tech.macros["INV"].pins["A"].ports = [Shape("M1", Rect(0.12, 0.52, 0.18, 0.58))]
    m = map_design(tech, design)
    assert m.nearest_pins >= 1
    g = m.gridmap
    (pin,) = [pa for pa in m.access[N1] if pa.points[0].wires]
    (point,) = pin.points
    ix, iy, z = point.cell
    assert z == 0 and g.ys[iy] in (500, 700) and owners(m)[point.cell] == N1
    # along the point's row first (M1 runs along x), then straight into the shape
    first, *rest = point.wires
    assert first.layer == "M1" and first.y0 == first.y1 == g.ys[iy] and first.x0 == g.xs[ix]
    end = (rest[-1] if rest else first)
    assert 1620 <= end.x1 <= 1680 and 620 <= end.y1 <= 680
    assert m.access_used(N1, ([point.cell], [])) == [point]


def test_pins_of_two_nets_on_one_point_leave_it_to_nobody(tiny):
    tech, design = tiny
    design = copy.deepcopy(design)
    design.nets["n2"].pins = [("c_fn", "Y"), ("c_n", "Y")]   # c_n/Y on two nets: a short in the input
    m = map_design(tech, design)
    inside = _pin_points(m, design, tech, "c_n", "Y")
    assert m.contested_points >= len(inside) > 0
    assert inside <= blocked(m)


def test_a_cell_internal_layer_is_reached_from_above(tiny):
    """Cells whose obstructions cover their M1 make M1 their own: routes start on M2 and
    reach an M1 pin through a via placed where the route ends."""
    tech, design = tiny
    tech = copy.deepcopy(tech)
    for macro in tech.macros.values():
        macro.obstructions.append(Shape("M1", Rect(0.0, 0.0, macro.width, 0.25)))
    m = map_design(tech, design)
    assert m.gridmap.layers == ["M2", "M3"] and m.cell_layers == ["M1"]
    pin = m.access[N2][0]
    assert all(p.cell[2] == 0 and [w.via for w in p.wires] == ["V12"] for p in pin.points)
    x, y = m.gridmap.xs[pin.points[0].cell[0]], m.gridmap.ys[pin.points[0].cell[1]]
    assert (pin.points[0].wires[0].x0, pin.points[0].wires[0].y0) == (x, y)


def test_three_pitches_on_offsets_that_do_not_line_up(tiny):
    """M1 0.2 from 100, M2 0.3 from 150, M3 0.5 from 50: every layer keeps its own tracks,
    a via stands where the two layers' preferred tracks cross, and a route keeps to them."""
    tech, design = tiny
    design = copy.deepcopy(design)
    design.tracks = [Tracks("Y", 100, 24, 200, ["M1"]), Tracks("X", 150, 20, 300, ["M2"]),
                     Tracks("Y", 50, 10, 500, ["M3"])]
    m = map_design(tech, design)
    g, t = m.gridmap, m.tracks
    assert g.xs == list(range(150, 6000, 300))
    assert g.ys == sorted(set(range(100, 4800, 200)) | set(range(50, 5000, 500)))
    rows = {name: [g.ys[i] for i in t.layers[z][3]] for z, name in enumerate(g.layers)}
    assert rows == {"M1": list(range(100, 4800, 200)), "M2": [], "M3": list(range(50, 5000, 500))}
    assert t.layers[1][2] == list(range(len(g.xs)))
    # a route from n2's M1 pins onwards, on the module's grid with the model's rules
    grid = spare_grid(m)
    sets = m.termsets[N2]
    path = grid.box_maze(net=N2, starts=sets[0], goals=sets[2], hard=[], route_shape=[], marker_pos=[], fixed=[],
                         gg_drc=0.0, gg_marker=0.0, gg_fixed=0.0,
                         corridor=[(gx, gy) for gx in range(20) for gy in range(20)], gc=m.gc, use_occ=False)
    assert path
    for (ax, ay, az), (bx, by, bz) in zip(path, path[1:]):
        if az != bz:     # a via: on the preferred tracks of both layers
            assert all((g.xs[ax] in t.xs) and (ay in t.layers[z][3] if not t.layers[z][0] else ax in t.layers[z][2])
                       for z in (az, bz))
        elif ay != by:   # along y on a column the layer runs along
            assert ax in t.layers[az][2]
        else:
            assert ay in t.layers[az][3]


def test_a_pin_above_the_top_layer_names_the_net(tiny):
    tech, design = tiny
    tech = copy.deepcopy(tech)
    tech.macros["BUF"].pins["A"].ports = [Shape("M3", Rect(0.1, 0.5, 0.2, 0.7))]
    with pytest.raises(FlowInputError) as e:
        map_design(tech, design, options=MappingOptions(top_layer="M2"))
    assert e.value.file.endswith("tiny.def") and e.value.line > 0
    assert "n3" in e.value.construct and "c_fe A" in e.value.construct and "M2" in e.value.problem


def _two_layers(cross=None):
    """L1 along x on every row, L2 along y on every column, lines every 100 from 0 to 400:
    what `from_above` sees, and a call of it for net 1; `cross`: the layers' tracks across
    their direction."""
    import numpy as np

    from tovrana_flow.mapping.access import PointUse, from_above
    from tovrana_flow.mapping.claims import FREE
    from tovrana_flow.mapping.rules import LayerRules, Pad
    lines = np.arange(0, 500, 100)
    masks = [(np.zeros(5, bool), np.ones(5, bool)), (np.ones(5, bool), np.zeros(5, bool))]
    use = PointUse(lines, lines, masks, [np.full((5, 5), FREE)] * 2, [np.zeros((5, 5), bool)] * 2, [False, True], cross)
    rules = [LayerRules(name, vertical, 20, 0, Pad(15, 10), [], [(20, 0, 10**9)], [])
             for name, vertical in (("L1", False), ("L2", True))]

    def reach(pin, fixed, variants=None):
        return from_above([pin], 1, use, ["L1", "L2"], rules, fixed, ["V12"], variants=variants)
    return reach


def test_a_pin_no_access_wire_reaches_cleanly_gets_a_via_from_above():
    """A pin between the rows of its layer, under a track of the layer above: the via stands
    inside the pin, on that track, halfway across; a wire along the track joins it to the
    nearest point whose wire and pads keep clear of other nets' metal."""
    from tovrana_flow.design import Wire
    from tovrana_flow.mapping.claims import FixedRects
    reach_pin = _two_layers()
    pin = (0, Rect(180, 130, 220, 170))
    net, other = 1, 2

    def reach(fixed):
        return reach_pin(pin, fixed)

    point = reach({})
    assert point.cell == (2, 1, 1)          # rows 100 and 200 are as near: the lower one
    assert point.wires == [Wire("L2", 200, 100, 200, 150), Wire("L1", 200, 150, 200, 150, via="V12", next_layer="L2")]
    # another net's metal beside the wire down from row 100: the way in from row 200
    point = reach({"L2": FixedRects.of([(215, 90, 260, 120, other, True)])})
    assert point.cell == (2, 2, 1) and point.wires[0] == Wire("L2", 200, 200, 200, 150)
    # another net's metal beside the via's pad on the pin's layer: no way in from above
    assert reach({"L1": FixedRects.of([(225, 140, 260, 160, other, True)])}) is None
    # the net's own metal there is no obstacle
    assert reach({"L1": FixedRects.of([(225, 140, 260, 160, net, True)])}).cell == (2, 1, 1)
    # a row of the pin's layer crossing the pin: the via stands on it, on the grid point
    pin = (0, Rect(180, 80, 220, 170))
    assert reach({}).wires == [Wire("L1", 200, 100, 200, 100, via="V12", next_layer="L2")]


def test_a_pin_between_the_upper_tracks_gets_a_via_with_a_jog_and_the_variant_that_fits():
    """No track of the layer above crosses the pin: the via stands in the pin's middle on a
    row of the pin's layer, and a jog straight across joins it to the nearest track. Of the
    via's variants the first whose pads keep clear is the one written."""
    from tovrana_flow.design import Wire
    from tovrana_flow.mapping.claims import FixedRects
    reach = _two_layers()
    pin = (0, Rect(230, 80, 270, 170))          # between columns 200 and 300, across row 100
    point = reach(pin, {})
    assert point.cell == (2, 1, 1)
    assert point.wires == [Wire("L2", 200, 100, 250, 100), Wire("L1", 250, 100, 250, 100, via="V12", next_layer="L2")]
    # the jog towards column 200 would pass another net's metal: the one towards 300
    point = reach(pin, {"L2": FixedRects.of([(170, 115, 210, 160, 2, True)])})
    assert point.cell == (3, 1, 1) and point.wires[0] == Wire("L2", 300, 100, 250, 100)
    # a wide pad on L1 comes too close to another net's metal beside the pin, an upright one does not
    variants = {"V12": [("V12", {"L1": (-40, -10, 40, 10), "L2": (-10, -15, 10, 15)}),
                        ("V12_V", {"L1": (-10, -40, 10, 40), "L2": (-10, -15, 10, 15)})]}
    beside = {"L1": FixedRects.of([(285, 80, 300, 120, 2, True)])}
    assert reach(pin, beside, variants).wires[-1].via == "V12_V"
    assert reach(pin, {}, variants).wires[-1].via == "V12"


def test_where_the_pin_layer_has_tracks_across_its_direction_the_way_in_runs_on_them():
    """A way into a pin that no row crosses: a via from above stands on the nearest row beside
    the pin, with a leg on the pin's layer straight across to it, rather than halfway across
    off the rows; an access wire's last leg runs on such a track inside the pin rather than
    at its edge."""
    import numpy as np

    from tovrana_flow.design import Wire
    from tovrana_flow.mapping.access import PointUse, access_wire
    from tovrana_flow.mapping.claims import FREE, FixedRects
    from tovrana_flow.mapping.rules import LayerRules, Pad
    lines = np.arange(0, 500, 100)
    reach = _two_layers([lines, lines])
    pin = (0, Rect(180, 130, 220, 170))                 # rows 100 and 200 are as near: the lower one
    via = Wire("L1", 200, 100, 200, 100, via="V12", next_layer="L2")
    assert reach(pin, {}).wires == [via, Wire("L1", 200, 100, 200, 130)]
    # another net's metal beside that leg: the via on row 200, its leg down to the pin
    point = reach(pin, {"L1": FixedRects.of([(215, 95, 240, 118, 2, True)])})
    assert point.wires[1:] == [Wire("L1", 200, 200, 200, 200, via="V12", next_layer="L2"),
                               Wire("L1", 200, 200, 200, 170)]
    # ... and beside that one too: halfway across, off the rows, as without the tracks
    both = FixedRects.of([(215, 95, 240, 118, 2, True), (215, 182, 240, 205, 2, True)])
    assert reach(pin, {"L1": both}).wires[-1] == Wire("L1", 200, 150, 200, 150, via="V12", next_layer="L2")

    # one layer along x with tracks across it at 50, 150, ...: the pin (230..270) holds one
    every = np.ones(5, bool)
    use = PointUse(lines, lines, [(every, every)], [np.full((5, 5), FREE)], [np.zeros((5, 5), bool)], [False],
                   [np.arange(50, 500, 100)])
    rules = LayerRules("L1", False, 20, 0, Pad(15, 10), [], [(20, 0, 10**9)], [])
    point = access_wire([(0, Rect(230, 130, 270, 170))], 1, use, ["L1"], [rules], {}, clear_only=True)
    assert point.cell == (2, 1, 0)
    assert point.wires == [Wire("L1", 200, 100, 250, 100), Wire("L1", 250, 100, 250, 130)]


def test_an_access_wire_keeps_clear_of_the_pads_other_nets_may_put_on_their_points():
    """The grid sees no metal between its points, so an access wire that ends beside a point
    another net owns would meet the via pad that net's route may put there; so would the pad
    of the via its own route takes at the wire's far end."""
    import numpy as np

    from tovrana_flow.mapping.access import PointUse, access_wire, clear_of_pads
    from tovrana_flow.mapping.claims import FREE
    from tovrana_flow.mapping.rules import LayerRules, Pad
    lines = np.arange(0, 1000, 100)
    owners = np.full((10, 10), FREE)
    owners[1, 3] = 2                                   # net 2 owns (300, 100)
    every = np.ones(10, bool)
    use = PointUse(lines, lines, [(every, every)], [owners], [np.zeros((10, 10), bool)], [False])
    rules = LayerRules("L1", False, 20, 0, Pad(30, 10), [], [(40, 0, 10**9)], [])
    wire_to = lambda x: (100 - 10, 90, x + 10, 110)    # along row 100 from x = 100
    assert clear_of_pads(rules, wire_to(210), use, 0, 1)        # 50 short of the pad at 270, spacing 40
    assert not clear_of_pads(rules, wire_to(245), use, 0, 1)    # 15 short of it
    assert clear_of_pads(rules, wire_to(245), use, 0, 2)        # the owner's own wire may
    # a pin just above row 100, near net 2's point: the way in along row 100 would end 35
    # short of its pad; the one down from row 200 keeps clear (without net 2's point, row 100)
    pin = [(0, Rect(225, 110, 235, 140))]
    assert access_wire(pin, 1, use, ["L1"], [rules], {}, clear_only=True).cell == (2, 2, 0)
    owners[1, 3] = FREE
    assert access_wire(pin, 1, use, ["L1"], [rules], {}, clear_only=True).cell == (2, 1, 0)
    # the wire in from (200, 100) keeps clear, but the via the route takes there would not:
    # its pad (160..240) comes 20 short of net 2's (260..340); the way in from (100, 100)
    owners[1, 3] = 2
    wide = LayerRules("L1", False, 20, 0, Pad(40, 10), [], [(40, 0, 10**9)], [])
    pin = [(0, Rect(150, 110, 160, 140))]
    assert clear_of_pads(wide, (150, 90, 210, 110), use, 0, 1)
    assert access_wire(pin, 1, use, ["L1"], [wide], {}, clear_only=True).cell == (1, 1, 0)
    owners[1, 3] = FREE
    assert access_wire(pin, 1, use, ["L1"], [wide], {}, clear_only=True).cell == (2, 1, 0)


def test_a_shape_diagonally_off_a_line_end_is_too_close_within_the_end_of_line_window():
    """The end-of-line window reaches `within` beyond the end's sides: a neighbour a little
    above or below the end, nearer than `space` ahead, breaks the rule although the corner
    spacing lets it pass (as the design-rule check judges it)."""
    import numpy as np

    from tovrana_flow.mapping.rules import LayerRules, Pad
    # spacing 12, end-of-line 18 ahead of edges shorter than 18, within 5
    rules = LayerRules("L1", False, 14, 0, Pad(26, 14), [], [(12, 0, 10**9)], [(18, 18, 5)])
    end = (0, 0, 52, 14)                               # a pad: its ends (14 long) face along x

    def close(s):
        return bool(rules.too_close(*(np.int64(v) for v in end), *(np.array([v]) for v in s))[0])
    assert close((69, 18, 100, 60))                     # 17 ahead, 4 above the end's side
    assert not close((70, 18, 100, 60))                 # 18 ahead: past the window
    assert not close((69, 19, 100, 60))                 # 5 above: beside the window
    assert close((-30, -60, -17, -4))                   # off the other end, below it
    # the fixed shape's own end counts too: a narrow post whose top end faces the pad
    assert close((56, -30, 66, -14))                    # 14 below, 4 right of the post's end: window
    assert not close((10, -40, 40, -12))                # wide (30) bottom neighbour 12 away: spacing 12 kept


def test_a_via_may_land_where_one_variant_of_each_via_keeps_clear():
    """The writer picks a via variant whose pad keeps clear, so a point refuses vias only
    where one of the vias landing on the layer (from below, from above) has no such variant;
    the point refuses vias both ways, so a via above whose pads all meet other metal closes
    the point to the via below too."""
    import numpy as np

    from tovrana_flow.mapping.claims import FixedRects, layer_claims
    from tovrana_flow.mapping.rules import LayerRules, Pad
    lines = np.arange(0, 1000, 100)
    on = np.ones(10, bool)
    rules = LayerRules("L1", False, 20, 0, Pad(60, 20), [], [(30, 0, 10**9)], [])
    post = FixedRects.of([(470, 0, 490, 1000, -1, False)])      # metal of no net from x = 470
    wide, upright, huge = (-60, -20, 60, 20), (-20, -60, 20, 60), (-200, -200, 200, 200)

    def no_via(pads):
        return bool(layer_claims(lines, lines, on, on, rules, post, pads).no_via[5, 4])   # (400, 500)
    assert no_via(None)                                    # the largest pad: 10 from the post, 30 asked
    assert not no_via([[wide, upright]])                   # upright: 50 from it
    assert no_via([[wide, upright], [huge]])               # the via above meets the post whatever it is
    assert no_via([[wide]])


def test_a_pad_on_a_wide_pin_keeps_the_room_the_wide_pin_asks():
    """A via's pad merges with the pin it lands on or overlaps: beside a pin wider than the
    spacing table's second row, or where the two make a shape that wide, the pad must keep that
    row's spacing from other metal too."""
    import numpy as np

    from tovrana_flow.mapping.claims import FixedRects, layer_claims
    from tovrana_flow.mapping.rules import LayerRules, Pad
    lines = np.arange(0, 1000, 100)
    on = np.ones(10, bool)
    table = [(-1, [(-1, 60)]), (100, [(-1, 100)])]     # 60 apart, 100 beside a shape wider than 100
    rules = LayerRules("L1", False, 20, 0, Pad(30, 30), table, [], [])
    for pin_width, refused in ((60, False), (200, True)):
        rects = FixedRects.of([(400 - pin_width // 2, 300, 400 + pin_width // 2, 700, 3, True),   # net 3's pin
                               (510, 400, 530, 600, -1, False)])      # metal of no net, 80 from the pad at 400
        claims = layer_claims(lines, lines, on, on, rules, rects)
        assert claims.owner[5, 4] == 3 and bool(claims.no_via[5, 4]) == refused, pin_width
    # a narrow pin (60) just above the point: the pad (130 x 70) sticks out of it downwards, and
    # pad and pin make a shape 130 by 115, wider than 100, 80 above metal of no net
    rects = FixedRects.of([(200, 520, 800, 580, 3, True), (200, 300, 800, 385, -1, False)])
    wide = (-65, -35, 65, 35)
    assert layer_claims(lines, lines, on, on, rules, rects, [[wide]]).no_via[5, 4]
    rects = FixedRects.of([(200, 520, 800, 580, 3, True), (200, 300, 800, 365, -1, False)])    # 100 away
    assert not layer_claims(lines, lines, on, on, rules, rects, [[wide]]).no_via[5, 4]


def test_fixed_rects_near_finds_what_a_scan_finds_as_rectangles_are_added():
    """`FixedRects.near` looks through an index by left edge, the widest rectangles and those
    added since it was built, and builds anew once many were added: whatever the mix, it must
    find exactly the rectangles that meet the window."""
    import random

    import numpy as np

    from tovrana_flow.mapping.claims import FixedRects

    rnd = random.Random(7)

    def rect():
        x, y = rnd.randrange(0, 5000), rnd.randrange(0, 5000)
        w = rnd.choice([rnd.randrange(0, 60), rnd.randrange(0, 60), rnd.randrange(1000, 5000)])  # a few stripes
        return x, y, x + w, y + rnd.randrange(0, 60), rnd.randrange(-1, 9), rnd.random() < 0.5

    rects = FixedRects.of([rect() for _ in range(600)])
    for step in range(3000):
        if step % 3 == 0:
            rects.add(*rect())
        x0, y0 = rnd.randrange(-100, 5100), rnd.randrange(-100, 5100)
        x1, y1 = x0 + rnd.randrange(0, 300), y0 + rnd.randrange(0, 300)
        want = np.flatnonzero((rects.x0 <= x1) & (rects.x1 >= x0) & (rects.y0 <= y1) & (rects.y1 >= y0))
        assert rects.near(x0, y0, x1, y1).tolist() == want.tolist()
    assert len(rects) == 1600 and rects.owner.dtype == np.int64 and rects.pin.dtype == bool
    assert len(FixedRects.of([]).near(0, 0, 10, 10)) == 0
