"""The Python surface: signatures, argument matching, conversion rules, borrows."""
import inspect
import threading

import numpy as np
import pytest

import tovrana
from conftest import SANITIZED, PanicException
from testkit.designs import make_design

SIGNATURES = {
    "box_maze": "(net, starts, goals, hard, route_shape, marker_pos, fixed, gg_drc, gg_marker, gg_fixed, corridor, gc, use_occ, heuristic_weight=1.0)",
    "occ_init": "(nets, wire_halo, via_halo)",
    "occ_signature": "()",
    "occ_signature_of": "(nets, wire_halo, via_halo)",
    "flexgc": "(nets, wire_halo, via_halo, region, prl_halo, prl_len, vertical)",
    "routes_init": "(nets)",
    "routes_update": "(net, cells, edges, occ=False)",
    "set_termsets": "(termsets)",
    "set_worker_consts": "(supply, obstacles)",
    "set_name_rank": "(ranks)",
    "set_track_model": "(xs, ys, unit, layers)",
    "set_no_via_cells": "(cells)",
    "set_spacing_model": "(layers)",
    "set_net_guides": "(guides, outside_factor, outside_via)",
    "route_boxes": "(boxes, gc, wire_halo, via_halo, ripup_all, maze_end_iter, gg_drc, gg_marker, gg_fixed, "
    "marker_decay, prl_halo, prl_len, vertical, n_threads, packed=False)",
    "work_boxes": "(boxes, gc, wire_halo, via_halo, ripup_all, maze_end_iter, gg_drc, gg_marker, gg_fixed, "
    "marker_decay, prl_halo, prl_len, vertical, n_threads)",
    "merge_boxes": "(boxes, gc, results, n_threads=1, packed=False)",
}


def test_module_surface():
    assert tovrana.__all__ == ["Grid"]
    assert tovrana.__doc__ == ""
    assert str(inspect.signature(tovrana.Grid)) == "(nx, ny, nz, blocked, pad_owner, via_blocked, via_index)"
    assert issubclass(PanicException, BaseException) and not issubclass(PanicException, Exception)
    methods = [m for m in vars(tovrana.Grid) if not m.startswith("_")]
    assert methods == list(SIGNATURES)
    for name, sig in SIGNATURES.items():
        method = getattr(tovrana.Grid, name)
        assert str(inspect.signature(getattr(tovrana.Grid(1, 1, 1, [], [], [], []), name))) == sig
        body = method.__doc__
        assert body and not body.endswith("\n") and 1 <= len(body.splitlines()) <= 8


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda g: g.set_name_rank(), "Grid.set_name_rank() missing 1 required positional argument: 'ranks'"),
        (lambda g: g.occ_init([]), "Grid.occ_init() missing 2 required positional arguments: 'wire_halo' and 'via_halo'"),
        (lambda g: g.routes_update(), "Grid.routes_update() missing 3 required positional arguments: 'net', 'cells', and 'edges'"),
        (lambda g: g.set_name_rank([], []), "Grid.set_name_rank() takes 1 positional argument but 2 were given"),
        (lambda g: g.set_name_rank(rank=[]), "Grid.set_name_rank() got an unexpected keyword argument 'rank'"),
        (lambda g: g.set_name_rank([], ranks=[]), "Grid.set_name_rank() got multiple values for argument 'ranks'"),
        (lambda g: tovrana.Grid(1, 1, 1, [], [], []), "Grid.__new__() missing 1 required positional argument: 'via_index'"),
        (lambda g: g.box_maze(1, [], [], [], [], [], [], 0.0, 0.0, 0.0, [], 1),
         "Grid.box_maze() missing 1 required positional argument: 'use_occ'"),
    ],
)
def test_argument_matching(grid4, call, message):
    with pytest.raises(TypeError) as e:
        call(grid4)
    assert str(e.value) == message


def test_keywords_and_no_argument_method(grid4):
    grid4.occ_init(via_halo=0, wire_halo=1, nets=[(1, [(0, 0, 0)], [])])
    assert grid4.occ_signature() != 0
    with pytest.raises(TypeError, match="takes no arguments"):
        grid4.occ_signature(1)
    g = tovrana.Grid(nz=1, ny=2, nx=2, blocked=[], pad_owner=[], via_blocked=[], via_index=[])
    assert g.occ_signature() == 0


