"""Batches worked by Ray actors, each holding a replica of the grid.

Every actor builds a `Grid` from the engine's `GridRecipe`; the leader (this process) builds
its own. Per batch the leader splits the boxes across the actors, balanced by an estimate
of each box's cost; each actor works its part with `Grid.work_boxes`; the result bytes go
through Ray's object store; and the leader and every replica apply `Grid.merge_boxes` with
all of them, on as many threads as an actor works with, and then the routes it returns
(`apply_routes`). Other changes (a net's route put back, an occupancy rebuild) go to every
grid in the same order. So all grids stay identical, which is checked after
every batch: the replicas' `occ_signature` must equal the leader's (checked when the next
batch starts, so that the replicas merge while the leader goes on), and `merge_boxes`
itself refuses results worked on a grid in another state (route store or occupancy). A
divergence stops the run with `ReplicaMismatchError`; every failure of the engine is a
`DistributedError`.

The batches of a pass are known when it starts (`expect_batches`). The next one is handed
out right behind the replicas' merges of the last, so the actors work it while the leader
merges; its results are used only if no other change came between the two batches, and
dropped otherwise (working a batch only reads a grid).

With `leader_share` the leader works a share of every batch itself, on its own grid, beside
one actor fewer: the leader's grid must merge every batch anyway, so each replica it
replaces is a merge of every batch saved on the cluster's processors.

A box's result depends only on the grid's state, so the boxes of an actor that dies during
a batch are simply worked again on another actor (on the leader when none is left), and the
run finishes with the same routes.

Ray is an optional extra (`pip install 'tovrana[distributed]'`); it is imported only when a
`RayEngine` is made. Every machine of a cluster needs the same build of `tovrana` and this
package installed; for a local cluster the workers find this package where the leader does.
"""
from __future__ import annotations

import os
import time
from collections import Counter
from dataclasses import dataclass
from typing import Any, Callable, Sequence

from ..grid_routes import Box
from .engines import GridRecipe, apply_routes


class DistributedError(RuntimeError):
    """The distributed engine cannot go on: Ray did not start, or a replica is lost or wrong."""


class ReplicaMismatchError(DistributedError):
    """A replica's state no longer equals the leader's; results would no longer be exact."""


def box_area(box: Box) -> int:
    """The default cost estimate of a box: its area in gcells. Any callable from a box to a
    number can stand in for it, for example `marker_cost`, which follows the work far more
    closely."""
    return max(0, box[2] - box[0] + 1) * max(0, box[3] - box[1] + 1)


