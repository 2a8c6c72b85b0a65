"""A batch worked in parts (work_boxes) and merged (merge_boxes) is route_boxes of the
whole batch; bytes that are not a part of this batch in this state are refused."""
import random
import struct
import threading
import zlib

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import tovrana
from conftest import PanicException, examples
from testkit.designs import make_design
from test_route_boxes import params

BATCH = dict(wire_halo=1, via_halo=1, ripup_all=True, maze_end_iter=3, gg_drc=4.0, gg_marker=2.0, gg_fixed=1.0,
             marker_decay=0.5, prl_halo=1, prl_len=6)


def loaded(d, occ_halos=(1, 1)):
    obstacles = [(x, y, layer) for layer, x, y in d.blocked[:3]]
    return d.load(tovrana.Grid(*d.grid_args()), occ_halos, obstacles)


def batch_args(d, p, n_threads=2):
    return dict(gc=d.gc, **p, vertical=d.vertical, n_threads=n_threads)


def split(batch, labels, n_parts):
    return [[box for box, label in zip(batch, labels) if label == k] for k in range(n_parts)]


@settings(max_examples=examples(40), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(0, 10**6), st.integers(8, 24), st.integers(8, 24), st.integers(2, 3), st.integers(2, 5),
       st.integers(2, 12), params, st.tuples(st.integers(0, 2), st.integers(0, 2)), st.integers(1, 4),
       st.randoms(use_true_random=False))
def test_parts_merge_to_the_whole_batch(seed, nx, ny, nz, gc, nets, p, occ_halos, n_parts, rnd):
    """Any partition of each batch, each part worked on its own grid, results in any
    order: the same routes and the same occ as route_boxes, pass after pass."""
    d = make_design(seed=seed, shape=(nx, ny, nz, nets, gc))
    whole, merging = loaded(d, occ_halos), loaded(d, occ_halos)
    workers = [loaded(d, occ_halos) for _ in range(n_parts)]
    for batch in d.box_batches(1) + d.box_batches(2):
        args = batch_args(d, p, n_threads=rnd.randint(1, 3))
        want = whole.route_boxes(batch, **args)
        parts = split(batch, [rnd.randrange(n_parts) for _ in batch], n_parts)
        results = [w.work_boxes(part, **args) for w, part in zip(workers, parts) if part or rnd.random() < 0.5]
        rnd.shuffle(results)
        got = merging.merge_boxes(batch, d.gc, results, rnd.randint(1, 4))
        assert {n: (c, e) for n, c, e in got} == {n: (c, e) for n, c, e in want}
        assert len(got) == len(want)
        assert merging.occ_signature() == whole.occ_signature()
        for g in [merging, *workers]:  # the merged occ comes from merge_boxes, the routes from the driver
            if g is not merging:
                g.merge_boxes(batch, d.gc, results)
            for net, cells, edges in got:
                g.routes_update(net, cells, edges)
        for net, cells, edges in want:
            whole.routes_update(net, cells, edges)


D = make_design("small", 7)
BOXES = D.box_batches(2)[0]


def fresh():
    return loaded(D)


def work(g, boxes=BOXES, n_threads=2, **changes):
    return g.work_boxes(boxes, **batch_args(D, {**BATCH, **changes}, n_threads))


def state(g):
    """What a merge may change (occ) and what work_boxes digests (store and occ)."""
    return g.occ_signature(), work(g, [])


def refused(g, results, match, boxes=BOXES, gc=D.gc):
    before = state(g)
    with pytest.raises(ValueError, match=match):
        g.merge_boxes(boxes, gc, results)
    assert state(g) == before


def with_checksum(body):
    return body + struct.pack("<I", zlib.crc32(body))


def test_results_are_deterministic_bytes():
    g = fresh()
    reference = work(g)
    assert all(work(g, n_threads=n) == reference for n in (1, 3, 8))
    assert work(fresh()) == reference
    # a shared borrow: workers on several Python threads at once read one grid
    out = [None] * 3

    def run(i):
        out[i] = work(g)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert out == [reference] * 3
    assert reference.startswith(b"TVBR") and zlib.crc32(reference[:-4]) == struct.unpack("<I", reference[-4:])[0]


