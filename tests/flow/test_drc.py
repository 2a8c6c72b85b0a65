"""The design-rule check on hand-made wiring: one planted fault each, one database unit under
the rule and exactly at it. tiny.lef (1000 units per micron): M1 horizontal, width 0.1,
SPACING 0.1, end of line 0.12 within 0.03 for ends narrower than 0.12, AREA 0.02; M2
vertical, width 0.1, table 0.1, and 0.2 beside shapes wider than 0.3 over runs longer than 0.5;
M3 horizontal, width 0.2, pitch 0.4 offset 0.2, SPACING 0.2 and 0.3 for widths 0.5 to 10;
V1 and V2 cut spacing 0.1; via V12 (M1 pad 0.15 x 0.1, cut 0.1, M2 pad 0.1 x 0.15)."""
from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from tovrana_flow.check.drc import drc_def, drc_file
from tovrana_flow.design import (Blockage, Component, Design, GuideBox, Net, Rect, Shape, Tracks, ViaDef,
                                 Wire)
from tovrana_flow.errors import FlowInputError
from tovrana_flow.read import read_lef

DATA = Path(__file__).parent / "data"
TINY_LEF = (DATA / "tiny.lef").read_text()


def wire(layer, x0, y0, x1, y1, **kw):
    return Wire(layer, x0, y0, x1, y1, **kw)


def via(name, x, y, layers=("M1", "M2")):
    return Wire(layers[0], x, y, x, y, via=name, next_layer=layers[1])


def patch(layer, x0, y0, x1, y1):
    return Wire(layer, x0, y0, x1, y1, patch=True)


def design(nets, special=None, components=(), tracks=(), vias=None, blockages=()):
    """A design of `nets` (name -> wiring, or (connections, wiring)) on an empty 20 x 20 um die."""
    d = Design(name="planted", dbu_per_micron=1000, die=Rect(0, 0, 20000, 20000), file="planted.def")
    d.components = {name: Component(name, macro, "PLACED", x, y, "N") for name, macro, x, y in components}
    for name, value in nets.items():
        conns, wiring = value if isinstance(value, tuple) else ([], value)
        d.nets[name] = Net(name, list(conns), wiring=list(wiring))
    d.special_nets = {name: Net(name, [], wiring=list(w)) for name, w in (special or {}).items()}
    d.tracks = list(tracks)
    d.vias = vias or {}
    d.blockages = list(blockages)
    return d


def counts(report):
    return {k: report.count(k) for k in ("short", "spacing", "eol", "min_area", "cut_spacing")}


CLEAN = {"short": 0, "spacing": 0, "eol": 0, "min_area": 0, "cut_spacing": 0}


def only(**kw):
    return CLEAN | kw


# long wires: far from any end-of-line window and over the minimum area
def long_m1(y, x0=1000, x1=3000):
    return wire("M1", x0, y, x1, y)


