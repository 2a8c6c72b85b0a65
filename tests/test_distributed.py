"""The Ray batch engine against the local one: the same routes and occupancy pass after
pass, also when an actor dies during a batch; a replica that drifts stops the run; the
flow's command on the built-in sample writes the same routed DEF either way."""
import json
import time

import pytest

from conftest import SANITIZED
from testkit.designs import make_design
from testkit.sample import sample_args
from tovrana_flow import cli
from tovrana_flow.errors import OptionError
from tovrana_flow.routing.distributed import (DistributedError, NewRoute, ReplicaMismatchError, marker_cost,
                                              split_by_cost)
from tovrana_flow.routing.engines import GridRecipe, LocalEngine, engine_factory
from tovrana_flow.routing.stage import RouteOptions

if SANITIZED:
    pytest.skip("Ray's own processes would inherit the preloaded sanitizer runtime", allow_module_level=True)
ray = pytest.importorskip("ray", reason="ray is not installed (pip install '.[distributed]')")
from tovrana_flow.routing.distributed import RayEngine  # noqa: E402

D = make_design("small", 11)


def recipe(d):
    return d.grid_recipe()

PARAMS = dict(gc=D.gc, wire_halo=1, via_halo=1, ripup_all=True, maze_end_iter=3, gg_drc=4.0, gg_marker=2.0,
              gg_fixed=1.0, marker_decay=0.5, prl_halo=1, prl_len=6, vertical=D.vertical, n_threads=2)


def run(engine, passes=2, announce=None, detour=False):
    """Every batch's routes (sorted) and occ_signature, routes applied through the engine.
    `announce` the batches "in order" or "reversed" first (`expect_batches`); with `detour`
    a route the batches did not return is put back after each pass's second batch (the
    engine applies the routes a batch returns)."""
    trace = []
    for _ in range(passes):
        batches = D.box_batches(2) + D.box_batches(3)
        if announce:
            engine.expect_batches(batches if announce == "in order" else batches[::-1], PARAMS)
        for k, batch in enumerate(batches):
            routes = engine.route_boxes(batch, **PARAMS)
            if detour and k == 1:
                net = min(D.routes)
                engine.update_route(net, *D.routes[net])
            trace.append((sorted(routes), engine.grid.occ_signature()))
    return trace


@pytest.fixture(scope="module")
def cluster():
    """A local cluster of two processes, started by make_engine and then kept for the
    engines of every test, which find Ray running and leave it so."""
    first = engine_factory("local:2")(recipe(D))
    assert isinstance(first, RayEngine) and not first.leader_share and len(first.actors) == 2
    first._owns_ray = False  # its close() frees the processors but keeps the cluster
    first.close()
    yield
    ray.shutdown()


@pytest.fixture(scope="module")
def reference():
    return {detour: run(LocalEngine(recipe(D)), detour=detour) for detour in (False, True)}


class KillsAnActor(RayEngine):
    """Kills its second actor right after the parts of its third batch are handed out (with
    the batches announced: of the fourth, handed out ahead during the third's merge)."""

    def _submit(self, boxes, params):
        handed_out = super()._submit(boxes, params)
        if len(self.stats) == 2 and len(self.actors) == 2:
            ray.kill(self.actors[1], no_restart=True)
        return handed_out


@pytest.mark.parametrize("engine_type, announce, detour, leader_share", [
    (RayEngine, None, False, False), (KillsAnActor, None, False, False), (RayEngine, "in order", False, False),
    (KillsAnActor, "in order", False, False), (RayEngine, "in order", True, False),
    (RayEngine, "reversed", False, False), (RayEngine, None, False, True), (KillsAnActor, "in order", False, True),
    (RayEngine, "in order", True, True)])
def test_ray_runs_equal_the_local_run(cluster, reference, engine_type, announce, detour, leader_share):
    """Batches worked ahead are used only on the state they were worked on; the leader's
    share of a batch is worked on its own grid."""
    engine = engine_type(recipe(D), "local:2", actors=2, leader_share=leader_share)
    try:
        assert run(engine, announce=announce, detour=detour) == reference[detour]
        assert len(engine.actors) == (2 if engine_type is RayEngine else 1)
        assert all(s.parts >= 1 and s.bytes > 0 for s in engine.stats)
        if leader_share:      # the first batch's four boxes: two actors' parts and the leader's
            assert (engine.stats[0].boxes, engine.stats[0].parts) == (4, 3)
        ahead = sum(s.ahead for s in engine.stats)
        per_pass = len(engine.stats) // 2
        if announce == "in order":      # every batch but each pass's first; a detour spoils one
            assert ahead == 2 * (per_pass - 1 - detour)
        else:
            assert ahead == 0
    finally:
        engine.close()


