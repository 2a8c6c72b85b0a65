"""Grid routes to wires, routed DEF written and read back, the picture."""
import os
import random
import sys

import pytest

from tovrana_flow.check import check_def
from tovrana_flow.design import Rect, Wire
from tovrana_flow.errors import FlowInputError
from tovrana_flow.mapping.gridmap import GridMap
from tovrana_flow.read import read_def, read_lef
from tovrana_flow.output.wires import route_wires
from tovrana_flow.output.def_writer import routed_text, write_routed_def

DATA = os.path.join(os.path.dirname(__file__), "data")
TINY_DEF = os.path.join(DATA, "tiny.def")

# columns at x = 100 + 200 i, rows at y = 100 + 200 j (tiny.def's M1/M2 tracks)
GRID = GridMap(xs=[100 + 200 * i for i in range(30)], ys=[100 + 200 * j for j in range(24)],
               layers=["M1", "M2", "M3"], via_names=["V12", "V23"], dbu_per_micron=1000)


def path_edges(*cells):
    return list(zip(cells, cells[1:]))


def line(a, b):
    """Unit steps from cell a to cell b along one axis."""
    (ax, ay, z), (bx, by, _) = a, b
    if ax != bx:
        s = 1 if bx > ax else -1
        return [((x, ay, z), (x + s, ay, z)) for x in range(ax, bx, s)]
    s = 1 if by > ay else -1
    return [((ax, y, z), (ax, y + s, z)) for y in range(ay, by, s)]


class TestRouteWires:
    def test_straight_run_is_one_wire_whatever_branches_off(self):
        bar = line((0, 5, 0), (6, 5, 0))
        stem = line((3, 5, 0), (3, 9, 0))                     # a T on the bar's middle
        cross = line((5, 2, 0), (5, 8, 0))                    # a cross near its end
        wires = route_wires([], bar + stem + cross, GRID)
        assert wires == [Wire("M1", 1100, 500, 1100, 1700),       # sorted by (y, x) of the start
                         Wire("M1", 100, 1100, 1300, 1100),
                         Wire("M1", 700, 1100, 700, 1900)]

    def test_gap_splits_and_vias_sit_on_the_lower_layer(self):
        edges = line((0, 0, 0), (2, 0, 0)) + line((4, 0, 0), (6, 0, 0)) + [((6, 0, 0), (6, 0, 1)),
                                                                            ((6, 0, 2), (6, 0, 1))]
        assert route_wires([], edges, GRID) == [
            Wire("M1", 100, 100, 500, 100), Wire("M1", 900, 100, 1300, 100),
            Wire("M1", 1300, 100, 1300, 100, via="V12", next_layer="M2"),
            Wire("M2", 1300, 100, 1300, 100, via="V23", next_layer="M3")]

    def test_order_and_repeats_of_edges_do_not_matter(self):
        edges = (line((0, 0, 1), (0, 7, 1)) + line((0, 7, 1), (9, 7, 1)) + [((0, 7, 1), (0, 7, 2))]
                 + line((9, 7, 2), (9, 3, 2)))
        want = route_wires([], edges, GRID)
        rng = random.Random(7)
        for _ in range(5):
            shuffled = [e if rng.random() < 0.5 else e[::-1] for e in edges + edges[:4]]
            rng.shuffle(shuffled)
            assert route_wires([], shuffled, GRID) == want

    def test_cells_alone_make_no_wiring(self):
        assert route_wires([(1, 1, 0), (5, 5, 2)], [], GRID) == []

    def test_edge_between_cells_that_are_not_neighbours(self):
        for bad in [((0, 0, 0), (2, 0, 0)), ((0, 0, 0), (1, 1, 0)), ((0, 0, 0), (0, 0, 2)), ((0, 0, 0), (0, 0, 0))]:
            with pytest.raises(ValueError, match="neighbouring"):
                route_wires([], [bad], GRID)

    def test_edge_off_the_grid_map(self):
        for bad in [((-1, 0, 0), (0, 0, 0)), ((29, 0, 0), (30, 0, 0)), ((0, 24, 1), (0, 23, 1)),
                    ((0, -1, 0), (1, -1, 0)), ((0, 0, 2), (0, 0, 3)), ((3, 3, -1), (3, 3, 0))]:
            with pytest.raises(ValueError, match="leaves the grid map"):
                route_wires([], [bad], GRID)