class TestShorts:
    def test_wire_over_a_foreign_pin_reports_the_overlap_and_its_area(self, tiny_tech):
        # INV at (0, 0): pin A on M1 (100 500)-(200 700); net b's wire at y = 600 runs through it
        d = design({"a": ([("u1", "A")], []), "b": [wire("M1", -2000, 600, 300, 600)]},
                   components=[("u1", "INV", 0, 0)])
        r = drc_def(tiny_tech, d)
        shorts = [m for m in r.markers if m.kind == "short"]
        assert [(m.layer, m.rect, m.nets, m.area) for m in shorts] == [("M1", (100, 550, 200, 650), ("a", "b"), 10000)]
        assert r.short_area == 10000 and r.short_pairs == 1

    def test_pin_on_no_net_obstruction_and_blockage_are_metal_too(self, tiny_tech):
        # NAND2 at (0, 0): OBS on M1 (300 0)-(500 200); INV u2's pins are on no net; a routing blockage
        d = design({"b": [wire("M1", 0, 100, 600, 100), wire("M1", 2000, 600, 2700, 600),
                          wire("M1", 5000, 5000, 6000, 5000)]},
                   components=[("n1", "NAND2", 0, 0), ("u2", "INV", 2000, 0)],
                   blockages=[Blockage("LAYER", "M1", [Rect(5500, 4900, 5600, 5100)])])
        r = drc_def(tiny_tech, d)
        shorts = sorted((m.rect, m.nets) for m in r.markers if m.kind == "short")
        assert shorts == [((300, 50, 500, 150), ("(no net)", "b")),          # the obstruction
                          ((2100, 550, 2200, 650), ("(no net)", "b")),       # u2/A
                          ((2400, 550, 2500, 650), ("(no net)", "b")),       # u2/Y
                          ((5500, 4950, 5600, 5050), ("(no net)", "b"))]     # the blockage

    def test_overlap_of_two_routed_nets_is_one_short_however_many_pieces_overlap(self, tiny_tech):
        d = design({"a": [long_m1(1000)], "b": [wire("M1", 1500, 1000, 1500, 1400), long_m1(1050, 1400, 1600)]})
        r = drc_def(tiny_tech, d)
        assert counts(r)["short"] == 1
        short, = [m for m in r.markers if m.kind == "short"]
        assert short.nets == ("a", "b") and short.area == 200 * 100 - 0      # b's pieces overlap a's in one piece

    def test_touching_metal_of_two_nets_is_a_short_of_no_area(self, tiny_tech):
        d = design({"a": [long_m1(1000)], "b": [long_m1(1100)]})      # edges at y = 1050 both
        r = drc_def(tiny_tech, d)
        short, = [m for m in r.markers if m.kind == "short"]
        assert (short.area, short.rule, counts(r)["spacing"]) == (0, "short (touching)", 0)

    def test_same_net_overlaps_and_special_wiring_among_itself_are_not_shorts(self, tiny_tech):
        d = design({"a": [long_m1(1000), wire("M1", 2000, 1000, 2000, 2000)]},
                   special={"VSS": [wire("M1", 0, 5000, 9000, 5000, width=200), wire("M1", 100, 5000, 100, 6000, width=200)]})
        assert counts(drc_def(tiny_tech, d))["short"] == 0


