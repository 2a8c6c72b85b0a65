"""Native core of a grid-based detailed router."""

from array import array
from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias, final

from typing_extensions import Buffer

__all__ = ["Grid"]

# Argument shapes. Integers are anything with an integer-index hook (converted to signed 32-bit,
# OverflowError outside that range), floats anything with a float hook; fixed-size records must be
# real tuples, variable-length ones any sequence except str.
_Int: TypeAlias = SupportsIndex
_Float: TypeAlias = SupportsFloat | SupportsIndex
_CellArg: TypeAlias = tuple[_Int, _Int, _Int]  # (ix, iy, layer)
# A cell list: a sequence of cells, or a one-dimensional buffer (e.g. a NumPy int64 array) of
# signed 64-bit packed ids ix | iy << 21 | layer << 42, each field 0 .. 2**21 - 1 (TypeError for
# another item type or shape, ValueError for a negative id).
_CellsArg: TypeAlias = Sequence[_CellArg] | Buffer
# A list of records of ints only (blocked and pad cells, columns, corridor gcells, boxes, ranks,
# guide rectangles) may also be a two-dimensional C-contiguous buffer of 32-bit ints, one row
# per record (TypeError for another item type or shape).
_IntRows: TypeAlias = Buffer
_EdgeArg: TypeAlias = tuple[_CellArg, _CellArg]
# An edge list: a sequence of edges, or a buffer of signed 64-bit packed ids, two per edge
# (one-dimensional a0, b0, a1, b1, ... or two columns; TypeError for another item type, an odd
# count or another column count, ValueError for a negative id).
_EdgesArg: TypeAlias = Sequence[_EdgeArg] | Buffer
_NetCellsArg: TypeAlias = tuple[_Int, _CellsArg, _CellsArg]  # (net, cells, via cells)
_NetRouteArg: TypeAlias = tuple[_Int, _CellsArg, _EdgesArg]  # (net, cells, edges)
# (vertical, wrong_way, x_lines, y_lines[, stack]): one layer of a track model
_TrackLayerArg: TypeAlias = (
    tuple[bool, _Float, Sequence[_Int], Sequence[_Int]] | tuple[bool, _Float, Sequence[_Int], Sequence[_Int], _Float]
)
# (layer, ix0, iy0, ix1, iy1): one rectangle of a net's route guides, grid lines inclusive
_GuideRectArg: TypeAlias = tuple[_Int, _Int, _Int, _Int, _Int]

# Result shapes: always fresh lists and tuples of plain ints.
_Cell: TypeAlias = tuple[int, int, int]
_Edge: TypeAlias = tuple[_Cell, _Cell]
_Marker: TypeAlias = tuple[list[_Cell], int, list[int]]  # (cells, layer, nets)
# (net, cells, edges); an edge's ends are the very tuples of `cells` they equal
_NetRoute: TypeAlias = tuple[int, list[_Cell], list[_Edge]]
# The same with packed=True: (net, cell ids, edge end ids two per edge), array('q') each
_PackedNetRoute: TypeAlias = tuple[int, array[int], array[int]]

class PanicException(BaseException):
    """An internal failure (division by a gcell size of 0, an index out of range, ...)."""

