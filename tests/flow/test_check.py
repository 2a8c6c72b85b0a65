"""The independent checker on hand-made wiring: every count is known in advance."""
import os
import random
from collections import Counter

import pytest

from tovrana_flow.check import check_def, check_file
from tovrana_flow.design import Component, Design, IOPin, Net, PinPort, Rect, Shape, Wire
from tovrana_flow.errors import FlowInputError
from tovrana_flow.check.overlaps import meeting_pairs

DATA = os.path.join(os.path.dirname(__file__), "data")

# tiny.lef: INV placed N at (x, y) has pin A on M1 at (x+100, y+500)-(x+200, y+700) and
# pin Y on M1 at (x+400, y+300)-(x+500, y+900). u1, u2, u3 stand in a row, u4 above.
PLACES = {"u1": (0, 0), "u2": (2000, 0), "u3": (4000, 0), "u4": (0, 2400)}


@pytest.fixture
def tech(tiny_tech):
    return tiny_tech


def m1(x0, y0, x1, y1):
    return Wire("M1", x0, y0, x1, y1)


def m2(x0, y0, x1, y1):
    return Wire("M2", x0, y0, x1, y1)


def via12(x, y):
    return Wire("M1", x, y, x, y, via="V12")


def check(tech, nets, special=None, pins=None, unplaced=()):
    """Checks a design of the four INVs and `nets`: name -> (connections, wires)."""
    d = Design(name="hand", dbu_per_micron=1000, die=Rect(0, 0, 6000, 4800), file="hand.def")
    d.components = {n: Component(n, "INV", "PLACED", x, y, "N") for n, (x, y) in PLACES.items()}
    d.components.update({n: Component(n, "INV", "UNPLACED") for n in unplaced})
    d.pins = pins or {}
    d.nets = {name: Net(name, list(conns), wiring=list(wires)) for name, (conns, wires) in nets.items()}
    d.special_nets = {name: Net(name, list(conns), wiring=list(wires))
                      for name, (conns, wires) in (special or {}).items()}
    return check_def(tech, d)


# u1/Y to u2/A along y = 600 on M1, ending inside both pins
STRAIGHT = m1(450, 600, 2150, 600)


class TestOpens:
    def test_connected_net_has_none(self, tech):
        r = check(tech, {"a": ([("u1", "Y"), ("u2", "A")], [STRAIGHT])})
        assert (r.opens, r.open_nets, r.shorts, r.pin_shorts) == (0, [], 0, 0)
        assert r.clean

    def test_one_pin_left_out(self, tech):
        r = check(tech, {"a": ([("u1", "Y"), ("u2", "A"), ("u3", "A")], [STRAIGHT])})
        assert (r.opens, r.open_nets) == (1, ["a"])

    def test_no_wiring_three_pins_two_opens(self, tech):
        r = check(tech, {"a": ([("u1", "Y"), ("u2", "A"), ("u3", "A")], []),
                         "b": ([("u3", "Y")], [])})          # one pin: nothing to connect
        assert (r.opens, r.open_nets) == (2, ["a"])

    def test_wire_ending_short_of_a_pin_is_open(self, tech):
        r = check(tech, {"a": ([("u1", "Y"), ("u2", "A")], [m1(450, 600, 2099, 600)])})
        assert r.opens == 1

    def test_wire_passing_through_a_pin_reaches_it(self, tech):
        r = check(tech, {"a": ([("u1", "Y"), ("u2", "A")], [m1(300, 600, 2300, 600)])})
        assert r.opens == 0

    def test_touching_at_an_end_connects(self, tech):
        # u1/Y up to y = 1500 on M1 pieces meeting end to end and in a T
        wires = [m1(450, 600, 450, 1000), m1(450, 1000, 450, 1500),      # end to end
                 m1(450, 1500, 4150, 1500), m1(4150, 1500, 4150, 600),    # corner
                 m1(2150, 600, 2150, 1500)]                               # T onto the middle
        r = check(tech, {"a": ([("u1", "Y"), ("u2", "A"), ("u3", "A")], wires)})
        assert r.opens == 0

    def test_via_joins_its_two_layers(self, tech):
        # u1/Y on M1 to x = 1000, up to M2 and along it to y = 1500, down to M1 and on to u2/A
        def route(vias):
            return ([m1(450, 600, 1000, 600), m2(1000, 600, 1000, 1500),
                     m1(1000, 1500, 2150, 1500), m1(2150, 1500, 2150, 600)]
                    + ([via12(1000, 600), via12(1000, 1500)] if vias else []))
        assert check(tech, {"a": ([("u1", "Y"), ("u2", "A")], route(vias=True))}).opens == 0
        # without the vias the M2 wire lies over the M1 ends but joins nothing
        assert check(tech, {"a": ([("u1", "Y"), ("u2", "A")], route(vias=False))}).opens == 1

    def test_pins_of_an_unplaced_cell_are_opens_not_shorts(self, tech):
        # were u5 taken as placed at (0, 0), the wire would run through its pin Y
        nets = {"a": ([("u1", "Y"), ("u2", "A"), ("u5", "A")], [STRAIGHT])}
        r = check(tech, nets, unplaced=["u5"])
        assert (r.opens, r.pin_shorts) == (1, 0)

    def test_io_pin_reached_through_its_second_port(self, tech):
        ports = [PinPort([Shape("M1", Rect(-50, -50, 50, 50))], "PLACED", 3000, 3000, "N"),
                 PinPort([Shape("M1", Rect(-50, -50, 50, 50))], "PLACED", 5000, 3000, "N")]
        io = IOPin("p", "a", "INPUT", "SIGNAL", ports[0].shapes, "PLACED", 3000, 3000, "N", ports=ports)
        wires = [m1(5000, 3000, 5000, 1500), m1(5000, 1500, 2150, 1500), m1(2150, 1500, 2150, 600)]
        r = check(tech, {"a": ([("PIN", "p"), ("u2", "A")], wires)}, pins={"p": io})
        assert (r.opens, r.pin_shorts) == (0, 0)


