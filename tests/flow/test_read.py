"""The read stage on the tiny hand-written pair, on the ISPD-2018 designs, and on bad input."""
import random
import re
import time
from pathlib import Path

import pytest

from tovrana_flow.design import Rect, Shape, Wire
from tovrana_flow.errors import FlowInputError
from tovrana_flow.read import read_def, read_guides, read_lef
from tovrana_flow.read.geometry import polygon_rects

DATA = Path(__file__).parent / "data"
TINY_LEF = (DATA / "tiny.lef").read_text()
TINY_DEF = (DATA / "tiny.def").read_text()


# ---------------------------------------------------------------- the tiny pair

def test_tiny_lef_layers_keep_what_routing_needs(tiny_tech):
    assert tiny_tech.dbu_per_micron == 1000 and tiny_tech.manufacturing_grid == 0.005
    assert [(l.name, l.kind, l.index) for l in tiny_tech.layers] == [
        ("M1", "ROUTING", 0), ("V1", "CUT", 1), ("M2", "ROUTING", 2), ("V2", "CUT", 3), ("M3", "ROUTING", 4)]
    m1, m2, m3 = tiny_tech.routing_layers()
    assert [l.direction for l in (m1, m2, m3)] == ["HORIZONTAL", "VERTICAL", "HORIZONTAL"]
    assert (m1.pitch, m2.pitch, m3.pitch) == (0.2, 0.2, 0.4)      # M2 gives PITCH as x and y
    assert (m3.offset, m3.width) == (0.2, 0.2)
    # The smallest plain SPACING, not the end-of-line or RANGE spacing written beside it ...
    assert (m1.spacing, m3.spacing) == (0.1, 0.2)
    # ... and the first table entry when there is only a parallel-run-length table.
    assert m2.spacing == 0.1
    assert m2.spacing_table.lengths == [0.0, 0.5] and m2.spacing_table.widths == [0.0, 0.3]
    assert m2.spacing_table.spacings == [[0.1, 0.1], [0.1, 0.2]]
    assert tiny_tech.layer("V1").spacing == 0.1


def test_tiny_lef_vias_sites_and_macros(tiny_tech):
    v12 = tiny_tech.vias["V12"]
    assert v12.default and [s.layer for s in v12.shapes] == ["M1", "V1", "M2"]
    assert v12.shapes[0].rect == Rect(-0.075, -0.05, 0.075, 0.05)
    site = tiny_tech.sites["core"]
    assert (site.width, site.height) == (0.2, 1.2)
    assert sorted(tiny_tech.macros) == ["BUF", "INV", "NAND2"]
    inv = tiny_tech.macros["INV"]
    assert (inv.width, inv.height, inv.origin, inv.macro_class) == (0.6, 1.2, (0.0, 0.0), "CORE")
    assert inv.pins["Y"].ports == [Shape("M1", Rect(0.4, 0.3, 0.5, 0.9))]
    assert (inv.pins["A"].direction, inv.pins["A"].use) == ("INPUT", "SIGNAL")
    nand = tiny_tech.macros["NAND2"]
    # The L-shaped polygon becomes rectangles covering exactly its area.
    assert nand.pins["Y"].ports == [Shape("M1", Rect(0.6, 0.3, 0.7, 0.8)), Shape("M1", Rect(0.5, 0.8, 0.7, 0.9))]
    assert nand.obstructions == [Shape("M1", Rect(0.3, 0.0, 0.5, 0.2))]


def test_tiny_def_floorplan(tiny_design):
    d = tiny_design
    assert (d.name, d.dbu_per_micron, d.die) == ("tiny", 1000, Rect(0, 0, 6000, 4800))
    assert [(r.name, r.y, r.orient, r.num_x, r.step_x) for r in d.rows] == [
        ("row0", 0, "N", 30, 200), ("row1", 1200, "FS", 30, 200),
        ("row2", 2400, "N", 30, 200), ("row3", 3600, "FS", 30, 200)]
    assert [(t.axis, t.start, t.count, t.step, t.layers) for t in d.tracks[:2]] == [
        ("Y", 100, 24, 200, ["M1"]), ("X", 100, 30, 200, ["M1"])]
    assert {layer for t in d.tracks for layer in t.layers} == {"M1", "M2", "M3"}
    assert [(g.axis, g.start, g.count, g.step) for g in d.gcell_grid] == [("X", 0, 4, 2000), ("Y", 0, 3, 2400)]
    assert [(b.kind, b.layer, b.rects) for b in d.blockages] == [
        ("LAYER", "M2", [Rect(4000, 3600, 4400, 4800)]), ("PLACEMENT", None, [Rect(0, 3600, 1000, 4800)])]


