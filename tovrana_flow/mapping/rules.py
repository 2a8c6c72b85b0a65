"""A routing layer's design rules in database units, and what they ask of shapes on the grid.

Two kinds of metal stand at a grid point of a route: a wire (the layer's default width,
ending half a width beyond its last point) and a via's landing pad. From the LEF's
spacing rules (plain and ranged `SPACING`, the `SPACINGTABLE PARALLELRUNLENGTH`, end-of-line
spacing) this module says how far apart two such shapes of different nets must stand, along
the layer's tracks and across them, and whether a shape at a point comes too close to a
fixed rectangle (a pin, an obstruction, special wiring).
"""
from __future__ import annotations

from dataclasses import dataclass
from functools import cached_property

import numpy as np

from ..design import Layer, Tech

BIG = 1 << 40    # a run length longer than any on a chip


def _dbu(microns: float | None, dbu: int) -> int:
    return round((microns or 0.0) * dbu)


@dataclass
class Pad:
    """Half extents of a rectangle centred on a grid point (a via's metal on one layer)."""
    hx: int
    hy: int

    def around(self, x: int, y: int) -> tuple[int, int, int, int]:
        """The rectangle centred on (x, y)."""
        return x - self.hx, y - self.hy, x + self.hx, y + self.hy


@dataclass
class LayerRules:
    name: str
    vertical: bool
    width: int                     # default wire width
    min_area: int                  # square database units, 0 without AREA
    pad: Pad                       # the larger of the landing pads of the vias to the layers around
    spacing_rows: list[tuple[int, list[tuple[int, int]]]]   # (wider than, [(longer than, spacing)])
    plain: list[tuple[int, int, int]]                      # (spacing, width low, width high)
    eol: list[tuple[int, int, int]]                        # (space, edge shorter than, within)

    @cached_property
    def _reach_by_width(self) -> dict[int, int]:
        return {}

    def reach(self, width: int) -> int:
        """The largest gap any rule asks of a shape beside one of `width` (the wider one's
        width), at any run length or end: shapes farther apart on either axis keep clear."""
        found = self._reach_by_width.get(width)
        if found is None:
            found = self._reach_by_width[width] = max(self.spacing(width, BIG), *(s for s, _, _ in self.eol), 0)
        return found

    def spacing(self, width: int, prl: int) -> int:
        """The spacing a shape of `width` needs from another (the wider one's width) when
        they run beside each other for `prl` (negative: they only meet at corners)."""
        need = 0
        for value, low, high in self.plain:
            if low <= width <= high:
                need = max(need, value)
        row = None
        for wider_than, cols in self.spacing_rows:
            if row is None or width > wider_than:
                row = cols
        if row:
            value = row[0][1]
            for longer_than, v in row:
                if prl > longer_than:
                    value = v
            need = max(need, value)
        return need

    def eol_space(self, edge: int) -> int:
        """The end-of-line spacing ahead of an edge `edge` long (0 when no rule applies)."""
        return max((space for space, shorter, _ in self.eol if edge < shorter), default=0)

    def gap_needed(self, edge_a: int, width_a: int, edge_b: int, width_b: int, prl: int) -> int:
        """Spacing between two facing edges `edge_a` and `edge_b` long of shapes `width_a`
        and `width_b` wide running beside each other for `prl`."""
        need = self.spacing(max(width_a, width_b), prl)
        return max(need, self.eol_space(edge_a), self.eol_space(edge_b))

    # ---- two shapes of routes on grid points

    def _kinds(self) -> dict[str, tuple[int, int]]:
        """Half extents (along the tracks, across them) of a wire end and a via pad."""
        half = self.width // 2
        along, across = (self.pad.hy, self.pad.hx) if self.vertical else (self.pad.hx, self.pad.hy)
        return {"wire": (half, half), "via": (along, across)}

    def conflict_distance(self, a: str, b: str) -> tuple[int, int]:
        """(along, across): two shapes of kinds `a` and `b` ("wire", "via") of different
        nets closer than this on both axes, centre to centre, break a rule."""
        (ea, ha), (eb, hb) = self._kinds()[a], self._kinds()[b]
        # facing ends along the track: the edges are the shapes' widths across it
        along = ea + eb + self.gap_needed(2 * ha, 2 * min(ea, ha), 2 * hb, 2 * min(eb, hb), min(2 * ha, 2 * hb))
        # side by side on neighbouring tracks: wires run beside each other for any length
        run = BIG if a == b == "wire" else 2 * min(ea if a == "via" else BIG, eb if b == "via" else BIG)
        across = ha + hb + self.spacing(max(2 * ha, 2 * hb), run)
        return along, across

    def spacing_boxes(self) -> tuple[int, int, int, int]:
        """The module's spacing model for this layer: (wire dx, wire dy, via dx, via dy). A
        wire's box covers wires of other nets; a via's box covers wires and vias (the via's
        box is the larger, so it also holds what a wire must keep from a via)."""
        wire = self.conflict_distance("wire", "wire")
        via = tuple(max(p, q) for p, q in zip(self.conflict_distance("via", "via"),
                                               self.conflict_distance("via", "wire")))
        if self.vertical:
            return wire[1], wire[0], via[1], via[0]
        return wire[0], wire[1], via[0], via[1]

    # ---- shapes at grid points against fixed rectangles

    def too_close(self, px0, py0, px1, py1, sx0, sy0, sx1, sy1, merged=0) -> np.ndarray:
        """Element-wise: whether rectangle p (a shape of a route) touches or comes closer
        than the rules allow to rectangle s (fixed metal). Arrays of database units.
        `merged`: the width of the net's own metal p merges with (a pin it lies on), which
        the spacing table judges p by when it is the wider."""
        dx = np.maximum(sx0 - px1, px0 - sx1)      # gap along x (negative: the x ranges overlap)
        dy = np.maximum(sy0 - py1, py0 - sy1)
        wp = np.maximum(np.minimum(px1 - px0, py1 - py0), merged)
        ws = np.minimum(sx1 - sx0, sy1 - sy0)
        width = np.maximum(wp, ws)
        touch = (dx <= 0) & (dy <= 0)
        # facing along x (their y ranges overlap by -dy), along y, or only at corners
        need_x = self._needs(width, -dy, py1 - py0, sy1 - sy0)
        need_y = self._needs(width, -dx, px1 - px0, sx1 - sx0)
        corner = self._needs(width, np.full_like(dx, -1), np.zeros_like(dx) + BIG, np.zeros_like(dx) + BIG)
        # edges level with each other (a gap of 0 on the other axis) count as facing: the
        # distance between the shapes is then the gap on this axis alone
        close_x = (dy <= 0) & (dx < need_x)
        close_y = (dx <= 0) & (dy < need_y)
        close_c = (dx > 0) & (dy > 0) & (dx * dx + dy * dy < corner * corner)
        return touch | close_x | close_y | close_c | self._in_eol_window(px0, py0, px1, py1, sx0, sy0, sx1, sy1)

    def _in_eol_window(self, px0, py0, px1, py1, sx0, sy0, sx1, sy1) -> np.ndarray:
        """Element-wise: whether either rectangle reaches into the window ahead of a line end
        of the other, `space` deep and `within` wider than the end on each side. A shape
        diagonally off an end, that the corner spacing lets pass, can stand there."""
        out = np.zeros(np.broadcast(px0, sx0).shape, dtype=bool)
        for space, shorter, within in self.eol:
            for (a0, a1, b0, b1, c0, c1, d0, d1) in ((px0, px1, sx0, sx1, py0, py1, sy0, sy1),
                                                     (py0, py1, sy0, sy1, px0, px1, sx0, sx1)):
                # ends facing along the first axis are edges along the second, c1 - c0 long
                beside = np.maximum(d0 - c1, c0 - d1) < within
                a_end = (c1 - c0 < shorter) & (((b1 > a1) & (b0 < a1 + space)) | ((b0 < a0) & (b1 > a0 - space)))
                b_end = (d1 - d0 < shorter) & (((a1 > b1) & (a0 < b1 + space)) | ((a0 < b0) & (a1 > b0 - space)))
                out |= beside & (a_end | b_end)
        return out

    def _needs(self, width, prl, edge_p, edge_s) -> np.ndarray:
        """Vectorised `gap_needed` for facing edges of the given lengths."""
        out = np.zeros(np.shape(width), dtype=np.int64)
        for value, low, high in self.plain:
            out = np.where((low <= width) & (width <= high), np.maximum(out, value), out)
        if self.spacing_rows:
            table = np.zeros(np.shape(width), dtype=np.int64)
            for i, (wider_than, cols) in enumerate(self.spacing_rows):
                row = np.full(np.shape(width), cols[0][1], dtype=np.int64)
                for longer_than, v in cols:
                    row = np.where(prl > longer_than, v, row)
                table = row if i == 0 else np.where(width > wider_than, row, table)
            out = np.maximum(out, table)
        for space, shorter, _ in self.eol:
            out = np.where((edge_p < shorter) | (edge_s < shorter), np.maximum(out, space), out)
        return out