class TestShorts:
    def test_overlapping_wires_of_two_nets(self, tech):
        r = check(tech, {"a": ([], [m1(1000, 1500, 3000, 1500)]),
                         "b": ([], [m1(2000, 1500, 5000, 1500)])})
        assert (r.shorts, r.short_kinds, r.pin_shorts) == (1, {"wire/wire": 1}, 0)
        assert "a" in r.short_details[0] and "b" in r.short_details[0]

    def test_crossing_on_one_layer_only(self, tech):
        a = ([], [m1(1000, 1500, 3000, 1500)])
        assert check(tech, {"a": a, "b": ([], [m1(2000, 1000, 2000, 2000)])}).shorts == 1
        assert check(tech, {"a": a, "b": ([], [m2(2000, 1000, 2000, 2000)])}).shorts == 0

    def test_wires_on_neighbouring_tracks_do_not_short(self, tech):
        r = check(tech, {"a": ([], [m1(1000, 1500, 3000, 1500)]), "b": ([], [m1(1000, 1700, 3000, 1700)]),
                         "c": ([], [m1(3001, 1500, 4000, 1500)])})
        assert r.shorts == 0

    def test_via_on_a_wire_and_on_a_via(self, tech):
        r = check(tech, {"a": ([], [m2(2000, 1000, 2000, 2000)]), "b": ([], [via12(2000, 1500)])})
        assert (r.shorts, r.short_kinds) == (1, {"wire/via": 1})
        # two vias at one point meet on both M1 and M2: still one short
        r = check(tech, {"a": ([], [via12(2000, 1500)]), "b": ([], [via12(2000, 1500)])})
        assert (r.shorts, r.short_kinds) == (1, {"via/via": 1})

    def test_long_overlap_counts_once(self, tech):
        r = check(tech, {"a": ([], [m1(0, 1500, 6000, 1500)]), "b": ([], [m1(0, 1500, 6000, 1500)])})
        assert r.shorts == 1

    def test_wiring_through_a_foreign_pin(self, tech):
        # net a runs over u2/A (net b's pin), u2/Y and u3/A (on no net)
        r = check(tech, {"a": ([("u1", "Y")], [m1(450, 600, 4150, 600)]),
                         "b": ([("u2", "A"), ("u4", "A")], [])})
        assert (r.shorts, r.pin_shorts) == (0, 3)
        assert sum("u2/A (b)" in d for d in r.pin_short_details) == 1
        assert sum("(no net)" in d for d in r.pin_short_details) == 2

    def test_special_wiring_is_judged_only_against_regular_wiring(self, tech):
        rail = Wire("M1", 0, 600, 6000, 600, width=120)        # over u1/Y, u2/A, u3/A
        r = check(tech, {"a": ([], [m1(1000, 400, 1000, 1000)])}, special={"VSS": ([], [rail])})
        assert (r.shorts, r.short_kinds, r.pin_shorts) == (1, {"wire/special": 1}, 0)
        # the rail is 120 wide: a wire 61 above its centre line misses it
        r = check(tech, {"a": ([], [m1(1000, 661, 1000, 1000)])}, special={"VSS": ([], [rail])})
        assert r.shorts == 0


    def test_special_net_owns_the_pins_it_names(self, tech):
        # "( * A )" gives every cell's pin A to VSS: net a crossing u2/A and u3/A shorts to VSS
        r = check(tech, {"a": ([("u1", "Y")], [m1(450, 600, 4150, 600)])}, special={"VSS": ([("*", "A")], [])})
        assert r.pin_shorts == 3
        assert sum("(VSS)" in d for d in r.pin_short_details) == 2


class TestBadInput:
    def test_unknown_via(self, tech):
        with pytest.raises(FlowInputError, match="via NOPE"):
            check(tech, {"a": ([], [Wire("M1", 0, 0, 0, 0, via="NOPE")])})

    def test_diagonal_wire(self, tech):
        with pytest.raises(FlowInputError, match="neither horizontal nor vertical"):
            check(tech, {"a": ([], [m1(0, 0, 100, 100)])})

    def test_connection_to_a_missing_component(self, tech):
        with pytest.raises(FlowInputError, match="u9"):
            check(tech, {"a": ([("u9", "A")], [])})


