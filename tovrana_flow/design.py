"""The design as read from LEF, DEF and route-guide files.

Plain records, filled by `tovrana_flow.read` and consumed by every later stage. LEF
geometry stays in microns as written (floats); DEF geometry is in database units (ints).
Every record that comes from a file keeps `line`, the 1-based line where it starts, so
that later stages can name the place of a fault.
"""
from __future__ import annotations

from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field

import numpy as np


@dataclass(frozen=True, slots=True)
class Rect:
    """An axis-parallel rectangle, x0 <= x1 and y0 <= y1 (microns in LEF, database units in DEF)."""
    x0: float
    y0: float
    x1: float
    y1: float

    def moved(self, dx: float, dy: float) -> "Rect":
        return Rect(self.x0 + dx, self.y0 + dy, self.x1 + dx, self.y1 + dy)


@dataclass(slots=True)
class Shape:
    """A rectangle on a named layer (a pin port, an obstruction, a via's metal or cut)."""
    layer: str
    rect: Rect

    def moved(self, dx: float, dy: float) -> "Shape":
        return Shape(self.layer, self.rect.moved(dx, dy))


# ---------------------------------------------------------------- LEF

@dataclass
class SpacingTable:
    """A LEF `SPACINGTABLE PARALLELRUNLENGTH`: the spacing needed between a shape wider than
    `widths[i]` and a neighbour running beside it for more than `lengths[j]` is `spacings[i][j]`
    (the last row and column that apply; the first row and column apply to any shapes)."""
    lengths: list[float]
    widths: list[float]
    spacings: list[list[float]]


@dataclass
class SpacingRule:
    """A routing layer's `SPACING value [RANGE low high | SAMENET]`: the spacing between shapes
    of different nets, for shapes whose width is in [low, high] when a range is given, or
    between shapes of one net (`same_net`)."""
    value: float
    range: tuple[float, float] | None = None
    same_net: bool = False
    line: int = 0


@dataclass
class EolRule:
    """`SPACING space ENDOFLINE width WITHIN within [PARALLELEDGE par_space WITHIN par_within
    [TWOEDGES]]`: an edge shorter than `width` between two convex corners keeps other metal
    `space` away ahead of it, over the edge widened by `within` on each side. With a parallel
    edge, only when other metal lies within `par_space` beside the line end (on both sides
    with `two_edges`), up to `par_within` behind it."""
    space: float
    width: float
    within: float
    parallel_space: float | None = None
    parallel_within: float | None = None
    two_edges: bool = False
    line: int = 0


@dataclass
class CornerSpacing:
    """A plain `LEF58_CORNERSPACING CONVEXCORNER ... WIDTH w SPACING s ...`: the corner-to-corner
    spacing a convex corner of a shape wider than `widths[i]` needs is `spacings[i]`."""
    widths: list[float]
    spacings: list[float]
    except_eol: float | None = None
    line: int = 0


@dataclass
class MinStep:
    """`MINSTEP length [MAXEDGES n]`: edges shorter than `length` (at most n in a row)."""
    length: float
    max_edges: int | None = None
    line: int = 0


@dataclass
class CutSpacing:
    """A cut layer's `SPACING value [CENTERTOCENTER] [SAMENET] [ADJACENTCUTS n WITHIN d |
    LAYER other | PARALLELOVERLAP | AREA a]`."""
    value: float
    center_to_center: bool = False
    same_net: bool = False
    adjacent_cuts: int | None = None
    within: float | None = None
    other_layer: str | None = None
    parallel_overlap: bool = False
    area: float | None = None
    line: int = 0

    @property
    def plain(self) -> bool:
        """Between any two cuts of the layer (not only some, as the qualifiers ask)."""
        return not (self.adjacent_cuts or self.other_layer or self.parallel_overlap or self.area)