@pytest.fixture
def tiny(tiny_tech, tiny_design):
    return tiny_tech, tiny_design


def read_text(path):
    with open(path, encoding="utf-8", newline="") as f:
        return f.read()


class TestWriteRoutedDef:
    # n2 from c_fn/Y, M1 (2300 300)-(2400 800), up to M2 and back down to M1 into c_fs/A,
    # M1 (3500 1700)-(3600 1900); its third pin c_e/A is left out
    N2 = [Wire("M1", 2300, 500, 2300, 500, via="V12", next_layer="M2"), Wire("M2", 2300, 500, 2300, 1800),
          Wire("M2", 2300, 1800, 2300, 1800, via="V12", next_layer="M1"), Wire("M1", 2300, 1800, 3500, 1800)]
    N3 = [Wire("M3", 3600, 3000, 5000, 3000, ext0=50), Wire("M2", 4100, 2600, 4100, 2600, patch=True)]

    def test_round_trip_and_nothing_else_changes(self, tiny, tmp_path):
        tech, design = tiny
        out = str(tmp_path / "routed.def")
        write_routed_def(TINY_DEF, out, design, {"n2": self.N2, "n3": self.N3})
        back = read_def(out, tech)
        assert back.nets["n2"].wiring == self.N2
        assert back.nets["n3"].wiring == self.N3
        assert back.nets["n1"].wiring == design.nets["n1"].wiring
        assert back.special_nets["VSS"].wiring == design.special_nets["VSS"].wiring
        # taking the inserted statements out gives the input back, byte for byte
        text = read_text(out)
        for wires in (self.N2, self.N3):
            inserted = routed_text(wires)
            assert text.count(inserted) == 1
            text = text.replace(inserted, "")
        assert text == read_text(TINY_DEF)

    def test_old_wiring_replaced_or_removed(self, tiny, tmp_path):
        tech, design = tiny
        out = str(tmp_path / "routed.def")
        write_routed_def(TINY_DEF, out, design, {"n1": self.N2[1:2]})
        assert read_def(out, tech).nets["n1"].wiring == self.N2[1:2]
        write_routed_def(TINY_DEF, out, design, {"n1": []})
        text = read_text(out)
        assert read_def(out, tech).nets["n1"].wiring == []
        assert "- n1 ( c_n Y ) ( c_s A ) ;" in text

    def test_nets_sharing_a_line_and_crlf_line_ends(self, tiny, tmp_path):
        tech, _ = tiny
        src = read_text(TINY_DEF).replace(" ;\n- n_in", " ; - n_in").replace("\n", "\r\n")
        path = tmp_path / "packed.def"
        path.write_bytes(src.encode())
        design = read_def(str(path), tech)
        out = str(tmp_path / "routed.def")
        write_routed_def(str(path), out, design, {"n_in": self.N2, "n2": self.N3})
        back = read_def(out, tech)
        assert (back.nets["n_in"].wiring, back.nets["n2"].wiring) == (self.N2, self.N3)
        raw = open(out, "rb").read()
        assert raw.count(b"\n") == raw.count(b"\r\n")

    def test_read_back_by_the_checker(self, tiny, tmp_path):
        """n1 keeps its wiring; n2's hand route reaches two of its three pins."""
        tech, design = tiny
        out = str(tmp_path / "routed.def")
        write_routed_def(TINY_DEF, out, design, {"n2": self.N2})
        r = check_def(tech, read_def(out, tech))
        assert r.open_nets == ["n2", "n_in", "n3"]
        assert (r.opens, r.shorts, r.pin_shorts) == (4, 0, 0)

    def test_failures_leave_the_output_as_it_was(self, tiny, tmp_path):
        _, design = tiny
        out = tmp_path / "routed.def"
        out.write_text("old contents")
        with pytest.raises(FlowInputError, match="nope") as e:
            write_routed_def(TINY_DEF, str(out), design, {"n2": self.N2, "nope": []})
        assert e.value.file == TINY_DEF and e.value.line > 0
        with pytest.raises(ValueError, match="horizontal or vertical"):
            write_routed_def(TINY_DEF, str(out), design, {"n2": [Wire("M1", 0, 0, 10, 10)]})
        assert out.read_text() == "old contents"
        assert os.listdir(tmp_path) == ["routed.def"]
        missing = str(tmp_path / "no" / "routed.def")
        with pytest.raises(FileNotFoundError) as e:
            write_routed_def(TINY_DEF, missing, design, {})
        assert e.value.filename == missing

    def test_output_mode_as_if_written_in_place(self, tiny, tmp_path):
        _, design = tiny
        out = tmp_path / "routed.def"
        write_routed_def(TINY_DEF, str(out), design, {})
        umask = os.umask(0)
        os.umask(umask)
        assert out.stat().st_mode & 0o777 == 0o666 & ~umask
        out.chmod(0o640)
        write_routed_def(TINY_DEF, str(out), design, {})
        assert out.stat().st_mode & 0o777 == 0o640

    def test_design_from_another_file(self, tiny, tmp_path):
        _, design = tiny
        shifted = tmp_path / "shifted.def"
        shifted.write_text("# one more line\n" + read_text(TINY_DEF))
        with pytest.raises(FlowInputError, match="another DEF"):
            write_routed_def(str(shifted), str(tmp_path / "out.def"), design, {"n3": []})