class TestSpacing:
    @pytest.mark.parametrize("gap, broken", [(99, 1), (100, 0)])
    def test_plain_spacing_one_unit_under_and_exactly_at(self, tiny_tech, gap, broken):
        # wires 100 wide: centre lines 100 + gap apart
        r = drc_def(tiny_tech, design({"a": [long_m1(1000)], "b": [long_m1(1100 + gap)]}))
        assert counts(r) == only(spacing=broken)
        if broken:
            m, = r.markers
            assert (m.layer, m.nets, m.rule) == ("M1", ("a", "b"), "SPACING 0.1")
            assert m.rect[1] == 1050 and m.rect[3] == 1050 + gap

    @pytest.mark.parametrize("width, run, gap, broken", [
        (400, 1000, 150, 1),     # wider than 0.3, run 1.0 > 0.5: 0.2 asked, 0.15 given
        (400, 1000, 200, 0),     # exactly 0.2
        (400, 500, 150, 0),      # run exactly 0.5: not longer, the first column's 0.1
        (400, 501, 150, 1),
        (300, 1000, 150, 0),     # exactly 0.3 wide: not wider, the first row's 0.1
        (300, 1000, 99, 1),      # ... which still holds
    ])
    def test_table_row_by_width_and_column_by_run_length(self, tiny_tech, width, run, gap, broken):
        wide = patch("M2", 1000 - width, 1000, 1000, 4000)
        x = 1000 + gap + 50
        # b's wire runs beside the wide shape for `run` (its ends are 50 beyond its points)
        b = wire("M2", x, 2000 + 50, x, 2000 + run - 50)
        r = drc_def(tiny_tech, design({"a": [wide], "b": [b]}))
        assert counts(r) == only(spacing=broken)
        if broken:
            assert r.markers[0].rule == ("SPACING 0.1" if gap < 100 else "SPACINGTABLE width > 0.3, run > 0.5: 0.2")

    @pytest.mark.parametrize("width, gap, broken", [(600, 250, 1), (600, 300, 0), (400, 250, 0)])
    def test_range_spacing_by_the_shapes_width(self, tiny_tech, width, gap, broken):
        wide = patch("M3", 1000, 1000, 5000, 1000 + width)
        b = wire("M3", 1000, 1000 + width + gap + 100, 5000, 1000 + width + gap + 100)
        r = drc_def(tiny_tech, design({"a": [wide], "b": [b]}))
        assert counts(r) == only(spacing=broken)

    def test_one_wire_passing_a_stepped_shape_along_several_edges_is_one_violation(self, tiny_tech):
        # a's metal steps up from y = 1100 to 1150 at x = 2000; b's wire runs 0.099 and 0.049 above it
        a = [patch("M1", 1000, 1000, 2000, 1100), patch("M1", 2000, 1000, 3000, 1150)]
        r = drc_def(tiny_tech, design({"a": a, "b": [wire("M1", 500, 1249, 3500, 1249)]}))
        assert counts(r) == only(spacing=1)
        x0, y0, x1, y1 = r.markers[0].rect          # past the corners, as far as they are too close
        assert (y0, y1) == (1100, 1199) and 900 < x0 <= 1000 and 3000 <= x1 < 3100

    def test_fixed_shapes_among_themselves_are_listed_apart(self, tiny_tech):
        # a VSS stripe 0.05 from an obstruction: the input's own, not the router's
        d = design({}, special={"VSS": [wire("M1", 0, -100, 3000, -100, width=100)]},
                   components=[("n1", "NAND2", 0, 0)])
        r = drc_def(tiny_tech, d)
        assert r.clean and counts(r) == CLEAN
        assert [(m.kind, m.nets) for m in r.preexisting] == [("spacing", ("(no net)", "VSS"))]


class TestEndOfLine:
    @pytest.mark.parametrize("gap, broken", [(119, 1), (120, 0)])
    def test_metal_ahead_of_a_line_end(self, tiny_tech, gap, broken):
        # a ends at x = 3000 (its end at 3050); b runs across ahead of it, gap past the end
        # (over the plain 0.1 spacing, under the end-of-line 0.12)
        x = 3050 + gap + 50
        r = drc_def(tiny_tech, design({"a": [long_m1(1000)], "b": [wire("M1", x, 0, x, 4000)]}))
        assert counts(r) == only(eol=broken)
        if broken:
            assert r.markers[0].rule == "SPACING 0.12 ENDOFLINE 0.12 WITHIN 0.03"

    @pytest.mark.parametrize("offset, found", [(129, 2), (130, 0)])
    def test_window_reaches_within_to_the_sides(self, tiny_tech, offset, found):
        # b's end faces a's end 0.11 away, shifted sideways by `offset`: each window reaches
        # 0.05 + 0.03 to the side of its wire's centre, each wire 0.05: they meet under 0.13
        b = wire("M1", 3050 + 110 + 50, 1000 + offset, 5000, 1000 + offset)
        r = drc_def(tiny_tech, design({"a": [long_m1(1000)], "b": [b]}))
        assert counts(r) == only(eol=found)

    def test_parallel_edge_condition_from_a_lef58_string(self, tmp_path, tiny_tech):
        lef = TINY_LEF.replace("  SPACING 0.12 ENDOFLINE 0.12 WITHIN 0.03 ;\n", "").replace("  AREA 0.02 ;\nEND M1", (
            '  AREA 0.02 ;\n  PROPERTY LEF58_SPACING "SPACING 0.12 ENDOFLINE 0.12 WITHIN 0.03\n'
            '    PARALLELEDGE 0.12 WITHIN 0.2 ;" ;\nEND M1'))
        path = tmp_path / "pe.lef"
        path.write_text(lef)
        tech = read_lef([str(path)])
        assert tiny_tech.layer("M1").eol[0].parallel_space is None and tech.layer("M1").eol[0].parallel_space == 0.12
        ahead = wire("M1", 3050 + 110 + 50, 0, 3050 + 110 + 50, 4000)
        beside = wire("M1", 2000, 1000 + 50 + 100 + 50, 2900, 1000 + 50 + 100 + 50)   # 0.1 beside a's end
        nets = {"a": [long_m1(1000)], "b": [ahead]}
        assert counts(drc_def(tech, design(nets)))["eol"] == 0          # no parallel edge: the rule does not apply
        assert counts(drc_def(tiny_tech, design(nets)))["eol"] == 1
        assert counts(drc_def(tech, design(nets | {"c": [beside]})))["eol"] == 1
        # with TWOEDGES, metal on one side is not enough
        path.write_text(lef.replace("WITHIN 0.2 ;", "WITHIN 0.2 TWOEDGES ;"))
        tech = read_lef([str(path)])
        other_side = wire("M1", 2000, 1000 - 200, 2900, 1000 - 200)
        assert counts(drc_def(tech, design(nets | {"c": [beside]})))["eol"] == 0
        assert counts(drc_def(tech, design(nets | {"c": [beside], "d": [other_side]})))["eol"] == 1