def test_tiny_def_components_pins_and_nets(tiny_design):
    d = tiny_design
    assert {c.orient for c in d.components.values()} == {"N", "S", "E", "W", "FN", "FS", "FE", "FW"}
    fs, fe = d.components["c_fs"], d.components["c_fe"]
    assert (fs.macro, fs.status, fs.x, fs.y, fs.orient) == ("NAND2", "PLACED", 3400, 1200, "FS")
    assert (fe.status, fe.orient) == ("FIXED", "FE")
    pin = d.pins["in1"]
    assert (pin.net, pin.direction, pin.status, pin.x, pin.y, pin.orient) == ("n_in", "INPUT", "PLACED", 3100, 0, "N")
    assert pin.shapes == [Shape("M2", Rect(-50, 0, 50, 200))]
    assert list(d.nets) == ["n1", "n2", "n_in", "n3"]
    assert d.nets["n_in"].pins == [("PIN", "in1"), ("c_fn", "A")] and d.nets["n_in"].use == "SIGNAL"
    assert d.nets["n2"].wiring == []
    n1 = d.nets["n1"]
    assert (n1.line, n1.end_line) == (line_of(TINY_DEF, "- n1"), line_of(TINY_DEF, "NEW M1"))


def test_tiny_def_routed_wiring_reads_back_exactly(tiny_design):
    # + ROUTED M1 ( 700 500 ) V12 ( * 1000 ) V23 ( 1700 * 50 ) V23 ( * 500 ) V12 NEW M1 ( 1600 500 ) ( 1700 500 )
    assert tiny_design.nets["n1"].wiring == [
        Wire("M1", 700, 500, 700, 500, via="V12", next_layer="M2"),
        Wire("M2", 700, 500, 700, 1000),
        Wire("M2", 700, 1000, 700, 1000, via="V23", next_layer="M3"),
        Wire("M3", 700, 1000, 1700, 1000, ext1=50),
        Wire("M3", 1700, 1000, 1700, 1000, via="V23", next_layer="M2"),
        Wire("M2", 1700, 1000, 1700, 500),          # the extension stays with the M3 wire
        Wire("M2", 1700, 500, 1700, 500, via="V12", next_layer="M1"),
        Wire("M1", 1600, 500, 1700, 500),
    ]
    assert tiny_design.special_nets["VSS"].wiring == [
        Wire("M1", 0, 1200, 6000, 1200, width=120, shape="FOLLOWPIN"),
        Wire("M3", 0, 4400, 6000, 4400, width=400, shape="STRIPE"),
    ]


