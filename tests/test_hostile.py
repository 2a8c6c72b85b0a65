"""Hostile arguments and extreme values: every call ends in a proper exception or a
result, quickly, and a failed conversion leaves the Grid as it was."""
import math
import time

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import tovrana
from conftest import SANITIZED, PanicException, examples
from testkit.designs import make_design

I32_MAX, I32_MIN = 2**31 - 1, -(2**31)
SLOW = 60.0 if SANITIZED else 5.0  # seconds any single call may take
D = make_design("tiny", 5)
OBSTACLES = [cells[len(cells) // 2] for cells, _ in list(D.routes.values())[:4]]


def load(g):
    D.load(g, (1, 1), OBSTACLES)


def loaded():
    g = tovrana.Grid(*D.grid_args())
    load(g)
    return g


def fingerprint(g):
    """What the grid's state drives: occ, and batches that read the store, occ and
    every worker constant (and change occ as they go)."""
    out = [g.occ_signature()]
    for batch in D.box_batches(2):
        out.append(sorted(g.route_boxes(batch, D.gc, 1, 1, True, 3, 4.0, 2.0, 1.0, 0.5, 1, 6, D.vertical, 2)))
        out.append(g.occ_signature())
    return out


REFERENCE = fingerprint(loaded())

# One valid call per method, every container non-empty so each level can be mutated.
VALID = {
    "Grid": (5, 4, 2, [(0, 1, 1)], [(1, 2, 2, 7)], [(3, 3)], [(0, 1, 1.5)]),
    "box_maze": (1, [(0, 0, 0)], [(3, 2, 1)], [(1, 1, 0)], [(2, 2, 0)], [(2, 1, 0)], [(0, 1, 0)],
                 2.0, 1.0, 0.5, [(0, 0)], 6, True),
    "occ_init": ([(1, [(0, 0, 0), (1, 0, 0)], [(1, 0, 0)])], 1, 1),
    "occ_signature": (),
    "flexgc": ([(1, [(0, 0, 0)], [(0, 0, 0)]), (2, [(1, 0, 0)], [])], 1, 1, (0, 0, 5, 5), 1, 2, [True, False, True]),
    "routes_init": ([(1, [(0, 0, 0), (1, 0, 0)], [((0, 0, 0), (1, 0, 0))])],),
    "routes_update": (1, [(0, 0, 0)], [((0, 0, 0), (0, 0, 1))]),
    "set_termsets": ([(1, [[(0, 0, 0)], [(2, 2, 0)]])],),
    "set_worker_consts": ([1, 2], [(0, 0, 0)]),
    "set_name_rank": ([(1, 0), (2, 1)],),
    "set_track_model": ([10 * x for x in range(D.nx)], [7 * y for y in range(D.ny)], 10,
                        [(v, 1.5, list(range(D.nx)), list(range(0, D.ny, 2)), 0.5) for v in D.vertical]),
    "set_no_via_cells": ([(1, 1, 1), (2, 2, 0)],),
    "set_spacing_model": ([(5, 8, 12, 12)] * D.nz,),  # needs the track model (refused on a fresh grid)
    "set_net_guides": ([(n, [(0, 0, 0, 11, 11), (1, 4, 4, 20, 20)]) for n in sorted(D.pins)[:4]] + [(1, [])], 2.0,
                       1.0),
    "route_boxes": ([(0, 0, 0, 0), (2, 2, 2, 2)], 6, 1, 1, True, 2, 4.0, 2.0, 1.0, 0.5, 1, 6, [False, True, False], 2),
    "work_boxes": ([(0, 0, 0, 0), (2, 2, 2, 2)], 6, 1, 1, True, 2, 4.0, 2.0, 1.0, 0.5, 1, 6, [False, True, False], 2),
}
# The results of a valid work_boxes call fit a freshly loaded grid.
VALID["merge_boxes"] = ([(2, 2, 2, 2), (0, 0, 0, 0)], 6, [loaded().work_boxes(*VALID["work_boxes"])], 2)
PARAMS = {
    name: [p.split("=")[0] for p in (tovrana.Grid if name == "Grid" else getattr(tovrana.Grid, name))
           .__text_signature__.strip("()").replace(" ", "").split(",") if p and p != "$self"]
    for name in VALID
}
# (method, argument) pairs where the core's own failure is specified: a negative cell
# count, a gcell size of 0 (or INT_MIN / -1), NaN costs reaching the search order.
PANICS = {("Grid", a) for a in ("nx", "ny", "nz")} | {
    ("box_maze", a) for a in ("gc", "gg_drc", "gg_marker", "gg_fixed")} | {
    (m, a) for m in ("route_boxes", "work_boxes") for a in ("gc", "gg_drc", "gg_marker", "gg_fixed", "marker_decay")} | {
    ("merge_boxes", "gc")}


class Boom(Exception):
    pass


RAISED = []  # what the hooks below raised in the current example


class Raises:
    """Its integer, float and bool hooks raise; the very exception must come out."""

    def __init__(self):
        self.exc = Boom("hook")

    def _raise(self):
        RAISED.append(self.exc)
        raise self.exc

    __index__ = __float__ = __bool__ = __int__ = _raise


class FailingIter(list):
    """A sequence whose iteration raises after its first item."""

    def __iter__(self):
        yield from self[:1]
        RAISED.append(Boom("iteration"))
        raise RAISED[-1]


class Shrinking(list):
    """Iteration that clears the sequence under way."""

    def __iter__(self):
        for i, x in enumerate(list.__iter__(self)):
            if i == 0:
                self.clear()
            yield x


class LyingLength(list):
    def __iter__(self):
        return list.__iter__(self)

    def __len__(self):
        return 2**62


class Mutator:
    """A leaf whose conversion empties and refills the exact list that holds it."""

    def __init__(self, owner, refill):
        self.owner, self.refill = owner, refill

    def __index__(self):
        self.owner[:] = self.refill
        return 0

    __float__ = __index__


def with_mutator(node):
    """A copy of the list `node` whose first leaf mutates the copy while converted."""
    out = list(node)
    refill = [out[-1]] * 3 if len(out) < 3 else []

    def first_leaf(x):
        if isinstance(x, (list, tuple)) and x:
            return type(x)([first_leaf(x[0]), *x[1:]])
        return Mutator(out, refill)

    out[0] = first_leaf(out[0])
    return out


def hostile(node):
    """Replacement values for one node of a valid argument tree."""
    leaves = [None, "ab", b"\x01", 1.5, math.nan, math.inf, -math.inf, 2**31, I32_MIN - 1, 2**64, -(2**100),
              I32_MAX, I32_MIN, 0, -1, True, 1j, object(), {}, set()]
    options = [st.sampled_from(leaves), st.builds(Raises)]
    if isinstance(node, tuple):
        options.append(st.sampled_from([list(node), node[:-1], node + (0,), (node,), type("T", (tuple,), {})(node)]))
    if isinstance(node, list):
        options.append(st.sampled_from([tuple(node), range(3), [node], [[]], "x" * len(node)]))
        wrappers = [FailingIter, Shrinking, LyingLength, lambda n: (x for x in n)] + ([with_mutator] if node else [])
        options.append(st.sampled_from(wrappers).map(lambda f: f(node)))
    return st.one_of(options)


def nodes(tree, path=()):
    for i, child in enumerate(tree):
        yield path + (i,), child
        if isinstance(child, (list, tuple)):
            yield from nodes(child, path + (i,))


def replace(tree, path, value):
    if not path:
        return value
    items = list(tree)
    items[path[0]] = replace(items[path[0]], path[1:], value)
    return type(tree)(items) if isinstance(tree, tuple) else items


def call(g, name, args, by_keyword):
    fn = tovrana.Grid if name == "Grid" else getattr(g, name)
    start = time.monotonic()
    try:
        if by_keyword:
            return fn(**dict(zip(PARAMS[name], args)))
        return fn(*args)
    finally:
        assert time.monotonic() - start < SLOW, (name, args)


def test_valid_calls_and_fingerprint_sensitivity():
    g = loaded()
    for name, args in VALID.items():
        if name not in ("route_boxes", "merge_boxes"):
            call(g, name, args, False)
    call(g, "route_boxes", VALID["route_boxes"], True)
    assert call(loaded(), "merge_boxes", VALID["merge_boxes"], True) == call(loaded(), "route_boxes",
                                                                             VALID["route_boxes"], False)
    # the fingerprint notices a change to any part of the state
    unit_lines = ([*range(D.nx)], [*range(D.ny)], 1, [(v, 1.0, [*range(D.nx)], [*range(D.ny)]) for v in D.vertical])
    for change in (lambda g: g.set_track_model(*VALID["set_track_model"]),
                   lambda g: g.set_no_via_cells([(x, y, 1) for pins in D.pins.values() for x, y, _ in pins]),
                   lambda g: (g.set_track_model(*unit_lines), g.set_spacing_model([(3, 3, 3, 3)] * D.nz)),
                   lambda g: g.set_net_guides(*VALID["set_net_guides"]),
                   lambda g: g.routes_update(D.route_list()[2][0], [], []), lambda g: g.occ_init(D.occ_nets(), 0, 1),
                   lambda g: g.set_termsets([]), lambda g: g.set_name_rank([(n, -r) for n, r in D.name_rank()[1:]]),
                   lambda g: g.set_worker_consts([], OBSTACLES), lambda g: g.set_worker_consts(D.supply, [])):
        g = loaded()
        change(g)
        assert fingerprint(g) != REFERENCE


@pytest.mark.parametrize("name", [n for n in VALID if VALID[n]])
def test_each_argument_binds_to_its_documented_name(name):
    """Every argument, given positionally or by keyword in any order, is read as the
    parameter the text signature names at its position."""
    fn = lambda g: tovrana.Grid if name == "Grid" else getattr(g, name)
    args, names = VALID[name], PARAMS[name]
    if name in ("box_maze", "flexgc"):  # results that every argument shapes
        assert fn(loaded())(*args) == fn(loaded())(**dict(reversed(list(zip(names, args)))))
    for i, param in enumerate(names):
        bad = args[:i] + (object(),) + args[i + 1:]
        for kwargs in ({}, dict(reversed(list(zip(names, bad))))):
            with pytest.raises(TypeError) as e:
                fn(loaded())(**kwargs) if kwargs else fn(loaded())(*bad)
            assert str(e.value).startswith(f"argument '{param}': "), (name, param, str(e.value))


@settings(max_examples=examples(600), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_hostile_arguments(data):
    name = data.draw(st.sampled_from(sorted(VALID)))
    args = VALID[name]
    if not args:  # occ_signature: any argument at all is refused
        with pytest.raises(TypeError):
            loaded().occ_signature(data.draw(st.sampled_from([None, 0, Raises()])))
        return
    path, node = data.draw(st.sampled_from(list(nodes(args))))
    value = data.draw(hostile(node))
    if len(path) == 1 and (name, path[0]) in {("Grid", 0), ("Grid", 1), ("Grid", 2), ("route_boxes", 5),
                                              ("work_boxes", 5)}:
        # A 2**34-cell grid is a real (huge) allocation, and INT_MAX reroutes of nets
        # whose markers never clear a real (endless) job: neither is a hostile value.
        if value is I32_MAX or value is True:
            value = I32_MIN
    args = replace(args, path, value)
    g = loaded()
    RAISED.clear()
    try:
        call(g, name, args, data.draw(st.booleans()))
        return
    except (TypeError, ValueError, OverflowError):
        pass
    except PanicException:
        assert (name, PARAMS[name][path[0]]) in PANICS
    except Boom as e:
        assert any(e is r for r in RAISED), "a hook's exception must pass through unchanged"
    if name != "Grid":
        assert fingerprint(g) == REFERENCE


def test_reentrant_hooks_meet_the_borrow():
    """A conversion hook that calls back into the same grid: the borrow taken before
    conversion refuses writers, and the refused call's error passes through."""
    g = loaded()

    class Reenter:
        def __index__(self):
            g.occ_init([], 0, 0)
            return 0

    for name in ("box_maze", "flexgc", "occ_init", "route_boxes", "set_name_rank", "work_boxes", "merge_boxes"):
        args = replace(VALID[name], next(p for p, v in nodes(VALID[name]) if type(v) is int), Reenter())
        with pytest.raises(RuntimeError, match="Already borrowed"):
            call(g, name, args, False)
    assert fingerprint(g) == REFERENCE


# ---- extreme values ----

def test_extreme_extents():
    """Extents at the 32-bit limit (with no cells, or few), every coordinate extreme.
    Halos stay small here: a halo as wide as a 2**31-cell row is real work."""
    M, m = I32_MAX, I32_MIN
    cells = [(0, 0, 0), (M, M, M), (m, m, m), (M, m, 0), (m, 0, M), (M - 1, 0, 0)]
    for dims in [(M, 1, 0), (1, M, 0), (0, M, M), (M, M, 0), (M, 0, M), (m, 0, 1), (2**16, 2, 1)]:
        g = tovrana.Grid(*dims, [(c[2], c[0], c[1]) for c in cells], [(*c, 3) for c in cells],
                         [c[:2] for c in cells], [(M, m, 1.0), (0, 1, math.inf)])
        run_everything(g, cells, gcs=(1, -1, M, m), halos=(m, 0, 1), boxes=[(m, m, m, m), (0, 0, 0, 0), (M, M, M, M)])
    with pytest.raises(PanicException, match="capacity overflow"):
        tovrana.Grid(m, 1, 1, [], [], [], [])


def test_extreme_values_on_a_real_design():
    M, m = I32_MAX, I32_MIN
    cells = [(0, 0, 0), (5, 5, 1), (M, M, M), (m, m, m), (23, 23, 2), (m, M, 0), (M, 3, 1)]
    run_everything(loaded(), cells, gcs=(1, -1, 6, M, m), halos=(M, m, 0, 1),
                   boxes=[(m, m, m, m), (0, 0, 0, 0), (M, M, M, M), (1, 1, M - 1, M - 1), (5, 5, 1, 1)])
    g = loaded()
    batch = D.box_batches(1)[0]
    for kw in (dict(wire_halo=M, via_halo=M), dict(prl_halo=M, prl_len=1), dict(prl_len=M), dict(n_threads=m),
               dict(boxes=[(m, m, M, M)]), dict(gc=M), dict(maze_end_iter=m), dict(marker_decay=math.inf)):
        args = dict(zip(PARAMS["route_boxes"], (batch, D.gc, 1, 1, True, 2, 4.0, 2.0, 1.0, 0.5, 1, 6, D.vertical, 2)))
        args.update(kw)
        call(g, "route_boxes", tuple(args.values()), True)


def run_everything(g, cells, gcs, halos, boxes):
    """Every method with the given cells in every cell argument; none may hang."""
    M, m = I32_MAX, I32_MIN
    edges = list(zip(cells, cells[1:]))
    nets = [(n, cells, cells[::2]) for n in (M, m, 0)]
    for gc in gcs:
        for use_occ in (True, False):
            call(g, "box_maze", (1, cells, cells[::-1], cells, cells, cells, cells, 1.0, 2.0, 3.0,
                                 [(0, 0), (M, M), (m, m)], gc, use_occ), False)
    for h in halos:
        call(g, "occ_init", (nets, h, halos[0]), False)
        g.occ_signature()
        for region in (None, (m, m, M, M), (M, M, m, m), (0, 0, 0, 0)):
            call(g, "flexgc", (nets, h, h, region, h, 1, [True, False]), False)
            call(g, "flexgc", (nets, 1, 1, region, max(halos), M, []), False)
    call(g, "routes_init", ([(n, cells, edges) for n in (M, m, 0)],), False)
    call(g, "routes_update", (M, cells[::-1], edges[::-1]), False)
    call(g, "set_termsets", ([(M, [cells, cells[:1]]), (m, [[]])],), False)
    call(g, "set_worker_consts", ([M, m], cells), False)
    call(g, "set_name_rank", ([(M, m), (m, M), (0, M)],), False)
    for gc in (1, M):
        for h in halos:
            call(g, "route_boxes", (boxes, gc, h, h, True, 2, 1.0, 1.0, 1.0, 0.5, h, M, [True], M), False)
    for gc, exc in ((-1, ValueError), (m, ValueError), (0, PanicException)):
        with pytest.raises(exc):
            g.route_boxes([(0, 0, 0, 0)], gc, 0, 0, True, 1, 1.0, 1.0, 1.0, 0.5, 0, 1, [], 1)


def test_huge_iteration_limit_when_markers_clear():
    """Net 2 detours over net 1's track; one reroute clears every marker, so an
    iteration limit of INT_MAX ends as soon as the box is clean."""
    def edges(p):
        return list(zip(p, p[1:]))

    n1 = [(x, 2, 0) for x in range(10)]
    n2 = [(0, 3, 0)] + [(x, 2, 0) for x in range(10)] + [(9, 3, 0)]
    g = tovrana.Grid(10, 10, 1, [], [], [], [])
    g.routes_init([(1, n1, edges(n1)), (2, n2, edges(n2))])
    g.occ_init([(1, n1, []), (2, n2, [])], 0, 0)
    g.set_termsets([(1, [[(0, 2, 0)], [(9, 2, 0)]]), (2, [[(0, 3, 0)], [(9, 3, 0)]])])
    g.set_name_rank([(1, 0), (2, 1)])
    result = call(g, "route_boxes", ([(0, 0, 0, 0)], 10, 0, 0, False, I32_MAX, 1.0, 1.0, 1.0, 0.5, 0, 1, [False], 2),
                  False)
    routes = {1: n1, 2: n2} | {net: cells for net, cells, _ in result}
    assert g.flexgc([(n, c, []) for n, c in routes.items()], 0, 0, None, 0, 1, [False]) == []