def merged_width(ax0, ay0, ax1, ay1, bx0, by0, bx1, by1):
    """Element-wise: the width of the union of two overlapping rectangles (the side of the
    widest square inside it): the wider of the two, or a cross of them, one's extent along
    one axis where both stand by the other's joined extent along the other. A pad that sticks
    out of a narrow pin along it makes a shape as wide as the pad is long."""
    ix = np.minimum(ax1, bx1) - np.maximum(ax0, bx0)
    iy = np.minimum(ay1, by1) - np.maximum(ay0, by0)
    ux = np.maximum(ax1, bx1) - np.minimum(ax0, bx0)
    uy = np.maximum(ay1, by1) - np.minimum(ay0, by0)
    return np.maximum(np.maximum(np.minimum(ax1 - ax0, ay1 - ay0), np.minimum(bx1 - bx0, by1 - by0)),
                      np.maximum(np.minimum(ix, uy), np.minimum(ux, iy)))


def via_pad(tech: Tech, via: str, layer: str, dbu: int) -> Pad:
    rects = [s.rect for s in tech.vias[via].shapes if s.layer == layer]
    if not rects:
        return Pad(0, 0)
    return Pad(_dbu(max(max(-r.x0, r.x1) for r in rects), dbu), _dbu(max(max(-r.y0, r.y1) for r in rects), dbu))