def test_less_common_def_forms(tmp_path, tiny_tech):
    text = TINY_DEF.replace("END DESIGN", """
PROPERTYDEFINITIONS
  COMPONENTPIN designRuleWidth REAL ;
END PROPERTYDEFINITIONS
REGIONS 1 ;
- r1 ( 0 0 ) ( 100 100 ) + TYPE FENCE ;
END REGIONS
END DESIGN""").replace("DIEAREA ( 0 0 ) ( 6000 4800 )", "DIEAREA ( 0 0 ) ( 6000 0 ) ( 6000 4800 ) ( 0 4800 )").replace(
        "TRACKS X 100 DO 30 STEP 200 LAYER M3 ;", "TRACKS X 100 DO 30 STEP 200 LAYER M3 ;\n"
        "TRACKS Y 200 DO 12 STEP 400 MASK 2 SAMEMASK LAYER M3 ;").replace(
        "+ LAYER M2 ( -50 0 ) ( 50 200 )\n  + PLACED ( 3100 0 ) N ;",
        "+ PORT + LAYER M2 ( -50 0 ) ( 50 200 ) + PLACED ( 3100 0 ) N\n"
        "  + PORT + LAYER M3 ( -100 0 ) ( 100 200 ) + FIXED ( 5900 4800 ) S ;").replace(
        "( 6000 * ) ;", "( 6000 * ) NEW M3 400 ( 0 4400 ) V23 DO 2 BY 1 STEP 400 0\n"
        "  + SHIELD n2 M2 100 ( 100 0 ) ( * 200 ) ;").replace("BLOCKAGES 2 ;", """VIAS 1 ;
- V12G + VIARULE GEN12 + CUTSIZE 100 100 + LAYERS M1 V1 M2 + CUTSPACING 100 100
  + ENCLOSURE 50 0 0 50 + ROWCOL 1 2 ;
END VIAS

BLOCKAGES 3 ;
- LAYER M1 + SPACING 50 POLYGON ( 0 0 ) ( 400 0 ) ( 400 200 ) ( 200 200 ) ( 200 400 ) ( 0 400 ) ;""").replace(
        "- VSS + USE GROUND", "- VSS ( * VSS ) + USE GROUND + RECT M2 ( 0 0 ) ( 100 100 ) + VIA V12G ( 300 300 )")
    text = text.replace("( c_w Y ) ( c_fe A ) ( c_fw Y ) ;", """( c_w Y ) ( c_fe A + SYNTHESIZED ) ( c_fw Y )
  + ROUTED M2 ( 100 100 ) ( * 300 ) RECT ( -50 0 50 20 ) V12G VIRTUAL ( 500 300 ) ( 900 * ) + SOURCE NETLIST ;""")
    design = read_def(write(tmp_path, "forms.def", text), tiny_tech)
    via = design.vias["V12G"]
    assert [s for s in via.shapes if s.layer == "V1"] == [Shape("V1", Rect(-150, -50, -50, 50)),
                                                        Shape("V1", Rect(50, -50, 150, 50))]
    assert [s for s in via.shapes if s.layer != "V1"] == [Shape("M1", Rect(-200, -50, 200, 50)),
                                                        Shape("M2", Rect(-150, -100, 150, 100))]
    assert design.blockages[0].rects == [Rect(0, 0, 400, 200), Rect(0, 200, 200, 400)]
    assert design.nets["n3"].pins[1] == ("c_fe", "A")
    assert design.nets["n3"].wiring == [
        Wire("M2", 100, 100, 100, 300),
        Wire("M2", 50, 300, 150, 320, patch=True),
        Wire("M2", 100, 300, 100, 300, via="V12G", next_layer="M1"),
        Wire("M1", 500, 300, 900, 300),              # no wire to the virtual point
    ]
    assert design.special_nets["VSS"].wiring[:2] == [Wire("M2", 0, 0, 100, 100, patch=True),
                                                     Wire("M1", 300, 300, 300, 300, via="V12G", next_layer="M2")]
    assert design.special_nets["VSS"].wiring[-3:] == [     # a via array, and shield wiring
        Wire("M3", 0, 4400, 0, 4400, via="V23", next_layer="M2"),
        Wire("M3", 400, 4400, 400, 4400, via="V23", next_layer="M2"),
        Wire("M2", 100, 0, 100, 200, width=100)]
    assert design.die == Rect(0, 0, 6000, 4800)
    assert (design.tracks[-1].step, design.tracks[-1].layers) == (400, ["M3"])
    pin = design.pins["in1"]
    assert [(p.status, p.x, p.y, p.orient, p.shapes) for p in pin.ports] == [
        ("PLACED", 3100, 0, "N", [Shape("M2", Rect(-50, 0, 50, 200))]),
        ("FIXED", 5900, 4800, "S", [Shape("M3", Rect(-100, 0, 100, 200))])]
    assert (pin.x, pin.shapes) == (3100, pin.ports[0].shapes)


