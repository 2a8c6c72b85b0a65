"""The LEF's design rules measured on a design's `Metal`, one layer at a time.

KLayout's region engine (`klayout.db`) does the geometry: each owner's metal merged with
itself (shapes carry their owner as a property, so that shapes of two owners are never merged
and every check compares different owners only), the parts of it wider than a table row's
width (opened by sizing), space and separation checks with Euclidean or projected distance,
convex line-end edges and polygon areas. Which rectangles meet is found with the bucket grid
of `overlaps.meeting_pairs`.

A KLayout check reports a violation once from each side, carrying that side's owner; the two
reports of one violation are each other's mirror (first and second edge swapped), which names
both owners. Every finding comes out sorted, independent of any hash or thread order.
"""
from __future__ import annotations

from collections import defaultdict
from dataclasses import dataclass

import numpy as np

from ..design import Layer
from .metal import SCALE, LayerShapes
from .overlaps import meeting_pairs

try:
    import klayout.db as kdb
except ImportError as e:                     # pragma: no cover - a dependency of the package
    raise ImportError("the design-rule check needs KLayout's Python package: pip install klayout") from e

SHORT, SPACING, EOL, MIN_AREA, CUT_SPACING = "short", "spacing", "eol", "min_area", "cut_spacing"
KINDS = (SHORT, SPACING, EOL, MIN_AREA, CUT_SPACING)

Box = tuple[int, int, int, int]


@dataclass
class Finding:
    """One violation, in half database units: its box, the owners involved (one for a min-area
    polygon), an area (the short's overlap, the min-area polygon's) and the rule broken."""
    kind: str
    layer: str
    box: Box
    owners: tuple[int, ...]
    rule: str
    area: int = 0
    routed: bool = True            # False: between fixed shapes only (the input's own)


# ---------------------------------------------------------------- KLayout regions

_PROPERTY_IDS: dict[int, int] = {}


def _property_id(owner: int) -> int:
    pid = _PROPERTY_IDS.get(owner)
    if pid is None:
        pid = _PROPERTY_IDS[owner] = kdb.Layout.properties_id({0: owner})
    return pid


def owner_region(shapes: LayerShapes, keep: np.ndarray | None = None) -> "kdb.Region":
    """The layer's rectangles (those `keep` selects) as a region, each with its owner."""
    region = kdb.Region()
    idx = np.flatnonzero(keep) if keep is not None else np.arange(len(shapes))
    for x0, y0, x1, y1, o in zip(shapes.x0[idx].tolist(), shapes.y0[idx].tolist(), shapes.x1[idx].tolist(),
                                 shapes.y1[idx].tolist(), shapes.owner[idx].tolist()):
        region.insert(kdb.BoxWithProperties(kdb.Box(x0, y0, x1, y1), _property_id(o)))
    return region


def _owner_of(shape) -> int:
    return shape.properties()[0]


def _edge_key(e) -> tuple[int, int, int, int]:
    return e.x1, e.y1, e.x2, e.y2


def _mirrored_pairs(*checks) -> list[tuple[Box, int, int]]:
    """(box of both edges, owner, other owner) once per violation, from checks whose results
    hold each violation from both sides (-1: no mirror found, the other owner unknown)."""
    seen: dict[tuple, int] = {}
    for check in checks:
        for ep in check.each():
            seen[_edge_key(ep.first), _edge_key(ep.second)] = _owner_of(ep)
    out = []
    for (first, second), owner in seen.items():
        other = seen.get((second, first))
        if other is None or (first, second) < (second, first):
            xs, ys = (first[0], first[2], second[0], second[2]), (first[1], first[3], second[1], second[3])
            out.append(((min(xs), min(ys), max(xs), max(ys)), owner, -1 if other is None else other))
    return sorted(out)


def _wider_than(metal: "kdb.Region", width: int) -> "kdb.Region":
    """The parts of `metal` wider than `width` (every shape width is an even number of half
    units): opened by half of it."""
    half = width // 2
    if half <= 0:
        return metal
    # only polygons whose bounding box is wider both ways can hold a wider part
    return metal.with_bbox_min(2 * half + 1, None, False).sized(-half).sized(half)


# ---------------------------------------------------------------- rules of a routing layer

@dataclass
class SpacingCheck:
    """One spacing requirement of a routing layer, in half database units: `space` between a
    part of one owner's metal (wider than `wider_than`, or with a width in `width_range`) and
    another owner's metal running beside it for more than `longer_than` (None: any shapes,
    measured corner to corner too)."""
    label: str
    space: int
    wider_than: int | None = None
    width_range: tuple[int, int] | None = None
    longer_than: int | None = None