@dataclass
class Layer:
    name: str
    kind: str                      # "ROUTING", "CUT", or another LEF TYPE (e.g. "OVERLAP", "MASTERSLICE")
    index: int                     # position among all layers of the LEF, from 0
    direction: str | None = None   # "HORIZONTAL" or "VERTICAL" (routing layers)
    pitch: float | None = None     # microns; a LEF PITCH with two values keeps the one across the direction
    width: float | None = None     # routing: the default wire width; cut: the cut's size
    spacing: float | None = None   # smallest plain SPACING (or first SPACINGTABLE entry)
    offset: float | None = None
    line: int = 0
    spacing_table: SpacingTable | None = None
    # The LEF's PITCH and OFFSET along x and along y (one value given: the same for both;
    # no OFFSET: 0).
    pitch_xy: tuple[float, float] | None = None
    offset_xy: tuple[float, float] | None = None
    min_area: float | None = None              # AREA, square microns
    min_width: float | None = None             # MINWIDTH
    spacings: list[SpacingRule] = field(default_factory=list)     # every plain, RANGE and SAMENET SPACING
    eol: list[EolRule] = field(default_factory=list)
    corner_spacing: list[CornerSpacing] = field(default_factory=list)
    min_step: list[MinStep] = field(default_factory=list)
    cut_spacings: list[CutSpacing] = field(default_factory=list)  # cut layers

    def track_offset(self, axis: str) -> float:
        """Where the LEF puts this layer's tracks along `axis` ("X": vertical tracks)."""
        return (self.offset_xy or (0.0, 0.0))[0 if axis == "X" else 1]

    def track_pitch(self, axis: str) -> float | None:
        return self.pitch_xy[0 if axis == "X" else 1] if self.pitch_xy else None


@dataclass
class ViaDef:
    name: str
    shapes: list[Shape]            # metal and cut rectangles, microns, around the via's origin
    default: bool = False
    line: int = 0


@dataclass
class Site:
    name: str
    width: float
    height: float
    line: int = 0


@dataclass
class MacroPin:
    name: str
    direction: str | None
    use: str | None                # "SIGNAL", "POWER", "GROUND", "CLOCK", ...
    ports: list[Shape]             # microns, relative to the macro's origin (unoriented)
    line: int = 0


@dataclass
class Macro:
    name: str
    width: float
    height: float
    origin: tuple[float, float] = (0.0, 0.0)
    pins: dict[str, MacroPin] = field(default_factory=dict)
    obstructions: list[Shape] = field(default_factory=list)
    line: int = 0
    macro_class: str | None = None             # LEF CLASS, e.g. "CORE", "BLOCK", "PAD"


@dataclass
class Tech:
    """Everything read from one or more LEF files (later files add to earlier ones)."""
    dbu_per_micron: int | None = None      # LEF UNITS DATABASE MICRONS, when given
    layers: list[Layer] = field(default_factory=list)           # in file order
    vias: dict[str, ViaDef] = field(default_factory=dict)
    sites: dict[str, Site] = field(default_factory=dict)
    macros: dict[str, Macro] = field(default_factory=dict)
    files: list[str] = field(default_factory=list)
    manufacturing_grid: float | None = None    # microns, when given
    # "FILE:LINE: CONSTRUCT: skipped ..." for each rule or property read past, in file order
    notes: list[str] = field(default_factory=list)

    def layer(self, name: str) -> Layer | None:
        return next((l for l in self.layers if l.name == name), None)

    def routing_layers(self) -> list[Layer]:
        return [l for l in self.layers if l.kind == "ROUTING"]


# ---------------------------------------------------------------- DEF

ORIENTATIONS = ("N", "S", "E", "W", "FN", "FS", "FE", "FW")


@dataclass
class Row:
    name: str
    site: str
    x: int
    y: int
    orient: str
    num_x: int
    num_y: int
    step_x: int
    step_y: int
    line: int = 0


@dataclass
class Tracks:
    axis: str                      # "X": vertical tracks at x = start + k*step; "Y": horizontal ones
    start: int
    count: int
    step: int
    layers: list[str]
    line: int = 0


@dataclass
class GCellGrid:
    axis: str                      # "X" or "Y"
    start: int
    count: int
    step: int
    line: int = 0


@dataclass
class Component:
    name: str
    macro: str
    status: str | None             # "PLACED", "FIXED", "COVER", "UNPLACED", or None
    x: int = 0
    y: int = 0
    orient: str = "N"
    line: int = 0


@dataclass
class PinPort:
    """One `+ PORT` of a DEF pin that has several: its shapes and its own placement."""
    shapes: list[Shape]
    status: str | None = None
    x: int = 0
    y: int = 0
    orient: str = "N"
    line: int = 0


