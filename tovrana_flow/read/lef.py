"""Reads the LEF subset the flow needs into a `Tech`.

Kept: units, manufacturing grid, layers (type, direction, pitch, width, offset, the smallest
plain spacing and the parallel-run-length table), vias (fixed shapes or via-rule parameters),
sites, macros (class, size, origin, pins with their port shapes, obstructions). Everything
else is read past by its `;` or its `END`.
"""
from __future__ import annotations

from ..design import Layer, Macro, MacroPin, Rect, Shape, Site, SpacingTable, Tech, ViaDef
from .geometry import generated_via_shapes, path_rects, polygon_rects
from .tokens import Tokens

LAYER_TYPES = frozenset({"ROUTING", "CUT", "MASTERSLICE", "OVERLAP", "IMPLANT"})
DIRECTIONS = frozenset({"HORIZONTAL", "VERTICAL", "DIAG45", "DIAG135"})

# Top-level blocks read past whole: closed by "END <keyword>" ...
_BLOCKS_ENDED_BY_KEYWORD = frozenset({"PROPERTYDEFINITIONS", "SPACING", "IRDROP", "NOISETABLE",
                                      "CORRECTIONTABLE", "UNITS"})
# ... or by "END <their name>".
_BLOCKS_ENDED_BY_NAME = frozenset({"VIARULE", "NONDEFAULTRULE", "ARRAY"})


def read_lef(paths: list[str]) -> Tech:
    """Reads LEF files in order (technology first, then cells): later files add to, and
    override by name, what earlier ones defined."""
    tech = Tech()
    for path in paths:
        _LefReader(Tokens.from_file(path), tech).read()
        tech.files.append(path)
    return tech


