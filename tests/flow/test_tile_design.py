"""bench.tile_design: a placed DEF tiled N x N reads back, moved and renamed, and routes."""
from __future__ import annotations

from dataclasses import replace
from pathlib import Path

import pytest

from bench.tile_design import main, tile_design
from testkit.sample import SAMPLE
from tovrana_flow import api
from tovrana_flow.errors import FlowInputError
from tovrana_flow.read import read_def, read_guides, read_lef

DATA = Path(__file__).parent / "data"
LEF = str(SAMPLE / "ispd18_sample.input.lef")


def suffix(i, j):
    return f"__t{i}_{j}"


@pytest.fixture(scope="module")
def tiled_sample(tmp_path_factory):
    out = tmp_path_factory.mktemp("tiled")
    tiling = tile_design(str(SAMPLE / "ispd18_sample.input.def"), 2, str(out / "s2.def"),
                         str(SAMPLE / "ispd18_sample.input.guide"), str(out / "s2.guide"))
    return tiling, out / "s2.def", out / "s2.guide"


def test_sample_2x2_reads_back_with_every_tile_moved(tiled_sample):
    tiling, def_path, guide_path = tiled_sample
    tech = read_lef([LEF])
    before = read_def(str(SAMPLE / "ispd18_sample.input.def"), tech)
    after = read_def(str(def_path), tech)
    assert (len(after.nets), len(after.components), len(after.pins)) == (44, 88, 0)
    # the pitch: the die rounded up to every track step (x 400; y 380, 570 and 760)
    assert tiling.ox == 20800 and tiling.oy == 20520 and tiling.oy % 2280 == 0
    assert (after.die.x1, after.die.y1) == (before.die.x1 + tiling.ox, before.die.y1 + tiling.oy)
    for i in range(2):
        for j in range(2):
            dx, dy = i * tiling.ox, j * tiling.oy
            for net in before.nets.values():
                copy = after.nets[net.name + suffix(i, j)]
                assert copy.pins == [(c + suffix(i, j), p) for c, p in net.pins]
                for c, _ in net.pins:
                    a, b = before.components[c], after.components[c + suffix(i, j)]
                    assert (b.macro, b.x, b.y, b.orient) == (a.macro, a.x + dx, a.y + dy, a.orient)
    # tracks and rows count on across the tiles, on the same lines
    for old, new in zip(before.tracks, after.tracks):
        pitch = tiling.ox if old.axis == "X" else tiling.oy
        assert (new.start, new.step, new.layers) == (old.start, old.step, old.layers)
        assert new.count == old.count + pitch // old.step
    assert len(after.rows) == 2 * len(before.rows)          # each row spans the die: one per tile row
    assert all(r.num_x == 104 for r in after.rows)
    assert {r.y for r in after.rows} == {r.y + dy for r in before.rows for dy in (0, tiling.oy)}


def test_sample_2x2_guides_are_the_originals_moved(tiled_sample):
    tiling, _, guide_path = tiled_sample
    before = read_guides(str(SAMPLE / "ispd18_sample.input.guide"))
    after = read_guides(str(guide_path))
    assert len(after) == 4 * len(before) == 44
    for i in range(2):
        for j in range(2):
            dx, dy = i * tiling.ox, j * tiling.oy
            for net, boxes in before.items():
                moved = [(b.rect.moved(dx, dy), b.layer) for b in boxes]
                assert [(b.rect, b.layer) for b in after[net + suffix(i, j)]] == moved


def test_sample_2x2_routes_without_opens(tiled_sample, tmp_path):
    _, def_path, guide_path = tiled_sample
    result = api.run([LEF], str(def_path), str(tmp_path / "routed.def"), guide_path=str(guide_path), run_check=True)
    assert result.check.opens == 0 and result.check.shorts == 0 and result.check.nets == 44


def test_tiling_is_deterministic(tiled_sample, tmp_path):
    _, def_path, guide_path = tiled_sample
    tile_design(str(SAMPLE / "ispd18_sample.input.def"), 2, str(tmp_path / "again.def"),
                str(SAMPLE / "ispd18_sample.input.guide"), str(tmp_path / "again.guide"))
    assert (tmp_path / "again.def").read_bytes() == def_path.read_bytes()
    assert (tmp_path / "again.guide").read_bytes() == guide_path.read_bytes()