def marker_cost(markers: Sequence[tuple[list, int, list]], gc: int) -> Callable[[Box], int]:
    """A cost estimate that follows the work: 1 + the markers (as `Grid.flexgc` returns
    them) whose first cell lies in the box. Set it as an engine's `cost` whenever the
    driver has fresh markers, e.g. once per pass."""
    per_gcell = Counter((cells[0][0] // gc, cells[0][1] // gc) for cells, _, _ in markers if cells)

    def cost(box: Box) -> int:
        if box_area(box) <= len(per_gcell):   # rip-up boxes are a few gcells: look each up
            return 1 + sum(per_gcell.get((gx, gy), 0) for gx in range(box[0], box[2] + 1)
                           for gy in range(box[1], box[3] + 1))
        return 1 + sum(n for (gx, gy), n in per_gcell.items() if box[0] <= gx <= box[2] and box[1] <= gy <= box[3])

    return cost


def split_by_cost(boxes: Sequence[Box], costs: Sequence[float], n_parts: int) -> list[list[Box]]:
    """The boxes in `n_parts` parts of nearly equal total cost: costliest box first, each to
    the part with the least cost so far (ties: the lower part). Each part keeps the batch
    order; the split depends on the costs alone."""
    loads = [0.0] * n_parts
    owner = [0] * len(boxes)
    for i in sorted(range(len(boxes)), key=lambda i: (-costs[i], i)):
        part = min(range(n_parts), key=lambda p: (loads[p], p))
        owner[i] = part
        loads[part] += costs[i]
    return [[b for b, p in zip(boxes, owner) if p == part] for part in range(n_parts)]


# The changes a replica applies, in the leader's order.

@dataclass(frozen=True)
class NewRoute:
    """A net's route replaced (with `occ`, in the occupancy map too)."""
    net: int
    cells: list
    edges: list
    occ: bool = False

    def apply(self, replica: "GridReplica") -> None:
        replica.grid.routes_update(self.net, self.cells, self.edges, occ=self.occ)


@dataclass(frozen=True)
class OccupancyRebuild:
    nets: list
    wire_halo: int
    via_halo: int

    def apply(self, replica: "GridReplica") -> None:
        replica.grid.occ_init(self.nets, self.wire_halo, self.via_halo)


# How much lower an actor of a local cluster runs than the leader (`os.nice`): on the one
# machine the leader and every replica merge each batch at once, and only the leader's merge
# holds up the next batch; the replicas finish theirs while the leader counts markers.
LOCAL_ACTOR_NICENESS = 5


class GridReplica:
    """What one actor holds: a grid built from the recipe, changed only by the leader. It
    merges on `threads` threads; `niceness` lowers its process's priority."""

    def __init__(self, recipe: GridRecipe, threads: int = 1, niceness: int = 0):
        if niceness:
            os.nice(niceness)
        self.threads = threads
        self.grid = recipe.build()

    def ready(self) -> bool:
        return True

    def work(self, boxes: list[Box], params: dict) -> bytes:
        return self.grid.work_boxes(boxes, **params)

    def merge(self, boxes: list[Box], gc: int, *results: bytes) -> int:
        apply_routes(self.grid, self.grid.merge_boxes(boxes, gc, list(results), self.threads, packed=True))
        return self.grid.occ_signature()

    def apply(self, changes: list) -> None:
        for change in changes:
            change.apply(self)


@dataclass
class BatchStats:
    """What one batch cost the leader: `bytes` of results shipped (each result goes to the
    leader and to every replica), `work_s` from checking the replicas' merge of the batch
    before and submitting the parts to holding every result, `merge_s` the leader's own
    merge (the replicas merge meanwhile); `ahead` whether the results were those of the
    parts handed out ahead, during the merge of the batch before."""
    boxes: int
    parts: int
    bytes: int
    work_s: float
    merge_s: float
    ahead: bool = False


def parse_local(address_or_local: str) -> int | None:
    """N for "local:N" (a local cluster of N worker processes), None for an address."""
    if not address_or_local.startswith("local:"):
        return None
    count = address_or_local[len("local:"):]
    if not count.isdigit() or int(count) < 1:
        raise ValueError(f"{address_or_local!r}: expected local:N with N a positive number of processes")
    return int(count)


@dataclass
class _WorkAhead:
    """A batch handed out to the actors before the leader asked for it."""
    boxes: list
    params: dict
    tasks: list                  # (actor, part, result ref)
    own: list                    # the leader's part, worked when the batch is asked for


class RayEngine:
    """The batch on Ray actors, each with a grid replica; see the module doc string.

    `address_or_local` is "local:N" to start a local cluster of N worker processes (or use
    the one this process already started), or the address of a cluster to join. `actors`
    defaults to one per `threads_per_actor` processors of the cluster, one fewer with
    `leader_share` (the leader then works a part of every batch too); each actor works its
    part on `threads_per_actor` threads. `cost` estimates the
    work of a box (see `box_area`).
    The constructor returns when every actor has built its grid (`ready_timeout` seconds at
    most, else DistributedError). The actors of a local cluster run at a lower priority
    than the leader (`LOCAL_ACTOR_NICENESS`).
    """

    def __init__(self, recipe: GridRecipe, address_or_local: str, *, actors: int | None = None,
                 threads_per_actor: int = 1, cost: Callable[[Box], float] = box_area,
                 ready_timeout: float = 300.0, leader_share: bool = False):
        try:
            import ray
        except ImportError as e:
            raise ImportError(f"Ray is not installed (pip install 'tovrana[distributed]'): {e}") from e

        self._ray = ray
        self.cost = cost
        self.threads_per_actor = max(1, threads_per_actor)
        self.stats: list[BatchStats] = []
        self._pending: list = []   # changes not yet sent to the replicas
        self._unchecked = None    # (batch, leader's occ_signature, replicas' merge refs) of the last batch
        self._expected: list[tuple[list[Box], dict]] = []   # the batches announced and not yet worked
        self._ahead: _WorkAhead | None = None   # the next batch, handed out before the leader's merge
        try:
            self._owns_ray = self._connect(address_or_local)
        except Exception as e:   # Ray's own errors for an address it cannot reach are of several kinds
            raise DistributedError(f"Ray could not start or join the cluster {address_or_local!r}: {e}") from e
        local = parse_local(address_or_local) is not None
        self.leader_share = leader_share
        processors = int(ray.cluster_resources().get("CPU", 1))
        count = actors or max(1, processors // self.threads_per_actor - self.leader_share)
        replica = ray.remote(num_cpus=self.threads_per_actor, max_restarts=0, max_task_retries=0)(GridReplica)
        niceness = LOCAL_ACTOR_NICENESS if local else 0
        # they build while the leader does
        self.actors = [replica.remote(recipe, self.threads_per_actor, niceness) for _ in range(count)]
        self._names = {id(actor): f"actor {k}" for k, actor in enumerate(self.actors)}
        try:
            self.grid = recipe.build()
            ray.get([actor.ready.remote() for actor in self.actors], timeout=ready_timeout)
        except ray.exceptions.GetTimeoutError:
            self.close()
            raise DistributedError(f"Ray did not start {count} actors of {self.threads_per_actor} processor(s) each "
                               f"within {ready_timeout} s; the cluster has {processors} processors, some "
                               "perhaps held by other actors") from None
        except ray.exceptions.RayActorError as e:
            self.close()
            raise DistributedError(f"a Ray actor could not build its grid replica (are tovrana and tovrana_flow "
                               f"installed where it runs?): {e}") from e
        except BaseException:
            self.close()
            raise

    def _connect(self, address_or_local: str) -> bool:
        """Starts or joins the cluster: whether this engine started Ray (and shuts it down)."""
        ray = self._ray
        n_local = parse_local(address_or_local)
        if ray.is_initialized():
            return False
        if n_local is None:
            ray.init(address=address_or_local, log_to_driver=False)
        else:
            # Workers import this package from where the leader found it.
            here = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
            path = os.pathsep.join(p for p in (here, os.environ.get("PYTHONPATH")) if p)
            ray.init(num_cpus=n_local, include_dashboard=False, log_to_driver=False,
                     runtime_env={"env_vars": {"PYTHONPATH": path}})
        return True

    # ---- the BatchEngine protocol ----

    def route_boxes(self, boxes, **params):
        try:
            return self._route_boxes([tuple(b) for b in boxes], params)
        except self._ray.exceptions.RayError as e:
            raise DistributedError(f"Ray failed during batch {len(self.stats) + 1}: {e}") from e

    def _route_boxes(self, boxes, params):
        started = time.perf_counter()
        self._check_replicas()
        params = dict(params)
        packed = params.pop("packed", False)     # how the leader's merge hands the routes back
        params["n_threads"] = self.threads_per_actor
        ahead = self._take_ahead(boxes, params)
        self._flush()
        if not boxes:
            return []
        refs, blobs, sources = self._work(boxes, params, ahead)
        worked = time.perf_counter()
        routes = self._merge(boxes, params, refs, blobs, sources, packed)
        self.stats.append(BatchStats(len(boxes), len(blobs), sum(map(len, blobs)), worked - started,
                                     time.perf_counter() - worked, ahead is not None))
        return routes

    def update_route(self, net, cells, edges, occ=False):
        self.grid.routes_update(net, cells, edges, occ=occ)
        self._pending.append(NewRoute(net, cells, edges, occ))

    def rebuild_occupancy(self, nets, wire_halo, via_halo):
        self.grid.occ_init(nets, wire_halo, via_halo)
        # a rebuild replaces the whole map, and no other pending change touches it: the
        # replicas need only the last one
        self._pending = [c for c in self._pending if not isinstance(c, OccupancyRebuild)]
        self._pending.append(OccupancyRebuild(nets, wire_halo, via_halo))

    def balance_by_markers(self, markers, gc):
        self.cost = marker_cost(markers, gc)

    def expect_batches(self, batches, params):
        self._expected = [([tuple(b) for b in batch], {**params, "n_threads": self.threads_per_actor})
                          for batch in batches]

    def close(self):
        for actor in self.actors:
            self._ray.kill(actor, no_restart=True)
        self.actors = []
        if self._owns_ray:
            self._ray.shutdown()
            self._owns_ray = False

    # ---- one batch ----

    def settle(self) -> float:
        """Waits until every replica has merged the last batch and applied the changes made
        since; returns the seconds waited. Batches need not wait (an actor runs its
        tasks in order); measurements do, to tell the replicas' catching up from the work."""
        started = time.perf_counter()
        self._check_replicas()
        for actor, ref in self._flush():
            try:
                self._ray.get(ref)
            except self._ray.exceptions.RayActorError:
                self._drop(actor)
        return time.perf_counter() - started

    def _flush(self):
        """Sends the changes made since the last batch, in order, ahead of its work."""
        if not self._pending:
            return []
        calls = self._ray.put(self._pending)   # pickled once for all replicas
        self._pending = []
        return [(actor, actor.apply.remote(calls)) for actor in self.actors]

    def _submit(self, boxes: list[Box], params: dict) -> tuple[list[tuple[Any, list[Box], Any]], list[Box]]:
        """The boxes split across the actors (and the leader, with `leader_share` or when no
        actor is left), each actor's part handed out: the tasks, and the leader's part."""
        workers = len(self.actors) + (self.leader_share or not self.actors)
        parts = split_by_cost(boxes, [self.cost(b) for b in boxes], workers)
        tasks = [(actor, part, actor.work.remote(part, params)) for actor, part in zip(self.actors, parts) if part]
        return tasks, parts[len(self.actors)] if workers > len(self.actors) else []

    def _take_ahead(self, boxes: list[Box], params: dict):
        """The tasks of this batch if they were handed out ahead (see `_merge`) on the state
        it is to be worked on: nothing changed the grid since. Otherwise None: tasks handed
        out ahead for another batch or state only read a grid, and their results are
        dropped."""
        ahead, self._ahead = self._ahead, None
        if self._expected and self._expected[0] == (boxes, params):
            self._expected.pop(0)
        else:
            self._expected = []
        if ahead is None or (ahead.boxes, ahead.params) != (boxes, params) or self._pending:
            return None
        return ahead.tasks, ahead.own

    def _work(self, boxes: list[Box], params: dict, handed_out=None):
        """Every box worked once (`handed_out`: the tasks and the leader's part of a batch
        handed out ahead): the result refs, their bytes, and who worked each. The leader
        works its part while the actors work theirs; its grid is in their state."""
        ray = self._ray
        refs, blobs, sources = [], [], []
        tasks, own = handed_out if handed_out is not None else self._submit(boxes, params)
        while tasks or own:
            if own:
                blobs.append(self.grid.work_boxes(own, **params))
                refs.append(ray.put(blobs[-1]))
                sources.append("the leader")
            todo = []
            for actor, part, ref in tasks:
                try:
                    blobs.append(ray.get(ref))
                except ray.exceptions.RayActorError:
                    self._drop(actor)
                    todo += part      # worked again by the actors left, or by the leader
                    continue
                refs.append(ref)
                sources.append(self._names[id(actor)])
            tasks, own = self._submit(todo, params) if todo else ([], [])
        return refs, blobs, sources

    def _merge(self, boxes, params, refs, blobs, sources, packed=False):
        """Merges on the leader; the replicas merge meanwhile, and are checked by the next
        `route_boxes` (`_check_replicas`), so that their merge overlaps the leader's work
        between batches. An actor runs its tasks in order, so its next part is worked on
        the merged state either way. The next batch announced (`expect_batches`) is handed
        out right behind the replicas' merges, so that the actors work it while the leader
        merges and applies this one."""
        batch, gc = len(self.stats) + 1, params["gc"]
        merges = [(actor, actor.merge.remote(boxes, gc, *refs)) for actor in self.actors]
        if self._expected and self.actors:
            upcoming, upcoming_params = self._expected[0]
            self._ahead = _WorkAhead(upcoming, upcoming_params, *self._submit(upcoming, upcoming_params))
        try:
            routes = self.grid.merge_boxes(boxes, gc, blobs, self.threads_per_actor, packed=packed)
        except ValueError as e:
            raise ReplicaMismatchError(f"batch {batch}: the leader refused the results "
                                       f"(results[i] came from {', '.join(sources)}): {e}") from e
        apply_routes(self.grid, routes)
        self._unchecked = (batch, self.grid.occ_signature(), merges)
        return routes

    def _check_replicas(self):
        """Every replica's state after the last batch's merge equals the leader's."""
        if self._unchecked is None:
            return
        ray = self._ray
        (batch, expected, merges), self._unchecked = self._unchecked, None
        for actor, ref in merges:
            try:
                signature = ray.get(ref)
            except ray.exceptions.RayActorError:
                self._drop(actor)
                continue
            except ray.exceptions.RayTaskError as e:
                raise ReplicaMismatchError(f"batch {batch}: {self._names[id(actor)]} refused the results: "
                                           f"{e.cause if e.cause is not None else e}") from e
            if signature != expected:
                raise ReplicaMismatchError(f"batch {batch}: the occ_signature of {self._names[id(actor)]} is "
                                           f"{signature}, the leader's {expected}")

    def _drop(self, actor):
        self.actors = [a for a in self.actors if a is not actor]
        self._ray.kill(actor, no_restart=True)