def test_less_common_lef_forms(tmp_path):
    text = TINY_LEF.replace("MANUFACTURINGGRID 0.005 ;", """MANUFACTURINGGRID 0.005 ;
PROPERTYDEFINITIONS
  LAYER LEF58_TYPE STRING ;
END PROPERTYDEFINITIONS""").replace("  AREA 0.02 ;", """  AREA 0.02 ;
  ACCURRENTDENSITY AVERAGE
    FREQUENCY 1 10 ;
    WIDTH 0.1 1 ;
    TABLEENTRIES 1 2 3 4 ;
  SPACINGTABLE TWOWIDTHS WIDTH 0.0 0.1 0.2 WIDTH 0.3 0.2 0.3 ;
  PROPERTY LEF58_TYPE "END M1 ; WIDTH 9 ;" ;""").replace("SITE core\n", """VIA V12R
  VIARULE GEN12 ;
  CUTSIZE 0.1 0.1 ;
  LAYERS M1 V1 M2 ;
  CUTSPACING 0.1 0.1 ;
  ENCLOSURE 0.05 0 0 0.05 ;
  ROWCOL 2 1 ;
END V12R

NONDEFAULTRULE wide
  LAYER M1
    WIDTH 0.2 ;
  END M1
END wide

SITE core
""").replace("""        RECT 0.6 0.3 0.7 0.9 ;
    END
  END Y
END BUF""", """        RECT 0.6 0.3 0.7 0.9 ;
    END
    PORT
      LAYER M2 ;
        WIDTH 0.1 ;
        PATH 0.65 0.3 0.65 0.9 ;
      LAYER M1 ;
        PATH 0.6 0.1 0.7 0.1 ;
      VIA 0.65 0.6 V12 ;
    END
  END Y
  DENSITY
    LAYER M1 ;
      RECT 0 0 0.8 1.2 50 ;
  END
END BUF""")
    tech = read_lef([write(tmp_path, "forms.lef", text)])
    m1 = tech.layer("M1")
    assert (m1.width, m1.spacing, m1.spacing_table) == (0.1, 0.1, None)
    assert microns(tech.vias["V12R"].shapes) == [          # two cuts above each other, enclosed
        ("M1", (-0.1, -0.15, 0.1, 0.15)), ("M2", (-0.05, -0.2, 0.05, 0.2)),
        ("V1", (-0.05, -0.15, 0.05, -0.05)), ("V1", (-0.05, 0.05, 0.05, 0.15))]
    assert microns(tech.macros["BUF"].pins["Y"].ports) == [
        ("M1", (0.6, 0.3, 0.7, 0.9)),
        ("M2", (0.6, 0.25, 0.7, 0.95)), ("M1", (0.55, 0.05, 0.75, 0.15)),   # paths: half a width beyond the ends
        ("M1", (0.575, 0.55, 0.725, 0.65)), ("V1", (0.6, 0.55, 0.7, 0.65)), ("M2", (0.6, 0.525, 0.7, 0.675))]


RULES_LEF = TINY_LEF.replace("""  SPACING 0.1 ;
  AREA 0.02 ;
END M1""", """  SPACING 0.1 ;
  AREA 0.02 ;
  MINWIDTH 0.1 ;
  MINSTEP 0.05 MAXEDGES 1 ;
  SPACING 0.08 SAMENET ;
  MAXWIDTH 5 ;
  PROPERTY LEF58_SPACING "SPACING 0.14 ENDOFLINE 0.11 WITHIN 0.02
      PARALLELEDGE 0.12 WITHIN 0.1 TWOEDGES ;
    SPACING 0.2 ENDOFLINE 0.1 EXACTWIDTH WITHIN 0.05 ;
    SPACING 0.3 RANGE 1.0 2.0 ;" ;
  PROPERTY LEF58_CORNERSPACING "CORNERSPACING CONVEXCORNER EXCEPTEOL 0.1
      WIDTH 0.0 SPACING 0.1 WIDTH 0.2 SPACING 0.15 ;" LEF58_FOO 3 ;
END M1""").replace("""  SPACING 0.1 ;
  WIDTH 0.1 ;
END V1""", """  SPACING 0.1 ;
  SPACING 0.15 ADJACENTCUTS 3 WITHIN 0.2 ;
  SPACING 0.12 CENTERTOCENTER SAMENET ;
  WIDTH 0.1 ;
  PROPERTY LEF58_SPACING "SPACING 0.2 PARALLELOVERLAP ;
    SPACING 0.3 CUTCLASS VA ;" ;
END V1""").replace("""  SPACING 0.3 RANGE 0.5 10.0 ;
END M3""", """  SPACING 0.3 RANGE 0.5 10.0 ;
  PROPERTY LEF58_SPACINGTABLE "
    SPACINGTABLE PARALLELRUNLENGTH 0.0 1.0
      WIDTH 0.0 0.2 0.2
      WIDTH 0.4 0.25 0.3 ;" ;
  PROPERTY LEF58_AREA "AREA 0.08 ;" ;
END M3""")