class Boom(Exception):
    pass


class BadIndex:
    def __index__(self):
        raise Boom("no index")


class Index5:
    def __index__(self):
        return 5


class BadSeq:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise Boom("no items")


def flat(nx):
    return tovrana.Grid(nx, 2, 1, [], [], [], [])


def test_conversion_rules():
    def fails(exc, fn, text=None):
        with pytest.raises(exc) as e:
            fn()
        if text is not None:
            assert str(e.value) == text
        return e.value

    # ints: 32-bit range, index hook, prefix only for plain TypeError
    assert flat(Index5()) is not None and flat(True) is not None
    fails(OverflowError, lambda: flat(2**31), "out of range integral type conversion attempted")
    fails(OverflowError, lambda: flat(-(2**31) - 1))
    fails(OverflowError, lambda: flat(2**100))
    assert str(fails(TypeError, lambda: flat(1.5))).startswith("argument 'nx': ")
    fails(Boom, lambda: flat(BadIndex()))
    # sequences: str refused, lists of tuples, tuple length errors without prefix
    assert str(fails(TypeError, lambda: tovrana.Grid(4, 4, 2, "ab", [], [], []))).startswith("argument 'blocked': ")
    assert str(fails(TypeError, lambda: tovrana.Grid(4, 4, 2, [[1, 2, 0]], [], [], []))).startswith("argument 'blocked': ")
    fails(ValueError, lambda: tovrana.Grid(4, 4, 2, [(1, 2)], [], [], []),
          "expected tuple of length 3, but got tuple of length 2")
    fails(TypeError, lambda: tovrana.Grid(4, 4, 2, (x for x in []), [], [], []))
    fails(Boom, lambda: tovrana.Grid(4, 4, 2, BadSeq(), [], [], []))
    assert tovrana.Grid(4, 4, 2, range(0), (), [], []) is not None
    # floats accept ints and float hooks; bools are strict
    assert tovrana.Grid(4, 4, 2, [], [], [], [(0, 1, 2)]) is not None
    fails(TypeError, lambda: tovrana.Grid(4, 4, 2, [], [], [], [(0, 1, "x")]))
    g = tovrana.Grid(4, 4, 1, [], [], [], [])
    for bad in (1, 0, None, "True"):
        e = fails(TypeError, lambda: g.box_maze(1, [], [], [], [], [], [], 0, 0, 0, [], 1, bad))
        assert str(e).startswith("argument 'use_occ': ")
    assert g.box_maze(1, [], [], [], [], [], [], 0, 0, 0, [], 1, np.bool_(True)) is None
    assert g.flexgc([], 0, 0, None, 0, 0, [np.True_, False]) == []


def test_type_error_cause_is_kept():
    class Raiser:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as k:
                raise TypeError("outer") from k

    with pytest.raises(TypeError) as e:
        flat(Raiser())
    assert str(e.value) == "argument 'nx': outer"
    assert isinstance(e.value.__cause__, KeyError)


def test_failed_conversion_leaves_grid_untouched():
    g = tovrana.Grid(6, 6, 1, [], [], [], [])
    g.occ_init([(1, [(2, 2, 0)], [])], 1, 1)
    before = g.occ_signature()
    with pytest.raises(TypeError):
        g.occ_init([(1, [(2, 2, 0)], []), (2, [(1, 1, 0)], "x")], 1, 1)
    with pytest.raises(ValueError):
        g.occ_init([(2, [(0, 0, 0), (1, 1)], [])], 1, 1)
    assert g.occ_signature() == before


def test_capacity_overflow_and_memory():
    with pytest.raises(PanicException, match="capacity overflow"):
        tovrana.Grid(-1, 4, 4, [], [], [], [])
    with pytest.raises(PanicException, match="capacity overflow"):
        tovrana.Grid(2**31 - 1, 2**31 - 1, 2**31 - 1, [], [], [], [])
    if not SANITIZED:  # the sanitizers' allocators abort instead of failing the allocation
        with pytest.raises(MemoryError):
            tovrana.Grid(2**20, 2**20, 2**20, [], [], [], [])
    assert tovrana.Grid(0, 5, 5, [(0, 0, 0)], [(0, 0, 0, 1)], [(1, 1)], []).occ_signature() == 0


