import math
"""Model of the grid, route store, worker constants and occupancy map.

Written for clarity, not speed: plain dicts, sets and lists, one step per rule.
"""

MASK64 = (1 << 64) - 1


def wrap64(v):
    """Two's-complement 64-bit value of an unbounded int."""
    v &= MASK64
    return v - (1 << 64) if v >= 1 << 63 else v


def via_from_edges(edges):
    out, seen = [], set()
    for a, b in edges:
        if a[0] == b[0] and a[1] == b[1] and a[2] != b[2]:
            for c in (a, b):
                if c not in seen:
                    seen.add(c)
                    out.append(c)
    return out


GCELL_KEY_STRIDE = 2000000  # the caller's gcell key gx * stride + gy


def gcell_key(gx, gy):
    return wrap64(gx * GCELL_KEY_STRIDE + gy)


class TrackModel:
    """Column and row coordinates, the unit length, and per layer its preferred
    direction, wrong-way factor, the lines its wires may run on and its stack cost
    (the optional fifth element, 0 when left out)."""

    def __init__(self, xs, ys, unit, layers, via_index=()):
        self.xs, self.ys, self.unit = list(xs), list(ys), unit
        self.vertical = [bool(layer[0]) for layer in layers]
        self.wrong_way = [float(layer[1]) for layer in layers]
        self.x_lines = [set(layer[2]) for layer in layers]
        self.y_lines = [set(layer[3]) for layer in layers]
        self.stack = [float(layer[4]) if len(layer) > 4 else 0.0 for layer in layers]
        self._bound_layer_changes(len(layers), via_index)

    def _bound_layer_changes(self, n, via_index):
        """The cheapest chain of via moves between every two layers (each at least its
        rule's cost + 1), 2 where there is none; per layer, the cheapest way off it and back."""
        inf = math.inf
        between = [[0.0 if i == j else inf for j in range(n)] for i in range(n)]
        for a, b, cost in via_index:
            if a == b or not (0 <= a < n and 0 <= b < n):
                continue
            step = cost + 1.0 if cost >= 0.0 else 0.0
            between[a][b] = min(between[a][b], step)
            between[b][a] = min(between[b][a], step)
        for k in range(n):
            for i in range(n):
                for j in range(n):
                    between[i][j] = min(between[i][j], between[i][k] + between[k][j])
        trip = [min((between[i][j] + between[j][i] for j in range(n) if j != i), default=inf) for i in range(n)]
        self.between = [[2.0 if v == inf else v for v in row] for row in between]
        self.round_trip = [0.0 if v == inf else v for v in trip]

    def change_bound(self, a, b):
        """A lower bound on the layer changes of a path from cell a to cell b."""
        if a[2] != b[2]:
            return self.between[a[2]][b[2]]
        layer = a[2]
        stuck = (a[0] != b[0] and not self.y_lines[layer]) or (a[1] != b[1] and not self.x_lines[layer])
        return self.round_trip[layer] if stuck else 0.0

    def allows(self, a, b):
        """A same-layer step a -> b: along x on a row of y_lines, along y on a column of x_lines."""
        return a[1] in self.y_lines[a[2]] if a[1] == b[1] else a[0] in self.x_lines[a[2]]

    def on_preferred(self, c):
        """On a line of the layer's preferred direction: a column of x_lines on a vertical
        layer, a row of y_lines on a horizontal one."""
        return c[0] in self.x_lines[c[2]] if self.vertical[c[2]] else c[1] in self.y_lines[c[2]]

    def length_cost(self, a, b):
        """A same-layer step's gap / unit, times wrong_way across the preferred direction."""
        layer = a[2]
        if a[1] == b[1]:
            length, across = abs(self.xs[b[0]] - self.xs[a[0]]), self.vertical[layer]
        else:
            length, across = abs(self.ys[b[1]] - self.ys[a[1]]), not self.vertical[layer]
        cost = float(length) / float(self.unit)
        return cost * self.wrong_way[layer] if across else cost

    def distance(self, a, b):
        return abs(self.xs[a[0]] - self.xs[b[0]]) + abs(self.ys[a[1]] - self.ys[b[1]])


def lines_within(coords, i, d):
    """The lines whose coordinate lies closer than d to that of line i, ascending."""
    return [j for j in range(len(coords)) if abs(coords[j] - coords[i]) < d]