def test_round_trip_on_ispd18_sample(designs, tmp_path):
    """Every net of the real design wired (pins chained by M2/M3 L-shapes on its tracks),
    written, read back: the same wires, and nothing else of the file changed."""
    folder = designs / "ispd18_sample"
    tech = read_lef([str(folder / "ispd18_sample.input.lef")])
    in_def = str(folder / "ispd18_sample.input.def")
    design = read_def(in_def, tech)
    x_tracks = next(t for t in design.tracks if t.axis == "X" and "Metal2" in t.layers)
    y_tracks = next(t for t in design.tracks if t.axis == "Y" and "Metal1" in t.layers)
    grid = GridMap([x_tracks.start + k * x_tracks.step for k in range(x_tracks.count)],
                   [y_tracks.start + k * y_tracks.step for k in range(y_tracks.count)],
                   ["Metal1", "Metal2", "Metal3"], ["VIA12_1C", "VIA23_1C"], design.dbu_per_micron)
    rng = random.Random(3)
    wiring = {}
    for name in design.nets:
        ends = sorted((rng.randrange(len(grid.xs)), rng.randrange(len(grid.ys))) for _ in range(3))
        edges = []
        for (ax, ay), (bx, by) in zip(ends, ends[1:]):
            edges += [((ax, ay, 0), (ax, ay, 1))] + line((ax, ay, 1), (ax, by, 1)) + [((ax, by, 1), (ax, by, 2))]
            edges += line((ax, by, 2), (bx, by, 2)) + [((bx, by, 2), (bx, by, 1)), ((bx, by, 1), (bx, by, 0))]
        wiring[name] = route_wires([], edges, grid)
    out = str(tmp_path / "routed.def")
    write_routed_def(in_def, out, design, wiring)
    back = read_def(out, tech)
    assert {name: net.wiring for name, net in back.nets.items()} == wiring
    text = read_text(out)
    for wires in wiring.values():
        text = text.replace(routed_text(wires), "", 1)
    assert text == read_text(in_def)