def spacing_checks(layer: Layer, dbu: int) -> list[SpacingCheck]:
    """The layer's plain SPACING, its RANGE spacings and every table entry that asks more than
    the entries for narrower shapes and shorter runs already do."""
    def s(microns: float) -> int:
        return round(microns * dbu * SCALE)

    table = layer.spacing_table
    plain = [r.value for r in layer.spacings if r.range is None and not r.same_net]
    if table:
        plain.append(table.spacings[0][0])
    base = max(plain, default=0.0)
    checks = [SpacingCheck(f"SPACING {base:g}", s(base))] if base > 0 else []
    if table:
        cells = table.spacings
        for i, row in enumerate(cells):
            for j, value in enumerate(row):
                below = [base] + ([cells[i - 1][j]] if i else []) + ([row[j - 1]] if j else [])
                if (i or j) and value > max(below):
                    label = (f"SPACINGTABLE width > {table.widths[i]:g}" if i else "SPACINGTABLE") + \
                            (f", run > {table.lengths[j]:g}" if j else "") + f": {value:g}"
                    checks.append(SpacingCheck(label, s(value), s(table.widths[i]) if i else None,
                                               longer_than=s(table.lengths[j]) if j else None))
    for r in layer.spacings:
        if r.range is not None and not r.same_net and r.value > base:
            checks.append(SpacingCheck(f"SPACING {r.value:g} RANGE {r.range[0]:g} {r.range[1]:g}", s(r.value),
                                       width_range=(s(r.range[0]), s(r.range[1]))))
    return checks


def spacing_findings(shapes: LayerShapes, metal: "kdb.Region", checks: list[SpacingCheck]) -> list[Finding]:
    found = []
    different = kdb.Region.DifferentPropertiesConstraint
    for c in checks:
        if c.width_range is not None:
            low, high = c.width_range
            subject = _wider_than(metal, low - 1).not_(_wider_than(metal, high),
                                                       property_constraint=kdb.Region.SamePropertiesConstraint)
        elif c.wider_than is not None:
            subject = _wider_than(metal, c.wider_than)
        else:
            subject = None
        options = dict(metrics=kdb.Region.Euclidian if c.longer_than is None else kdb.Region.Projection,
                       min_projection=None if c.longer_than is None else c.longer_than + 1,
                       property_constraint=different)
        if subject is None:
            results = (metal.space_check(c.space, **options),)
        elif subject.is_empty():
            continue
        else:
            results = (subject.separation_check(metal, c.space, **options),
                       metal.separation_check(subject, c.space, **options))
        for box, a, b in _mirrored_pairs(*results):
            found.append(Finding(SPACING, shapes.name, box, (min(a, b), max(a, b)), c.label))
    return found


def eol_findings(shapes: LayerShapes, metal: "kdb.Region", layer: Layer, dbu: int, cell: int) -> list[Finding]:
    """Line ends (edges shorter than the rule's width between two convex corners) with another
    owner's metal inside the window ahead of them: `space` deep, `within` wider on each side.
    With PARALLELEDGE, only ends with another owner's metal beside them (on both sides with
    TWOEDGES), `par_space` out from the end's sides, from `par_within` behind the end to
    `within` ahead of it."""
    found = []
    for rule in layer.eol:
        space, width, within = (round(v * dbu * SCALE) for v in (rule.space, rule.width, rule.within))
        edges = metal.edges(kdb.Region.Convex).with_length(0, width, False)
        ends, owners, zones = [], [], []
        for e in edges.each():
            x1, y1, x2, y2 = e.x1, e.y1, e.x2, e.y2
            ends.append((min(x1, x2), min(y1, y2), max(x1, x2), max(y1, y2)))
            owners.append(_owner_of(e))
            zones.append(_ahead(x1, y1, x2, y2, space, within, within))
        if not ends:
            continue
        hits = _intrusions(zones, owners, shapes, cell)
        if rule.parallel_space is not None:
            par_space, par_within = (round(v * dbu * SCALE) for v in (rule.parallel_space, rule.parallel_within))
            sides = [w for pair in _beside(ends, zones, par_space, par_within, within) for w in pair]
            side_owners = [o for o in owners for _ in range(2)]
            beside = {w for w, _ in _intrusions(sides, side_owners, shapes, cell)}     # 2k, 2k + 1: end k's
            needed = 2 if rule.two_edges else 1
            hits = [(k, r) for k, r in hits if (2 * k in beside) + (2 * k + 1 in beside) >= needed]
        label = f"SPACING {rule.space:g} ENDOFLINE {rule.width:g} WITHIN {rule.within:g}" + (
            f" PARALLELEDGE {rule.parallel_space:g}" if rule.parallel_space is not None else "")
        # one finding per line end and intruding owner: the end and what intrudes
        boxes: dict[tuple[int, int], list[int]] = {}
        for k, r in hits:
            zx0, zy0, zx1, zy1 = zones[k]
            part = (max(zx0, int(shapes.x0[r])), max(zy0, int(shapes.y0[r])),
                    min(zx1, int(shapes.x1[r])), min(zy1, int(shapes.y1[r])))
            box = boxes.setdefault((k, int(shapes.owner[r])), list(ends[k]))
            box[:] = [min(box[0], part[0]), min(box[1], part[1]), max(box[2], part[2]), max(box[3], part[3])]
        for (k, other), box in sorted(boxes.items()):
            found.append(Finding(EOL, shapes.name, tuple(box), (min(owners[k], other), max(owners[k], other)), label))
    return found


