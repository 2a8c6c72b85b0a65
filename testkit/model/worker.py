"""Model of the box worker and the batch merge, step by step as the router does them."""
from collections import deque

from . import markers as marker_model
from . import maze as maze_model
from .grid import gcell_key, spacing_reach, trunc_div, via_from_edges

UNRANKED = 2147483647
MARKER_HISTORY_FLOOR = 0.5  # a cell is priced as a marker position from this decayed history on
RIPUP_ALL_ACCEPT_FACTOR = 5  # ripup_all boxes are accepted with up to this many times their initial markers
ATTEMPTS = 0  # reroute attempts made by box_worker, for the benchmark


def in_box(box, gc, c):
    gx0, gy0, gx1, gy1 = box
    return gx0 <= trunc_div(c[0], gc) <= gx1 and gy0 <= trunc_div(c[1], gc) <= gy1


def box_corridor(box, gc):
    gx0, gy0, gx1, gy1 = box
    return {gcell_key(gx, gy) for gx in range(gx0, gx1 + 1) for gy in range(gy0, gy1 + 1)}


def marker_region(grid, box, gc, margin):
    gx0, gy0, gx1, gy1 = box
    x0 = max(0, gc * gx0 - margin)
    y0 = max(0, gc * gy0 - margin)
    x1 = min(grid.nx - 1, min(grid.nx - 1, (gx1 + 1) * gc - 1) + margin)
    y1 = min(grid.ny - 1, min(grid.ny - 1, (gy1 + 1) * gc - 1) + margin)
    return (x0, y0, x1, y1)


def worker_markers(grid, local, wire_halo, via_halo, region, prl_halo, prl_len, vertical):
    local_vias = {net: via_from_edges(edges) for net, (cells, edges) in local.items()}
    nets = []
    for s, net in enumerate(grid.slot_net):
        if net in local:
            nets.append((net, local[net][0], local_vias[net]))
        else:
            nets.append((net, grid.slot_cells[s], grid.slot_vias[s]))
    return marker_model.flexgc(grid, nets, wire_halo, via_halo, region, prl_halo, prl_len, vertical)