def test_lef_rules_plain_and_in_multi_line_properties(tmp_path):
    path = write(tmp_path, "rules.lef", RULES_LEF)
    tech = read_lef([path])
    m1, v1, m3 = tech.layer("M1"), tech.layer("V1"), tech.layer("M3")
    assert (m1.min_area, m1.min_width, m1.spacing) == (0.02, 0.1, 0.1)
    assert [(r.value, r.range, r.same_net) for r in m1.spacings] == [(0.1, None, False), (0.08, None, True),
                                                                       (0.3, (1.0, 2.0), False)]
    assert [(s.length, s.max_edges) for s in m1.min_step] == [(0.05, 1)]
    # The plain end-of-line rule, then the LEF58 one with its parallel edges, on the line it starts.
    assert [(e.space, e.width, e.within, e.parallel_space, e.parallel_within, e.two_edges, e.line)
            for e in m1.eol] == [(0.12, 0.12, 0.03, None, None, False, line_of(RULES_LEF, "SPACING 0.12 END")),
                                 (0.14, 0.11, 0.02, 0.12, 0.1, True, line_of(RULES_LEF, '"SPACING 0.14'))]
    corner, = m1.corner_spacing
    assert (corner.widths, corner.spacings, corner.except_eol) == ([0.0, 0.2], [0.1, 0.15], 0.1)
    assert [(c.value, c.adjacent_cuts, c.within, c.center_to_center, c.same_net, c.parallel_overlap, c.plain)
            for c in v1.cut_spacings] == [(0.1, None, None, False, False, False, True),
                                          (0.15, 3, 0.2, False, False, False, False),
                                          (0.12, None, None, True, True, False, True),
                                          (0.2, None, None, False, False, True, False)]
    assert v1.spacing == 0.1            # the plain cut-to-cut spacing
    # A table in a property string, and a LEF58 AREA where the layer has none.
    assert (m3.spacing_table.lengths, m3.spacing_table.widths) == ([0.0, 1.0], [0.0, 0.4])
    assert (m3.spacing_table.spacings, m3.min_area, m3.spacing) == ([[0.2, 0.2], [0.25, 0.3]], 0.08, 0.2)
    # Every rule read past is noted with the line it is on, inside a string too.
    assert tech.notes == [
        f"{path}:{line_of(RULES_LEF, 'MAXWIDTH')}: LAYER M1 MAXWIDTH: skipped (a rule the flow does not use)",
        f"{path}:{line_of(RULES_LEF, 'SPACING 0.2 END')}: LAYER M1 PROPERTY LEF58_SPACING SPACING: "
        "skipped (qualifier 'EXACTWIDTH' of this form is not read)",
        f"{path}:{line_of(RULES_LEF, 'LEF58_FOO')}: LAYER M1 PROPERTY LEF58_FOO: skipped (a property the flow does not use)",
        f"{path}:{line_of(RULES_LEF, 'SPACING 0.3 CUTCLASS')}: LAYER V1 PROPERTY LEF58_SPACING SPACING: "
        "skipped (qualifier 'CUTCLASS' of this form is not read)"]
    # Words after a multi-line string keep their own lines: an error there names the right one.
    bad = RULES_LEF.replace('  PROPERTY LEF58_AREA "AREA 0.08 ;" ;', '  PROPERTY LEF58_AREA "AREA 0.08 ;" ;\n  PITCH x ;')
    with pytest.raises(FlowInputError) as e:
        read_lef([write(tmp_path, "bad.lef", bad)])
    assert (e.value.line, e.value.construct) == (line_of(bad, "PITCH x"), "LAYER M3 PITCH")


def test_lef_pitch_and_offset_on_both_axes(tmp_path, tiny_tech):
    m1, m2, m3 = tiny_tech.routing_layers()
    assert (m1.pitch_xy, m1.offset_xy, m1.track_offset("X")) == ((0.2, 0.2), None, 0.0)
    assert (m3.pitch_xy, m3.offset_xy, m3.track_pitch("Y"), m3.track_offset("Y")) == ((0.4, 0.4), (0.2, 0.2), 0.4, 0.2)
    tech = read_lef([write(tmp_path, "xy.lef", TINY_LEF.replace("  PITCH 0.4 ;\n  OFFSET 0.2 ;", "  PITCH 0.3 0.4 ;\n  OFFSET 0.1 0.2 ;"))])
    m3 = tech.layer("M3")        # horizontal: `pitch` and `offset` are the y values, across its wires
    assert (m3.pitch_xy, m3.offset_xy, m3.pitch, m3.offset) == ((0.3, 0.4), (0.1, 0.2), 0.4, 0.2)


def microns(shapes):
    return [(s.layer, tuple(round(v, 9) for v in (s.rect.x0, s.rect.y0, s.rect.x1, s.rect.y1))) for s in shapes]


def test_routed_wiring_through_lef_vias_needs_the_lef():
    with pytest.raises(FlowInputError) as e:
        read_def(str(DATA / "tiny.def"))
    assert (e.value.line, e.value.construct) == (line_of(TINY_DEF, "+ ROUTED M1 ( 700"), "NETS n1 ROUTED")
    assert "'V12' is not defined in the DEF's VIAS (no LEF given)" in e.value.problem