def layer_rules(tech: Tech, layers: list[Layer], vias: list[str], dbu: int) -> list[LayerRules]:
    """The rules of each grid layer, bottom up; `vias[z]` joins layers z and z + 1."""
    out = []
    for z, layer in enumerate(layers):
        pads = [via_pad(tech, v, layer.name, dbu) for v in (vias[z - 1] if z > 0 else None,
                                                            vias[z] if z < len(vias) else None) if v]
        pad = Pad(max((p.hx for p in pads), default=0), max((p.hy for p in pads), default=0))
        width = _dbu(layer.width or layer.min_width, dbu)
        rows = []
        t = layer.spacing_table
        if t and t.spacings:
            for i, w in enumerate(t.widths):
                cols = [(_dbu(length, dbu) if j else -1, _dbu(t.spacings[i][j], dbu)) for j, length in enumerate(t.lengths)]
                rows.append((_dbu(w, dbu) if i else -1, cols))
        plain = [(_dbu(r.value, dbu), _dbu(r.range[0], dbu) if r.range else 0,
                  _dbu(r.range[1], dbu) if r.range else BIG) for r in layer.spacings if not r.same_net]
        if not rows and not plain and layer.spacing:
            plain = [(_dbu(layer.spacing, dbu), 0, BIG)]
        eol = [(_dbu(r.space, dbu), _dbu(r.width, dbu), _dbu(r.within, dbu)) for r in layer.eol]
        area = round((layer.min_area or 0.0) * dbu * dbu)
        out.append(LayerRules(layer.name, layer.direction == "VERTICAL", width, area, pad, rows, plain, eol))
    return out