def spacing_reach(spacing):
    """The most lines a spacing footprint reaches from its route cell, either axis."""
    tracks, layers = spacing
    reach = 0
    for wire_dx, wire_dy, via_dx, via_dy in layers:
        for dx, dy in ((wire_dx, wire_dy), (via_dx, via_dy)):
            if dx > 0 and dy > 0:
                for coords, d in ((tracks.xs, dx), (tracks.ys, dy)):
                    for i in range(len(coords)):
                        lines = lines_within(coords, i, d)
                        reach = max(reach, i - lines[0], lines[-1] - i)
    return reach


def trunc_div(a, b):
    """Signed division truncating toward zero, as the core does it."""
    if b == 0:
        raise ZeroDivisionError("attempt to divide by zero")
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b > 0) else -q


class ModelGrid:
    def __init__(self, nx, ny, nz, blocked, pad_owner, via_blocked, via_index):
        self.nx, self.ny, self.nz = nx, ny, nz
        self.blocked = set()
        self.pad_owner = {}
        for layer, ix, iy in blocked:
            if self.inside((ix, iy, layer)):
                self.blocked.add(self.cell_id((ix, iy, layer)))
        for layer, ix, iy, owner in pad_owner:
            if self.inside((ix, iy, layer)):
                self.pad_owner[self.cell_id((ix, iy, layer))] = owner
        self.via_blocked = {wrap64(iy * nx + ix) for ix, iy in via_blocked}
        self.via_index = [(a, b, float(c)) for a, b, c in via_index]
        # routing rules beyond the grid: a track model, no-via cells, spacing footprints
        # (a (track model, per-layer (wire_dx, wire_dy, via_dx, via_dy)) pair)
        self.tracks = None
        self.no_via = set()
        self.spacing = None
        self.occ_spacing = None  # the spacing footprints occ was built with
        self.guides = {}  # net -> [(layer, ix0, iy0, ix1, iy1)]: route guides (set_net_guides)
        self.outside_factor, self.outside_via = 1.0, 0.0
        # route store
        self.slot_net, self.slot_cells, self.slot_vias, self.slot_edges = [], [], [], []
        self.net_slot = {}
        # occupancy
        self.occ = {}
        self.wire_halo = 0
        self.via_halo = 0
        # worker constants
        self.termsets, self.name_rank, self.supply, self.obstacles = {}, {}, set(), set()

    # --- ids -------------------------------------------------------------
    def cell_id(self, c):
        ix, iy, layer = c
        return wrap64((layer * self.ny + iy) * self.nx + ix)

    def column_key(self, ix, iy):
        return wrap64(iy * self.nx + ix)

    def inside(self, c):
        return 0 <= c[0] < self.nx and 0 <= c[1] < self.ny and 0 <= c[2] < self.nz

    def owner_of(self, c):
        return self.pad_owner.get(self.cell_id(c), -1)

    # --- routing rules ---------------------------------------------------------
    def set_track_model(self, xs, ys, unit, layers):
        self.tracks = TrackModel(xs, ys, unit, layers, self.via_index)
        if self.spacing is not None:
            self.spacing = (self.tracks, self.spacing[1])

    def set_no_via_cells(self, cells):
        self.no_via = {self.cell_id(c) for c in cells}

    def set_spacing_model(self, layers):
        self.spacing = None if layers is None else (self.tracks, [tuple(entry) for entry in layers])

    def via_may_land(self, c):
        """No via lands on a no-via cell, nor off its layer's preferred-direction lines."""
        return self.cell_id(c) not in self.no_via and (self.tracks is None or self.tracks.on_preferred(c))

    def set_net_guides(self, guides, outside_factor, outside_via):
        """A later entry for a net replaces an earlier one; one without rectangles leaves
        the net unguided."""
        by_net = {}
        for net, rects in guides:
            by_net[net] = [tuple(r) for r in rects]
        self.guides = {net: rects for net, rects in by_net.items() if rects}
        self.outside_factor, self.outside_via = float(outside_factor), float(outside_via)

    def outside_guides(self, net, c):
        """True when `net` has guides and none holds cell c on its layer."""
        rects = self.guides.get(net)
        return rects is not None and not any(
            layer == c[2] and x0 <= c[0] <= x1 and y0 <= c[1] <= y1 for layer, x0, y0, x1, y1 in rects)

    # --- footprint ---------------------------------------------------------
    def footprint(self, cells, vias, wire_halo, via_halo, region=None, spacing=None):
        """Yields the covered cells of a net's footprint, in visit order: halo squares, or
        with `spacing` (see set_spacing_model) the cells closer than the layer's box."""
        via_ids = {self.cell_id(v) for v in vias}
        for c in cells:
            x, y, layer = c
            if spacing is not None:
                if not self.inside(c):
                    continue
                tracks, layers = spacing
                wire_dx, wire_dy, via_dx, via_dy = layers[layer]
                dx, dy = (via_dx, via_dy) if self.cell_id(c) in via_ids else (wire_dx, wire_dy)
                if dx > 0 and dy > 0:
                    columns, rows = lines_within(tracks.xs, x, dx), lines_within(tracks.ys, y, dy)
                else:
                    columns, rows = [x], [y]
                for X in columns:
                    for Y in rows:
                        if region is None or (region[0] <= X <= region[2] and region[1] <= Y <= region[3]):
                            yield (X, Y, layer)
                continue
            h = via_halo if self.cell_id(c) in via_ids else wire_halo
            for dx in range(-h, h + 1):
                X = x + dx
                if X < 0 or X >= self.nx:
                    continue
                for dy in range(-h, h + 1):
                    Y = y + dy
                    if Y < 0 or Y >= self.ny:
                        continue
                    if region is not None and not (region[0] <= X <= region[2] and region[1] <= Y <= region[3]):
                        continue
                    yield (X, Y, layer)

    # --- route store ---------------------------------------------------------
    def routes_init(self, nets):
        self.slot_net, self.slot_cells, self.slot_vias, self.slot_edges = [], [], [], []
        self.net_slot = {}
        for net, cells, edges in nets:
            self.net_slot[net] = len(self.slot_net)
            self.slot_net.append(net)
            self.slot_cells.append(list(cells))
            self.slot_vias.append(via_from_edges(edges))
            self.slot_edges.append(list(edges))

    def routes_update(self, net, cells, edges):
        slot = self.net_slot.get(net)
        if slot is None:
            return
        self.slot_vias[slot] = via_from_edges(edges)
        self.slot_cells[slot] = list(cells)
        self.slot_edges[slot] = list(edges)

    # --- worker constants ------------------------------------------------------
    def set_termsets(self, termsets):
        self.termsets = {net: [list(s) for s in sets] for net, sets in termsets}

    def set_name_rank(self, ranks):
        self.name_rank = dict(ranks)

    def set_worker_consts(self, supply, obstacles):
        self.supply = set(supply)
        self.obstacles = {self.cell_id(c) for c in obstacles}

    # --- occupancy -------------------------------------------------------------
    def occ_init(self, nets, wire_halo, via_halo):
        self.occ = {}
        self.wire_halo, self.via_halo = wire_halo, via_halo
        self.occ_spacing = self.spacing
        for net, cells, vias in nets:
            for c in self.footprint(cells, vias, wire_halo, via_halo, spacing=self.spacing):
                inner = self.occ.setdefault(self.cell_id(c), {})
                inner[net] = inner.get(net, 0) + 1

    def occ_signature(self):
        total = 0
        for k, inner in self.occ.items():
            for n, c in inner.items():
                total += (((k * 1000003) & MASK64) ^ ((n * 2654435761) & MASK64) ^ ((c * 40503) & MASK64)) * 11400714819323198485
        return total & MASK64

    def occ_apply_local(self, delta, net, cells, vias, add):
        step = 1 if add else -1
        for c in self.footprint(cells, vias, self.wire_halo, self.via_halo, spacing=self.occ_spacing):
            inner = delta.setdefault(self.cell_id(c), {})
            inner[net] = inner.get(net, 0) + step

    def occ_merge_local(self, delta):
        for k, changes in delta.items():
            inner = self.occ.setdefault(k, {})
            for n, d in changes.items():
                if d == 0:
                    continue
                new = inner.get(n, 0) + d
                if new > 0:
                    inner[n] = new
                else:
                    inner.pop(n, None)
            if not inner:
                del self.occ[k]

    def occ_foreign(self, k, net, delta=None):
        """True when a net other than `net` is present at cell id k."""
        g = self.occ.get(k, {})
        d = delta.get(k, {}) if delta is not None else {}
        for n in set(g) | set(d):
            if n != net and g.get(n, 0) + d.get(n, 0) > 0:
                return True
        return False