def test_later_lef_files_add_to_earlier_ones(tmp_path):
    cut = TINY_LEF.index("MACRO INV")
    tech_lef = write(tmp_path, "tech.lef", TINY_LEF[:cut] + "END LIBRARY\n")
    cells_lef = write(tmp_path, "cells.lef", "VERSION 5.8 ;\n" + TINY_LEF[cut:])
    tech = read_lef([tech_lef, cells_lef])
    assert sorted(tech.macros) == ["BUF", "INV", "NAND2"] and len(tech.layers) == 5
    assert tech.files == [tech_lef, cells_lef]
    # A cell library whose units disagree with the technology's is refused.
    other = write(tmp_path, "other.lef", "UNITS DATABASE MICRONS 2000 ; END UNITS\n" + TINY_LEF[cut:])
    with pytest.raises(FlowInputError) as e:
        read_lef([tech_lef, other])
    assert (e.value.file, e.value.line, e.value.construct) == (other, 1, "UNITS DATABASE MICRONS")


def test_guides(tmp_path, tiny_tech):
    path = write(tmp_path, "g.guide", "n1\n(\n0 0 2000 2400 M1\n2000 0 0 2400 M2\n)\nn2\n(\n)\nn1\n(\n0 0 10 10 M3\n)\n")
    guides = read_guides(path, tiny_tech)
    assert [(b.rect, b.layer, b.line) for b in guides["n1"]] == [
        (Rect(0, 0, 2000, 2400), "M1", 3), (Rect(0, 0, 2000, 2400), "M2", 4), (Rect(0, 0, 10, 10), "M3", 11)]
    assert guides["n2"] == []


# ---------------------------------------------------------------- the ISPD-2018 designs

def read_ispd(designs, name):
    folder = designs / name
    tech = read_lef([str(folder / f"{name}.input.lef")])
    return tech, read_def(str(folder / f"{name}.input.def"), tech)


def test_ispd18_sample(designs):
    tech, design = read_ispd(designs, "ispd18_sample")
    assert (len(design.nets), len(design.components), len(tech.routing_layers())) == (11, 22, 9)
    assert design.dbu_per_micron == tech.dbu_per_micron == 2000
    guides = read_guides(str(designs / "ispd18_sample" / "ispd18_sample.input.guide"), tech)
    assert set(guides) == set(design.nets)


def test_ispd18_test1(designs):
    started = time.perf_counter()
    tech, design = read_ispd(designs, "ispd18_test1")
    seconds = time.perf_counter() - started
    assert (len(design.nets), len(design.components), len(tech.routing_layers())) == (3153, 8879, 9)
    assert design.die == Rect(0, 0, 390800, 383040) and len(design.tracks) == 18
    pins = sum(len(n.pins) for n in design.nets.values())
    assert pins > 2 * len(design.nets)
    print(f"ispd18_test1: LEF + DEF read in {seconds:.2f} s")


# ---------------------------------------------------------------- bad input

def line_of(text, needle):
    return text[:text.index(needle)].count("\n") + 1


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def read_tiny(tmp_path, lef=TINY_LEF, def_=TINY_DEF):
    lef_path = write(tmp_path, "tiny.lef", lef)
    tech = read_lef([lef_path])
    return read_def(write(tmp_path, "tiny.def", def_), tech)


END = None    # the error names the file's last line