class TestMinArea:
    @pytest.mark.parametrize("length, broken", [(90, 1), (100, 0)])
    def test_stub_under_and_exactly_at_the_minimum(self, tiny_tech, length, broken):
        # 0.1 wide, half a width beyond each end: (length + 100) x 100 against 0.02 um2
        r = drc_def(tiny_tech, design({"a": [wire("M1", 1000, 1000, 1000 + length, 1000)]}))
        assert counts(r) == only(min_area=broken)
        if broken:
            assert (r.markers[0].area, r.markers[0].nets) == (19000, ("a",))

    def test_a_pad_on_its_own_pin_is_merged_with_the_pin(self, tiny_tech):
        # u1/Y (0.4 0.3)-(0.5 0.9): a via on it, its M1 pad overlapping the pin; a bare via elsewhere
        d = design({"y": ([("u1", "Y")], [via("V12", 450, 600), wire("M2", 450, 600, 450, 2000)]),
                    "b": [via("V12", 5000, 5000), wire("M2", 5000, 5000, 5000, 6000)]},
                   components=[("u1", "INV", 0, 0)])
        r = drc_def(tiny_tech, d)
        assert [(m.nets, m.layer, m.area) for m in r.markers] == [(("b",), "M1", 15000)]

    def test_layer_without_area_rule_and_pins_alone_are_not_judged(self, tiny_tech):
        d = design({"y": ([("u1", "Y")], [wire("M2", 1000, 1000, 1000, 1050)])}, components=[("u1", "INV", 0, 0)])
        assert counts(drc_def(tiny_tech, d)) == CLEAN


class TestCutSpacing:
    @pytest.mark.parametrize("apart, broken", [(199, 1), (200, 0)])
    def test_two_vias_one_unit_under_and_exactly_at(self, tiny_tech, apart, broken):
        # one net, the pads joined by its wires: only the cuts (0.1 wide, 0.1 apart at 200) can break
        wiring = [via("V12", 1000, 1000), via("V12", 1000 + apart, 1000), wire("M1", 1000, 1000, 1000 + apart, 1000),
                  wire("M2", 1000, 1000, 1000, 3000), wire("M2", 1000 + apart, 1000, 1000 + apart, 3000)]
        r = drc_def(tiny_tech, design({"a": wiring}))
        assert counts(r) == only(cut_spacing=broken)
        if broken:
            assert (r.markers[0].layer, r.markers[0].rect) == ("V1", (950, 950, 1249, 1050))

    def test_cuts_of_one_via_are_excepted(self, tiny_tech):
        # a two-cut via of the DEF's own, its cuts 0.05 apart
        two = ViaDef("V12X", [Shape("M1", Rect(-150, -50, 150, 50)), Shape("V1", Rect(-125, -50, -25, 50)),
                              Shape("V1", Rect(25, -50, 125, 50)), Shape("M2", Rect(-150, -75, 150, 75))])
        wiring = [via("V12X", 1000, 1000), wire("M2", 1000, 1000, 1000, 3000)]
        assert counts(drc_def(tiny_tech, design({"a": wiring}, vias={"V12X": two}))) == CLEAN

    def test_two_vias_on_one_spot_break_the_cut_spacing(self, tiny_tech):
        wiring = [via("V12", 1000, 1000), via("V12", 1000, 1000), wire("M2", 1000, 1000, 1000, 3000),
                  wire("M1", 1000, 1000, 3000, 1000)]
        assert counts(drc_def(tiny_tech, design({"a": wiring}))) == only(cut_spacing=1)