def test_borrow_flags_during_batch():
    """A long batch holds the grid exclusively; other threads get the borrow errors."""
    d = make_design("medium", 3)
    g = d.load(tovrana.Grid(*d.grid_args()), (1, 1))
    errors = []
    done = threading.Event()

    def run():
        try:
            for batch in d.box_batches(4):
                g.route_boxes(batch, d.gc, 1, 1, True, 3, 4.0, 2.0, 1.0, 0.5, 1, 6, d.vertical, 1)
        finally:
            done.set()

    t = threading.Thread(target=run)
    t.start()
    while not done.is_set():
        for call, message in ((lambda: g.occ_signature(), "Already mutably borrowed"),
                              (lambda: g.set_name_rank([]), "Already borrowed")):
            try:
                call()
            except RuntimeError as e:
                errors.append((str(e), message))
    t.join()
    assert all(got == want for got, want in errors)
    assert errors, "the batch never overlapped the other thread's calls"


def packed(cells):
    """Cells as the module's packed 64-bit ids: ix | iy << 21 | layer << 42."""
    return np.array([x | y << 21 | z << 42 for x, y, z in cells], dtype=np.int64)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_cells_given_as_packed_ids_are_the_same_cells(seed):
    """Every call that takes a cell list takes it as packed ids too, with the results and
    the kept state of the same cells given as tuples."""
    d = make_design(seed=seed, shape=(24, 20, 3, 8, 4))
    as_tuples, as_ids = (d.load(tovrana.Grid(*d.grid_args())) for _ in range(2))
    as_ids.routes_init([(net, packed(cells), edges) for net, cells, edges in d.route_list()])
    as_ids.occ_init([(net, packed(cells), packed(vias)) for net, cells, vias in d.occ_nets()], 1, 1)
    assert as_ids.occ_signature() == as_tuples.occ_signature()
    assert as_ids._check_state() == as_tuples._check_state()
    args = dict(wire_halo=1, via_halo=1, region=None, prl_halo=1, prl_len=3, vertical=d.vertical)
    nets = d.occ_nets()
    assert as_tuples.flexgc(nets=nets, **args) == as_tuples.flexgc(
        nets=[(n, packed(c), packed(v)) for n, c, v in nets], **args)
    net, cells, edges = d.route_list()[0]
    as_ids.routes_update(net, packed(cells[:3]), edges[:2])
    as_tuples.routes_update(net, cells[:3], edges[:2])
    assert as_ids._check_state() == as_tuples._check_state()
    empty = np.zeros(0, dtype=np.int64)
    assert as_tuples.flexgc(nets=[(1, empty, empty)], **args) == []


@pytest.mark.parametrize("seed", [6, 7])
def test_batches_hand_back_packed_routes_on_request(seed):
    """packed=True: route_boxes and merge_boxes give each route as array('q') of cell ids and
    of edge end ids, two per edge, in the tuple form's order; routes_update takes them back
    (edges also as an n x 2 array), and the grids stay in step."""
    d = make_design(seed=seed, shape=(24, 20, 3, 10, 4))
    as_tuples, as_ids, merging = (d.load(tovrana.Grid(*d.grid_args())) for _ in range(3))
    params = dict(gc=d.gc, wire_halo=1, via_halo=1, ripup_all=True, maze_end_iter=2, gg_drc=4.0, gg_marker=2.0,
                  gg_fixed=1.0, marker_decay=0.5, prl_halo=1, prl_len=4, vertical=d.vertical, n_threads=2)
    changed = 0
    for batch in d.box_batches(1) + d.box_batches(2):
        blob = merging.work_boxes(batch, **params)
        want = as_tuples.route_boxes(batch, **params)
        got = as_ids.route_boxes(batch, **params, packed=True)
        assert merging.merge_boxes(batch, d.gc, [blob], 2, True) == got
        assert [n for n, _, _ in got] == [n for n, _, _ in want]
        for (net, cells, edges), (_, ids, end_ids) in zip(want, got):
            assert ids.typecode == end_ids.typecode == "q"
            assert ids.tolist() == packed(cells).tolist()
            assert end_ids.tolist() == packed([c for e in edges for c in e]).tolist()
            as_tuples.routes_update(net, cells, edges)
            as_ids.routes_update(net, ids, end_ids)
            merging.routes_update(net, ids, np.array(end_ids).reshape(-1, 2))
            changed += 1
        assert as_ids._check_state() == as_tuples._check_state() == merging._check_state()
    assert changed
    with pytest.raises(TypeError, match="two packed ids per edge"):
        as_ids.routes_update(1, packed([(1, 1, 1)]), packed([(1, 1, 1)] * 3))
    with pytest.raises(ValueError, match="2\\*\\*21"):
        tovrana.Grid(1 << 22, 1, 1, [], [], [], []).route_boxes([(0, 0, 1, 1)], **params, packed=True)


