"""Reads the LEF subset the flow needs into a `Tech`.

Kept: units, manufacturing grid, layers (type, direction, pitch and offset on both axes, width,
the design rules the checker judges: AREA, MINWIDTH, SPACING with its RANGE, SAMENET and
ENDOFLINE forms, the parallel-run-length table, MINSTEP, cut spacing; the same rules written
as `PROPERTY LEF58_...` strings where their form is plain), vias (fixed shapes or via-rule
parameters), sites, macros (class, size, origin, pins with their port shapes, obstructions).
Everything else is read past by its `;` or its `END`; a rule read past that way leaves a note
on `Tech.notes`, so that a check can say what it did not judge.
"""
from __future__ import annotations

from ..design import (CornerSpacing, CutSpacing, EolRule, Layer, Macro, MacroPin, MinStep, Rect, Shape, Site,
                      SpacingRule, SpacingTable, Tech, ViaDef)
from ..errors import FlowInputError
from .geometry import generated_via_shapes, path_rects, polygon_rects
from .tokens import MAX_ARRAY, Tokens, is_number as _is_number

LAYER_TYPES = frozenset({"ROUTING", "CUT", "MASTERSLICE", "OVERLAP", "IMPLANT"})
DIRECTIONS = frozenset({"HORIZONTAL", "VERTICAL", "DIAG45", "DIAG135"})

# Top-level blocks read past whole: closed by "END <keyword>" ...
_BLOCKS_ENDED_BY_KEYWORD = frozenset({"PROPERTYDEFINITIONS", "SPACING", "IRDROP", "NOISETABLE",
                                      "CORRECTIONTABLE"})
# ... or by "END <their name>".
_BLOCKS_ENDED_BY_NAME = frozenset({"VIARULE", "NONDEFAULTRULE", "ARRAY"})

# Top-level statements that change nothing the flow reads: read past without a note.
_QUIET_STATEMENTS = frozenset({"VERSION", "BUSBITCHARS", "DIVIDERCHAR", "NAMESCASESENSITIVE", "NOWIREEXTENSIONATPIN",
                               "CLEARANCEMEASURE", "USEMINSPACING", "FIXEDMASK"})
# Layer statements that say nothing about geometry or design rules: read past without a note.
_ELECTRICAL = ("RESISTANCE", "CAPACITANCE", "EDGECAPACITANCE", "THICKNESS", "HEIGHT", "SHRINKAGE",
               "CAPMULTIPLIER", "ANTENNA", "MASK", "WIREEXTENSION", "DIAGPITCH", "DIAGWIDTH")
# LEF58 properties whose string holds layer rule statements (read where plain) ...
_RULE_PROPERTIES = frozenset({"LEF58_SPACING", "LEF58_EOLSPACING", "LEF58_SPACINGTABLE", "LEF58_CORNERSPACING",
                              "LEF58_AREA", "LEF58_MINSTEP", "LEF58_MINWIDTH", "LEF58_CUTSPACING"})