def test_special_net_stays_one_with_the_wiring_of_all_tiles(tmp_path):
    """tiny.def: an IO pin, blockages, a special net's rails, a pre-routed net and a gcell grid."""
    tiling = tile_design(str(DATA / "tiny.def"), 3, str(tmp_path / "t3.def"))
    tech = read_lef([str(DATA / "tiny.lef")])
    before, after = read_def(str(DATA / "tiny.def"), tech), read_def(str(tmp_path / "t3.def"), tech)
    offsets = [(i * tiling.ox, j * tiling.oy, suffix(i, j)) for j in range(3) for i in range(3)]
    assert list(after.special_nets) == ["VSS"]
    assert after.special_nets["VSS"].wiring == [
        replace(w, x0=w.x0 + dx, x1=w.x1 + dx, y0=w.y0 + dy, y1=w.y1 + dy)
        for dx, dy, _ in offsets for w in before.special_nets["VSS"].wiring]
    for dx, dy, s in offsets:
        pin, old = after.pins["in1" + s], before.pins["in1"]
        assert (pin.net, pin.x, pin.y, pin.shapes) == (old.net + s, old.x + dx, old.y + dy, old.shapes)
        assert after.nets["n_in" + s].pins == [("PIN", "in1" + s), ("c_fn" + s, "A")]
        assert [(w.x0, w.y0, w.via) for w in after.nets["n1" + s].wiring] == \
            [(w.x0 + dx, w.y0 + dy, w.via) for w in before.nets["n1"].wiring]
    assert [b.rects for b in after.blockages] == [[r.moved(dx, dy) for r in b.rects]
                                                   for dx, dy, _ in offsets for b in before.blockages]
    assert [(g.axis, g.start, g.count, g.step) for g in after.gcell_grid] == [("X", 0, 10, 2000), ("Y", 0, 7, 2400)]
    result = api.run([str(DATA / "tiny.lef")], str(tmp_path / "t3.def"), str(tmp_path / "r.def"), run_check=True)
    assert (result.check.opens, result.check.shorts, result.check.pin_shorts) == (0, 0, 0)


MISC_DEF = """VERSION 5.8 ;
DESIGN misc ;
UNITS DISTANCE MICRONS 1000 ;
PROPERTYDEFINITIONS
  COMPONENT weight INTEGER ;
END PROPERTYDEFINITIONS
DIEAREA ( 0 0 ) ( 1000 0 ) ( 1000 900 ) ( 0 900 ) ;
ROW r0 core 100 0 N DO 4 BY 1 STEP 200 0 ;
TRACKS X 100 DO 5 STEP 200 LAYER M1 ;
TRACKS Y 50 DO 3 STEP 300 LAYER M1 ;
GCELLGRID X 0 DO 2 STEP 1000 ;
GCELLGRID Y 900 DO 1 STEP 0 ;
VIAS 1 ;
- V1 + RECT M1 ( -50 -50 ) ( 50 50 ) + RECT M2 ( -50 -50 ) ( 50 50 ) ;
END VIAS
REGIONS 1 ;
- reg ( 0 0 ) ( 500 450 ) + TYPE FENCE ;
END REGIONS
COMPONENTS 2 ;
- a INV + PLACED ( 100 0 ) N + REGION reg ;
- b INV + UNPLACED ;
END COMPONENTS
PINS 1 ;
- p + NET VDD + SPECIAL + USE POWER + LAYER M1 ( -10 -10 ) ( 10 10 ) + FIXED ( 0 100 ) N ;
END PINS
PINPROPERTIES 2 ;
- PIN p + PROPERTY x 1 ;
- a A + PROPERTY x 2 ;
END PINPROPERTIES
BLOCKAGES 1 ;
- LAYER M1 + COMPONENT a RECT ( 0 0 ) ( 100 100 ) ;
END BLOCKAGES
SLOTS 1 ;
- LAYER M1 RECT ( 10 10 ) ( 20 20 ) ;
END SLOTS
FILLS 1 ;
- VIA V1 ( 300 300 ) ;
END FILLS
SPECIALNETS 1 ;
- VDD ( * VDD ) ( PIN p ) + ROUTED M1 100 + SHAPE STRIPE ( 0 100 ) ( 1000 100 ) V1
  + USE POWER + VIA V1 ( 500 100 ) ;
END SPECIALNETS
NETS 2 ;
- n ( a Y ) ( b A ) + VPIN vp LAYER M1 ( -10 -10 ) ( 10 10 ) PLACED ( 400 400 ) N
  + ROUTED M1 ( 100 50 ) ( 300 * ) RECT ( -5 -5 5 5 ) VIRTUAL ( 300 250 ) ;
- VDD ( a VDD ) + USE POWER ;
- "q;1" ( b Z ) ;
END NETS
GROUPS 1 ;
- g a b* + REGION reg ;
END GROUPS
SCANCHAINS 1 ;
- chain + START PIN p + FLOATING a ( IN A ) ( OUT Y ) b + STOP b Y ;
END SCANCHAINS
END DESIGN
"""


