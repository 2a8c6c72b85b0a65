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

    # --- footprint ---------------------------------------------------------
    def footprint(self, cells, vias, wire_halo, via_halo, region=None):
        """Yields the covered cells of a net's halo footprint, in visit order."""
        via_ids = {self.cell_id(v) for v in vias}
        for c in cells:
            x, y, layer = c
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
        for net, cells, vias in nets:
            for c in self.footprint(cells, vias, wire_halo, via_halo):
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
        for c in self.footprint(cells, vias, self.wire_halo, self.via_halo):
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