def _ahead(x1, y1, x2, y2, depth, side0, side1) -> Box:
    """The window in front of the edge (x1, y1)-(x2, y2) (metal on its right, as KLayout
    orients polygon edges): `depth` out from it, `side0`/`side1` beyond its start/end."""
    dx, dy = (x2 > x1) - (x2 < x1), (y2 > y1) - (y2 < y1)
    nx, ny = -dy, dx                                   # the left of the edge: outside the metal
    ax, ay = x1 - dx * side0, y1 - dy * side0
    bx, by = x2 + dx * side1 + nx * depth, y2 + dy * side1 + ny * depth
    return min(ax, bx), min(ay, by), max(ax, bx), max(ay, by)


def _beside(ends, zones, par_space, par_within, within) -> list[list[Box]]:
    """The two side windows of each line end, from `par_within` behind it to `within` ahead."""
    out = []
    for (ex0, ey0, ex1, ey1), (zx0, zy0, zx1, zy1) in zip(ends, zones):
        if ey0 == ey1:      # a horizontal end: sides left and right
            lo, hi = (ey0 - par_within, ey0 + within) if zy1 > ey0 else (ey0 - within, ey0 + par_within)
            out.append([(ex0 - par_space, lo, ex0, hi), (ex1, lo, ex1 + par_space, hi)])
        else:
            lo, hi = (ex0 - par_within, ex0 + within) if zx1 > ex0 else (ex0 - within, ex0 + par_within)
            out.append([(lo, ey0 - par_space, hi, ey0), (lo, ey1, hi, ey1 + par_space)])
    return out


def _intrusions(windows: list[Box], owners: list[int], shapes: LayerShapes, cell: int) -> list[tuple[int, int]]:
    """(window, rectangle) for each rectangle of another owner that overlaps a window's inside
    (more than touching it), in order."""
    inside = np.array(windows, dtype=np.int64).reshape(-1, 4) + np.array([1, 1, -1, -1])
    win, rect = _meeting(inside, shapes, None, cell)
    keep = shapes.owner[rect] != np.array(owners, dtype=np.int64)[win]
    return sorted(set(zip(win[keep].tolist(), rect[keep].tolist())))


def _meeting(boxes, shapes: LayerShapes, rows: np.ndarray | None, cell: int) -> tuple[np.ndarray, np.ndarray]:
    """(box, rectangle) index pairs for each of `boxes` (n x 4) and each of the layer's
    rectangles (those in `rows`; default: all) that meet it, touching included."""
    rows = np.arange(len(shapes)) if rows is None else rows
    b = np.asarray(boxes, dtype=np.int64).reshape(-1, 4)
    n = len(b)
    pairs = meeting_pairs(np.concatenate([b[:, 0], shapes.x0[rows]]), np.concatenate([b[:, 1], shapes.y0[rows]]),
                          np.concatenate([b[:, 2], shapes.x1[rows]]), np.concatenate([b[:, 3], shapes.y1[rows]]),
                          np.arange(n + len(rows)) >= n, cell)
    keep = (pairs.a < n) & (pairs.b >= n)           # a < b: boxes come first
    return pairs.a[keep], rows[pairs.b[keep] - n]


