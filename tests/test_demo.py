"""The example driver runs the whole flow end to end on a tiny design."""
import pytest

from examples import route_demo


@pytest.mark.parametrize("threads", [1, 3])
def test_demo_routes_tiny_design_without_drift(tmp_path, capsys, threads):
    out = tmp_path / "demo.png"
    assert route_demo.main(["--size", "tiny", "--seed", "3", "--threads", str(threads), "--passes", "2",
                      "--out", str(out)]) == 0
    text = capsys.readouterr().out
    rows = {line.split("  ")[0]: line.split() for line in text.splitlines() if line.startswith(("pass ", "initial"))}
    assert set(rows) == {"initial maze routing", "pass 1: route_boxes", "pass 2: route_boxes"}
    assert rows["pass 1: route_boxes"][-1] == rows["pass 2: route_boxes"][-1] == "ok"
    assert "occ drift after 0 of 2 passes" in text
    if route_demo._has("matplotlib"):
        assert out.stat().st_size > 0


def test_demo_results_do_not_depend_on_thread_count(tmp_path, capsys):
    tables = []
    for threads in (1, 4):
        route_demo.main(["--size", "tiny", "--seed", "5", "--threads", str(threads), "--passes", "2",
                   "--out", str(tmp_path / f"{threads}.png")])
        lines = capsys.readouterr().out.splitlines()
        # everything but the timing column (the fourth word of these rows)
        tables.append([line.split()[:3] + line.split()[4:] for line in lines if line.startswith(("pass ", "initial"))])
    assert tables[0] == tables[1]