M1_TRACKS = [Tracks("Y", 100, 100, 200, ["M1"]), Tracks("X", 100, 100, 200, ["M1", "M2"]),
             Tracks("Y", 100, 100, 200, ["M2"])]


class TestSoftMeasures:
    def test_wrong_way_follows_each_layers_direction(self, tmp_path, tiny_tech):
        nets = {"a": [wire("M1", 1100, 1100, 1100, 1500), wire("M1", 1100, 1500, 2100, 1500)]}
        r = drc_def(tiny_tech, design(nets, tracks=M1_TRACKS))
        assert (r.soft.total("wrong_way_length"), r.soft.total("wire_length")) == (400, 1400)
        # the same wiring where M1 is vertical
        path = tmp_path / "v.lef"
        path.write_text(TINY_LEF.replace("LAYER M1\n  TYPE ROUTING ;\n  DIRECTION HORIZONTAL", "LAYER M1\n  TYPE ROUTING ;\n  DIRECTION VERTICAL"))
        r = drc_def(read_lef([str(path)]), design(nets, tracks=M1_TRACKS))
        assert r.soft.total("wrong_way_length") == 1000

    def test_off_track_wires_and_vias_by_the_defs_tracks(self, tiny_tech):
        nets = {"a": [wire("M1", 1100, 1100, 2100, 1100),       # on a y track
                      wire("M1", 1100, 1150, 1600, 1150),       # 50 off
                      wire("M1", 1100, 1100, 1100, 1300),       # vertical: on an x track
                      via("V12", 2100, 1100), via("V12", 2150, 1100)]}     # the second off M2's x tracks
        r = drc_def(tiny_tech, design(nets, tracks=M1_TRACKS))
        assert (r.soft.total("off_track_length"), r.soft.total("off_track_vias")) == (500, 1)

    def test_without_def_tracks_the_lefs_pitch_and_offset(self, tiny_tech):
        # M3: pitch 0.4, offset 0.2: horizontal tracks at y = 200 + 400 k
        nets = {"a": [wire("M3", 0, 600, 4000, 600), wire("M3", 0, 800, 1000, 800)]}
        r = drc_def(tiny_tech, design(nets))
        assert r.soft.total("off_track_length") == 1000

    def test_out_of_guide_wire_and_vias_on_either_layer(self, tiny_tech):
        guides = {"a": [GuideBox(Rect(0, 0, 1000, 200), "M1"), GuideBox(Rect(1200, 0, 2000, 200), "M1"),
                        GuideBox(Rect(0, 0, 200, 2000), "M2")]}
        nets = {"a": [wire("M1", 100, 100, 1800, 100),           # 200 of it between the boxes
                      via("V12", 100, 100),                      # inside on both layers
                      via("V12", 1500, 100),                     # inside on M1, outside on M2
                      wire("M2", 100, 100, 100, 2500)]}          # 500 beyond the M2 box
        r = drc_def(tiny_tech, design(nets), guides)
        assert (r.soft.total("out_of_guide_length"), r.soft.total("out_of_guide_vias")) == (700, 1)
        assert drc_def(tiny_tech, design(nets)).soft.guided is False
        # a net the guide file does not name is outside everywhere
        r = drc_def(tiny_tech, design(nets | {"b": [wire("M1", 5000, 5100, 5500, 5100)]}), guides)
        assert r.soft.total("out_of_guide_length") == 1200

    def test_score_weighs_each_term_in_units_of_the_second_layers_pitch(self, tiny_tech):
        # M2 pitch 0.2 um = 200 units. One short, one stub under the minimum area,
        # 400 wrong-way of 1400 wire, one via, every wire off the LEF's tracks (M1: y = 200 k).
        nets = {"a": [wire("M1", 1100, 1100, 1100, 1500), wire("M1", 1100, 1500, 2100, 1500), via("V12", 1100, 1100)],
                "b": [wire("M1", 1050, 1540, 1050, 1540 + 1)]}     # overlaps a's corner by 50 x 60
        r = drc_def(tiny_tech, design(nets))
        s = r.score()
        assert r.unit == 200
        assert s["wire_length"] == 0.5 * 1401 / 200 and s["vias"] == 2
        assert s["wrong_way_length"] == 1 * 401 / 200
        assert s["off_track_length"] == 0.5 * r.soft.total("off_track_length") / 200
        assert r.short_area == 3000 and s["short_area"] == 500 * 3000 / 200 ** 2
        assert s["min_area"] == 500 * r.count("min_area")
        assert s["spacing"] == 500 * (r.count("spacing") + r.count("eol") + r.count("cut_spacing"))
        assert "out_of_guide_length" not in s
        assert s["total"] == pytest.approx(sum(v for k, v in s.items() if k != "total"))