def test_malformed_packed_ids_are_refused_and_change_nothing():
    d = make_design(seed=4, shape=(12, 12, 2, 4, 4))
    g = d.load(tovrana.Grid(*d.grid_args()))
    before = g.occ_signature()
    ok = packed([(1, 2, 1)])
    for bad, error, text in [
            (np.array([1.0, 2.0]), TypeError, "signed 64-bit packed ids"),
            (np.array([1, 2], dtype=np.int32), TypeError, "signed 64-bit packed ids"),
            (np.array([1, 2], dtype=np.uint64), TypeError, "signed 64-bit packed ids"),
            (packed([(1, 2, 1), (3, 4, 1)]).reshape(1, 2), TypeError, "one-dimensional"),
            (b"\x01\x02", TypeError, "signed 64-bit packed ids"),
            (np.array([5, -1], dtype=np.int64), ValueError, "packed cell id -1 is negative"),
            (packed([(1, 2, 1), (2, 2, 1), (3, 2, 1)])[::2], (TypeError, ValueError, BufferError), None),
    ]:
        with pytest.raises(error, match=text):
            g.occ_init([(1, ok, ok), (2, bad, ok)], 1, 1)
        assert g.occ_signature() == before
    # a packed cell off the grid is taken as the same tuple would be
    other = d.load(tovrana.Grid(*d.grid_args()))
    g.routes_update(1, packed([(4000, 5, 1)]), [])
    other.routes_update(1, [(4000, 5, 1)], [])
    assert g._check_state() == other._check_state()


def test_records_of_ints_given_as_int32_rows_are_the_same_records():
    """Blocked and pad cells (any record of ints only) as a two-dimensional int32 array: the
    same grid as from tuples; a wrong shape or type is refused."""
    d = make_design(seed=5, shape=(20, 16, 3, 6, 4))
    nx, ny, nz, blocked, pads, via_blocked, via_index = d.grid_args()
    from_rows = d.load(tovrana.Grid(nx, ny, nz, np.array(blocked, dtype=np.int32).reshape(-1, 3),
                                    np.array(pads, dtype=np.int32).reshape(-1, 4),
                                    np.array(via_blocked, dtype=np.int32).reshape(-1, 2), via_index))
    from_tuples = d.load(tovrana.Grid(*d.grid_args()))
    assert from_rows._check_state() == from_tuples._check_state()
    assert from_rows._memory_usage() == from_tuples._memory_usage()
    net, cells, _ = d.route_list()[0]
    corridor = [(x, y) for x in range(5) for y in range(4)]
    search = lambda g: g.box_maze(net, cells[:1], cells[-1:], [], None, [], [], 2.0, 0.0, 0.0, corridor, 4, True)
    assert search(from_rows) == search(from_tuples)
    good = np.array(pads, dtype=np.int32).reshape(-1, 4)
    assert len(good) > 2
    for bad in (good[:, :3], good.astype(np.int64), good.astype(np.float32), good.ravel(), good[::2]):
        with pytest.raises((TypeError, ValueError, BufferError)):
            tovrana.Grid(nx, ny, nz, blocked, bad, via_blocked, via_index)