def min_area_findings(shapes: LayerShapes, metal: "kdb.Region", regular: set[int], min_area: int,
                      cell: int) -> list[Finding]:
    """Each regular net's metal on the layer merged with its own pins (`metal`): a polygon
    holding routed wiring and smaller than `min_area` (half units squared)."""
    small = [p for p in metal.with_area(0, min_area, False).each() if _owner_of(p) in regular]
    if not small:
        return []
    boxes = [(b.left, b.bottom, b.right, b.top) for b in (p.bbox() for p in small)]
    holding = set()
    for k, i in zip(*(v.tolist() for v in _meeting(boxes, shapes, np.flatnonzero(shapes.routed), cell))):
        # a routed rectangle of the same net that touches the polygon is part of it
        if k not in holding and shapes.owner[i] == _owner_of(small[k]) and small[k].touches(
                kdb.Box(int(shapes.x0[i]), int(shapes.y0[i]), int(shapes.x1[i]), int(shapes.y1[i]))):
            holding.add(k)
    return [Finding(MIN_AREA, shapes.name, boxes[k], (_owner_of(small[k]),), "AREA", area=small[k].area())
            for k in sorted(holding)]


# ---------------------------------------------------------------- shorts

def short_findings(shapes: LayerShapes, cell: int) -> list[Finding]:
    """Routed metal meeting metal of another owner: per owner pair, the overlap merged into
    connected pieces, each with its area; where they only touch, a piece of area 0."""
    pairs = meeting_pairs(shapes.x0, shapes.y0, shapes.x1, shapes.y1, ~shapes.routed, cell)
    a, b = pairs.a, pairs.b
    keep = shapes.owner[a] != shapes.owner[b]
    a, b = a[keep], b[keep]
    ix0, iy0 = np.maximum(shapes.x0[a], shapes.x0[b]), np.maximum(shapes.y0[a], shapes.y0[b])
    ix1, iy1 = np.minimum(shapes.x1[a], shapes.x1[b]), np.minimum(shapes.y1[a], shapes.y1[b])
    oa, ob = np.minimum(shapes.owner[a], shapes.owner[b]), np.maximum(shapes.owner[a], shapes.owner[b])
    by_pair: dict[tuple[int, int], list[Box]] = defaultdict(list)
    for key in zip(oa.tolist(), ob.tolist(), ix0.tolist(), iy0.tolist(), ix1.tolist(), iy1.tolist()):
        by_pair[key[:2]].append(key[2:])
    found = []
    for pair in sorted(by_pair):
        boxes = by_pair[pair]
        solid = kdb.Region([kdb.Box(*r) for r in boxes if r[0] < r[2] and r[1] < r[3]]).merged()
        for p in solid.each():
            bb = p.bbox()
            found.append(Finding(SHORT, shapes.name, (bb.left, bb.bottom, bb.right, bb.top), pair, "short",
                                 area=p.area()))
        touches = [r for r in boxes if r[0] == r[2] or r[1] == r[3]]
        if touches:           # shapes that only touch: one piece per group of touches
            grown = kdb.Region([kdb.Box(r[0] - 1, r[1] - 1, r[2] + 1, r[3] + 1) for r in touches]).merged()
            for p in grown.not_interacting(solid).each():
                bb = p.bbox()
                found.append(Finding(SHORT, shapes.name, (bb.left + 1, bb.bottom + 1, bb.right - 1, bb.top - 1),
                                     pair, "short (touching)"))
    return found


# ---------------------------------------------------------------- cut spacing

