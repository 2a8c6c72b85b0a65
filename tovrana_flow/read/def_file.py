"""Reads the DEF subset the flow needs into a `Design`.

Kept: units, die area, rows, tracks, gcell grid, vias, components, pins, blockages, nets and
special nets with their wiring. Other sections are read past by their `END`, other
statements by their `;`, other `+` options of an item up to the next `+` or `;`.

Given the `Tech` read from LEF, the reader also checks what only the two together can tell:
equal database units, known macros, layers and vias, pins the macros have.
"""
from __future__ import annotations

from ..design import (ORIENTATIONS, Blockage, Component, Design, GCellGrid, IOPin, Net, PinPort, Rect,
                      Row, Shape, Tech, Tracks, ViaDef)
from .geometry import generated_via_shapes, polygon_rects
from .tokens import Tokens
from .wiring import WiringReader

PLACEMENT_STATUSES = frozenset({"PLACED", "FIXED", "COVER"})
_ORIENTS = frozenset(ORIENTATIONS)
_SECTIONS = frozenset({"COMPONENTS", "PINS", "NETS", "SPECIALNETS", "BLOCKAGES", "VIAS"})


def read_def(path: str, tech: Tech | None = None) -> Design:
    """Reads one DEF file; with `tech`, checks it against the LEF (see the module doc)."""
    return _DefReader(Tokens.from_file(path), tech).read()


