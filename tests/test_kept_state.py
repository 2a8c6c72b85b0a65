"""State the grid keeps between calls: the running digests of occ and of the route store,
the route shape behind box_maze(route_shape=None), and the merge on several threads."""
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import tovrana
from conftest import PanicException, examples
from strategies import cells as cell_strategy
from testkit.designs import make_design, make_rules, via_cells
from testkit.model import maze as maze_model
from testkit.model.grid import ModelGrid

BATCH = dict(wire_halo=1, via_halo=1, ripup_all=False, maze_end_iter=2, gg_drc=4.0, gg_marker=2.0, gg_fixed=1.0,
             marker_decay=0.5, prl_halo=1, prl_len=5)


def batch_kwargs(d, n_threads, **changes):
    return dict(gc=d.gc, vertical=d.vertical, n_threads=n_threads, **{**BATCH, **changes})


def assert_kept(g):
    (occ_kept, occ_fresh), (routes_kept, routes_fresh), whole = g._check_state()
    assert occ_kept == occ_fresh == g.occ_signature()
    assert routes_kept == routes_fresh
    assert whole


def shape_of(store, net):
    """What route_shape=None stands for: every stored cell of a net other than `net`."""
    return [c for n, cells in store for c in cells if n != net]


def search(g, net, a, b, shape, gg_drc=3.0):
    corridor = [(x, y) for x in range(4) for y in range(4)]
    return g.box_maze(net, [a], [b], [], shape, [], [], gg_drc, 0.0, 0.0, corridor, 4, False)


@settings(max_examples=examples(60), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(0, 10**6), st.integers(2, 8), st.tuples(st.integers(0, 2), st.integers(0, 2)), st.booleans(),
       st.data())
def test_routes_update_with_occ_leaves_the_map_a_rebuild_would_give(seed, nets, halos, spacing, data):
    """routes_update(occ=True) moves the net's footprint (halos, or the spacing model's boxes):
    the map then equals occ_init of the stored routes, net by net, on a fresh grid, and so
    does occ_signature_of the stored routes; without occ the map stays as it was."""
    d = make_design(seed=seed, shape=(16, 16, 2, nets, 4))
    rules = make_rules(d, seed) if spacing else None
    g = d.load(tovrana.Grid(*d.grid_args()), halos, rules=rules)
    stored = dict(d.routes)
    for _ in range(data.draw(st.integers(1, 6))):
        net = data.draw(st.sampled_from(sorted(stored) + [99]))
        cells = data.draw(st.lists(cell_strategy(16, 16, 2), max_size=12))
        edges = data.draw(st.sampled_from([list(zip(cells, cells[1:])), []]))
        g.routes_update(net, cells, edges, occ=True)
        if net in stored:
            stored[net] = (cells, edges)
        fresh = tovrana.Grid(*d.grid_args())
        for method, args in rules.calls() if rules else []:
            getattr(fresh, method)(*args)
        nets_now = [(n, c, via_cells(e)) for n, (c, e) in stored.items()]
        fresh.occ_init(nets_now, *halos)
        assert g.occ_signature() == fresh.occ_signature() == g.occ_signature_of(nets_now, *halos)
        assert_kept(g)
    kept = g.occ_signature()
    g.routes_update(sorted(stored)[0], [], [])
    assert g.occ_signature() == kept