@dataclass
class IOPin:
    name: str
    net: str
    direction: str | None
    use: str | None
    shapes: list[Shape]            # database units, relative to (x, y) before orientation
    status: str | None = None
    x: int = 0
    y: int = 0
    orient: str = "N"
    line: int = 0
    # A pin written with `+ PORT` blocks lists each of them here; the fields above are
    # then those of its first port.
    ports: list[PinPort] = field(default_factory=list)


@dataclass(slots=True)        # a routed design holds many
class Wire:
    """One straight piece of routed wiring: from (x0, y0) to (x1, y1) on a layer, or a
    via placed at (x0, y0) when `via` is set (then x1 == x0, y1 == y0)."""
    layer: str
    x0: int
    y0: int
    x1: int
    y1: int
    width: int | None = None       # special wiring states its width; regular wiring does not
    via: str | None = None
    ext0: int | None = None        # extension written at (x0, y0) (`( x y ext )`), when given
    ext1: int | None = None        # extension written at (x1, y1), when given
    shape: str | None = None       # special wiring's `+ SHAPE` (e.g. "STRIPE", "FOLLOWPIN")
    patch: bool = False            # a `RECT` patch: (x0, y0)-(x1, y1) is the rectangle itself
    # A via's `layer` is the routing layer the wiring was on where the via was placed, its
    # `next_layer` the via's other routing layer, where the wiring goes on (None without the LEF).
    next_layer: str | None = None


@dataclass
class Net:
    name: str
    pins: list[tuple[str, str]]    # (component name, pin name); ("PIN", name) for an IO pin
    use: str | None = None
    wiring: list[Wire] = field(default_factory=list)   # any ROUTED/FIXED/COVER wiring read
    line: int = 0                  # the line of "- name"
    end_line: int = 0              # the line of the net's closing ";"


@dataclass
class Blockage:
    kind: str                      # "LAYER" (routing blockage) or "PLACEMENT"
    layer: str | None
    rects: list[Rect]
    line: int = 0


@dataclass
class Design:
    """Everything read from one DEF file."""
    name: str = ""
    dbu_per_micron: int = 0
    die: Rect | None = None
    rows: list[Row] = field(default_factory=list)
    tracks: list[Tracks] = field(default_factory=list)
    gcell_grid: list[GCellGrid] = field(default_factory=list)
    components: dict[str, Component] = field(default_factory=dict)
    pins: dict[str, IOPin] = field(default_factory=dict)
    nets: dict[str, Net] = field(default_factory=dict)            # in file order
    special_nets: dict[str, Net] = field(default_factory=dict)
    blockages: list[Blockage] = field(default_factory=list)
    vias: dict[str, ViaDef] = field(default_factory=dict)         # DEF VIAS section, database units
    file: str = ""


@dataclass(slots=True)
class GuideBox:
    rect: Rect                     # database units
    layer: str
    line: int = 0


class GuideBoxes(Sequence):
    """A net's guide boxes held as one array (a box as records takes about 300 bytes, and a
    large design's guides have millions of boxes); reading yields `GuideBox` records."""
    __slots__ = ("_rows", "_layer_of", "_layers")

    def __init__(self, boxes: Iterable[GuideBox] = ()):
        boxes = list(boxes)
        self._layers = tuple(sorted({b.layer for b in boxes}))
        index = {name: i for i, name in enumerate(self._layers)}
        self._rows = np.array([(b.rect.x0, b.rect.y0, b.rect.x1, b.rect.y1, b.line) for b in boxes],
                              dtype=np.int64).reshape(-1, 5)
        self._layer_of = np.array([index[b.layer] for b in boxes], dtype=np.int32)

    def __len__(self) -> int:
        return len(self._rows)

    def __iter__(self) -> Iterator[GuideBox]:
        for (x0, y0, x1, y1, line), k in zip(self._rows.tolist(), self._layer_of.tolist()):
            yield GuideBox(Rect(x0, y0, x1, y1), self._layers[k], line)

    def __getitem__(self, i):
        return list(self)[i]

    def __eq__(self, other) -> bool:
        return isinstance(other, Sequence) and list(self) == list(other)

    def __repr__(self) -> str:
        return f"GuideBoxes({list(self)!r})"


Guides = dict[str, Sequence[GuideBox]]  # net name -> its guide boxes (`GuideBoxes` from a .guide file)