class TestPicture:
    def test_png_of_both_panels(self, tiny, tmp_path):
        pytest.importorskip("matplotlib")
        from tovrana_flow.output.pictures import draw_routed
        tech, design = tiny
        out = tmp_path / "routed.png"
        window = draw_routed(tech, design, str(out))
        assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        die = design.die
        assert die.x0 <= window.x0 < window.x1 <= die.x1 and die.y0 <= window.y0 < window.y1 <= die.y1
        # n1's wiring (x 700..1700, y 500..1000) is all the regular wiring there is
        assert window.x0 <= 1700 and window.x1 >= 700 and window.y0 <= 1000 and window.y1 >= 500
        given = Rect(0, 0, 3000, 2400)
        assert draw_routed(tech, design, str(out), given) == given

    def test_violation_markers_outlined_in_red_in_both_panels(self, tiny, tmp_path):
        pytest.importorskip("matplotlib")
        from matplotlib.image import imread
        from tovrana_flow.check.drc import Marker
        from tovrana_flow.output.pictures import draw_routed
        tech, design = tiny
        clean, marked = tmp_path / "clean.png", tmp_path / "marked.png"
        window = Rect(0, 0, 3000, 2400)
        draw_routed(tech, design, str(clean), window)
        draw_routed(tech, design, str(marked), window, markers=[Marker("short", "M1", (1000, 900, 1400, 1300), ("a", "b"), "short")])

        def red(path):
            image = imread(str(path))[..., :3]
            image = image[image.shape[0] // 8:]            # the panels, below the legend
            is_red = (image[..., 0] > 0.9) & (image[..., 1] < 0.2) & (image[..., 2] < 0.2)
            half = image.shape[1] // 2
            return is_red[:, :half].sum(), is_red[:, half:].sum()

        assert red(clean) == (0, 0)
        left, right = red(marked)
        assert left > 0 and right > 0

    def test_without_matplotlib_a_clear_message(self, tiny, tmp_path, monkeypatch):
        from tovrana_flow.output.pictures import draw_routed
        for name in [m for m in sys.modules if m == "matplotlib" or m.startswith("matplotlib.")]:
            monkeypatch.delitem(sys.modules, name)
        monkeypatch.setitem(sys.modules, "matplotlib", None)
        with pytest.raises(ImportError, match=r"tovrana\[flow\]"):
            draw_routed(*tiny, str(tmp_path / "x.png"))


class TestMinAreaPatches:
    """A stacked via leaves a bare pad on the middle layer: the writer patches it up to the
    layer's minimum area, along the layer's tracks, and never over another net's metal."""

    XS = YS = list(range(0, 2000, 200))

    @staticmethod
    def rules(min_area):
        from tovrana_flow.mapping.rules import LayerRules, Pad
        return [LayerRules(f"M{z + 1}", vertical=z % 2 == 1, width=60, min_area=min_area, pad=Pad(40, 40),
                           spacing_rows=[], plain=[(60, 0, 10**9)], eol=[]) for z in range(3)]

    @staticmethod
    def stacked(x, y):
        from tovrana_flow.grid_routes import Route
        cells = [(x, y, 0), (x, y, 1), (x, y, 2)]
        return Route(cells, [(cells[0], cells[1]), (cells[1], cells[2])])

    def patches(self, routes, min_area=20000):
        from tovrana_flow.output.min_area import min_area_patches
        return min_area_patches(routes, {}, self.XS, self.YS, self.rules(min_area), ["M1", "M2", "M3"], {})

    def test_bare_pad_grows_along_the_tracks_to_the_minimum_area(self):
        out = self.patches({1: self.stacked(4, 4)})
        # no pin here: every pad of the stack is bare, each grown along its layer's tracks
        assert sorted(p.layer for p in out[1]) == ["M1", "M2", "M3"] and all(p.patch for p in out[1])
        for p in out[1]:
            x0, x1 = sorted((p.x0, p.x1))
            y0, y1 = sorted((p.y0, p.y1))
            assert (x1 - x0) * (y1 - y0) >= 20000
            assert x0 <= 800 - 40 and 800 + 40 <= x1 and y0 <= 800 - 40 and 800 + 40 <= y1
            assert (x1 - x0 == 80) == (p.layer == "M2")          # M2 is vertical: grown along y
        assert self.patches({1: self.stacked(4, 4)}, min_area=80 * 80) == {}   # the pads are enough

    def test_no_patch_where_every_candidate_would_touch_another_net(self):
        from tovrana_flow.grid_routes import Route
        # net 2 runs on M2 right beside the stack, above, below and on both sides of it
        ring = [(x, y, 1) for x in (3, 4, 5) for y in (3, 4, 5) if (x, y) != (4, 4)]
        walls = Route(ring, [((3, y, 1), (3, y + 1, 1)) for y in (3, 4)] + [((5, y, 1), (5, y + 1, 1)) for y in (3, 4)]
                      + [((x, 3, 1), (x + 1, 3, 1)) for x in (3, 4)] + [((x, 5, 1), (x + 1, 5, 1)) for x in (3, 4)])
        out = self.patches({1: self.stacked(4, 4), 2: walls})
        assert all(p.layer != "M2" for p in out.get(1, []))

    def test_a_strip_one_wire_wide_where_a_wider_patch_would_ask_more_room(self):
        """Another net's metal beside the pad on both sides: growing along the tracks runs into
        it, growing across makes the patch wider than the spacing table's second row allows
        there; a strip one wire wide through the pad's middle keeps clear."""
        from tovrana_flow.mapping.claims import FixedRects
        from tovrana_flow.mapping.rules import LayerRules, Pad
        from tovrana_flow.output.min_area import min_area_patches
        rules = self.rules(20000)
        rules[0] = LayerRules("M1", vertical=False, width=60, min_area=20000, pad=Pad(65, 35),
                              spacing_rows=[(0, [(-1, 60)]), (90, [(-1, 150)])], plain=[], eol=[])
        walls = {"M1": FixedRects.of([(600, 700, 655, 900, 2, True), (945, 700, 1000, 900, 2, True)])}
        out = min_area_patches({1: self.stacked(4, 4)}, {}, self.XS, self.YS, rules, ["M1", "M2", "M3"], walls)
        (patch,) = [p for p in out[1] if p.layer == "M1"]
        assert (patch.x0, patch.x1) == (770, 830) and (patch.y1 - patch.y0) * 60 + 130 * 70 - 60 * 70 >= 20000

    def test_a_via_down_onto_a_small_pin_gets_its_pad_patched(self):
        """A pin reached from above: the via's pad on the pin's layer and the pin are the net's
        only metal there, together under the minimum area; the pad counts by the via's own
        shape (its variant)."""
        from tovrana_flow.grid_routes import Route
        from tovrana_flow.mapping.access import AccessPoint
        from tovrana_flow.mapping.claims import FixedRects
        from tovrana_flow.output.min_area import min_area_patches
        from tovrana_flow.output.nearby_metal import union_area
        pin = (760, 770, 840, 830)                       # 80 x 60, net 1's pin on M1
        via = Wire("M1", 800, 800, 800, 800, via="V_V", next_layer="M2")
        access = {1: [AccessPoint((4, 4, 1), [via])]}
        cells = [(4, 4, 1), (4, 5, 1), (4, 6, 1)]      # long enough on M2
        routes = {1: Route(cells, list(zip(cells, cells[1:])))}
        pads = {"V_V": {"M1": (-30, -50, 30, 50), "M2": (-30, -50, 30, 50)}}
        fixed = {"M1": FixedRects.of([(*pin, 1, True)])}
        out = min_area_patches(routes, access, self.XS, self.YS, self.rules(20000), ["M1", "M2", "M3"], fixed,
                               via_pads=pads)
        (patch,) = out[1]
        x0, x1 = sorted((patch.x0, patch.x1))
        y0, y1 = sorted((patch.y0, patch.y1))
        assert patch.layer == "M1" and (y0, y1) == (750, 850)     # the upright pad's height, grown along x
        # with the pad and the pin it makes the minimum area, though it covers part of the pin
        assert x0 < 760 and union_area([(770, 750, 830, 850), pin, (x0, y0, x1, y1)]) >= 20000
        # without the via's pads the writer saw no metal of the net on M1
        assert min_area_patches(routes, access, self.XS, self.YS, self.rules(20000), ["M1", "M2", "M3"], fixed) == {}


def test_wire_ends_inside_the_nets_own_pin_stop_at_its_edge_flush():
    from tovrana_flow.mapping.claims import FixedRects
    from tovrana_flow.output.pin_ends import flush_ends_in_pins, own_pins
    fixed = {"M1": FixedRects.of([(0, 0, 100, 100, 7, True),        # net 7's pin
                                  (300, 0, 400, 100, 8, True),      # net 8's pin
                                  (500, 0, 600, 100, 7, False)])}   # net 7's metal, not a pin
    pins = own_pins(fixed)
    assert pins[7]["M1"] == [(0, 0, 100, 100)] and pins[8]["M1"] == [(300, 0, 400, 100)]
    wires = [Wire("M1", 50, 50, 350, 50), Wire("M1", 550, 50, 700, 50), Wire("M1", 50, 50, 50, 50, via="V12"),
             Wire("M1", 0, 0, 80, 80, patch=True), Wire("M2", 50, 50, 50, 300)]
    out = flush_ends_in_pins(wires, pins[7])
    assert (out[0].ext0, out[0].ext1) == (0, None)      # in its own pin; the other end in net 8's
    assert out[1:] == wires[1:]                         # not a pin; a via; a patch; another layer
    # the end in the pin is pulled back to where the centre line meets the pin's edge
    assert routed_text(out[:1]).strip().startswith("+ ROUTED M1 ( 100 50 0 ) ( 350 * )")
    # two rectangles hold the end: the nearer edge (the shorter wire); a vertical wire alike
    two = {"M1": [(0, 0, 100, 100), (60, 40, 200, 60)]}

    def ends(*wire):
        w = flush_ends_in_pins([Wire("M1", *wire)], two)[0]
        return w.x0, w.y0, w.x1, w.y1
    assert ends(500, 50, 80, 50) == (500, 50, 200, 50)
    assert ends(50, 400, 50, 30) == (50, 400, 50, 100)
    # both ends in pins that meet along the wire, or the other end in the same rectangle: kept whole
    assert ends(20, 50, 150, 50) == (20, 50, 150, 50)
    assert ends(20, 50, 80, 50) == (20, 50, 80, 50)


def test_a_via_too_close_to_another_nets_via_is_written_as_a_variant_that_fits():
    from tovrana_flow.mapping.rules import LayerRules, Pad
    from tovrana_flow.output.via_choice import choose_vias
    rules = [LayerRules(name, vertical=name == "M2", width=60, min_area=0, pad=Pad(130, 70), spacing_rows=[],
                        plain=[(180, 0, 10**9)], eol=[]) for name in ("M1", "M2")]
    cut = (-70, -70, 70, 70)
    variants = {"V": [("V", {"M1": (-130, -70, 130, 70), "C1": cut, "M2": (-70, -130, 70, 130)}),
                      ("V_V", {"M1": (-70, -130, 70, 130), "C1": cut, "M2": (-70, -130, 70, 130)})]}

    def via(x, y):
        return Wire("M1", x, y, x, y, via="V", next_layer="M2")

    # two nets' vias on neighbouring columns of one row: pads 0.14 apart along x where 0.18 is asked
    out = choose_vias({1: [via(0, 0)], 2: [via(400, 0)], 3: [via(5000, 0)]}, variants, rules, ["M1", "M2"], {},
                      reach=400)
    names = {net: wires[0].via for net, wires in out.items()}
    assert names[3] == "V"                                    # alone: as the grid placed it
    m1 = {net: variants["V"][[n for n, _ in variants["V"]].index(name)][1]["M1"] for net, name in names.items()}
    gap = (400 + m1[2][0]) - m1[1][2]
    assert gap >= 180 and "V_V" in names.values()
    assert [(out[n][0].x0, out[n][0].y0) for n in (1, 2, 3)] == [(0, 0), (400, 0), (5000, 0)]   # only names change

    # a via onto its net's own narrow upright pin takes the variant that bulges least beyond
    # it, although the first one keeps clear too: merged with the pin, the wide pad would make
    # a shape as wide as the spacing table's wider rows; off any pin the first one stays
    from tovrana_flow.mapping.claims import FixedRects
    pin = FixedRects.of([(-80, -200, 80, 200, 4, True)])
    out = choose_vias({4: [via(0, 0)], 5: [via(3000, 0)]}, variants, rules, ["M1", "M2"], {"M1": pin}, reach=400)
    assert [out[4][0].via, out[5][0].via] == ["V_V", "V"]


def test_vias_of_neighbouring_pins_take_variants_that_make_room_for_each_other():
    """Two vias a row apart on one column (pads end to end on the upright layer) and a third
    beside the upper one on its row: no via alone has a variant that keeps clear of the
    others' pads, but together they have (both lower pads turned across, the third upright)."""
    from itertools import combinations

    import numpy as np

    from tovrana_flow.mapping.rules import LayerRules, Pad
    from tovrana_flow.output.via_choice import choose_vias
    m1 = LayerRules("M1", False, 60, 0, Pad(130, 70), [], [(120, 0, 10**9)], [(180, 180, 50)])
    m2 = LayerRules("M2", True, 70, 0, Pad(130, 130), [], [(140, 0, 10**9)], [(200, 200, 70)])
    cut = (-70, -70, 70, 70)
    wide, upright = (-130, -70, 130, 70), (-70, -130, 70, 130)
    options = [("V", {"M1": wide, "C1": cut, "M2": upright}), ("V_H", {"M1": wide, "C1": cut, "M2": wide}),
               ("V_V", {"M1": upright, "C1": cut, "M2": upright})]
    at = {1: (0, 0), 2: (0, 380), 3: (400, 380)}
    out = choose_vias({net: [Wire("M1", x, y, x, y, via="V", next_layer="M2")] for net, (x, y) in at.items()},
                      {"V": options}, [m1, m2], ["M1", "M2"], {}, reach=800)
    pads = {net: dict(options)[out[net][0].via] for net in at}
    for a, b in combinations(at, 2):
        for layer, rules in (("M1", m1), ("M2", m2)):
            pa = [v + d for v, d in zip(pads[a][layer], at[a] * 2)]
            pb = [v + d for v, d in zip(pads[b][layer], at[b] * 2)]
            assert not rules.too_close(*pa, *(np.array([v]) for v in pb))[0], (a, b, layer, out)


def test_steps_inside_the_nets_own_pin_are_left_out_and_counted_as_the_pin():
    """A step along a row inside one rectangle of the net's pin adds no connection; written,
    a row off the pin's middle would stick out of its side. The writer leaves it out, and the
    min-area step counts the pin rectangle in its place."""
    from tovrana_flow.grid_routes import Route
    from tovrana_flow.mapping.rules import LayerRules, Pad
    from tovrana_flow.output.min_area import _shapes
    from tovrana_flow.output.pin_ends import steps_outside_pins
    xs, ys = [0, 100, 200, 300], [0, 100]
    a, b, c, v = (0, 0, 0), (1, 0, 0), (2, 0, 0), (2, 0, 1)
    edges = [(a, b), (b, c), (c, v)]
    pin = (-10, -40, 150, 20)                 # holds a and b, not c
    assert steps_outside_pins(edges, xs, ys, ["M1", "M2"], {"M1": [pin]}) == [(b, c), (c, v)]
    assert steps_outside_pins(edges, xs, ys, ["M1", "M2"], {}) == edges
    rules = [LayerRules(n, n == "M2", 20, 0, Pad(15, 15), [], [(20, 0, 10**9)], []) for n in ("M1", "M2")]
    shapes = _shapes(Route([a, b, c, v], edges), (), xs, ys, rules, {"M1": 0, "M2": 1}, {}, {}, {0: [pin]})
    assert (pin, [a, b]) in shapes[0] and ((90, -10, 210, 10), [b, c]) in shapes[0]


def test_packed_rows_keep_their_order_across_chunks(monkeypatch):
    import numpy as np

    from tovrana_flow import packed_rows
    monkeypatch.setattr(packed_rows, "CHUNK", 3)
    rows = packed_rows.PackedRows(2)
    assert rows.array().shape == (0, 2)
    for k in range(7):
        rows.append((k, -k))
    assert rows.array().tolist() == [[k, -k] for k in range(7)]
    assert rows.array().dtype == np.int64


def test_packed_metal_finds_every_other_nets_rectangle_near_a_patch():
    """The packed look-up (short rectangles in buckets, long wires apart, rectangles at
    negative coordinates and exactly at the look-up's reach) against a plain scan."""
    from hypothesis import given, settings, strategies as st

    from tovrana_flow.output.nearby_metal import PackedMetal

    coord = st.integers(-1000, 1000)
    size = st.one_of(st.integers(0, 350), st.integers(0, 2500))
    rect = st.tuples(coord, coord, size, size).map(lambda r: (r[0], r[1], r[0] + r[2], r[1] + r[3]))

    @settings(max_examples=150, deadline=None)
    @given(st.lists(st.tuples(rect, st.integers(0, 3)), min_size=1, max_size=80),
           st.lists(rect, min_size=1, max_size=8), st.integers(0, 400), st.sampled_from([1, 50, 300]))
    def check(metal, queries, reach, long):
        packed = PackedMetal(long)
        for r, net in metal:
            packed.add(0, r, net)
        packed.pack()
        for q in queries:
            want = {r for r, n in metal if n != 1 and r[0] <= q[2] + reach and r[2] >= q[0] - reach
                    and r[1] <= q[3] + reach and r[3] >= q[1] - reach}
            assert packed.near(0, q, reach, 1) == want
            assert packed.near(1, q, reach, 1) == set()
        # a rectangle off the database grid (half units) finds what the plain scan finds
        q = tuple(v + 0.5 for v in queries[0])
        assert packed.near(0, q, reach, 1) == {r for r, n in metal if n != 1 and r[0] <= q[2] + reach and
                                               r[2] >= q[0] - reach and r[1] <= q[3] + reach and r[3] >= q[1] - reach}
    check()