# (what is wrong, file, old text, new text, text on the line named, construct named, words of the problem)
BAD_INPUTS = [
    ("truncated DEF", "def", "END NETS\n\nEND DESIGN\n", "", END, "NETS", "END NETS"),
    ("truncated LEF", "lef", "  END Y\nEND BUF\n\nEND LIBRARY\n", "", END, "MACRO BUF PIN Y", "END Y"),
    ("missing ';'", "def", "( 200 0 ) N ;", "( 200 0 ) N", "- c_s INV", "COMPONENTS c_n", "found '-'"),
    ("number for a word", "lef", "TYPE CUT ;\n  SPACING 0.1 ;\n  WIDTH 0.1 ;\nEND V1", "TYPE 5 ;\n  SPACING 0.1 ;\n  WIDTH 0.1 ;\nEND V1",
     "TYPE 5", "LAYER V1 TYPE", "found '5'"),
    ("word for a number", "lef", "RECT 0.4 0.3 0.5 0.9", "RECT 0.4 0.3 0.5 top", "RECT 0.4 0.3 0.5 top",
     "MACRO INV PIN Y PORT RECT", "found 'top'"),
    ("word for a number in DEF", "def", "( 1200 0 ) S", "( 1200 y ) S", "- c_s INV", "COMPONENTS c_s PLACED", "found 'y'"),
    ("unknown macro", "def", "- c_w INV", "- c_w INVX", "- c_w INVX", "COMPONENTS c_w", "'INVX' is not defined"),
    ("pin without port", "lef", "    PORT\n      LAYER M1 ;\n        RECT 0.6 0.3 0.7 0.9 ;\n    END\n", "",
     "PIN Y\n    DIRECTION OUTPUT ;\n    USE SIGNAL ;\n  END Y\nEND BUF", "MACRO BUF PIN Y", "no PORT"),
    ("missing component", "def", "( c_fs A )", "( c_zz A )", "( c_zz A )", "NETS n2", "'c_zz'"),
    ("pin the macro lacks", "def", "( c_fw Y )", "( c_fw Q )", "( c_fw Q )", "NETS n3", "no such pin"),
    ("missing IO pin", "def", "( PIN in1 )", "( PIN in2 )", "( PIN in2 )", "NETS n_in", "'in2'"),
    ("IO pin without shapes", "def", "+ LAYER M2 ( -50 0 ) ( 50 200 )", "", "( PIN in1 )", "NETS n_in", "no shape"),
    ("mismatched units", "def", "MICRONS 1000", "MICRONS 2000", "UNITS DISTANCE", "UNITS DISTANCE MICRONS", "2000 differs"),
    ("unknown orientation", "def", "( 4800 2400 ) FW", "( 4800 2400 ) R90", "- c_fw", "COMPONENTS c_fw PLACED", "'R90'"),
    ("unknown layer in a LEF shape", "lef", "LAYER M1 ;\n        RECT 0.4", "LAYER M7 ;\n        RECT 0.4", "LAYER M7",
     "MACRO INV PIN Y PORT LAYER", "'M7'"),
    ("unknown layer in a DEF pin", "def", "+ LAYER M2 ( -50 0 )", "+ LAYER M9 ( -50 0 )", "+ LAYER M9", "PINS in1 LAYER", "'M9'"),
    ("unknown layer in wiring", "def", "NEW M1 ( 1600", "NEW M4 ( 1600", "NEW M4", "NETS n1 ROUTED", "'M4'"),
    ("unknown via in wiring", "def", "( * 500 ) V12", "( * 500 ) V34", "( * 500 ) V34", "NETS n1 ROUTED", "'V34'"),
    ("diagonal wire", "def", "( 1700 * 50 )", "( 1700 1200 50 )", "( 1700 1200 50 )", "NETS n1 ROUTED", "neither"),
    ("via off the wire's layer", "def", "( 1700 * 50 ) V23", "( 1700 * 50 ) V12", "( 1700 * 50 ) V12", "NETS n1 ROUTED",
     "not M3"),
    ("diagonal polygon edge", "lef", "POLYGON 0.6 0.3 0.7 0.3", "POLYGON 0.6 0.2 0.7 0.3", "POLYGON", "MACRO NAND2 PIN Y PORT POLYGON",
     "neither horizontal nor vertical"),
    ("routing layer without pitch", "lef", "  PITCH 0.4 ;\n", "", "LAYER M3", "LAYER M3", "no PITCH"),
    # A string may span lines: one never closed is reported where it opens.
    ("unclosed quote", "lef", 'DIVIDERCHAR "/"', 'DIVIDERCHAR "/', "DIVIDERCHAR", "file", "quoted string"),
]


@pytest.mark.parametrize("case", BAD_INPUTS, ids=[case[0] for case in BAD_INPUTS])
def test_bad_input_names_file_line_and_construct(tmp_path, case):
    _, which, old, new, on_line, construct, problem = case
    lef, def_ = TINY_LEF, TINY_DEF
    if which == "lef":
        assert lef.count(old) == 1
        lef = lef.replace(old, new)
    else:
        assert def_.count(old) == 1
        def_ = def_.replace(old, new)
    with pytest.raises(FlowInputError) as e:
        read_tiny(tmp_path, lef, def_)
    text = lef if which == "lef" else def_
    assert e.value.file == str(tmp_path / f"tiny.{which}")
    expected_line = len(text.rstrip().splitlines()) if on_line is END else line_of(text, on_line)
    assert e.value.line == expected_line, str(e.value)
    assert e.value.construct == construct, str(e.value)
    assert problem in e.value.problem, str(e.value)