class TestReport:
    def test_bad_wiring_is_a_clear_error(self, tiny_tech):
        with pytest.raises(FlowInputError) as e:
            drc_def(tiny_tech, design({"a": [wire("V1", 0, 0, 100, 0)]}))
        assert "V1" in e.value.problem and e.value.construct == "NETS a"

    def test_coordinates_beyond_the_checks_range_are_a_clear_error(self, tiny_tech):
        with pytest.raises(FlowInputError) as e:
            drc_def(tiny_tech, design({"a": [wire("M1", 0, 0, 2 ** 30, 0)]}))
        assert (e.value.file, e.value.construct) == ("planted.def", "layer M1")

    def test_empty_design_is_clean(self, tiny_tech):
        r = drc_def(tiny_tech, design({}))
        assert r.clean and r.violations == 0 and r.score()["total"] == 0
        assert "violations: 0" in r.summary()

    def test_rules_read_but_not_judged_are_named(self, tmp_path, tiny_tech):
        assert drc_def(tiny_tech, design({})).unjudged == []
        path = tmp_path / "more.lef"
        path.write_text(TINY_LEF.replace("  AREA 0.02 ;\nEND M1", "  AREA 0.02 ;\n  MINSTEP 0.05 ;\nEND M1").replace(
            "  SPACING 0.2 ;\n", "  SPACING 0.2 ;\n  MINSTEP 0.1 ;\n  SPACING 0.15 SAMENET ;\n"))
        r = drc_def(read_lef([str(path)]), design({}))
        assert r.unjudged == ["MINSTEP (M1, M3)", "SPACING SAMENET (M3)"]
        assert "rules read, not judged: MINSTEP (M1, M3), SPACING SAMENET (M3)" in r.summary()

    def test_report_as_json_and_summary(self, tiny_tech):
        r = drc_def(tiny_tech, design({"a": [long_m1(1000)], "b": [long_m1(1199)],
                                       "c": [wire("M1", 5000, 5000, 5090, 5000)]}))
        d = json.loads(json.dumps(r.as_dict()))
        assert d["counts"] == only(spacing=1, min_area=1)
        assert [m["kind"] for m in d["markers"]] == ["spacing", "min_area"]
        assert d["per_layer"]["M1"]["spacing"] == 1 and d["per_layer"]["M2"]["spacing"] == 0
        text = r.summary()
        assert "1 spacing" in text and "1 min area" in text
        assert "spacing on M1 at (950, 1050)-(3050, 1149): a / b [SPACING 0.1]" in text


# ---------------------------------------------------------------- real designs

