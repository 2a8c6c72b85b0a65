"""Synthetic routing designs, reproducible from a seed.

One generator serves the benchmarks, the example driver and the larger tests: a layered
grid with blockages, pads owned by multi-pin nets, via rules, blocked via columns,
initial pattern routes that overlap (so there is work for the router), supply straps
and name ranks. `make_rules` adds routing rules to a design: a track model with uneven
lines, no-via cells, spacing footprints and route guides.
"""

from __future__ import annotations

import random
from dataclasses import dataclass, field

SIZES = {
    # name: (nx, ny, nz, signal nets, gcell size)
    "tiny": (24, 24, 3, 8, 6),
    "small": (60, 60, 4, 40, 10),
    "medium": (160, 160, 4, 260, 10),
    "large": (400, 400, 4, 1200, 10),
}


@dataclass
class Design:
    nx: int
    ny: int
    nz: int
    gc: int
    blocked: list = field(default_factory=list)  # (layer, ix, iy)
    pad_owner: list = field(default_factory=list)  # (layer, ix, iy, net)
    via_blocked: list = field(default_factory=list)  # (ix, iy)
    via_index: list = field(default_factory=list)  # (layer_a, layer_b, cost)
    vertical: list = field(default_factory=list)  # per layer
    pins: dict = field(default_factory=dict)  # net -> [pin cell]
    termsets: dict = field(default_factory=dict)  # net -> [[cell]]
    routes: dict = field(default_factory=dict)  # net -> (cells, edges), in routes-dict order
    supply: list = field(default_factory=list)
    names: dict = field(default_factory=dict)  # net -> name
    wire_halo: int = 1
    via_halo: int = 1
    prl_halo: int = 1
    prl_len: int = 6

    def grid_args(self):
        return (self.nx, self.ny, self.nz, self.blocked, self.pad_owner, self.via_blocked, self.via_index)

    def route_list(self):
        return [(net, cells, edges) for net, (cells, edges) in self.routes.items()]

    def occ_nets(self):
        return [(net, cells, via_cells(edges)) for net, (cells, edges) in self.routes.items()]

    def name_rank(self):
        ordered = sorted(self.names, key=lambda n: self.names[n])
        return [(net, rank) for rank, net in enumerate(ordered)]

    def termset_list(self):
        return list(self.termsets.items())

    def loading_calls(self, occ_halos=None, obstacles=(), rules=None):
        """The calls, as (method, args), that load the routing rules (a `Rules`, if given),
        routes, occupancy and worker constants into a grid as a driver does before its passes."""
        return (rules.calls() if rules else []) + [("routes_init", (self.route_list(),)),
                ("occ_init", (self.occ_nets(), *(occ_halos or (self.wire_halo, self.via_halo)))),
                ("set_termsets", (self.termset_list(),)),
                ("set_name_rank", (self.name_rank(),)),
                ("set_worker_consts", (self.supply, list(obstacles)))]

    def load(self, grid, occ_halos=None, obstacles=(), rules=None):
        """Makes the loading calls on `grid` (a Grid or the model's); returns the grid."""
        for method, args in self.loading_calls(occ_halos, obstacles, rules):
            getattr(grid, method)(*args)
        return grid

    def grid_recipe(self):
        """The grid with the pattern routes loaded, as a driver loads routes before its
        passes, as the flow's batch engines take it."""
        from tovrana_flow.routing.engines import GridRecipe

        return GridRecipe(grid_args=self.grid_args(), routes=self.route_list(), termsets=self.termset_list(),
                          ranks=self.name_rank(), supply=self.supply, obstacles=[], occ_nets=self.occ_nets(),
                          wire_halo=self.wire_halo, via_halo=self.via_halo)

    def grid_model(self):
        """The design as the flow's grid model: one database unit per grid step, the signal
        nets with their terminal sets, the supply straps as routes that never move. The
        pattern routes are not part of it (the flow routes the nets itself)."""
        from tovrana_flow.grid_routes import Route
        from tovrana_flow.mapping import GridMap, GridModel, Halos

        nets = max(self.names, default=0) + 1
        gridmap = GridMap(list(range(self.nx)), list(range(self.ny)), [f"L{z}" for z in range(self.nz)],
                          [f"V{z}{z + 1}" for z in range(self.nz - 1)], 1)
        supply = set(self.supply)
        return GridModel(
            gridmap=gridmap, nz=self.nz, blocked=list(self.blocked), pad_owner=list(self.pad_owner),
            via_blocked=list(self.via_blocked), via_index=list(self.via_index),
            net_names=[self.names.get(n, f"net{n}") for n in range(nets)],
            termsets={n: ts for n, ts in self.termsets.items() if n not in supply}, access={},
            vertical=list(self.vertical), gc=self.gc,
            halos=Halos(self.wire_halo, self.via_halo, self.prl_halo, self.prl_len),
            via_cost=min((cost for _, _, cost in self.via_index), default=1.0), supply=list(self.supply),
            supply_routes={n: Route(*self.routes[n]) for n in self.supply})

    def box_batches(self, box_gcells=2):
        """Four checkerboard batches of boxes; boxes of one batch are a box apart."""
        gx_n = (self.nx + self.gc - 1) // self.gc
        gy_n = (self.ny + self.gc - 1) // self.gc
        batches = []
        for px in (0, 1):
            for py in (0, 1):
                batch = []
                for bx in range(px, (gx_n + box_gcells - 1) // box_gcells, 2):
                    for by in range(py, (gy_n + box_gcells - 1) // box_gcells, 2):
                        gx0, gy0 = bx * box_gcells, by * box_gcells
                        batch.append((gx0, gy0, min(gx0 + box_gcells, gx_n) - 1, min(gy0 + box_gcells, gy_n) - 1))
                batches.append(batch)
        return batches


def via_cells(edges):
    out, seen = [], set()
    for a, b in edges:
        if a[:2] == b[:2] and a[2] != b[2]:
            for c in (a, b):
                if c not in seen:
                    seen.add(c)
                    out.append(c)
    return out


def _path_edges(path):
    return [(path[i], path[i + 1]) for i in range(len(path) - 1)]


def _walk(path, target):
    """Extends `path` one unit step at a time to `target` (x first, then y, then layer)."""
    x, y, layer = path[-1]
    tx, ty, tl = target
    while x != tx:
        x += 1 if tx > x else -1
        path.append((x, y, layer))
    while y != ty:
        y += 1 if ty > y else -1
        path.append((x, y, layer))
    while layer != tl:
        layer += 1 if tl > layer else -1
        path.append((x, y, layer))


def pattern_route(a, b, vertical, rnd=None):
    """An L-shaped route from pin a to pin b: a vertical run on a vertical layer and a
    horizontal run on a horizontal layer above layer 0, chosen at random when `rnd` is
    given (so that, as in real designs, not every net crowds the same two layers)."""
    vls = [i for i, v in enumerate(vertical) if v and i > 0] or [1]
    hls = [i for i, v in enumerate(vertical) if not v and i > 0] or [min(2, len(vertical) - 1)]
    vl, hl = (rnd.choice(vls), rnd.choice(hls)) if rnd else (vls[0], hls[0])
    path = [a]
    if rnd is None or rnd.random() < 0.5:  # vertical run first
        _walk(path, (a[0], a[1], vl))
        _walk(path, (a[0], b[1], vl))
        _walk(path, (a[0], b[1], hl))
        _walk(path, (b[0], b[1], hl))
    else:
        _walk(path, (a[0], a[1], hl))
        _walk(path, (b[0], a[1], hl))
        _walk(path, (b[0], a[1], vl))
        _walk(path, (b[0], b[1], vl))
    _walk(path, b)
    return path


def make_design(size="small", seed=1, shape=None):
    """A design of a named size, or of `shape` = (nx, ny, nz, signal nets, gcell size)."""
    nx, ny, nz, n_nets, gc = shape or SIZES[size]
    rnd = random.Random(seed)
    d = Design(nx=nx, ny=ny, nz=nz, gc=gc)
    d.vertical = [i % 2 == 1 for i in range(nz)]
    d.via_index = [(i, i + 1, 1.0 + 0.5 * i) for i in range(nz - 1)]
    d.via_index.append((1, 0, 2.0))  # a reversed duplicate, as real tables have

    taken = set()
    # blockages: small rectangles on the upper layers
    for _ in range(nx * ny // 400):
        layer = rnd.randrange(1, nz)
        x0, y0 = rnd.randrange(nx), rnd.randrange(ny)
        for x in range(x0, min(nx, x0 + rnd.randint(1, 4))):
            for y in range(y0, min(ny, y0 + rnd.randint(1, 3))):
                d.blocked.append((layer, x, y))
                taken.add((x, y, layer))
    for _ in range(max(1, nx * ny // 900)):
        d.via_blocked.append((rnd.randrange(nx), rnd.randrange(ny)))

    def free_pin():
        while True:
            c = (rnd.randrange(1, max(2, nx - 1)), rnd.randrange(1, max(2, ny - 1)), 0)
            if c not in taken:
                taken.add(c)
                return c

    span = max(6, min(nx, ny) // 12)
    for net in range(1, n_nets + 1):
        first = free_pin()
        pins = [first]
        for _ in range(rnd.choice((1, 1, 2, 3)) ):
            for _attempt in range(50):
                c = (min(nx - 2, max(1, first[0] + rnd.randint(-span, span))),
                     min(ny - 2, max(1, first[1] + rnd.randint(-span, span))), 0)
                if c not in taken:
                    taken.add(c)
                    pins.append(c)
                    break
        if len(pins) < 2:
            continue
        d.pins[net] = pins
        for p in pins:
            d.pad_owner.append((0, p[0], p[1], net))
        d.termsets[net] = [[p, (p[0], p[1], 1)] if rnd.random() < 0.3 else [p] for p in pins]
        cells, edges = [], []
        for a, b in zip(pins, pins[1:]):
            path = pattern_route(a, b, d.vertical, rnd)
            cells.extend(path)
            edges.extend(_path_edges(path))
        d.routes[net] = (sorted(set(cells)), edges)
        d.names[net] = f"net_{rnd.randrange(10**6):06d}_{net}"

    # supply straps on the top layer, every 40 rows
    top = nz - 1
    for k, y in enumerate(range(5, ny, 40)):
        net = n_nets + 1 + k
        path = [(x, y, top) for x in range(nx)]
        d.routes[net] = (path, _path_edges(path))
        d.supply.append(net)
        d.names[net] = f"vdd_{k}"
    return d


@dataclass
class Rules:
    """Routing rules for a design: the arguments of set_track_model, set_no_via_cells,
    set_spacing_model (None: no spacing footprints) and set_net_guides (None: no guides)."""
    track_model: tuple  # (xs, ys, unit, layers)
    no_via_cells: list
    spacing: list | None = None
    guides: tuple | None = None  # (guides, outside_factor, outside_via)

    def calls(self):
        out = [("set_track_model", self.track_model), ("set_no_via_cells", (self.no_via_cells,))]
        if self.spacing is not None:
            out.append(("set_spacing_model", (self.spacing,)))
        if self.guides is not None:
            out.append(("set_net_guides", self.guides))
        return out


def make_guides(d, rnd):
    """Route guides as global routing gives them, for about four nets in five: per pair
    of consecutive pins an L of two rectangles a line wider than the pins (the x run on
    a horizontal layer, the y run on a vertical one), and a box around each pin on the
    two lowest layers."""
    horizontal = [z for z in range(d.nz) if not d.vertical[z]] or [0]
    vertical = [z for z in range(d.nz) if d.vertical[z]] or [0]
    clip = lambda layer, x0, y0, x1, y1: (layer, max(0, x0), max(0, y0), min(d.nx - 1, x1), min(d.ny - 1, y1))
    guides = []
    for net, pins in sorted(d.pins.items()):
        if rnd.random() < 0.2:
            continue
        rects = [clip(z, p[0] - 1, p[1] - 1, p[0] + 1, p[1] + 1) for p in pins for z in range(min(2, d.nz))]
        for a, b in zip(pins, pins[1:]):
            (xa, xb), (ya, yb) = sorted((a[0], b[0])), sorted((a[1], b[1]))
            rects.append(clip(rnd.choice(horizontal), xa - 1, a[1] - 1, xb + 1, a[1] + 1))
            rects.append(clip(rnd.choice(vertical), b[0] - 1, ya - 1, b[0] + 1, yb + 1))
        guides.append((net, rects))
    return guides, rnd.choice((1.5, 2.0, 4.0)), rnd.choice((0.0, 1.0, 3.0))


def make_rules(d, seed=1, spacing=True, stacks=False, guides=False):
    """Rules for design `d`, as a flow would derive them from a technology: lines
    unevenly spaced (gaps of 2 to 4 steps of 5 units, 10 units costing 1.0), each layer
    keeping most lines of its preferred direction and about half of the others, a
    wrong-way factor per layer (with `stacks`, a stack cost on about half the layers),
    no-via cells on the layer above some pins, spacing boxes of up to about two lines
    (larger for vias), and with `guides` route guides (make_guides)."""
    rnd = random.Random(seed)

    def axis(n):
        coords = [rnd.randrange(-50, 50)]
        for _ in range(n - 1):
            coords.append(coords[-1] + 5 * rnd.randint(2, 4))
        return coords

    def keep(n, share):
        return [i for i in range(n) if rnd.random() < share]

    layers = []
    for z in range(d.nz):
        vertical = d.vertical[z]
        along, across = (0.9 if z else 1.0), 0.5
        x_lines = keep(d.nx, along if vertical else across)
        y_lines = keep(d.ny, across if vertical else along)
        layers.append((vertical, rnd.choice((1.0, 1.5, 2.0, 4.0)), x_lines, y_lines))
        if stacks and rnd.random() < 0.5:
            layers[-1] += (rnd.choice((0.5, 2.0, 6.0)),)
    pins = [p for ps in d.pins.values() for p in ps]
    no_via = sorted({(p[0], p[1], 1) for p in rnd.sample(pins, len(pins) // 4)}) if d.nz > 1 else []
    boxes = None
    if spacing:
        side = lambda: rnd.choice((0, 6, 11, 16, 26))
        boxes = [(side(), side(), side() + 5, side() + 5) for _ in range(d.nz)]
    return Rules((axis(d.nx), axis(d.ny), 10, layers), no_via, boxes, make_guides(d, rnd) if guides else None)