class _DefReader:
    def __init__(self, tokens: Tokens, tech: Tech | None):
        self.t = tokens
        self.tech = tech
        self.design = Design(file=tokens.file)
        self.layers = {layer.name for layer in tech.layers} if tech else None
        self.units_at = -1                   # the UNITS statement's first token, once read
        self.wiring = WiringReader(tokens, self.design, tech, self.check_layer)

    def read(self) -> Design:
        t, d = self.t, self.design
        while True:
            start = t.i
            if t.at_end():
                t.error("DEF", "file ends without END DESIGN (truncated?)")
            word = t.next("DEF")
            if word == "END":
                t.expect("DESIGN", "END DESIGN")
                break
            if word == "DESIGN":
                d.name = t.name("DESIGN", "the design name")
                t.end_statement("DESIGN")
            elif word == "UNITS":
                self.units(start)
            elif word == "DIEAREA":
                points = self.points("DIEAREA")
                t.end_statement("DIEAREA")
                if len(points) < 2:
                    t.error("DIEAREA", "needs at least two corners", start)
                xs, ys = [p[0] for p in points], [p[1] for p in points]
                d.die = Rect(min(xs), min(ys), max(xs), max(ys))
            elif word == "ROW":
                self.row(start)
            elif word == "TRACKS":
                self.tracks(start)
            elif word == "GCELLGRID":
                self.gcell_grid(start)
            elif word in _SECTIONS:
                self.section(word, start)
            elif word == "BEGINEXT":
                while t.next("BEGINEXT", "ENDEXT") != "ENDEXT":
                    pass
            elif word == "PROPERTYDEFINITIONS":
                t.skip_block(word, word, start)
            elif word[0].isalpha():
                if t.peek(1) == ";" and t.peek() is not None and t.peek().isdigit():
                    t.skip_block(word, word, start)          # a section we do not use: "NAME count ;"
                else:
                    t.skip_statement(word)
            else:
                t.error("DEF", f"expected a DEF statement or section, found {word!r}", start)
        if not d.dbu_per_micron:
            t.error("DEF", "has no UNITS DISTANCE MICRONS", t.i - 2)
        if d.die is None:
            t.error("DEF", "has no DIEAREA", t.i - 2)
        return d

    # ------------------------------------------------------------ small statements

    def units(self, start: int) -> None:
        t = self.t
        t.expect("DISTANCE", "UNITS")
        t.expect("MICRONS", "UNITS DISTANCE")
        dbu = t.integer("UNITS DISTANCE MICRONS", "a positive integer")
        t.end_statement("UNITS DISTANCE MICRONS")
        if dbu <= 0:
            t.error("UNITS DISTANCE MICRONS", f"expected a positive integer, found {dbu}", start + 3)
        lef_dbu = self.tech.dbu_per_micron if self.tech else None
        if lef_dbu is not None and dbu != lef_dbu:
            # LEF geometry is mapped into DEF database units: a coarser DEF unit would round
            # LEF shapes off their grid, a finer one is not allowed by DEF.
            t.error("UNITS DISTANCE MICRONS",
                    f"{dbu} differs from the LEF's DATABASE MICRONS {lef_dbu}; the flow needs them equal", start)
        self.design.dbu_per_micron = dbu
        self.units_at = start

    def row(self, start: int) -> None:
        t = self.t
        name = t.name("ROW", "a row name")
        c = f"ROW {name}"
        site, x, y = t.name(c, "a site name"), t.integer(c, "x"), t.integer(c, "y")
        orient = self.orient(c)
        num_x = num_y = 1
        step_x = step_y = 0
        if t.accept("DO"):
            num_x = t.integer(c + " DO")
            t.expect("BY", c + " DO")
            num_y = t.integer(c + " BY")
            if t.accept("STEP"):
                step_x, step_y = t.integer(c + " STEP"), t.integer(c + " STEP")
        self.skip_options(c)
        t.end_statement(c)
        if self.tech and site not in self.tech.sites:
            t.error(c, f"site {site!r} is not defined in the LEF", start + 2)
        self.design.rows.append(Row(name, site, x, y, orient, num_x, num_y, step_x, step_y, t.line(start)))

    def tracks(self, start: int) -> None:
        t = self.t
        axis = t.keyword("TRACKS", ("X", "Y"))
        c = f"TRACKS {axis}"
        first = t.integer(c, "the first track")
        t.expect("DO", c)
        count = t.integer(c + " DO", "a track count")
        t.expect("STEP", c)
        step = t.integer(c + " STEP", "a step")
        if t.accept("MASK"):
            t.integer(c + " MASK")
            t.accept("SAMEMASK")
        layers = []
        if t.accept("LAYER"):
            while t.peek() != ";":
                at = t.i
                layers.append(t.name(c + " LAYER", "a layer name"))
                self.check_layer(layers[-1], c + " LAYER", at)
        t.end_statement(c)
        if count < 1 or step < 0:
            t.error(c, f"needs a positive count and a step >= 0, found DO {count} STEP {step}", start)
        self.design.tracks.append(Tracks(axis, first, count, step, layers, t.line(start)))

    def gcell_grid(self, start: int) -> None:
        t = self.t
        axis = t.keyword("GCELLGRID", ("X", "Y"))
        c = f"GCELLGRID {axis}"
        first = t.integer(c)
        t.expect("DO", c)
        count = t.integer(c + " DO")
        t.expect("STEP", c)
        step = t.integer(c + " STEP")
        t.end_statement(c)
        self.design.gcell_grid.append(GCellGrid(axis, first, count, step, t.line(start)))

    # ------------------------------------------------------------ helpers

    def orient(self, construct: str) -> str:
        return self.t.keyword(construct, _ORIENTS, "an orientation (N, S, E, W, FN, FS, FE, FW)")

    def point(self, construct: str) -> tuple[int, int]:
        t = self.t
        t.expect("(", construct)
        x, y = t.integer(construct, "x"), t.integer(construct, "y")
        t.expect(")", construct)
        return x, y

    def points(self, construct: str) -> list[tuple[int, int]]:
        """Absolute points `( x y )` up to the first token that is not `(`."""
        points = []
        while self.t.peek() == "(":
            points.append(self.point(construct))
        return points

    def rect(self, construct: str) -> Rect:
        (xa, ya), (xb, yb) = self.point(construct), self.point(construct)
        return Rect(min(xa, xb), min(ya, yb), max(xa, xb), max(ya, yb))

    def polygon(self, construct: str) -> list[Rect]:
        at = self.t.i
        try:
            return polygon_rects(self.points(construct))
        except ValueError as e:
            self.t.error(construct, str(e), at)

    def next_option(self, construct: str) -> str | None:
        """The keyword of an item's next `+ option`, or None at the item's closing `;`."""
        t = self.t
        word = t.next(construct, "'+' or ';'")
        if word == ";":
            return None
        if word != "+":
            t.error(construct, f"expected '+' or ';', found {word!r}", t.i - 1)
        return t.next(construct, "an option")

    def skip_options(self, construct: str) -> None:
        """Reads past `+ ...` options up to the statement's `;`."""
        t = self.t
        while t.peek() == "+":
            t.next(construct)
            self.skip_option(construct)

    def skip_option(self, construct: str) -> None:
        """Reads past one option's words (its `+` and keyword already read)."""
        t = self.t
        words, i, n = t.words, t.i, len(t.words)
        while i < n and words[i] != "+" and words[i] != ";":
            i += 1
        t.i = i
        if i == n:
            t.error(construct, "file ends before the ';' that closes this item (truncated?)")

    def check_layer(self, name: str, construct: str, at: int) -> None:
        if self.layers is not None and name not in self.layers:
            self.t.error(construct, f"layer {name!r} is not defined in the LEF", at)

    # ------------------------------------------------------------ sections

    def section(self, section: str, start: int) -> None:
        t = self.t
        t.integer(section, "the item count")
        t.end_statement(section)
        read_item = {"COMPONENTS": self.component, "PINS": self.pin, "NETS": self.net,
                     "SPECIALNETS": self.special_net, "BLOCKAGES": self.blockage, "VIAS": self.via}[section]
        while True:
            at = t.i
            word = t.next(section, f"'-' or END {section}")
            if word == "-":
                read_item(at)
            elif word == "END":
                t.expect(section, f"END {section}")
                return
            else:
                t.error(section, f"expected '-' or END {section}, found {word!r}", at)

    def component(self, start: int) -> None:
        t = self.t
        name = t.name("COMPONENTS", "a component name")
        c = f"COMPONENTS {name}"
        macro = t.name(c, "a macro name")
        if self.tech and macro not in self.tech.macros:
            t.error(c, f"macro {macro!r} is not defined in the LEF", start + 2)
        comp = Component(name, macro, None, line=t.line(start))
        while (option := self.next_option(c)) is not None:
            if option in PLACEMENT_STATUSES:
                comp.status = option
                comp.x, comp.y = self.point(f"{c} {option}")
                comp.orient = self.orient(f"{c} {option}")
            elif option == "UNPLACED":
                comp.status = option
            else:
                self.skip_option(c)
        if name in self.design.components:
            t.error(c, "the component is defined twice", start)
        self.design.components[name] = comp

    def pin(self, start: int) -> None:
        t = self.t
        name = t.name("PINS", "a pin name")
        c = f"PINS {name}"
        pin = IOPin(name, "", None, None, [], line=t.line(start))
        ports = [PinPort([], line=pin.line)]
        explicit_ports = False
        while (option := self.next_option(c)) is not None:
            at = t.i - 1
            port = ports[-1]
            if option == "NET":
                pin.net = t.name(c + " NET", "a net name")
            elif option == "DIRECTION":
                pin.direction = t.name(c + " DIRECTION", "a direction")
            elif option == "USE":
                pin.use = t.name(c + " USE", "a use")
            elif option == "PORT":
                if explicit_ports:
                    ports.append(PinPort([], line=t.line(at)))
                explicit_ports = True
            elif option in ("LAYER", "POLYGON"):
                layer = t.name(f"{c} {option}", "a layer name")
                self.check_layer(layer, f"{c} {option}", at + 1)
                while t.peek() in ("MASK", "SPACING", "DESIGNRULEWIDTH"):
                    t.next(c)
                    t.integer(f"{c} {option}")
                rects = [self.rect(f"{c} LAYER")] if option == "LAYER" else self.polygon(f"{c} POLYGON")
                port.shapes.extend(Shape(layer, r) for r in rects)
            elif option == "VIA":
                via = t.name(c + " VIA", "a via name")
                if t.accept("MASK"):
                    t.integer(c + " VIA MASK")
                x, y = self.point(c + " VIA")
                port.shapes.extend(Shape(s.layer, Rect(s.rect.x0 + x, s.rect.y0 + y, s.rect.x1 + x, s.rect.y1 + y))
                                   for s in self.wiring.via_shapes(via, c + " VIA", at + 1))
            elif option in PLACEMENT_STATUSES:
                port.status = option
                port.x, port.y = self.point(f"{c} {option}")
                port.orient = self.orient(f"{c} {option}")
            else:
                self.skip_option(c)
        first = ports[0]
        pin.shapes, pin.status, pin.x, pin.y, pin.orient = first.shapes, first.status, first.x, first.y, first.orient
        if explicit_ports:
            pin.ports = ports
        self.design.pins[name] = pin

    def blockage(self, start: int) -> None:
        t = self.t
        kind = t.keyword("BLOCKAGES", ("LAYER", "PLACEMENT"))
        layer = None
        if kind == "LAYER":
            layer = t.name("BLOCKAGES LAYER", "a layer name")
            self.check_layer(layer, "BLOCKAGES LAYER", start + 2)
        c = f"BLOCKAGES {kind}" + (f" {layer}" if layer else "")
        blockage = Blockage(kind, layer, [], t.line(start))
        while True:
            word = t.next(c, "RECT, POLYGON, '+' or ';'")
            if word == ";":
                break
            if word == "RECT":
                blockage.rects.append(self.rect(c + " RECT"))
            elif word == "POLYGON":
                blockage.rects.extend(self.polygon(c + " POLYGON"))
            elif word == "+":
                option = t.next(c, "an option")
                if option in ("COMPONENT", "SPACING", "DESIGNRULEWIDTH", "MASK", "PARTIAL"):
                    t.next(f"{c} {option}")
            else:
                t.error(c, f"expected RECT, POLYGON, '+' or ';', found {word!r}", t.i - 1)
        if not blockage.rects:
            t.error(c, "has no RECT or POLYGON", start)
        self.design.blockages.append(blockage)

    def via(self, start: int) -> None:
        t = self.t
        name = t.name("VIAS", "a via name")
        c = f"VIAS {name}"
        via = ViaDef(name, [], line=t.line(start))
        rule: dict[str, tuple] = {}
        while (option := self.next_option(c)) is not None:
            at = t.i - 1
            oc = f"{c} {option}"
            if option in ("RECT", "POLYGON"):
                layer = t.name(oc, "a layer name")
                self.check_layer(layer, oc, at + 1)
                if t.accept("+"):
                    t.expect("MASK", oc)
                    t.integer(oc + " MASK")
                rects = [self.rect(oc)] if option == "RECT" else self.polygon(oc)
                via.shapes.extend(Shape(layer, r) for r in rects)
            elif option == "VIARULE":
                rule[option] = (t.name(oc, "a via rule name"),)
            elif option == "LAYERS":
                rule[option] = tuple(t.name(oc, "a layer name") for _ in range(3))
                for j, layer in enumerate(rule[option]):
                    self.check_layer(layer, oc, at + 1 + j)
            elif option in ("CUTSIZE", "CUTSPACING", "ROWCOL", "ORIGIN"):
                rule[option] = (t.integer(oc), t.integer(oc))
            elif option in ("ENCLOSURE", "OFFSET"):
                rule[option] = tuple(t.integer(oc) for _ in range(4))
            elif option == "PATTERN":
                t.error(oc, "cut patterns are not supported", at)
            else:
                self.skip_option(c)
        if "VIARULE" in rule:
            missing = [k for k in ("CUTSIZE", "LAYERS", "CUTSPACING", "ENCLOSURE") if k not in rule]
            if missing:
                t.error(c, f"a via given by VIARULE needs {', '.join(missing)}", start)
            via.shapes = generated_via_shapes(rule["LAYERS"], rule["CUTSIZE"], rule["CUTSPACING"],
                                              rule["ENCLOSURE"], rule.get("ROWCOL", (1, 1)),
                                              rule.get("ORIGIN", (0, 0)), rule.get("OFFSET", (0, 0, 0, 0)))
            via.shapes = [Shape(s.layer, Rect(*(round(v) for v in (s.rect.x0, s.rect.y0, s.rect.x1, s.rect.y1))))
                          for s in via.shapes]
        if not via.shapes:
            t.error(c, "has no shapes", start)
        self.design.vias[name] = via

    # ------------------------------------------------------------ nets

    def net(self, start: int) -> None:
        self.design.nets.update([self.read_net(start, "NETS", special=False)])

    def special_net(self, start: int) -> None:
        self.design.special_nets.update([self.read_net(start, "SPECIALNETS", special=True)])

    def read_net(self, start: int, section: str, special: bool) -> tuple[str, Net]:
        t = self.t
        name = t.name(section, "a net name")
        c = f"{section} {name}"
        net = Net(name, [], line=t.line(start))
        pins_at: list[int] = []
        while t.peek() == "(":
            t.next(c)
            pins_at.append(t.i)
            comp, pin = t.name(c, "a component name or PIN"), t.name(c, "a pin name")
            net.pins.append((comp, pin))
            if t.accept("+"):
                t.expect("SYNTHESIZED", c)
            t.expect(")", c)
        while (option := self.next_option(c)) is not None:
            at = t.i - 1
            if option == "USE":
                net.use = t.name(c + " USE", "a use")
            elif option in ("ROUTED", "FIXED", "COVER", "NOSHIELD"):
                self.wiring.read(net, special, f"{c} {option}")
            elif option == "SHIELD" and special:
                t.name(c + " SHIELD", "the shielded net's name")
                self.wiring.read(net, special, f"{c} SHIELD")
            elif option in ("RECT", "POLYGON", "VIA") and special:
                self.wiring.read_shape(net, option, f"{c} {option}")
            elif option == "SUBNET":
                t.error(c + " SUBNET", "not supported", at)
            else:
                self.skip_option(c)
        net.end_line = t.line(t.i - 1)
        if name in (self.design.special_nets if special else self.design.nets):
            t.error(c, "the net is defined twice", start)
        for (comp, pin), at in zip(net.pins, pins_at):
            self.check_connection(comp, pin, c, at)
        return name, net

    def check_connection(self, comp: str, pin: str, construct: str, at: int) -> None:
        t, d = self.t, self.design
        if comp == "*":
            return
        if comp == "PIN":
            io = d.pins.get(pin)
            if io is None:
                t.error(construct, f"names pin {pin!r}, which PINS does not define", at)
            if not io.shapes and not io.ports:
                t.error(construct, f"pin {pin!r} has no shape to connect to (defined at line {io.line})", at)
            return
        component = d.components.get(comp)
        if component is None:
            t.error(construct, f"names component {comp!r}, which COMPONENTS does not define", at)
        if self.tech:
            macro = self.tech.macros[component.macro]
            if pin not in macro.pins:
                t.error(construct, f"names pin {pin!r} of {comp!r}, but macro {macro.name!r} has no such pin", at + 1)