def test_tiny_def_as_written(tech):
    """tiny.def routes n1 and nothing else: the other nets' pins are the opens."""
    r = check_file(tech, os.path.join(DATA, "tiny.def"))
    assert (r.opens, sorted(r.open_nets)) == (5, ["n2", "n3", "n_in"])
    assert (r.shorts, r.pin_shorts) == (0, 0)
    assert r.summary().splitlines()[1] == "opens: 5 in 3 nets"


def brute_force(tech, nets):
    """Opens, shorts and pin shorts by comparing every element with every other."""
    pins = {}
    for c, (x, y) in PLACES.items():
        for p, macro_pin in tech.macros["INV"].pins.items():
            pins[c, p] = [(s.layer, Rect(round(s.rect.x0 * 1000) + x, round(s.rect.y0 * 1000) + y,
                                         round(s.rect.x1 * 1000) + x, round(s.rect.y1 * 1000) + y)) for s in macro_pin.ports]
    owner = {conn: name for name, (conns, _) in nets.items() for conn in conns}
    elems = [("pin", owner.get(conn), rects, conn) for conn, rects in pins.items()]
    for name, (_, wires) in nets.items():
        for w in wires:
            r = Rect(min(w.x0, w.x1), min(w.y0, w.y1), max(w.x0, w.x1), max(w.y0, w.y1))
            elems.append(("via" if w.via else "wire", name, [(l, r) for l in (["M1", "M2"] if w.via else [w.layer])], w))
    group = list(range(len(elems)))

    def find(i):
        while group[i] != i:
            i = group[i]
        return i
    shorts = pin_shorts = 0
    for i, (ki, ni, ri, _) in enumerate(elems):
        for j, (kj, nj, rj, _) in enumerate(elems[:i]):
            meet = any(la == lb and a.x0 <= b.x1 and b.x0 <= a.x1 and a.y0 <= b.y1 and b.y0 <= a.y1
                       for la, a in ri for lb, b in rj)
            if not meet or ki == kj == "pin":
                continue
            if ni == nj:
                group[find(i)] = find(j)
            elif "pin" in (ki, kj):
                pin_shorts += 1
            else:
                shorts += 1
    opens = 0
    for conns, _ in nets.values():
        if conns:
            opens += len(conns) - max(Counter(find(i) for i, e in enumerate(elems) if e[3] in conns).values())
    return opens, shorts, pin_shorts


@pytest.mark.parametrize("seed", range(20))
def test_against_brute_force(tech, seed):
    """Random wires and vias, many of them leaving the centre of a pin on the pin's net."""
    rng = random.Random(seed)
    nets = {f"n{k}": ([], []) for k in range(4)}
    owner = {}
    for conn in rng.sample([(c, p) for c in PLACES for p in "AY"], 6):
        owner[conn] = f"n{rng.randrange(2)}"
        nets[owner[conn]][0].append(conn)
    for _ in range(rng.randint(5, 40)):
        c, p = rng.choice(sorted(owner))
        x, y = PLACES[c][0] + (150 if p == "A" else 450), PLACES[c][1] + 600
        net = owner[c, p]
        if rng.random() < 0.4:
            x, y, net = rng.randrange(0, 6000, 50), rng.randrange(0, 3600, 50), f"n{rng.randrange(4)}"
        length = rng.randrange(-2000, 2000, 50)
        w = rng.choice([m1(x, y, x + length, y), m1(x, y, x, y + length), m2(x, y, x, y + length), via12(x, y)])
        nets[net][1].append(w)
    r = check(tech, nets)
    assert (r.opens, r.shorts, r.pin_shorts) == brute_force(tech, nets)


@pytest.mark.parametrize("seed", range(40))
def test_meeting_pairs_against_all_pairs(seed):
    rng = random.Random(seed)
    rects, passive = [], []
    for _ in range(rng.randint(0, 50)):
        x, y = rng.randint(-60, 60), rng.randint(-60, 60)
        dx, dy = rng.choice([(rng.randint(0, 50), 0), (0, rng.randint(0, 50)),
                             (rng.randint(0, 9), rng.randint(0, 9))])
        rects.append((x, y, x + dx, y + dy))
        passive.append(rng.random() < 0.3)
    cols = list(zip(*rects)) or [[], [], [], []]
    pairs = meeting_pairs(*cols, passive, rng.choice([1, 4, 13, 200]))
    got = sorted(zip(pairs.a.tolist(), pairs.b.tolist()))
    want = [(i, j) for i in range(len(rects)) for j in range(i + 1, len(rects))
            if not (passive[i] and passive[j])
            and rects[i][0] <= rects[j][2] and rects[j][0] <= rects[i][2]
            and rects[i][1] <= rects[j][3] and rects[j][1] <= rects[i][3]]
    assert got == want