def test_wrong_parts_are_refused_and_leave_the_grid_unchanged():
    g = fresh()
    whole = work(g)
    halves = [work(g, BOXES[:1]), work(g, BOXES[1:])]
    other_batch = work(g, D.box_batches(2)[1])
    refused(g, [halves[0]], r"box 1 \(\d+, \d+, \d+, \d+\) of the batch has no result")
    refused(g, [], "box 0 .* has no result")
    refused(g, [whole, halves[0]], "has more than one result")
    refused(g, [whole, other_batch], "which the batch does not hold")
    refused(g, halves, "which the batch does not hold", boxes=BOXES[1:])
    refused(g, [whole], "worked with gc 10, not 5", gc=5)
    refused(g, [halves[0], work(g, BOXES[1:], prl_len=7)], r"results\[1\] was worked with other parameters")
    refused(g, [b"", b"TVBR", b"xyz" * 9, whole[:4] + b"\x07" + whole[5:]], r"results\[0\]: not box results")
    refused(g, [whole[:-1]], "checksum mismatch")
    refused(g, [whole + b"\0"], "checksum mismatch")
    refused(g, [with_checksum(whole[:-4] + b"\0")], "1 trailing bytes")
    refused(g, [with_checksum(b"TVBR\x02" + whole[5:-4])], "format version 2")
    for pos in random.Random(1).sample(range(4, len(whole)), 40):
        refused(g, [whole[:pos] + bytes([whole[pos] ^ 0x10]) + whole[pos + 1:]], "checksum mismatch|format version")
    with pytest.raises(TypeError, match="argument 'results'"):
        g.merge_boxes(BOXES, D.gc, [bytearray(whole)])
    with pytest.raises(PanicException):
        g.merge_boxes(BOXES, 0, [whole])

    # results of another state: after one batch has been merged, the old ones no longer fit
    assert g.merge_boxes(BOXES, D.gc, halves[::-1]) == fresh().route_boxes(BOXES, **batch_args(D, BATCH))
    refused(g, [whole], r"results\[0\] was worked on a grid in another state")


def test_empty_batch():
    g = fresh()
    empty = work(g, [])
    assert g.merge_boxes([], D.gc, [empty, empty]) == [] and g.merge_boxes([], D.gc, []) == []
    refused(g, [work(g)], "which the batch does not hold", boxes=[])
    # boxes with no gcell are never refused as overlapping, so a batch may repeat one
    hollow = [(3, 3, 2, 2), (0, 0, 0, 0), (3, 3, 2, 2)]
    assert g.merge_boxes(hollow, D.gc, [work(g, hollow[1:]), work(g, hollow[:1])]) == fresh().route_boxes(
        hollow, **batch_args(D, BATCH))
    refused(g, [work(g, hollow[:2])], r"box 2 \(3, 3, 2, 2\) of the batch has no result", boxes=hollow)


@settings(max_examples=examples(300), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_any_bytes_are_refused_or_merged_never_a_crash(data):
    """Bytes with a valid checksum but any content reach the parser: cut, spliced,
    overwritten or extended, they give ValueError or a merge, never a crash."""
    g = fresh()
    body = bytearray(WHOLE[:-4])
    for _ in range(data.draw(st.integers(1, 4))):
        pos = data.draw(st.integers(0, len(body)))
        action = data.draw(st.sampled_from(["overwrite", "cut", "insert"]))
        chunk = data.draw(st.binary(min_size=1, max_size=12))
        if action == "overwrite":
            body[pos:pos + len(chunk)] = chunk
        elif action == "cut":
            del body[pos:pos + len(chunk)]
        else:
            body[pos:pos] = chunk
    try:
        g.merge_boxes(BOXES, D.gc, [with_checksum(bytes(body))])
    except ValueError:
        pass


WHOLE = work(fresh())
