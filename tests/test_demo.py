"""The example driver routes a synthetic design with the flow's routing stage."""
import pytest

from examples import route_demo


def pass_rows(text):
    """The table's rows of the initial routing and the passes, split into words."""
    return [line.split() for line in text.splitlines() if line.startswith(("pass ", "initial"))]


@pytest.mark.parametrize("threads", [1, 3])
def test_demo_routes_tiny_design_without_drift(tmp_path, capsys, threads):
    out = tmp_path / "demo.png"
    assert route_demo.main(["--size", "tiny", "--seed", "3", "--threads", str(threads), "--passes", "2",
                            "--out", str(out)]) == 0
    text = capsys.readouterr().out
    rows = pass_rows(text)
    assert rows[0][:3] == ["initial", "maze", "routing"] and len(rows) >= 2
    assert all(row[-1] == "ok" for row in rows[1:])
    assert "occupancy drift after 0 of" in text and "0 nets open" in text
    if route_demo._has("matplotlib"):
        assert out.stat().st_size > 0


def test_demo_results_do_not_depend_on_thread_count(tmp_path, capsys):
    tables = []
    for threads in (1, 4):
        route_demo.main(["--size", "tiny", "--seed", "5", "--threads", str(threads), "--passes", "2",
                         "--out", str(tmp_path / f"{threads}.png")])
        # everything but the times and the memory
        tables.append([row[:-11] + row[-9:-2] + row[-1:] for row in pass_rows(capsys.readouterr().out)])
    assert tables[0] == tables[1]