def test_every_section_renamed_and_moved_and_the_rest_kept(tmp_path):
    src = tmp_path / "misc.def"
    src.write_text(MISC_DEF)
    tiling = tile_design(str(src), 2, str(tmp_path / "out.def"))
    text = " ".join((tmp_path / "out.def").read_text().split())
    assert (tiling.ox, tiling.oy) == (1000, 900)     # x: lcm of 200 and 1000; y: 300 (a STEP 0 counts for nothing)
    expected = [
        "DIEAREA ( 0 0 ) ( 2000 1800 ) ;",                          # a polygon die: the rectangle around all
        "ROW r0__t1_1 core 1100 900 N DO 4 BY 1 STEP 200 0 ;",     # a row short of the pitch: one per tile
        "TRACKS X 100 DO 10 STEP 200", "TRACKS Y 50 DO 6 STEP 300",
        "GCELLGRID X 0 DO 3 STEP 1000 ;", "GCELLGRID Y 900 DO 2 STEP 900 ;",
        "PROPERTYDEFINITIONS COMPONENT weight INTEGER ; END PROPERTYDEFINITIONS",
        "VIAS 1 ; - V1 + RECT M1 ( -50 -50 ) ( 50 50 ) + RECT M2 ( -50 -50 ) ( 50 50 ) ; END VIAS",
        "- reg__t1_1 ( 1000 900 ) ( 1500 1350 ) + TYPE FENCE ;",
        "- a__t1_1 INV + PLACED ( 1100 900 ) N + REGION reg__t1_1 ;", "- b__t1_1 INV + UNPLACED ;",
        "- p__t1_1 + NET VDD + SPECIAL + USE POWER + LAYER M1 ( -10 -10 ) ( 10 10 ) + FIXED ( 1000 1000 ) N ;",
        "- PIN p__t1_1 + PROPERTY x 1 ;", "- a__t1_1 A + PROPERTY x 2 ;",
        "- LAYER M1 + COMPONENT a__t1_1 RECT ( 1000 900 ) ( 1100 1000 ) ;",
        "- LAYER M1 RECT ( 1010 910 ) ( 1020 920 ) ;", "- VIA V1 ( 1300 1200 ) ;",
        "- n__t1_1 ( a__t1_1 Y ) ( b__t1_1 A ) + VPIN vp__t1_1 LAYER M1 ( -10 -10 ) ( 10 10 ) PLACED ( 1400 1300 ) N"
        " + ROUTED M1 ( 1100 950 ) ( 1300 * ) RECT ( -5 -5 5 5 ) VIRTUAL ( 1300 1150 ) ;",
        "- g__t1_1 a__t1_1 b*__t1_1 + REGION reg__t1_1 ;",
        "- chain__t1_1 + START PIN p__t1_1 + FLOATING a__t1_1 ( IN A ) ( OUT Y ) b__t1_1 + STOP b__t1_1 Y ;",
        "SPECIALNETS 1 ; - VDD ( * VDD ) ( PIN p__t0_0 ) ( PIN p__t1_0 ) ( PIN p__t0_1 ) ( PIN p__t1_1 )"
        " + ROUTED M1 100 + SHAPE STRIPE ( 0 100 ) ( 1000 100 ) V1"
        " + ROUTED M1 100 + SHAPE STRIPE ( 1000 100 ) ( 2000 100 ) V1",
        "+ USE POWER + VIA V1 ( 500 100 ) + VIA V1 ( 1500 100 ) + VIA V1 ( 500 1000 ) + VIA V1 ( 1500 1000 ) ;"
        " END SPECIALNETS",
        "NETS 9 ;",                                                 # 4 copies of n and "q;1", VDD once
        '- "q;1__t1_1" ( b__t1_1 Z ) ;',
        "- VDD ( a__t0_0 VDD ) ( a__t1_0 VDD ) ( a__t0_1 VDD ) ( a__t1_1 VDD ) + USE POWER ; END NETS",
        "REGIONS 4 ;", "PINPROPERTIES 8 ;", "FILLS 4 ;", "GROUPS 4 ;", "SCANCHAINS 4 ;",
    ]
    missing = [e for e in expected if e not in text]
    assert not missing, missing
    design = read_def(str(tmp_path / "out.def"))
    assert len(design.nets) == 9 and len(design.components) == 8 and list(design.special_nets) == ["VDD"]
    assert len(design.special_nets["VDD"].wiring) == 4 * len(read_def(str(src)).special_nets["VDD"].wiring)