# ... and those that change nothing the flow uses.
_QUIET_PROPERTIES = frozenset({"LEF58_TYPE"})


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
                name = t.name(word)
                if word == "NONDEFAULTRULE":
                    self.note(t, start, f"{word} {name}", "(wiring is judged at the layers' default widths)")
                t.skip_block(name, word, start)
            elif word == "BEGINEXT":
                t.skip_extension()
            elif word[0].isalpha():
                if word not in _QUIET_STATEMENTS:
                    self.note(t, start, word, "(a statement the flow does not use)")
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

    def note(self, t: Tokens, at: int, construct: str, what: str) -> None:
        self.tech.notes.append(f"{t.file}:{t.line(at)}: {construct}: skipped {what}")

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
            elif word in ("ACCURRENTDENSITY", "DCCURRENTDENSITY"):
                self.skip_current_density(construct + " " + word)
            elif word == "PROPERTY":
                self.properties(layer, construct)
            elif word in _RULES:
                _RULES[word](self, t, layer, f"{construct} {word}")
            elif word[0].isalpha():
                if not word.startswith(_ELECTRICAL):
                    self.note(t, at, f"{construct} {word}", "(a rule the flow does not use)")
                t.skip_statement(f"{construct} {word}")
            else:
                t.error(construct, f"expected a layer property, found {word!r}", at)
        if not layer.kind:
            t.error(construct, "has no TYPE", start)
        if layer.kind == "ROUTING":
            for what, value in (("DIRECTION", layer.direction), ("PITCH", pitch), ("WIDTH", layer.width)):
                if not value:
                    t.error(construct, f"routing layer has no {what}", start)
        # Two values are x then y; `pitch` and `offset` keep the one across the wires' direction.
        across = 1 if layer.direction == "HORIZONTAL" else 0
        if pitch:
            layer.pitch_xy = (pitch[0], pitch[-1])
            layer.pitch = layer.pitch_xy[across]
        if offset:
            layer.offset_xy = (offset[0], offset[-1])
            layer.offset = layer.offset_xy[across]
        if layer.spacing is None and layer.spacing_table:
            layer.spacing = layer.spacing_table.spacings[0][0]
        if old:
            self.tech.layers[old.index] = layer
        else:
            self.tech.layers.append(layer)
        self.layers[name] = layer

    def properties(self, layer: Layer, construct: str) -> None:
        """`PROPERTY name value [name value ...] ;`: the LEF58 rule strings are read as more
        statements of the layer, on the lines they are written on."""
        t = self.t
        while not t.accept(";"):
            at = t.i
            name = t.name(construct + " PROPERTY", "a property name")
            value = t.next(f"{construct} PROPERTY {name}", "a value")
            here = f"{construct} PROPERTY {name}"
            if value == ";":
                t.error(here, "has no value", at)
            if name in _QUIET_PROPERTIES:
                continue
            if name not in _RULE_PROPERTIES or value[0] != '"':
                self.note(t, at, here, "(a property the flow does not use)")
                continue
            inner = t.quoted(t.i - 1)
            try:
                while not inner.at_end():
                    word_at = inner.i
                    word = inner.next(here)
                    if word in _RULES:
                        _RULES[word](self, inner, layer, f"{here} {word}")
                    else:
                        self.note(inner, word_at, f"{here} {word}", "(a rule the flow does not use)")
                        inner.skip_statement(here)
            except FlowInputError as e:      # the flow needs none of it: a malformed string is noted
                self.tech.notes.append(f"{e.file}:{e.line}: {e.construct}: skipped (not read: {e.problem})")

    # ------------------------------------------------------------ layer rules
    # Each reads one statement after its keyword, from the LEF or from a LEF58 string (`t`),
    # through its ';'. A form with more qualifiers than the plain one is noted and read past.

    def spacing(self, t: Tokens, layer: Layer, construct: str) -> None:
        s = _Statement(t, construct)
        value = s.number(construct, "a spacing")
        if layer.kind == "CUT":
            self.cut_spacing(s, layer, value, construct)
            return
        if s.done():
            layer.spacings.append(SpacingRule(value, line=s.line))
            layer.spacing = value if layer.spacing is None else min(layer.spacing, value)
            return
        if s.take("RANGE"):
            low, high = s.number(construct + " RANGE"), s.number(construct + " RANGE")
            if s.done():
                layer.spacings.append(SpacingRule(value, (low, high), line=s.line))
                return
        elif s.take("SAMENET"):
            s.take("PGONLY")
            if s.done():
                layer.spacings.append(SpacingRule(value, same_net=True, line=s.line))
                return
        elif s.take("ENDOFLINE"):
            width = s.number(construct + " ENDOFLINE")
            if s.take("WITHIN"):
                rule = EolRule(value, width, s.number(construct + " WITHIN"), line=s.line)
                if s.take("PARALLELEDGE"):
                    rule.parallel_space = s.number(construct + " PARALLELEDGE")
                    rule.parallel_within = s.number(construct + " PARALLELEDGE") if s.take("WITHIN") else None
                    rule.two_edges = s.take("TWOEDGES")
                if s.done() and (rule.parallel_space is None or rule.parallel_within is not None):
                    layer.eol.append(rule)
                    return
        self.note(t, s.start, construct, f"(qualifier {s.here()!r} of this form is not read)")

    def cut_spacing(self, s: "_Statement", layer: Layer, value: float, construct: str) -> None:
        rule = CutSpacing(value, line=s.line)
        while not s.done():
            if s.take("CENTERTOCENTER"):
                rule.center_to_center = True
            elif s.take("SAMENET"):
                rule.same_net = True
            elif s.take("LAYER"):
                rule.other_layer = s.word()
                s.take("STACK")
            elif s.take("ADJACENTCUTS"):
                count = s.number(construct + " ADJACENTCUTS")
                if s.take("WITHIN"):
                    rule.adjacent_cuts, rule.within = int(count), s.number(construct + " WITHIN")
                    s.take("EXCEPTSAMEPGNET")
                else:
                    break
            elif s.take("PARALLELOVERLAP"):
                rule.parallel_overlap = True
            elif s.take("AREA"):
                rule.area = s.number(construct + " AREA")
            else:
                break
        if not s.done():
            self.note(s.t, s.start, construct, f"(qualifier {s.here()!r} of this form is not read)")
            return
        layer.cut_spacings.append(rule)
        if rule.plain and not rule.same_net and not rule.center_to_center:
            layer.spacing = value if layer.spacing is None else min(layer.spacing, value)

    def spacing_table(self, t: Tokens, layer: Layer, construct: str) -> None:
        s = _Statement(t, construct)
        if layer.kind != "ROUTING" or not s.take("PARALLELRUNLENGTH"):
            self.note(t, s.start, construct, f"({s.here()!r} tables are not read)")
            return
        lengths: list[float] = []
        while s.is_number():
            lengths.append(s.number(construct + " PARALLELRUNLENGTH"))
        widths: list[float] = []
        rows: list[list[float]] = []
        while s.take("WIDTH"):
            widths.append(s.number(construct + " WIDTH"))
            rows.append([s.number(construct + " WIDTH", "a spacing") for _ in lengths])
        if not s.done():
            self.note(t, s.start, construct, f"(qualifier {s.here()!r} of this form is not read)")
            return
        if not lengths or not rows:
            t.error(construct, "a PARALLELRUNLENGTH table needs lengths and WIDTH rows", s.start)
        if layer.spacing_table is not None:
            self.note(t, s.start, construct, "(a second PARALLELRUNLENGTH table; the first one is kept)")
            return
        layer.spacing_table = SpacingTable(lengths, widths, rows)

    def corner_spacing(self, t: Tokens, layer: Layer, construct: str) -> None:
        s = _Statement(t, construct)
        rule = CornerSpacing([], [], line=s.line)
        if s.take("CONVEXCORNER"):
            if s.take("EXCEPTEOL"):
                rule.except_eol = s.number(construct + " EXCEPTEOL")
            while s.take("WIDTH"):
                rule.widths.append(s.number(construct + " WIDTH"))
                if not s.take("SPACING"):
                    break
                rule.spacings.append(s.number(construct + " SPACING"))
        if not s.done() or not rule.widths or len(rule.widths) != len(rule.spacings):
            self.note(t, s.start, construct, f"(qualifier {s.here()!r} of this form is not read)")
            return
        layer.corner_spacing.append(rule)

    def single_value(self, t: Tokens, layer: Layer, construct: str) -> None:
        """AREA, MINWIDTH and MINSTEP: a value, and for MINSTEP an optional MAXEDGES."""
        s = _Statement(t, construct)
        keyword = construct.rsplit(" ", 1)[1]
        value = s.number(construct)
        if keyword == "MINSTEP":
            step = MinStep(value, line=s.line)
            if s.take("MAXEDGES"):
                step.max_edges = int(s.number(construct + " MAXEDGES"))
            if s.done():
                layer.min_step.append(step)
                return
        elif s.done():
            # A LEF58 form only adds to what the plain statement said.
            if keyword == "AREA" and layer.min_area is None:
                layer.min_area = value
            elif keyword == "MINWIDTH" and layer.min_width is None:
                layer.min_width = value
            return
        self.note(t, s.start, construct, f"(qualifier {s.here()!r} of this form is not read)")

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
            values = tuple(float(w) for w in words if _is_number(w))
            if len(values) != count:
                t.error(f"{construct} {key}", f"expected {count} numbers, found {' '.join(words)!r}", at)
            return values

        at, layers = rule["LAYERS"]
        if len(layers) != 3:
            t.error(construct + " LAYERS", "expected bottom, cut and top layer", at)
        for name in layers:
            self.check_layer(name, construct + " LAYERS", at)
        rows, cols = numbers("ROWCOL", 2, (1, 1))
        if rows != int(rows) or cols != int(cols) or not 1 <= rows * cols <= MAX_ARRAY:
            t.error(construct + " ROWCOL", f"expected two positive integers, at most {MAX_ARRAY} cuts",
                    rule["ROWCOL"][0])
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
            shapes.extend(s.moved(x, y) for s in via.shapes)
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


