"""The whole flow end to end, judged by the independent checker on the written DEF."""
from __future__ import annotations

import json
from pathlib import Path

import pytest

from testkit.sample import SAMPLE, sample_args
from tovrana_flow import api, cli
from tovrana_flow.check import check_file
from tovrana_flow.check.drc import drc_file
from tovrana_flow.read import read_def, read_guides, read_lef

DATA = Path(__file__).parent / "data"


def test_sample_through_the_api_is_connected_and_short_free(tmp_path):
    out = tmp_path / "routed.def"
    result = api.run([str(SAMPLE / "ispd18_sample.input.lef")], str(SAMPLE / "ispd18_sample.input.def"), str(out),
                     guide_path=str(SAMPLE / "ispd18_sample.input.guide"), json_path=str(tmp_path / "m.json"),
                     run_check=True)
    report = result.check
    assert (report.opens, report.shorts, report.pin_shorts) == (0, 0, 0)
    assert report.nets == 11 and report.vias > 0
    assert result.routed.opens == [] and result.routed.drift_passes == 0
    metrics = json.loads((tmp_path / "m.json").read_text())
    assert metrics["summary"]["check"] == {"opens": 0, "shorts": 0, "pin_shorts": 0}
    # the design-rule check of the same file, its counts in the summary
    rules = result.drc
    assert metrics["summary"]["drc"]["counts"] == {k: rules.count(k) for k in metrics["summary"]["drc"]["counts"]}
    assert rules.soft.guided and rules.soft.total("vias") == result.routed.rows[-1].vias
    # both checks judged one reading of the file: each finds what it finds on a reading of its own
    tech_ = read_lef([str(SAMPLE / "ispd18_sample.input.lef")])
    alone = api.drc(tech_, str(out), read_guides(str(SAMPLE / "ispd18_sample.input.guide"), tech_)).as_dict()
    assert {**rules.as_dict(), "seconds": 0} == {**alone, "seconds": 0}
    assert {**vars(api.check(tech_, str(out))), "seconds": 0} == {**vars(report), "seconds": 0}
    assert [row["phase"] for row in metrics["phases"]][:3] == ["read LEF/DEF", "map to grid", "initial maze routing"]
    # the routed DEF keeps everything else of the input: same components, nets, pins
    tech = read_lef([str(SAMPLE / "ispd18_sample.input.lef")])
    before, after = read_def(str(SAMPLE / "ispd18_sample.input.def"), tech), read_def(str(out), tech)
    assert after.components.keys() == before.components.keys()
    assert [n.pins for n in after.nets.values()] == [n.pins for n in before.nets.values()]
    assert all(n.wiring for n in after.nets.values())


def test_sample_through_the_command(tmp_path, capsys):
    out = tmp_path / "routed.def"
    code = cli.main(sample_args(out) + ["--check", "--threads", "1", "--passes", "2"])
    printed = capsys.readouterr().out
    assert "check: 0 opens, 0 shorts, 0 pin shorts" in printed and "initial maze routing" in printed
    tech = read_lef([str(SAMPLE / "ispd18_sample.input.lef")])
    report = check_file(tech, str(out))
    assert (report.opens, report.shorts, report.pin_shorts) == (0, 0, 0)
    # --check fails the command exactly when the design-rule check finds a violation
    rules = drc_file(tech, str(out))
    assert code == (0 if rules.clean else 1)
    assert f"violations: {rules.violations} " in printed


def test_tiny_design_with_blockage_special_net_and_io_pin(tmp_path, capsys):
    """The hand-written pair: keep-outs, a special net's rail and an IO pin on M2 are
    respected, and its one pre-routed net is replaced by the flow's route."""
    out = tmp_path / "tiny.routed.def"
    code = cli.main(["--lef", str(DATA / "tiny.lef"), "--def", str(DATA / "tiny.def"), "--out", str(out),
                     "--check", "--quiet"])
    assert code == 0, capsys.readouterr().out
    tech = read_lef([str(DATA / "tiny.lef")])
    routed = read_def(str(out), tech)
    assert routed.special_nets["VSS"].wiring   # special wiring is kept as it was
    assert all(w.via in (None, "V12", "V23") for n in routed.nets.values() for w in n.wiring)   # the LEF's vias


@pytest.mark.parametrize("damage, construct", [
    (lambda text: text[: len(text) // 2], "NETS"),                                        # truncated
    (lambda text: text.replace("- c_fw BUF", "- c_fw NOPE"), "COMPONENTS"),                # unknown macro
    (lambda text: text.replace("( c_w Y )", "( c_missing Y )"), "NETS"),                  # missing component
])
def test_bad_input_is_one_line_naming_file_and_line_and_exit_2(tmp_path, capsys, damage, construct):
    bad = tmp_path / "bad.def"
    bad.write_text(damage((DATA / "tiny.def").read_text()))
    code = cli.main(["--lef", str(DATA / "tiny.lef"), "--def", str(bad), "--out", str(tmp_path / "o.def"), "--quiet"])
    err = capsys.readouterr().err
    assert code == 2
    assert len(err.strip().splitlines()) == 1
    assert f"{bad}:" in err and "Traceback" not in err
    assert not (tmp_path / "o.def").exists()


def test_missing_file_is_a_clear_error(tmp_path, capsys):
    code = cli.main(["--lef", str(tmp_path / "none.lef"), "--def", str(DATA / "tiny.def"),
                     "--out", str(tmp_path / "o.def"), "--quiet"])
    err = capsys.readouterr().err
    assert code == 2 and "none.lef" in err and len(err.strip().splitlines()) == 1


def test_routes_do_not_depend_on_the_thread_count(tmp_path):
    # the sample starts with markers, so the passes run route_boxes on several boxes
    outs = []
    for threads in ("1", "3"):
        out = tmp_path / f"t{threads}.def"
        assert cli.main(sample_args(out) + ["--threads", threads]) == 0
        outs.append(out.read_text())
    assert outs[0] == outs[1]


@pytest.mark.parametrize("option", [["--gcell", "0"], ["--threads", "0"], ["--via-cost", "-1"], ["--wrong-way", "0.5"],
                                    ["--guide-factor", "0.5"], ["--heuristic-weight", "0.9"]])
def test_out_of_range_option_is_refused_before_any_work(tmp_path, capsys, option):
    code = cli.main(sample_args(tmp_path / "o.def") + option)
    assert code == 2 and option[0] in capsys.readouterr().err
    assert not (tmp_path / "o.def").exists()
