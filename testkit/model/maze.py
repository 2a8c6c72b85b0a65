"""Model of the maze search (maze_run) and of box_maze, built on ModelGrid.

Literal and slow on purpose: one dict per per-search map, heapq with tuple keys,
the cost terms summed in the core's order.
"""
import heapq
import math

from .grid import gcell_key, trunc_div

START = 6
DIRS = 7  # direction codes 0..6: a state (cell, direction) is numbered cell_id * DIRS + direction
# A new g replaces an old one only when lower by more than this, so rounding noise
# between equal-cost sums never picks the path.
IMPROVEMENT = 1e-12


def passable(grid, c, net, hard):
    k = grid.cell_id(c)
    if not grid.inside(c) or k in grid.blocked or k in hard:
        return False
    owner = grid.owner_of(c)
    return owner < 0 or owner == net


def heuristic(c, goal_list, tracks=None):
    if tracks is not None:
        return min(float(tracks.distance(c, g)) / float(tracks.unit) + tracks.change_bound(c, g)
                   for g in goal_list)
    return float(min(abs(c[0] - g[0]) + abs(c[1] - g[1]) + (2 if c[2] != g[2] else 0) for g in goal_list))


def direction(cur, nxt):
    (ix, iy, layer), (nix, niy, nl) = cur, nxt
    if nl == layer:
        if nix - ix == 1 and niy == iy:
            return 1
        if nix - ix == -1 and niy == iy:
            return 5
        if nix == ix and niy - iy == 1:
            return 2
        return 3
    return 4 if nl > layer else 0