def test_routed_sample_report_is_consistent_and_planted_faults_add_up(tmp_path):
    from testkit.sample import SAMPLE
    from tovrana_flow import api
    from tovrana_flow.placed_shapes import PlacedShapes
    from tovrana_flow.read import read_def, read_guides
    lef = [str(SAMPLE / "ispd18_sample.input.lef")]
    out = tmp_path / "routed.def"
    api.run(lef, str(SAMPLE / "ispd18_sample.input.def"), str(out))
    tech = read_lef(lef)
    guides = read_guides(str(SAMPLE / "ispd18_sample.input.guide"), tech)
    r = drc_file(tech, str(out), guides)
    kinds = ("short", "spacing", "eol", "min_area", "cut_spacing")
    per_layer = r.per_layer()
    for kind in kinds:
        assert sum(row[kind] for row in per_layer.values()) == r.count(kind)
    assert r.markers == sorted(r.markers, key=lambda m: (kinds.index(m.kind), m.layer, m.rect, m.nets, m.rule))
    design = read_def(str(out), tech)
    assert {n for m in r.markers for n in m.nets} <= set(design.nets) | {"(no net)"}
    assert r.soft.total("vias") == sum(1 for n in design.nets.values() for w in n.wiring if w.via)
    assert r.soft.total("wire_length") == sum(abs(w.x1 - w.x0) + abs(w.y1 - w.y0) for n in design.nets.values()
                                              for w in n.wiring if not w.via and not w.patch)
    first, again = r.as_dict(), drc_file(tech, str(out), guides).as_dict()      # the same again
    del first["seconds"], again["seconds"]
    assert again == first
    # ... and under other hash seeds
    script = ("import json, sys\nfrom tovrana_flow.read import read_lef, read_guides\n"
              "from tovrana_flow.check.drc import drc_file\nt = read_lef([sys.argv[1]])\n"
              "d = drc_file(t, sys.argv[2], read_guides(sys.argv[3], t)).as_dict()\ndel d['seconds']\nprint(json.dumps(d))")
    root = str(Path(__file__).resolve().parents[2])
    for seed in ("1", "2"):
        done = subprocess.run([sys.executable, "-c", script, lef[0], str(out), str(SAMPLE / "ispd18_sample.input.guide")],
                              env=os.environ | {"PYTHONHASHSEED": seed, "PYTHONPATH": root}, capture_output=True,
                              text=True, check=True)
        assert json.loads(done.stdout) == json.loads(json.dumps(first))

    def planted(name, wiring):
        """The routed DEF with `wiring` added to the first net's."""
        text = out.read_text()
        start = text.index(f"- {first}")
        end = text.index(";", text.index("+ ROUTED", start))
        path = tmp_path / name
        path.write_text(text[:end] + wiring + text[end:])
        return drc_file(tech, str(path), guides)

    first, other = list(design.nets)[:2]
    # a bare via far from everything: its two pads under the minimum area, outside the guides
    p = planted("via.def", "\n    NEW Metal2 ( 1000 1000 ) VIA23_1C\n")
    assert counts(p) == counts(r) | {"min_area": r.count("min_area") + 2}
    assert (p.soft.total("vias"), p.soft.total("out_of_guide_vias")) == (r.soft.total("vias") + 1,
                                                                      r.soft.total("out_of_guide_vias") + 1)
    # a Metal1 wire across the middle of another net's pin
    pin = next(c for c in design.nets[other].pins if c[0] != "PIN")
    shape = next(s for s in PlacedShapes(tech, design).pin(*pin) if s.layer == "Metal1")
    y = (shape.rect.y0 + shape.rect.y1) // 2
    p = planted("wire.def", f"\n    NEW Metal1 ( {shape.rect.x0} {y} ) ( {shape.rect.x1} {y} )\n")
    new = set(p.markers) - set(r.markers)
    assert any(m.kind == "short" and m.nets == tuple(sorted((first, other))) for m in new)
    assert p.count("short") == r.count("short") + 1