def test_routes_other_than_the_merged_ones_reach_the_replicas(cluster):
    """The replicas apply the merged routes from their own merge; a route the driver puts
    back instead (a roll-back) must travel whole, or the next batch finds them drifted."""
    local, remote = LocalEngine(recipe(D)), RayEngine(recipe(D), "local:2", actors=2)
    try:
        traces = []
        for engine in (local, remote):
            routes = engine.route_boxes(D.box_batches(2)[0], **PARAMS)
            assert routes
            engine.update_route(routes[0][0], *D.routes[routes[0][0]])
            traces.append(sorted(engine.route_boxes(D.box_batches(2)[1], **PARAMS)))
        assert traces[0] == traces[1]
    finally:
        remote.close()


def test_a_drifting_replica_stops_the_run(cluster):
    engine = RayEngine(recipe(D), "local:2", actors=2)
    try:
        batch = D.box_batches(2)[0]
        engine.route_boxes(batch, **PARAMS)
        net, (cells, edges) = next(iter(D.routes.items()))
        ray.get(engine.actors[1].apply.remote([NewRoute(net, cells[:-1], edges[:-1])]))
        with pytest.raises(ReplicaMismatchError, match="another state|refused|occ_signature"):
            engine.route_boxes(D.box_batches(2)[1], **PARAMS)
    finally:
        engine.close()


def test_a_replica_that_cannot_be_built(cluster):
    class BadOnActors(GridRecipe):
        def build(self):
            if ray.get_runtime_context().get_actor_id():
                raise OSError("no design here")
            return super().build()

    with pytest.raises(DistributedError, match="(?s)could not build its grid replica.*no design here"):
        RayEngine(BadOnActors(*vars(recipe(D)).values()), "local:2", actors=2)
    deadline = time.monotonic() + 60  # its actors are gone: their processors come back
    while ray.available_resources().get("CPU") != 2:
        assert time.monotonic() < deadline
        time.sleep(0.2)


def test_split_by_cost():
    boxes = [(i, 0, i, 0) for i in range(7)]
    parts = split_by_cost(boxes, [5, 1, 1, 4, 2, 2, 1], 3)
    assert sorted(b for p in parts for b in p) == boxes
    assert all(p == sorted(p) for p in parts)
    assert sorted(sum([5, 1, 1, 4, 2, 2, 1][b[0]] for b in p) for p in parts) == [5, 5, 6]
    assert split_by_cost(boxes, [1] * 7, 10)[7:] == [[], [], []]


def test_marker_cost():
    markers = [([(12, 3, 0), (40, 40, 0)], 0, [1, 2]), ([(19, 9, 1)], 1, [1, 3]), ([], 0, []), ([(35, 0, 0)], 0, [4])]
    cost = marker_cost(markers, 10)
    assert [cost(b) for b in [(1, 0, 1, 0), (0, 0, 3, 3), (4, 4, 5, 5), (3, 0, 3, 0)]] == [3, 4, 1, 2]


def test_engine_factory_and_the_ray_option():
    assert isinstance(engine_factory(None)(recipe(D)), LocalEngine)
    for bad in ("local:", "local:0", "local:two"):
        with pytest.raises(OptionError, match="ray .*expected local:N"):
            RouteOptions(ray=bad)


def test_an_unreachable_cluster_is_one_line_and_exit_status_3(tmp_path, capsys, monkeypatch):
    """A Ray failure reaches the user as the command's own error, not a traceback."""
    def unreachable(self, address):
        raise ConnectionError(f"could not connect to {address}")
    monkeypatch.setattr(RayEngine, "_connect", unreachable)
    assert cli.main(sample_args(tmp_path / "out.def") + ["--quiet", "--ray", "10.0.0.1:6379"]) == 3
    err = capsys.readouterr().err.strip().splitlines()
    assert err == ["tovrana-route: the distributed engine failed: Ray could not start or join the cluster "
                   "'10.0.0.1:6379': could not connect to 10.0.0.1:6379"]


def test_the_sample_on_two_actors_equals_the_threaded_run(cluster, tmp_path):
    """Same routed DEF, byte for byte, and the same figures in every row of the table but
    those of time and memory."""
    measured = {"seconds", "module_seconds", "peak_mb"}
    runs = []
    for extra in ([], ["--ray", "local:2"]):
        out, metrics = tmp_path / f"routed{len(runs)}.def", tmp_path / f"m{len(runs)}.json"
        assert cli.main(sample_args(out) + ["--threads", "2", "--json", str(metrics)] + extra) == 0
        phases = json.loads(metrics.read_text())["phases"]
        runs.append((out.read_bytes(), [{k: v for k, v in row.items() if k not in measured} for row in phases]))
    assert runs[0] == runs[1]
    assert sum(row["phase"].startswith("pass") for row in runs[0][1]) >= 1   # the batches did run