@pytest.mark.parametrize("damage, line, construct, problem", [
    (lambda s: s.replace("DIEAREA ( 0 0 ) ( 1000 0 ) ( 1000 900 ) ( 0 900 ) ;", ""), 55, "DEF", "has no DIEAREA"),
    (lambda s: s.replace("DIEAREA ( 0 0 ) ( 1000 0 )", "DIEAREA ( 0 0 ) ( 1000 x )"), 7, "DIEAREA", "expected y"),
    (lambda s: s.replace("- b INV + UNPLACED ;", "- b INV + UNPLACED"), 22, "COMPONENTS b", "no ';'"),
    (lambda s: s.replace("+ REGION reg ;", "+ REGION ;"), 20, "COMPONENTS a REGION", "expected a name"),
    (lambda s: s.replace("( 400 400 )", "( 400 4.5 )"), 44, "NETS n VPIN", "integer coordinate, found '4.5'"),
    (lambda s: s.replace("( a Y ) ( b A )", "( a Y ) ( b A"), 44, "NETS n", "expected a connection"),
    (lambda s: s.replace("( b A ) + VPIN", "( b A ) + SUBNET s ( a Y ) + VPIN"), 44, "NETS n SUBNET", "not supported"),
    (lambda s: s[:s.index("END NETS")], 47, "NETS", "file ends"),
])
def test_bad_input_names_file_line_and_construct(tmp_path, damage, line, construct, problem):
    bad = tmp_path / "bad.def"
    bad.write_text(damage(MISC_DEF))
    with pytest.raises(FlowInputError) as e:
        tile_design(str(bad), 2, str(tmp_path / "out.def"))
    assert (e.value.file, e.value.line, e.value.construct) == (str(bad), line, construct)
    assert problem in e.value.problem
    assert not list(tmp_path.glob("out.def*"))


def test_command_refuses_bad_n_and_bad_input_with_one_line(tmp_path, capsys):
    src = tmp_path / "misc.def"
    src.write_text(MISC_DEF.replace("DIEAREA ( 0 0 ) ( 1000 0 ) ( 1000 900 ) ( 0 900 ) ;", ""))
    with pytest.raises(SystemExit) as e:
        main(["--def", str(src), "--n", "0", "--out", str(tmp_path / "o.def")])
    assert e.value.code == 2 and "--n must be at least 1" in capsys.readouterr().err
    with pytest.raises(ValueError, match="positive integer"):
        tile_design(str(src), 0, str(tmp_path / "o.def"))
    assert main(["--def", str(src), "--n", "2", "--out", str(tmp_path / "o.def")]) == 2
    err = capsys.readouterr().err
    assert len(err.strip().splitlines()) == 1 and f"{src}:" in err and "has no DIEAREA" in err
    assert not (tmp_path / "o.def").exists()
    assert main(["--def", str(DATA / "tiny.def"), "--n", "2", "--out", str(tmp_path / "no" / "o.def")]) == 2
    assert "No such file or directory" in capsys.readouterr().err


def test_command_reads_the_result_back(tmp_path, capsys):
    assert main(["--def", str(DATA / "tiny.def"), "--n", "2", "--out", str(tmp_path / "o.def"),
                 "--lef", str(DATA / "tiny.lef")]) == 0
    printed = capsys.readouterr().out
    assert "read back: COMPONENTS 32, PINS 4, NETS 16, SPECIALNETS 1" in printed