# Layer rule statements by keyword (in the LEF and inside LEF58 strings).
_RULES = {
    "SPACING": _LefReader.spacing,
    "SPACINGTABLE": _LefReader.spacing_table,
    "CORNERSPACING": _LefReader.corner_spacing,
    "AREA": _LefReader.single_value,
    "MINWIDTH": _LefReader.single_value,
    "MINSTEP": _LefReader.single_value,
}


class _Statement:
    """The words of one rule statement up to its ';' (read past at once, so that a form
    that is not read leaves the cursor where the next statement begins)."""

    def __init__(self, t: Tokens, construct: str):
        self.t = t
        self.start = t.i
        self.line = t.line(self.start)
        t.skip_statement(construct)
        self.words = t.words[self.start:t.i - 1]
        self.k = 0

    def done(self) -> bool:
        return self.k >= len(self.words)

    def here(self) -> str:
        return self.words[self.k] if self.k < len(self.words) else ";"

    def take(self, word: str) -> bool:
        if self.k < len(self.words) and self.words[self.k] == word:
            self.k += 1
            return True
        return False

    def word(self) -> str:
        word = self.here()
        self.k += 1
        return word

    def is_number(self) -> bool:
        return self.k < len(self.words) and _is_number(self.words[self.k])

    def number(self, construct: str, what: str = "a number") -> float:
        if not self.is_number():
            self.t.error(construct, f"expected {what}, found {self.here()!r}", self.start + self.k)
        self.k += 1
        return float(self.words[self.k - 1])