@settings(max_examples=examples(60), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(0, 10**6), st.integers(2, 8), st.data())
def test_kept_digests_equal_fresh_ones_after_every_change(seed, nets, data):
    """Every changing call, in random order, failures included: the kept occ signature
    and route digest equal the same computed afresh, and the route shape, once built,
    equals one built afresh from the store."""
    d = make_design(seed=seed, shape=(16, 16, 2, nets, 4))
    g = d.load(tovrana.Grid(*d.grid_args()))
    replica = d.load(tovrana.Grid(*d.grid_args()))
    assert_kept(g)
    net_ids = sorted(d.routes) + [99]
    batches = d.box_batches(1) + d.box_batches(2)
    for _ in range(data.draw(st.integers(1, 8))):
        op = data.draw(st.sampled_from(["update", "init", "occ_init", "route_boxes", "merge_boxes", "bad merge",
                                        "failed batch", "shape"]))
        if op == "update":
            cells = data.draw(st.lists(cell_strategy(16, 16, 2), max_size=12))
            edges = list(zip(cells, cells[1:]))
            g.routes_update(data.draw(st.sampled_from(net_ids)), cells, edges)
        elif op == "init":
            routes = d.route_list()
            g.routes_init(data.draw(st.permutations(routes + routes[:1])))
        elif op == "occ_init":
            g.occ_init(d.occ_nets(), *data.draw(st.tuples(st.integers(-1, 2), st.integers(-1, 2))))
        elif op == "route_boxes":
            batch = data.draw(st.sampled_from(batches))
            for net, cells, edges in g.route_boxes(batch, **batch_kwargs(d, data.draw(st.integers(1, 4)))):
                g.routes_update(net, cells, edges)
        elif op == "merge_boxes":
            # a replica in another state refuses; one brought to this state merges
            for method, args in [("routes_init", (d.route_list(),)), ("occ_init", (d.occ_nets(), 1, 1))]:
                getattr(g, method)(*args)
                getattr(replica, method)(*args)
            batch = data.draw(st.sampled_from(batches))
            parts = [replica.work_boxes(batch[i::2], **batch_kwargs(d, 2)) for i in range(2)]
            g.merge_boxes(batch, d.gc, parts, data.draw(st.integers(1, 5)))
        elif op == "bad merge":
            before = g._check_state()
            with pytest.raises(ValueError):
                g.merge_boxes(batches[0], d.gc, [b"TVBR"])
            assert g._check_state() == before
        elif op == "failed batch":
            before = g._check_state()
            with pytest.raises(PanicException):
                g.route_boxes(batches[0], **{**batch_kwargs(d, 2), "gc": 0})
            assert g._check_state() == before
        else:
            search(g, net_ids[0], (0, 0, 0), (15, 15, 0), None)
        assert_kept(g)


def test_digests_cost_nothing_to_read_and_see_every_part():
    """The digest in work_boxes' bytes changes with the store and occ, and comes back
    when they come back: it is a function of the state, not of the calls."""
    d = make_design("small", 3)
    g = d.load(tovrana.Grid(*d.grid_args()))
    state = lambda: g.work_boxes([], **batch_kwargs(d, 1))[5:13]
    start = state()
    net, (cells, edges) = next(iter(d.routes.items()))
    g.routes_update(net, cells[:-1], edges[:-1])
    assert state() != start
    g.routes_update(net, cells, edges)
    assert state() == start
    g.occ_init(d.occ_nets()[1:], d.wire_halo, d.via_halo)
    assert state() != start
    g.occ_init(d.occ_nets(), d.wire_halo, d.via_halo)
    assert state() == start
    assert_kept(g)


@settings(max_examples=examples(40), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(0, 10**6), st.integers(3, 10), st.data())
def test_route_shape_none_is_the_stored_cells_of_the_other_nets(seed, nets, data):
    """box_maze(route_shape=None) finds what the list of the other nets' stored cells
    finds, on the module and the model, before and after the shape is first built,
    across updates (cells outside the grid, unknown nets) and a second routes_init
    with a net in two slots."""
    d = make_design(seed=seed, shape=(16, 16, 2, nets, 4))
    g = d.load(tovrana.Grid(*d.grid_args()))
    m = d.load(ModelGrid(*d.grid_args()))
    store = [(n, list(c)) for n, c, _ in d.route_list()]
    slot = {n: i for i, (n, _) in enumerate(store)}
    point = cell_strategy(16, 16, 2, margin=0)
    for step in range(data.draw(st.integers(1, 6))):
        if data.draw(st.booleans()):
            net = data.draw(st.sampled_from([n for n, _ in store] + [77]))
            cells = data.draw(st.lists(cell_strategy(16, 16, 2), max_size=10))
            g.routes_update(net, cells, [])
            if net in slot:
                store[slot[net]] = (net, cells)
        if step == 3:
            store = store[::-1] + store[:1]
            slot = {n: i for i, (n, _) in enumerate(store)}
            g.routes_init([(n, c, []) for n, c in store])
        net = data.draw(st.sampled_from([n for n, _ in store]))
        a, b = data.draw(point), data.draw(point)
        want = search(g, net, a, b, shape_of(store, net))
        assert search(g, net, a, b, None) == want
        corridor = [(x, y) for x in range(4) for y in range(4)]
        assert want == maze_model.box_maze(m, net, [a], [b], [], shape_of(store, net), [], [], 3.0, 0.0, 0.0,
                                           corridor, 4, False)
    assert_kept(g)


def test_route_shape_is_built_on_first_use_only():
    d = make_design("small", 5)
    g = d.load(tovrana.Grid(*d.grid_args()))
    usage = g._memory_usage()
    assert set(usage) == {"blocked", "pads", "via_blocked", "route store", "route shape", "occ", "worker constants"}
    assert usage["route shape"] == 0 and usage["occ"] > 0 and usage["route store"] > 0
    net = next(iter(d.routes))
    search(g, net, (0, 0, 0), (3, 3, 0), None)
    assert g._memory_usage()["route shape"] > 0
    g.routes_init(d.route_list())  # a new store: the shape is built again when next asked for
    assert g._memory_usage()["route shape"] == 0