def cut_findings(shapes: LayerShapes, layer: Layer, dbu: int, cell: int) -> list[Finding]:
    """Cuts of two different vias (or fixed cuts) closer than the layer's cut spacing: edge to
    edge, or centre to centre where the rule says; a SAMENET spacing between cuts of one net
    instead of the others; an ADJACENTCUTS spacing between cuts that have that many other cuts
    within its distance. Cuts of two nets that overlap are shorts, not counted here."""
    rules = [r for r in layer.cut_spacings if r.plain or r.adjacent_cuts]
    if not rules or len(shapes) < 2:
        return []
    reach = max(round(max(r.value, r.within or 0) * dbu * SCALE) for r in rules)
    grow = reach // 2 + 1
    pairs = meeting_pairs(shapes.x0 - grow, shapes.y0 - grow, shapes.x1 + grow, shapes.y1 + grow,
                          ~shapes.routed, cell)
    a, b = pairs.a, pairs.b
    keep = shapes.group[a] != shapes.group[b]
    a, b = a[keep], b[keep]
    # edge-to-edge and centre-to-centre distances, squared (half units)
    dx = np.maximum(0, np.maximum(shapes.x0[b] - shapes.x1[a], shapes.x0[a] - shapes.x1[b]))
    dy = np.maximum(0, np.maximum(shapes.y0[b] - shapes.y1[a], shapes.y0[a] - shapes.y1[b]))
    edge2 = dx * dx + dy * dy
    cx = (shapes.x0[a] + shapes.x1[a]) - (shapes.x0[b] + shapes.x1[b])     # doubled centre offsets
    cy = (shapes.y0[a] + shapes.y1[a]) - (shapes.y0[b] + shapes.y1[b])
    centre2 = (cx * cx + cy * cy) / 4
    same_net = shapes.owner[a] == shapes.owner[b]
    overlap = (dx == 0) & (dy == 0) & (np.minimum(shapes.x1[a], shapes.x1[b]) > np.maximum(shapes.x0[a], shapes.x0[b])) \
        & (np.minimum(shapes.y1[a], shapes.y1[b]) > np.maximum(shapes.y0[a], shapes.y0[b]))
    has_same_net_rule = any(r.same_net for r in rules if r.plain)
    broken = np.zeros(len(a), dtype=bool)
    label = np.full(len(a), "", dtype=object)
    for r in rules:
        d2 = centre2 if r.center_to_center else edge2
        space = round(r.value * dbu * SCALE)
        applies = (same_net if r.same_net else ~(same_net & has_same_net_rule)) if r.plain else np.ones(len(a), bool)
        if r.adjacent_cuts:
            within = round(r.within * dbu * SCALE)
            near = d2 < within * within
            count = np.bincount(np.concatenate([a[near], b[near]]), minlength=len(shapes))
            applies = applies & ((count[a] >= r.adjacent_cuts) | (count[b] >= r.adjacent_cuts))
        hit = applies & (d2 < space * space) & ~broken
        label[hit] = _cut_label(r)
        broken |= hit
    broken &= ~(overlap & ~same_net)
    found = []
    for i, j, text in zip(a[broken].tolist(), b[broken].tolist(), label[broken].tolist()):
        box = (int(min(shapes.x0[i], shapes.x0[j])), int(min(shapes.y0[i], shapes.y0[j])),
               int(max(shapes.x1[i], shapes.x1[j])), int(max(shapes.y1[i], shapes.y1[j])))
        oi, oj = int(shapes.owner[i]), int(shapes.owner[j])
        found.append(Finding(CUT_SPACING, shapes.name, box, (min(oi, oj), max(oi, oj)), text,
                             routed=bool(shapes.routed[i] or shapes.routed[j])))
    return sorted(found, key=lambda f: (f.box, f.owners))


def _cut_label(r) -> str:
    return " ".join([f"SPACING {r.value:g}"] + (["CENTERTOCENTER"] if r.center_to_center else []) +
                    (["SAMENET"] if r.same_net else []) +
                    ([f"ADJACENTCUTS {r.adjacent_cuts} WITHIN {r.within:g}"] if r.adjacent_cuts else []))


# ---------------------------------------------------------------- sorting findings out

def routed_findings(findings: list[Finding], shapes: LayerShapes, cell: int) -> None:
    """Marks each finding that touches no routed metal of its owners as the input's own."""
    if not findings:
        return
    touching = set()
    for k, i in zip(*(v.tolist() for v in _meeting([f.box for f in findings], shapes,
                                                    np.flatnonzero(shapes.routed), cell))):
        if int(shapes.owner[i]) in findings[k].owners:
            touching.add(k)
    for k, f in enumerate(findings):
        f.routed = k in touching


def merge_findings(findings: list[Finding], shorts: list[Finding]) -> list[Finding]:
    """Spacing findings: one per connected group of boxes of one layer, owner pair and rule
    side (routed or not), since a wire passing a pin breaks the rule along several edges, one
    violation; other findings as they are. Findings where the same two owners short are left
    out: the short says it."""
    short_boxes: dict[tuple, list[Box]] = defaultdict(list)
    for s in shorts:
        short_boxes[s.layer, s.owners].append(s.box)
    groups: dict[tuple, list[Finding]] = defaultdict(list)
    for f in findings:
        if any(_touch(f.box, s) for s in short_boxes.get((f.layer, f.owners), ())):
            continue
        groups[f.kind, f.layer, f.owners, f.routed].append(f)
    out = [f for key in sorted(groups) if key[0] != SPACING for f in groups[key]]
    for (kind, layer, owners, routed), members in sorted(groups.items()):
        if kind != SPACING:
            continue
        region = kdb.Region([kdb.Box(f.box[0] - 1, f.box[1] - 1, f.box[2] + 1, f.box[3] + 1) for f in members])
        for p in region.merged().each():
            bb = p.bbox()
            box = (bb.left + 1, bb.bottom + 1, bb.right - 1, bb.top - 1)
            rule = min(f.rule for f in members if _touch(f.box, box))
            out.append(Finding(kind, layer, box, owners, rule, routed=routed))
    return out


def _touch(a: Box, b: Box) -> bool:
    return a[0] <= b[2] and b[0] <= a[2] and a[1] <= b[3] and b[1] <= a[3]