class _LefReader:
    def __init__(self, tokens: Tokens, tech: Tech):
        self.t = tokens
        self.tech = tech
        self.layers = {layer.name: layer for layer in tech.layers}
        self.path_width = 0.0           # of a PATH: the LAYER's width unless a WIDTH statement says

    def read(self) -> None:
        t = self.t
        while True:
            start = t.i
            if t.at_end():
                # END LIBRARY may be left out since LEF 5.6, but a file cut short between two
                # constructs would otherwise read as a smaller library without a word.
                t.error("LEF", "file ends without END LIBRARY (truncated?)")
            word = t.next("LEF")
            if word == "END":
                t.expect("LIBRARY", "END LIBRARY")
                return
            if word == "LAYER":
                self.layer(start)
            elif word == "VIA":
                self.via(start)
            elif word == "SITE":
                self.site(start)
            elif word == "MACRO":
                self.macro(start)
            elif word == "UNITS":
                self.units(start)
            elif word == "MANUFACTURINGGRID":
                self.tech.manufacturing_grid = t.number(word)
                t.end_statement(word)
            elif word in _BLOCKS_ENDED_BY_KEYWORD:
                t.skip_block(word, word, start)
            elif word in _BLOCKS_ENDED_BY_NAME:
                t.skip_block(t.name(word), word, start)
            elif word == "BEGINEXT":
                self.skip_extension(start)
            elif word[0].isalpha():
                t.skip_statement(word)
            else:
                t.error("LEF", f"expected a LEF statement, found {word!r}", start)

    def block_word(self, name: str, construct: str, what: str) -> str | None:
        """The next word inside the block `name`, or None after its `END name`."""
        t = self.t
        word = t.next(construct, f"{what} or END {name}")
        if word != "END":
            return word
        t.expect(name, f"{construct} END")
        return None

    def skip_extension(self, start: int) -> None:
        t = self.t
        while t.next("BEGINEXT", "ENDEXT") != "ENDEXT":
            pass

    # ------------------------------------------------------------ units

    def units(self, start: int) -> None:
        t = self.t
        while not t.accept("END"):
            word = t.next("UNITS", "a unit or END UNITS")
            if word == "DATABASE":
                t.expect("MICRONS", "UNITS DATABASE")
                at = t.i
                value = t.number("UNITS DATABASE MICRONS")
                if value != int(value) or value <= 0:
                    t.error("UNITS DATABASE MICRONS", f"expected a positive integer, found {t.words[at]!r}", at)
                if self.tech.dbu_per_micron not in (None, int(value)):
                    t.error("UNITS DATABASE MICRONS",
                            f"{int(value)} differs from the {self.tech.dbu_per_micron} of an earlier LEF file", at)
                self.tech.dbu_per_micron = int(value)
                t.end_statement("UNITS DATABASE MICRONS")
            else:
                t.skip_statement("UNITS")
        t.expect("UNITS", "END UNITS")

    # ------------------------------------------------------------ layers

    def layer(self, start: int) -> None:
        t = self.t
        name = t.name("LAYER", "a layer name")
        construct = f"LAYER {name}"
        old = self.layers.get(name)
        layer = Layer(name, "", old.index if old else len(self.tech.layers), line=t.line(start))
        pitch: list[float] = []
        offset: list[float] = []
        while (word := self.block_word(name, construct, "a layer property")) is not None:
            at = t.i - 1
            if word == "TYPE":
                layer.kind = t.keyword(construct + " TYPE", LAYER_TYPES)
                t.end_statement(construct + " TYPE")
            elif word == "DIRECTION":
                layer.direction = t.keyword(construct + " DIRECTION", DIRECTIONS)
                t.end_statement(construct + " DIRECTION")
            elif word in ("PITCH", "OFFSET"):
                values = pitch if word == "PITCH" else offset
                values[:] = [t.number(f"{construct} {word}")]
                if t.peek() != ";":
                    values.append(t.number(f"{construct} {word}"))
                t.end_statement(f"{construct} {word}")
            elif word == "WIDTH":
                layer.width = t.number(construct + " WIDTH")
                t.end_statement(construct + " WIDTH")
            elif word == "SPACING":
                value = t.number(construct + " SPACING")
                if t.accept(";"):
                    layer.spacing = value if layer.spacing is None else min(layer.spacing, value)
                else:                  # a conditional spacing (RANGE, ENDOFLINE, ...): not a plain one
                    t.skip_statement(construct + " SPACING")
            elif word == "SPACINGTABLE":
                self.spacing_table(layer, construct + " SPACINGTABLE")
            elif word in ("ACCURRENTDENSITY", "DCCURRENTDENSITY"):
                self.skip_current_density(construct + " " + word)
            elif word[0].isalpha():
                t.skip_statement(f"{construct} {word}")
            else:
                t.error(construct, f"expected a layer property, found {word!r}", at)
        if not layer.kind:
            t.error(construct, "has no TYPE", start)
        if layer.kind == "ROUTING":
            for what, value in (("DIRECTION", layer.direction), ("PITCH", pitch), ("WIDTH", layer.width)):
                if not value:
                    t.error(construct, f"routing layer has no {what}", start)
        # Two values are x then y; the flow keeps the one across the wires' direction.
        across = 1 if layer.direction == "HORIZONTAL" else 0
        layer.pitch = pitch[across] if len(pitch) == 2 else (pitch[0] if pitch else None)
        layer.offset = offset[across] if len(offset) == 2 else (offset[0] if offset else None)
        if layer.spacing is None and layer.spacing_table:
            layer.spacing = layer.spacing_table.spacings[0][0]
        if old:
            self.tech.layers[old.index] = layer
        else:
            self.tech.layers.append(layer)
        self.layers[name] = layer

    def spacing_table(self, layer: Layer, construct: str) -> None:
        t = self.t
        if not t.accept("PARALLELRUNLENGTH"):
            t.skip_statement(construct)            # TWOWIDTHS, INFLUENCE: not used by the flow
            return
        lengths: list[float] = []
        while t.peek() not in ("WIDTH", ";", None):
            lengths.append(t.number(construct + " PARALLELRUNLENGTH"))
        widths: list[float] = []
        rows: list[list[float]] = []
        while t.accept("WIDTH"):
            widths.append(t.number(construct + " WIDTH"))
            rows.append([t.number(construct + " WIDTH", "a spacing") for _ in lengths])
        if not lengths or not rows:
            t.error(construct, "a PARALLELRUNLENGTH table needs lengths and WIDTH rows")
        t.end_statement(construct)
        layer.spacing_table = SpacingTable(lengths, widths, rows)

    def skip_current_density(self, construct: str) -> None:
        """`...CURRENTDENSITY kind value ;` or a table of several statements that ends with
        the `TABLEENTRIES ... ;` statement."""
        t = self.t
        if t.peek(2) == ";":
            t.skip_statement(construct)
            return
        while True:
            last = t.peek()
            t.skip_statement(construct)
            if last == "TABLEENTRIES" or t.peek() == "TABLEENTRIES":
                if last != "TABLEENTRIES":
                    t.skip_statement(construct)
                return

    # ------------------------------------------------------------ vias and sites

    def via(self, start: int) -> None:
        t = self.t
        name = t.name("VIA", "a via name")
        construct = f"VIA {name}"
        via = ViaDef(name, [], line=t.line(start))
        rule: dict[str, tuple[int, list[str]]] = {}      # keyword -> (its first value's token, values)
        while t.peek() in ("DEFAULT", "GENERATED", "TOPOFSTACKONLY"):
            via.default |= t.next(construct) == "DEFAULT"
        layer: str | None = None
        while (word := self.block_word(name, construct, "LAYER, RECT, POLYGON")) is not None:
            if word in ("LAYER", "RECT", "POLYGON"):
                layer = self.shape_statement(word, layer, via.shapes, construct)
            elif word in ("VIARULE", "CUTSIZE", "LAYERS", "CUTSPACING", "ENCLOSURE", "ROWCOL",
                          "ORIGIN", "OFFSET", "PATTERN"):
                at = t.i
                t.skip_statement(f"{construct} {word}")
                rule[word] = (at, t.words[at:t.i - 1])
            else:
                t.skip_statement(f"{construct} {word}")
        if rule:
            via.shapes = self.rule_via_shapes(rule, construct, start)
        if not via.shapes:
            t.error(construct, "has no shapes", start)
        self.tech.vias[name] = via

    def rule_via_shapes(self, rule: dict[str, tuple[int, list[str]]], construct: str, start: int) -> list[Shape]:
        t = self.t
        for needed in ("CUTSIZE", "LAYERS", "CUTSPACING", "ENCLOSURE"):
            if needed not in rule:
                t.error(construct, f"a via given by VIARULE needs {needed}", start)
        if "PATTERN" in rule:
            t.error(construct + " PATTERN", "cut patterns are not supported", rule["PATTERN"][0])

        def numbers(key: str, count: int, default: tuple = ()) -> tuple:
            if key not in rule:
                return default
            at, words = rule[key]
            if len(words) != count:
                t.error(f"{construct} {key}", f"expected {count} values, found {len(words)}", at)
            try:
                return tuple(float(w) for w in words)
            except ValueError:
                t.error(f"{construct} {key}", f"expected {count} numbers, found {' '.join(words)!r}", at)

        at, layers = rule["LAYERS"]
        if len(layers) != 3:
            t.error(construct + " LAYERS", "expected bottom, cut and top layer", at)
        for name in layers:
            self.check_layer(name, construct + " LAYERS", at)
        rows, cols = numbers("ROWCOL", 2, (1, 1))
        if rows != int(rows) or cols != int(cols) or rows < 1 or cols < 1:
            t.error(construct + " ROWCOL", "expected two positive integers", rule["ROWCOL"][0])
        return generated_via_shapes(tuple(layers), numbers("CUTSIZE", 2), numbers("CUTSPACING", 2),
                                    numbers("ENCLOSURE", 4), (int(rows), int(cols)),
                                    numbers("ORIGIN", 2, (0, 0)), numbers("OFFSET", 4, (0, 0, 0, 0)))

    def site(self, start: int) -> None:
        t = self.t
        name = t.name("SITE", "a site name")
        construct = f"SITE {name}"
        size = None
        while (word := self.block_word(name, construct, "a site property")) is not None:
            if word == "SIZE":
                size = self.size(construct)
            else:
                t.skip_statement(f"{construct} {word}")
        if size is None:
            t.error(construct, "has no SIZE", start)
        self.tech.sites[name] = Site(name, size[0], size[1], line=t.line(start))

    def size(self, construct: str) -> tuple[float, float]:
        t = self.t
        width = t.number(construct + " SIZE", "a width")
        t.expect("BY", construct + " SIZE")
        height = t.number(construct + " SIZE", "a height")
        t.end_statement(construct + " SIZE")
        return width, height

    # ------------------------------------------------------------ macros

    def macro(self, start: int) -> None:
        t = self.t
        name = t.name("MACRO", "a macro name")
        construct = f"MACRO {name}"
        macro = Macro(name, 0.0, 0.0, line=t.line(start))
        size = None
        while (word := self.block_word(name, construct, "a macro property")) is not None:
            at = t.i - 1
            if word == "SIZE":
                size = self.size(construct)
            elif word == "ORIGIN":
                macro.origin = (t.number(construct + " ORIGIN"), t.number(construct + " ORIGIN"))
                t.end_statement(construct + " ORIGIN")
            elif word == "CLASS":
                macro.macro_class = t.name(construct + " CLASS", "a macro class")
                t.skip_statement(construct + " CLASS")
            elif word == "PIN":
                pin = self.pin(construct, at)
                macro.pins[pin.name] = pin
            elif word == "OBS":
                macro.obstructions.extend(self.geometry(construct + " OBS"))
            elif word == "DENSITY":
                self.skip_density(construct)
            elif word[0].isalpha():
                t.skip_statement(f"{construct} {word}")
            else:
                t.error(construct, f"expected a macro property, found {word!r}", at)
        if size is None:
            t.error(construct, "has no SIZE", start)
        macro.width, macro.height = size
        self.tech.macros[name] = macro

    def skip_density(self, construct: str) -> None:
        t = self.t
        while t.peek() != "END":
            t.skip_statement(construct + " DENSITY")
        t.next(construct + " DENSITY")

    def pin(self, macro_construct: str, start: int) -> MacroPin:
        t = self.t
        name = t.name(macro_construct + " PIN", "a pin name")
        construct = f"{macro_construct} PIN {name}"
        pin = MacroPin(name, None, None, [], line=t.line(start))
        has_port = False
        while (word := self.block_word(name, construct, "a pin property")) is not None:
            if word == "DIRECTION":
                pin.direction = t.name(construct + " DIRECTION", "a direction")
                t.skip_statement(construct + " DIRECTION")       # an optional TRISTATE
            elif word == "USE":
                pin.use = t.name(construct + " USE", "a use")
                t.end_statement(construct + " USE")
            elif word == "PORT":
                has_port = True
                pin.ports.extend(self.geometry(construct + " PORT"))
            else:
                t.skip_statement(f"{construct} {word}")
        if not has_port or not pin.ports:
            t.error(construct, "the pin has no PORT with shapes", start)
        return pin

    def geometry(self, construct: str) -> list[Shape]:
        """The LAYER/RECT/POLYGON/PATH/VIA statements of a PORT or OBS, up to its END."""
        t = self.t
        shapes: list[Shape] = []
        layer: str | None = None
        while True:
            at = t.i
            word = t.next(construct, "a shape or END")
            if word == "END":
                return shapes
            if word in ("LAYER", "RECT", "POLYGON", "PATH", "WIDTH", "VIA"):
                layer = self.shape_statement(word, layer, shapes, construct)
            elif word == "CLASS":
                t.skip_statement(construct + " CLASS")
            elif word[0].isalpha():
                t.error(f"{construct} {word}", "not supported here", at)
            else:
                t.error(construct, f"expected a shape or END, found {word!r}", at)

    def shape_statement(self, word: str, layer: str | None, shapes: list[Shape], construct: str) -> str | None:
        """Reads one geometry statement after its keyword `word` into `shapes`; returns the
        current layer (changed by LAYER)."""
        t = self.t
        at = t.i - 1
        here = f"{construct} {word}"
        if word == "LAYER":
            name = t.name(here, "a layer name")
            self.check_layer(name, here, at + 1)
            t.skip_statement(here)             # EXCEPTPGNET, SPACING, DESIGNRULEWIDTH: not used
            self.path_width = self.layers[name].width or 0.0
            return name
        if word == "WIDTH":
            self.path_width = t.number(here)
            t.end_statement(here)
            return layer
        if word == "VIA":
            if t.accept("MASK"):
                t.integer(here + " MASK")
            x, y = t.number(here, "x"), t.number(here, "y")
            via = self.tech.vias.get(t.name(here, "a via name"))
            if via is None:
                t.error(here, f"via {t.words[t.i - 1]!r} is not defined before this point", t.i - 1)
            t.end_statement(here)
            shapes.extend(Shape(s.layer, Rect(s.rect.x0 + x, s.rect.y0 + y, s.rect.x1 + x, s.rect.y1 + y))
                          for s in via.shapes)
            return layer
        if layer is None:
            t.error(here, "a shape before any LAYER", at)
        if t.accept("MASK"):
            t.integer(here + " MASK")
        values: list[float] = []
        while t.peek() != ";":
            if t.peek() == "ITERATE":
                t.error(here + " ITERATE", "not supported", t.i)
            values.append(t.number(here, "a coordinate or ';'"))
        t.next(here)
        if word == "RECT":
            if len(values) != 4:
                t.error(here, f"expected 4 coordinates, found {len(values)}", at)
            x0, y0, x1, y1 = values
            shapes.append(Shape(layer, Rect(min(x0, x1), min(y0, y1), max(x0, x1), max(y0, y1))))
            return layer
        if len(values) % 2:
            t.error(here, "an odd number of coordinates", at)
        points = list(zip(values[0::2], values[1::2]))
        try:
            rects = polygon_rects(points) if word == "POLYGON" else path_rects(points, self.path_width)
        except ValueError as e:
            t.error(here, str(e), at)
        shapes.extend(Shape(layer, r) for r in rects)
        return layer

    def check_layer(self, name: str, construct: str, at: int) -> None:
        if name not in self.layers:
            self.t.error(construct, f"layer {name!r} is not defined before this point", at)