def test_bad_guides(tmp_path, tiny_tech):
    for text, line, problem in [("n1\n(\n0 0 10 10 M1\n", 3, "truncated"),
                                ("n1\n(\n0 0 ten 10 M1\n)\n", 3, "found 'ten'"),
                                ("n1\n(\n0 0 10 10 M9\n)\n", 3, "'M9'")]:
        with pytest.raises(FlowInputError) as e:
            read_guides(write(tmp_path, "bad.guide", text), tiny_tech)
        assert (e.value.line, e.value.construct) == (line, "guide n1") and problem in e.value.problem


@pytest.mark.parametrize("which", ["lef", "def"])
def test_every_truncation_is_reported(tmp_path, tiny_tech, which):
    """A file cut anywhere between two words never reads as a smaller design."""
    text = TINY_LEF if which == "lef" else TINY_DEF
    ends = [m.end() for m in re.finditer(r"^[^#\n]*", text, re.MULTILINE) if m.group().strip()]
    cuts = [word.end() for word in re.finditer(r"\S+", text) if word.end() < ends[-1]]
    for cut in cuts:
        if text[text.rfind("\n", 0, cut) + 1] == "#":
            continue                    # a cut inside a comment line cuts no more than the one before it
        path = write(tmp_path, f"cut.{which}", text[:cut])
        with pytest.raises(FlowInputError) as e:
            read_lef([path]) if which == "lef" else read_def(path, tiny_tech)
        assert e.value.file == path and 1 <= e.value.line <= text.count("\n") + 1


@pytest.mark.parametrize("which", ["lef", "def"])
def test_mangled_input_gives_only_input_errors(tmp_path, tiny_tech, which):
    """Words deleted, replaced or inserted at random: a `FlowInputError` or a design, never
    another exception from inside the reader."""
    rng = random.Random(13)
    text = TINY_LEF if which == "lef" else TINY_DEF
    vocabulary = ["(", ")", ";", "+", "-", "*", "END", "0", "-7", "1.5", "X", "M1", "V12", "NEW", "ROUTED",
                  "LAYER", "RECT", "POLYGON", "PORT", "DO", "N", "FS", "PIN", "MASK", "VIRTUAL"]
    for _ in range(150):
        words = text.split(" ")
        for _ in range(rng.randint(1, 3)):
            k = rng.randrange(len(words))
            op = rng.randrange(3)
            if op == 0:
                del words[k]
            elif op == 1:
                words[k] = rng.choice(vocabulary)
            else:
                words.insert(k, rng.choice(vocabulary))
        path = write(tmp_path, f"mangled.{which}", " ".join(words))
        try:
            read_lef([path]) if which == "lef" else read_def(path, tiny_tech)
        except FlowInputError:
            pass


# ---------------------------------------------------------------- polygons

POLYGONS = {
    "rectangle, clockwise": [(0, 0), (0, 4), (6, 4), (6, 0)],
    "with a vertex on an edge": [(0, 0), (3, 0), (6, 0), (6, 4), (0, 4)],
    "U": [(0, 0), (9, 0), (9, 6), (6, 6), (6, 2), (3, 2), (3, 6), (0, 6)],
    "T": [(3, 0), (6, 0), (6, 4), (9, 4), (9, 6), (0, 6), (0, 4), (3, 4)],
    "staircase": [(0, 0), (2, 0), (2, 1), (4, 1), (4, 3), (6, 3), (6, 5), (0, 5)],
}


@pytest.mark.parametrize("name", POLYGONS)
def test_polygon_rects_cover_the_polygon_exactly(name):
    points = POLYGONS[name]
    rects = polygon_rects(points)
    # Same area as the polygon (shoelace), and no two rectangles overlap: together exact.
    area = abs(sum(xa * yb - xb * ya for (xa, ya), (xb, yb) in zip(points, points[1:] + points[:1]))) / 2
    assert sum((r.x1 - r.x0) * (r.y1 - r.y0) for r in rects) == area
    for i, a in enumerate(rects):
        for b in rects[i + 1:]:
            assert min(a.x1, b.x1) <= max(a.x0, b.x0) or min(a.y1, b.y1) <= max(a.y0, b.y0)
    # Slabs of the same span merge: a rectangle is one rectangle, a U three.
    assert len(rects) == {"U": 3, "T": 2, "staircase": 3}.get(name, 1)