@final
class Grid:
    def __new__(
        cls,
        nx: _Int,
        ny: _Int,
        nz: _Int,
        blocked: Sequence[tuple[_Int, _Int, _Int]] | _IntRows,
        pad_owner: Sequence[tuple[_Int, _Int, _Int, _Int]] | _IntRows,
        via_blocked: Sequence[tuple[_Int, _Int]] | _IntRows,
        via_index: Sequence[tuple[_Int, _Int, _Float]],
    ) -> Grid: ...
    # Releases the interpreter lock while it searches (a shared borrow): searches of one
    # grid from several threads overlap, each giving what it gives alone.
    def box_maze(
        self,
        net: _Int,
        starts: _CellsArg,
        goals: _CellsArg,
        hard: _CellsArg,
        # None: the cells of every route in the store (routes_init / routes_update) of a
        # net other than `net`, kept by the grid instead of converted on every call.
        route_shape: _CellsArg | None,
        marker_pos: _CellsArg,
        fixed: _CellsArg,
        gg_drc: _Float,
        gg_marker: _Float,
        gg_fixed: _Float,
        corridor: Sequence[tuple[_Int, _Int]] | _IntRows,
        gc: _Int,
        use_occ: bool,
        # > 1: the heuristic times this; a path at most this many times the cheapest, found
        # exploring fewer states. At least 1 (ValueError otherwise); 1 is plain A*.
        heuristic_weight: _Float = 1.0,
    ) -> list[_Cell] | None: ...
    def occ_init(self, nets: Sequence[_NetCellsArg], wire_halo: _Int, via_halo: _Int) -> None: ...
    def occ_signature(self) -> int: ...
    def occ_signature_of(self, nets: Sequence[_NetCellsArg], wire_halo: _Int, via_halo: _Int) -> int:
        """The occ_signature that occ_init(nets, wire_halo, via_halo) would leave, without
        building or changing the occupancy map (memory for one net at a time). Same arguments
        and errors as occ_init."""
    def flexgc(
        self,
        nets: Sequence[_NetCellsArg],
        wire_halo: _Int,
        via_halo: _Int,
        region: tuple[_Int, _Int, _Int, _Int] | None,
        prl_halo: _Int,
        prl_len: _Int,
        vertical: Sequence[bool],
    ) -> list[_Marker]: ...
    def routes_init(self, nets: Sequence[_NetRouteArg]) -> None: ...
    def routes_update(self, net: _Int, cells: _CellsArg, edges: _EdgesArg, occ: bool = False) -> None:
        """occ=True: the occupancy map follows (the old stored route's footprint out, the new
        one's in, with the footprints of the last occ_init)."""
    def set_termsets(self, termsets: Sequence[tuple[_Int, Sequence[_CellsArg]]]) -> None: ...
    def set_worker_consts(self, supply: Sequence[_Int], obstacles: _CellsArg) -> None: ...
    def set_name_rank(self, ranks: Sequence[tuple[_Int, _Int]]) -> None: ...
    def set_track_model(
        self,
        xs: Sequence[_Int],
        ys: Sequence[_Int],
        unit: _Int,
        layers: Sequence[_TrackLayerArg],
    ) -> None:
        """Column and row coordinates (signed 64-bit, strictly ascending), the length that costs
        1.0, and per layer (vertical, wrong_way >= 1, x_lines, y_lines[, stack >= 0, default 0]).
        While set, every search runs a wire along x on layer L only on the rows of y_lines(L) and
        along y only on the columns of x_lines(L); lands a via (any rule of via_index) only where
        the point lies on the preferred-direction lines of both layers (x_lines of a vertical
        layer, y_lines of a horizontal one); prices a same-layer step as gap / unit (times
        wrong_way across the preferred direction) + 1.0 after a turn, and a via move as
        (via cost + 1.0, or + 2.0 after a turn) + stack(L) when it leaves a state on layer L that a
        layer change entered, then the penalties. The queue then pops the deeper state first among
        equal f, (f, -g, ix, iy, layer, dir), and the heuristic adds to the distance / unit a lower
        bound on the layer changes left: the cheapest chain of via_index rules (each at cost + 1.0)
        between the two layers, or off a layer and back where it has no line along a needed axis.
        Replaces the model set before. ValueError
        (naming the argument, nothing changed) for wrong lengths, coordinates not ascending, an
        extent beyond 64 bits, unit <= 0, wrong_way < 1 or NaN, stack < 0 or NaN, a line index
        outside the grid."""
    def set_no_via_cells(self, cells: _CellsArg) -> None:
        """In-grid cells where no via may land: a layer change into or out of them is refused.
        Replaces the set before; [] clears it. ValueError for a cell outside the grid."""
    def set_spacing_model(self, layers: Sequence[tuple[_Int, _Int, _Int, _Int]] | None) -> None:
        """Per layer (wire_dx, wire_dy, via_dx, via_dy), non-negative, in database units: a route
        cell then covers every cell of its layer whose centre lies closer than its box on both
        axes (the via box on the net's via cells), instead of the halo square, in occ_init, flexgc,
        route_boxes and work_boxes; a cover marker then also needs a route cell on its cell.
        None clears it. ValueError without a track model or for a wrong entry count or a
        negative distance."""
    def set_net_guides(
        self,
        guides: Sequence[tuple[_Int, Sequence[_GuideRectArg]]],
        outside_factor: _Float,
        outside_via: _Float,
    ) -> None:
        """Route guides per net: (net, [(layer, ix0, iy0, ix1, iy1), ...]), grid lines inclusive;
        a later entry for a net replaces an earlier one, an entry without rectangles leaves the
        net unguided, [] clears all. While set, every search for a guided net (box_maze and the
        box workers of route_boxes and work_boxes) multiplies the length part of a same-layer step
        into a cell that no rectangle of the net holds on the cell's layer (gap / unit * wrong_way
        under a track model, 1.0 without one) by outside_factor, and adds outside_via to a via
        move into such a cell, after its stack cost and before the penalties. Nets without guides
        are priced as before. Replaces the guides set before. ValueError (nothing changed) for
        outside_factor < 1 or NaN, outside_via < 0 or NaN, a rectangle off the grid's layers or
        lines or inverted."""
    # packed=True: each route as (net, cell ids, edge end ids, two per edge) in array('q'), ids
    # ix | iy << 21 | layer << 42, in the tuple form's order (routes_update takes them as they
    # are); ValueError before any work on a grid of more than 2**21 columns, rows or layers.
    def route_boxes(
        self,
        boxes: Sequence[tuple[_Int, _Int, _Int, _Int]] | _IntRows,
        gc: _Int,
        wire_halo: _Int,
        via_halo: _Int,
        ripup_all: bool,
        maze_end_iter: _Int,
        gg_drc: _Float,
        gg_marker: _Float,
        gg_fixed: _Float,
        marker_decay: _Float,
        prl_halo: _Int,
        prl_len: _Int,
        vertical: Sequence[bool],
        n_threads: _Int,
        packed: bool = False,
    ) -> list[_NetRoute] | list[_PackedNetRoute]: ...
    def work_boxes(
        self,
        boxes: Sequence[tuple[_Int, _Int, _Int, _Int]] | _IntRows,
        gc: _Int,
        wire_halo: _Int,
        via_halo: _Int,
        ripup_all: bool,
        maze_end_iter: _Int,
        gg_drc: _Float,
        gg_marker: _Float,
        gg_fixed: _Float,
        marker_decay: _Float,
        prl_halo: _Int,
        prl_len: _Int,
        vertical: Sequence[bool],
        n_threads: _Int,
    ) -> bytes: ...
    def merge_boxes(
        self,
        boxes: Sequence[tuple[_Int, _Int, _Int, _Int]] | _IntRows,
        gc: _Int,
        results: Sequence[bytes],
        n_threads: _Int = 1,  # merge threads (clamped to >= 1); the result is the same for any
        packed: bool = False,  # as route_boxes
    ) -> list[_NetRoute] | list[_PackedNetRoute]: ...
    # Internal, for benchmarks and tests: bytes held per part of the state, and the kept
    # digests beside the same computed afresh ((occ kept, fresh), (routes kept, fresh),
    # kept structures consistent).
    def _memory_usage(self) -> dict[str, int]: ...
    def _check_state(self) -> tuple[tuple[int, int], tuple[int, int], bool]: ...
