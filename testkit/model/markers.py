"""Model of the marker engine: cover markers, then parallel-run-length markers.

A literal transcription of the rules with plain dicts and lists, for clarity, not speed.
Markers are (cells, layer, nets) tuples with list members, as the module returns them.
"""


def flexgc(grid, nets, wire_halo, via_halo, region, prl_halo, prl_len, vertical):
    """grid: a ModelGrid (only nx, ny, cell_id and footprint are used)."""
    return cover_markers(grid, nets, wire_halo, via_halo, region) + prl_markers(
        grid, nets, region, prl_halo, prl_len, vertical
    )


def cover_markers(grid, nets, wire_halo, via_halo, region):
    cover = []  # [cell, [net ids]] in first-touch order
    index = {}  # cell id -> position in cover
    for net, cells, vias in nets:
        for c in grid.footprint(cells, vias, wire_halo, via_halo, region, grid.spacing):
            k = grid.cell_id(c)
            i = index.get(k)
            if i is None:
                index[k] = len(cover)
                cover.append((c, [net]))
            elif net not in cover[i][1]:
                cover[i][1].append(net)
    if grid.spacing is not None:
        # spacing footprints: a marker needs a route cell of one of its nets on the cell
        bodies = {}
        for net, cells, _vias in nets:
            bodies.setdefault(net, set()).update(tuple(c) for c in cells)
        cover = [(c, ns) for c, ns in cover if any(c in bodies[n] for n in ns)]
    return [([c], c[2], list(ns)) for c, ns in cover if len(ns) > 1]


def prl_markers(grid, nets, region, prl_halo, prl_len, vertical):
    if prl_halo <= 0 or prl_len <= 0:
        return []
    owner, owned = {}, []
    for net, cells, _vias in nets:
        for c in cells:
            k = grid.cell_id(c)
            if k not in owner:
                owner[k] = net
                owned.append((c, net))

    keys = {}  # key -> set of along values; dicts keep first-seen order
    for (x, y, layer), n in owned:
        v = 0 <= layer < len(vertical) and bool(vertical[layer])
        t, a = (x, y) if v else (y, x)
        extent = grid.nx if v else grid.ny
        # Neighbours with t + d < 0 or t + d >= extent lie outside the grid; starting
        # and stopping there keeps huge prl_halo values cheap without changing anything.
        for d in range(max(1, -t), prl_halo + 1):
            if t + d >= extent:
                break
            nb = (x + d, y, layer) if v else (x, y + d, layer)
            if not (0 <= nb[0] < grid.nx and 0 <= nb[1] < grid.ny):
                continue
            u = owner.get(grid.cell_id(nb))
            if u is None or u == n:
                continue
            key = (layer, v, t, t + d, min(n, u), max(n, u))
            keys.setdefault(key, set()).add(a)

    out = []
    for (layer, v, lo, hi, n_lo, n_hi), along in keys.items():
        vals = sorted(along)
        runs, start = [], 0
        for i in range(1, len(vals) + 1):
            if i == len(vals) or vals[i] != vals[i - 1] + 1:
                runs.append(vals[start:i])
                start = i
        for run in runs:
            if len(run) < prl_len:
                continue
            cells = []
            for a in run:
                for tr in (lo, hi):
                    c = (tr, a, layer) if v else (a, tr, layer)
                    if region is None or (region[0] <= c[0] <= region[2] and region[1] <= c[1] <= region[3]):
                        cells.append(c)
            if cells:
                out.append((cells, layer, [n_lo, n_hi]))
    return out