def crossings(before, after, batch, gc):
    """Nets whose cells changed in two or more boxes of the batch: merged from several."""
    out = []
    for net, cells, _ in after:
        changed = set(cells) ^ set(before.get(net, []))
        boxes = {i for i, (x0, y0, x1, y1) in enumerate(batch)
                 for x, y, _ in changed if x0 <= x // gc <= x1 and y0 <= y // gc <= y1}
        if len(boxes) >= 2:
            out.append(net)
    return out


@pytest.mark.parametrize("size, seed", [("small", 3), ("medium", 2)])
def test_merge_on_any_thread_count_is_the_serial_merge(size, seed):
    """route_boxes and merge_boxes on 1, 2, 3, 8 and 64 threads: the same routes in the
    same order and the same occ, batch after batch, with nets merged from several boxes."""
    d = make_design(size, seed)
    counts = (1, 2, 3, 8, 64)
    grids = {n: d.load(tovrana.Grid(*d.grid_args())) for n in counts}
    mergers = {n: d.load(tovrana.Grid(*d.grid_args())) for n in counts}
    worker = d.load(tovrana.Grid(*d.grid_args()))
    stored = {net: cells for net, (cells, _) in d.routes.items()}
    multi = 0
    for batch in d.box_batches(1) + d.box_batches(2):
        parts = [worker.work_boxes(batch[i::3], **batch_kwargs(d, 2)) for i in range(3)]
        results = {n: grids[n].route_boxes(batch, **batch_kwargs(d, n)) for n in counts}
        merged = {n: mergers[n].merge_boxes(batch, d.gc, parts[::-1], n_threads=n) for n in counts}
        for n in counts:
            assert results[n] == results[1] and merged[n] == results[1], n
            assert grids[n].occ_signature() == mergers[n].occ_signature() == grids[1].occ_signature()
        multi += len(crossings(stored, results[1], batch, d.gc))
        worker.merge_boxes(batch, d.gc, parts)
        for g in [worker, *grids.values(), *mergers.values()]:
            for net, cells, edges in results[1]:
                g.routes_update(net, cells, edges)
        stored.update({net: cells for net, cells, _ in results[1]})
    assert multi > 0
    for g in [worker, *grids.values(), *mergers.values()]:
        assert_kept(g)


@settings(max_examples=examples(30), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(0, 10**6), st.integers(3, 12), st.data())
def test_merge_thread_counts_agree_on_random_designs(seed, nets, data):
    """Random designs, some routes reaching outside the grid (their footprints land in
    cells beyond it), batches of one-gcell and two-gcell boxes: 1 and 2..6 merge threads
    give the same routes in the same order and the same occ."""
    d = make_design(seed=seed, shape=(20, 20, 3, nets, 4))
    grids = [d.load(tovrana.Grid(*d.grid_args())) for _ in range(2)]
    for net in data.draw(st.lists(st.sampled_from(sorted(d.routes)), max_size=3, unique=True)):
        cells, edges = d.routes[net]
        extra = data.draw(st.lists(cell_strategy(20, 20, 3), max_size=4))
        for g in grids:
            g.routes_update(net, cells + extra, edges)
    threads = data.draw(st.integers(2, 6))
    for batch in d.box_batches(1) + d.box_batches(2):
        one, many = (g.route_boxes(batch, **batch_kwargs(d, n)) for g, n in zip(grids, (1, threads)))
        assert one == many
        assert grids[0].occ_signature() == grids[1].occ_signature()
        for g in grids:
            for net, cells, edges in one:
                g.routes_update(net, cells, edges)
    for g in grids:
        assert_kept(g)


def test_occupancy_does_not_grow_while_a_route_moves_back_and_forth():
    """Erasures wear a flat table's load limit down; the occupancy must then rebuild its
    tables at the size they need, not double them, or a long run of passes ends with
    every table twice what its contents take."""
    d = make_design(seed=5, shape=(64, 64, 2, 40, 4))
    g = d.load(tovrana.Grid(*d.grid_args()), (1, 1))
    net = sorted(d.routes)[0]
    row = [(x, 10, 0) for x in range(64)]
    moves = [(row, list(zip(row, row[1:]))), d.routes[net]]
    sizes = []
    for i in range(2000):
        g.routes_update(net, *moves[i % 2], occ=True)
        sizes.append(dict(g._memory_usage())["occ"])
    assert max(sizes) <= sizes[1]