def box_worker(grid, box, gc, wire_halo, via_halo, ripup_all, maze_end_iter, gg_drc, gg_marker, gg_fixed,
                   marker_decay, prl_halo, prl_len, vertical):
    global ATTEMPTS
    corridor = box_corridor(box, gc)
    reach = spacing_reach(grid.spacing) if grid.spacing is not None else max(wire_halo, via_halo)
    region = marker_region(grid, box, gc, max(reach, prl_halo) + 1)
    local, delta, history = {}, {}, {}
    queue, queued, rips = deque(), set(), {}

    def markers():
        return worker_markers(grid, local, wire_halo, via_halo, region, prl_halo, prl_len, vertical)

    def current_cells(net):
        if net in local:
            return local[net][0]
        if net in grid.net_slot:
            return grid.slot_cells[grid.net_slot[net]]
        return None

    def net_in_box(net):
        cells = current_cells(net)
        return bool(cells) and any(in_box(box, gc, c) for c in cells)

    def offer(batch):
        for net in sorted(batch, key=lambda n: grid.name_rank.get(n, UNRANKED)):
            if net in queued or net in grid.supply or rips.get(net, 0) >= maze_end_iter or not net_in_box(net):
                continue
            queued.add(net)
            queue.append(net)

    def named(found):
        seen = []
        for _cells, _layer, nets in found:
            for n in nets:
                if n not in grid.supply and n not in seen:
                    seen.append(n)
        return seen

    def add_history(found):
        for cells, _layer, _nets in found:
            for c in cells:
                k = grid.cell_id(c)
                history[k] = history.get(k, 0.0) + 1.0

    hard = set(grid.obstacles)
    for net in grid.supply:
        if net in grid.net_slot:
            s = grid.net_slot[net]
            for c in grid.footprint(grid.slot_cells[s], grid.slot_vias[s], wire_halo, via_halo, spacing=grid.spacing):
                hard.add(grid.cell_id(c))

    initial = markers()
    add_history(initial)
    if ripup_all:
        offer([n for n in grid.slot_net if len(grid.termsets.get(n, [])) >= 2 and net_in_box(n)])
    else:
        offer(named(initial))

    def search(net, starts, goals, marker_pos):
        return maze_model.maze_run(grid, net, starts, goals, gg_drc, gg_marker, gg_fixed, hard, set(), marker_pos,
                                   set(), corridor, gc, True, delta)

    while queue:
        net = queue.popleft()
        queued.discard(net)
        if net in grid.supply:
            continue
        c = rips.get(net, 0)
        if c >= maze_end_iter:
            continue
        rips[net] = c + 1
        ATTEMPTS += 1
        if net in local:
            old_cells, old_edges = local[net]
        elif net in grid.net_slot:
            s = grid.net_slot[net]
            old_cells, old_edges = list(grid.slot_cells[s]), list(grid.slot_edges[s])
        else:
            continue
        # extract_box
        outside = {c for c in old_cells if not in_box(box, gc, c)}
        kept, crossing = [], set()
        for a, b in old_edges:
            a_in, b_in = in_box(box, gc, a), in_box(box, gc, b)
            if a_in and b_in:
                continue
            if a_in:
                crossing.add(a)
            if b_in:
                crossing.add(b)
            kept.append((a, b))
        fixed_cells = outside | crossing
        targets = [[p] for p in sorted(crossing)]
        for tset in grid.termsets.get(net, []):
            if any(in_box(box, gc, c) for c in tset):
                targets.append(list(tset))
        marker_pos = {k for k, v in history.items() if v >= MARKER_HISTORY_FLOOR}

        tree, new_edges, failed = set(), [], False
        if len(targets) >= 2:
            A, B = set(targets[0]), set(targets[1])
            if A & B:
                tree = A | B
            else:
                path = search(net, sorted(A), targets[1], marker_pos)
                if path is None:
                    continue
                new_edges += list(zip(path, path[1:]))
                tree = set(path)
            for T in targets[2:]:
                if set(T) & tree:
                    continue
                path = search(net, sorted(tree), T, marker_pos)
                if path is None:
                    failed = True
                    break
                new_edges += list(zip(path, path[1:]))
                tree |= set(path)
        if failed:
            continue
        new_cells = sorted(fixed_cells | tree)
        new_edges = kept + new_edges
        local[net] = (new_cells, new_edges)
        grid.occ_apply_local(delta, net, old_cells, via_from_edges(old_edges), False)
        grid.occ_apply_local(delta, net, new_cells, via_from_edges(new_edges), True)
        found = markers()
        add_history(found)
        offer(named(found))
        for k in history:
            history[k] *= marker_decay
        if not found:
            break

    final = len(markers())
    threshold = RIPUP_ALL_ACCEPT_FACTOR * len(initial) if ripup_all else len(initial)
    # A net whose cells came back as stored may still have moved a via, which changes its
    # footprint: the delta holds that change, so the route must go out with it, or occ
    # would describe a route nobody stores. Only a change of cells makes a box worth taking.
    moved = {n for inner in delta.values() for n, d in inner.items() if d}
    changed, cells_changed = [], False
    for net, (cells, edges) in local.items():
        if net not in grid.net_slot or grid.slot_cells[grid.net_slot[net]] != cells:
            changed.append((net, list(cells), list(edges)))
            cells_changed = True
        elif net in moved:
            changed.append((net, list(cells), list(edges)))
    accepted = final <= threshold and cells_changed
    return (changed if accepted else []), delta, accepted


def route_boxes(grid, boxes, gc, wire_halo, via_halo, ripup_all, maze_end_iter, gg_drc, gg_marker, gg_fixed,
                marker_decay, prl_halo, prl_len, vertical, n_threads=1):
    """Serial batch: every box reads the state before the batch, then merges in box order."""
    results = [box_worker(grid, box, gc, wire_halo, via_halo, ripup_all, maze_end_iter, gg_drc, gg_marker,
                              gg_fixed, marker_decay, prl_halo, prl_len, vertical) for box in boxes]
    composed = {}
    for box, (changed, delta, accepted) in zip(boxes, results):
        if not accepted:
            continue
        grid.occ_merge_local(delta)
        for net, cells, edges in changed:
            if net in composed:
                base_cells, base_edges = composed.pop(net)
            elif net in grid.net_slot:
                s = grid.net_slot[net]
                base_cells, base_edges = list(grid.slot_cells[s]), list(grid.slot_edges[s])
            else:
                base_cells, base_edges = [], []
            out = [c for c in base_cells if not in_box(box, gc, c)] + [c for c in cells if in_box(box, gc, c)]
            if len(out) >= 2:
                out = sorted(set(out))
            out_edges = [e for e in base_edges if not (in_box(box, gc, e[0]) and in_box(box, gc, e[1]))]
            out_edges += [e for e in edges if in_box(box, gc, e[0]) and in_box(box, gc, e[1])]
            composed[net] = (out, out_edges)
    return [(net, cells, edges) for net, (cells, edges) in composed.items()]