class MazeModel:
    def __init__(self, grid, net, starts, goals, gg_drc, gg_marker, gg_fixed, hard, route_shape,
                 marker_pos, fixed, corridor, gc, use_occ, delta=None, heuristic_weight=1.0):
        self.grid, self.net = grid, net
        self.hw = heuristic_weight
        self.starts, self.goals = list(starts), list(goals)
        self.w = (gg_drc, gg_marker, gg_fixed)
        self.hard, self.route_shape, self.marker_pos, self.fixed = hard, route_shape, marker_pos, fixed
        self.corridor = set(corridor)
        self.gc, self.use_occ, self.delta = gc, use_occ, delta
        self.expanded = 0

    def order(self, g):
        """The queue's second key from g, and back: g itself, or under a track model -g
        (among equal f the deeper state pops first)."""
        return -g if self.grid.tracks is not None else g

    def gkey(self, c):
        return gcell_key(trunc_div(c[0], self.gc), trunc_div(c[1], self.gc))

    def run(self):
        grid = self.grid
        self.goal_list, self.goal_set = [], set()
        for c in self.goals:
            k = grid.cell_id(c)
            if passable(grid, c, self.net, self.hard) and k not in self.goal_set:
                self.goal_set.add(k)
                self.goal_list.append(tuple(c))
        starts = [tuple(c) for c in self.starts if passable(grid, c, self.net, self.hard)]
        if not starts or not self.goal_list:
            return None
        for c in starts + self.goal_list:
            self.corridor.add(self.gkey(c))
        self.g, self.came, closed, self.queue = {}, {}, set(), []
        for c in starts:
            s = grid.cell_id(c) * DIRS + START
            self.g[s] = 0.0
            heapq.heappush(self.queue, (heuristic(c, self.goal_list, grid.tracks) * self.hw, self.order(0.0), c[0], c[1], c[2],
                                        START, s))
        while self.queue:
            f, key, ix, iy, layer, d, s = heapq.heappop(self.queue)
            g = self.order(key)
            if s in closed:
                continue
            closed.add(s)
            cur = (ix, iy, layer)
            if grid.cell_id(cur) in self.goal_set:
                return self.reconstruct(s)
            self.expanded += 1
            self.expand(cur, d, g)
        return None

    def expand(self, cur, d, g):
        grid = self.grid
        ix, iy, layer = cur
        for nxt in ((ix + 1, iy, layer), (ix - 1, iy, layer), (ix, iy + 1, layer), (ix, iy - 1, layer)):
            owner = grid.owner_of(nxt)
            if grid.inside(nxt) and grid.cell_id(nxt) not in grid.blocked and (owner < 0 or owner == self.net):
                if grid.tracks is None or grid.tracks.allows(cur, nxt):
                    self.relax(cur, d, g, nxt, 0.0, True)
        if grid.column_key(ix, iy) in grid.via_blocked or not grid.via_may_land(cur):
            return
        for a, b, cost in grid.via_index:
            if a == layer:
                t = b
            elif b == layer:
                t = a
            else:
                continue
            if not 0 <= t < grid.nz:
                raise IndexError("via target layer outside the grid")
            nxt = (ix, iy, t)
            owner = grid.owner_of(nxt)
            if grid.cell_id(nxt) in grid.blocked or (owner >= 0 and owner != self.net) or not grid.via_may_land(nxt):
                continue
            self.relax(cur, d, g, nxt, cost, False)

    def relax(self, cur, d_cur, g, nxt, via_cost, planar):
        grid = self.grid
        k = grid.cell_id(nxt)
        gk = self.gkey(nxt)
        if k not in self.goal_set and gk not in self.corridor:
            return
        if not grid.inside(nxt):
            return
        owner = grid.owner_of(nxt)
        if k in grid.blocked or (owner >= 0 and owner != self.net) or k in self.hard:
            return
        d = direction(cur, nxt)
        straight = d_cur == START or d_cur == d
        outside = grid.outside_guides(self.net, nxt)
        if planar and (grid.tracks is not None or outside):
            # the step's length part (1 without a track model), times outside_factor off the
            # guides, + 1 after a turn
            length = grid.tracks.length_cost(cur, nxt) if grid.tracks is not None else 1.0
            if outside:
                length *= grid.outside_factor
            step = length + (0.0 if straight else 1.0)
        else:
            base = 0.0 if nxt[2] == cur[2] else via_cost
            step = base + (1.0 if straight else 2.0)
            if not planar:
                if grid.tracks is not None and d_cur in (0, 4):
                    step += grid.tracks.stack[cur[2]]  # a via out of a pad a via entered
                if outside:
                    step += grid.outside_via
        if self.use_occ:
            if grid.occ_foreign(k, self.net, self.delta):
                step += self.w[0]
        elif k in self.route_shape:
            step += self.w[0]
        if k in self.marker_pos:
            step += self.w[1]
        if k in self.fixed:
            step += self.w[2]
        new_g = g + step
        s = k * DIRS + d
        old = self.g.get(s, math.inf)
        if not old > new_g + IMPROVEMENT:
            return
        self.g[s] = new_g
        self.came[s] = grid.cell_id(cur) * DIRS + d_cur
        heapq.heappush(self.queue, (heuristic(nxt, self.goal_list, grid.tracks) * self.hw + new_g, self.order(new_g), nxt[0],
                                    nxt[1], nxt[2], d, s))

    def reconstruct(self, s):
        chain = [s]
        while chain[-1] in self.came:
            chain.append(self.came[chain[-1]])
            if len(chain) > len(self.g) + 1:
                raise RuntimeError("came-from cycle")
        chain.reverse()
        out, stride, nx = [], self.grid.nx * self.grid.ny, self.grid.nx
        for s in chain:
            c = s // DIRS
            r = c % stride
            out.append((r % nx, r // nx, c // stride))
        return out


def maze_run(grid, net, starts, goals, gg_drc, gg_marker, gg_fixed, hard, route_shape, marker_pos, fixed,
             corridor, gc, use_occ, delta=None, heuristic_weight=1.0):
    """The path as a list of (ix, iy, layer), or None."""
    return MazeModel(grid, net, starts, goals, gg_drc, gg_marker, gg_fixed, hard, route_shape, marker_pos,
                     fixed, corridor, gc, use_occ, delta, heuristic_weight).run()


def box_maze(grid, net, starts, goals, hard, route_shape, marker_pos, fixed, gg_drc, gg_marker, gg_fixed,
             corridor, gc, use_occ, heuristic_weight=1.0):
    """The Grid.box_maze method over the model: Python arguments in, path or None out."""
    ids = lambda cells: {grid.cell_id(c) for c in cells}
    keys = {gcell_key(gx, gy) for gx, gy in corridor}
    return maze_run(grid, net, starts, goals, gg_drc, gg_marker, gg_fixed, ids(hard), ids(route_shape),
                    ids(marker_pos), ids(fixed), keys, gc, use_occ, heuristic_weight=heuristic_weight)
