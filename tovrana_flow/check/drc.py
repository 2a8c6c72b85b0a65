"""The design-rule check of a routed DEF against its LEF's rules, with the contest's score.

`drc_file(tech, routed_def_path, guides=None)` (or `drc_def` on a design already read) builds
every shape at its real geometry (see `metal`), judges it with the rules the LEF states (see
`rules`) and measures the soft terms (see `soft`). Nothing depends on the design's name or
numbers: widths, spacings, areas, tracks and the score's unit all come from the LEF and DEF.

Violations (`DrcReport.markers`) are findings that involve regular (routed) wiring:

- short: routed metal or cut meeting metal or cut of another net, or of no net (pins on no
  net, obstructions, routing blockages, special wiring of another net); one marker per
  connected piece of overlap of a net pair on a layer, with its area;
- spacing: two nets' metal closer than the layer's SPACING, or than its SPACINGTABLE asks by
  the wider shape's width and the run the two share (every row and column), or a RANGE spacing;
- eol: another net's metal in the window ahead of a line end (ENDOFLINE rules);
- min_area: a net's metal merged with its own pins, holding routed wiring, smaller than AREA;
- cut_spacing: cuts of two different vias closer than the cut layer's SPACING.

Spacing-like findings of one net pair on one layer that touch are one marker. Findings among
fixed shapes only (the input's own) are listed apart (`preexisting`) and never counted.

The score (ISPD 2018 weights), in units of P, the pitch of the second routing layer in
database units (Metal2's 0.2 um = 400 on ispd18_test1):

    0.5 * wire length / P  +  2 * vias
    + 1 * out-of-guide wire length / P  +  1 * out-of-guide vias
    + 0.5 * off-track wire length / P  +  1 * off-track vias
    + 1 * wrong-way wire length / P
    + 500 * short area / P^2  +  500 * min-area violations
    + 500 * (spacing + end-of-line + cut-spacing violations)

Lengths are the centre lines of regular wires; areas are overlaps in database units squared.
"""
from __future__ import annotations

import time
from collections import Counter
from dataclasses import dataclass, field

from ..design import Design, Guides, Tech
from ..read import read_def
from .connectivity import bucket_size
from .metal import SCALE, Metal
from .rules import (CUT_SPACING, EOL, KINDS, MIN_AREA, SHORT, SPACING, Finding, cut_findings, eol_findings,
                    merge_findings, min_area_findings, owner_region, routed_findings, short_findings,
                    spacing_checks, spacing_findings)
from .soft import MEASURES, SoftMeasures, soft_measures

DETAILS_PER_KIND = 10
NOTES_SHOWN = 5
_TITLES = {SHORT: "shorts", SPACING: "spacing", EOL: "end-of-line", MIN_AREA: "min area", CUT_SPACING: "cut spacing"}
# score weights: per violation, per pitch unit of length, per square pitch unit of area
WEIGHTS = {"wire_length": 0.5, "vias": 2, "out_of_guide_length": 1, "out_of_guide_vias": 1,
           "off_track_length": 0.5, "off_track_vias": 1, "wrong_way_length": 1,
           "short_area": 500, MIN_AREA: 500, "spacing": 500}


@dataclass(frozen=True)
class Marker:
    kind: str                          # one of rules.KINDS
    layer: str
    rect: tuple[int, int, int, int]    # database units (x0, y0, x1, y1), grown to whole units
    nets: tuple[str, ...]              # the nets involved; "(no net)" for metal on no net
    rule: str                          # the rule broken, as the LEF states it
    area: int = 0                      # database units squared: a short's overlap, a min-area polygon

    def as_dict(self) -> dict:
        return {"kind": self.kind, "layer": self.layer, "rect": list(self.rect), "nets": list(self.nets),
                "rule": self.rule, "area": self.area}

    def text(self, dbu: int) -> str:
        x0, y0, x1, y1 = self.rect
        area = f", {self.area / dbu / dbu:.4g} um2" if self.area else ""
        return f"{self.kind} on {self.layer} at ({x0}, {y0})-({x1}, {y1}): {' / '.join(self.nets)} [{self.rule}{area}]"


@dataclass
class DrcReport:
    design: str = ""
    dbu: int = 1
    unit: int = 1                      # P: the second routing layer's pitch, database units
    layers: list[str] = field(default_factory=list)      # the layers judged, in LEF order
    nets: int = 0
    wires: int = 0
    vias: int = 0
    markers: list[Marker] = field(default_factory=list)
    preexisting: list[Marker] = field(default_factory=list)
    soft: SoftMeasures = field(default_factory=SoftMeasures)
    notes: list[str] = field(default_factory=list)       # LEF rules read past (not judged)
    unjudged: list[str] = field(default_factory=list)    # rules read but not judged, "RULE (layers)"
    seconds: float = 0.0

    def count(self, kind: str, layer: str | None = None) -> int:
        return sum(1 for m in self.markers if m.kind == kind and (layer is None or m.layer == layer))

    @property
    def short_area(self) -> int:
        return sum(m.area for m in self.markers if m.kind == SHORT)

    @property
    def short_pairs(self) -> int:
        return len({m.nets for m in self.markers if m.kind == SHORT})

    @property
    def violations(self) -> int:
        return len(self.markers)

    @property
    def clean(self) -> bool:
        return not self.markers

    def score(self) -> dict[str, float]:
        """Each weighted term (see the module doc) and their total."""
        p = self.unit
        terms = {k: WEIGHTS[k] * self.soft.total(k) / (p if k.endswith("length") else 1)
                 for k in MEASURES if self.soft.guided or not k.startswith("out_of_guide")}
        terms["short_area"] = WEIGHTS["short_area"] * self.short_area / (p * p)
        terms[MIN_AREA] = WEIGHTS[MIN_AREA] * self.count(MIN_AREA)
        terms["spacing"] = WEIGHTS["spacing"] * (self.count(SPACING) + self.count(EOL) + self.count(CUT_SPACING))
        terms["total"] = sum(terms.values())
        return terms

    def per_layer(self) -> dict[str, dict[str, float]]:
        counts = Counter((m.layer, m.kind) for m in self.markers)
        out = {}
        for layer in self.layers:
            row = {k: counts[layer, k] for k in KINDS}
            row["short_area"] = sum(m.area for m in self.markers if m.kind == SHORT and m.layer == layer)
            row.update(self.soft.per_layer.get(layer, dict.fromkeys(MEASURES, 0)))
            out[layer] = row
        return out

    def as_dict(self) -> dict:
        return {
            "design": self.design, "dbu_per_micron": self.dbu, "score_unit": self.unit, "seconds": self.seconds,
            "nets": self.nets, "wires": self.wires, "vias": self.vias,
            "counts": {k: self.count(k) for k in KINDS}, "short_area": self.short_area,
            "short_pairs": self.short_pairs, "soft": {k: self.soft.total(k) for k in MEASURES},
            "guided": self.soft.guided, "score": self.score(), "per_layer": self.per_layer(),
            "markers": [m.as_dict() for m in self.markers],
            "preexisting": [m.as_dict() for m in self.preexisting],
            "notes": list(self.notes), "unjudged": list(self.unjudged),
        }

    def summary(self) -> str:
        dbu, um = self.dbu, self.dbu
        lines = [f"design-rule check of {self.design or 'the design'}: {self.nets} nets, {self.wires} wires, "
                 f"{self.vias} vias in {self.seconds:.2f} s"]
        header = (f"{'layer':<10}{'shorts':>7}{'area um2':>10}{'spacing':>9}{'eol':>6}{'min area':>9}{'cut sp':>7}"
                  f"{'wrong-way um':>14}{'off-track um':>14}{'vias off':>9}")
        if self.soft.guided:
            header += f"{'out-of-guide um':>17}{'vias out':>9}"
        lines += [header, "-" * len(header)]
        rows = self.per_layer()
        rows["total"] = {k: sum(r[k] for r in rows.values()) for k in next(iter(rows.values()), {})}
        for layer, r in rows.items():
            if not any(r.values()):
                continue                     # nothing on this layer
            line = (f"{layer:<10}{r[SHORT]:>7}{r['short_area'] / dbu / dbu:>10.4f}{r[SPACING]:>9}{r[EOL]:>6}"
                    f"{r[MIN_AREA]:>9}{r[CUT_SPACING]:>7}{r.get('wrong_way_length', 0) / um:>14.2f}"
                    f"{r.get('off_track_length', 0) / um:>14.2f}{r.get('off_track_vias', 0):>9}")
            if self.soft.guided:
                line += f"{r.get('out_of_guide_length', 0) / um:>17.2f}{r.get('out_of_guide_vias', 0):>9}"
            lines.append(line)
        length = self.soft.total("wire_length")
        wrong = self.soft.total("wrong_way_length")
        lines.append(f"violations: {self.violations} ({self.count(SHORT)} shorts of {self.short_pairs} net pairs, "
                     f"{self.short_area / dbu / dbu:.4f} um2; {self.count(SPACING)} spacing; {self.count(EOL)} "
                     f"end-of-line; {self.count(MIN_AREA)} min area; {self.count(CUT_SPACING)} cut spacing); "
                     f"wire {length / um:.1f} um, {wrong / max(length, 1):.1%} of it wrong-way")
        score = self.score()
        lines.append(f"score {score['total']:.0f} (unit {self.unit / dbu:g} um): " +
                     ", ".join(f"{k.replace('_', ' ')} {v:.0f}" for k, v in score.items() if k != "total"))
        if self.preexisting:
            kinds = Counter(m.kind for m in self.preexisting)
            lines.append("among fixed shapes only (the input's, not counted): " +
                         ", ".join(f"{n} {_TITLES[k]}" for k, n in sorted(kinds.items())))
        if self.unjudged:
            lines.append("rules read, not judged: " + ", ".join(self.unjudged))
        if self.notes:
            lines.append(f"LEF rules read past, not judged: {len(self.notes)}")
            lines += ["  " + n for n in self.notes[:NOTES_SHOWN]]
        for kind in KINDS:
            lines += ["  " + m.text(dbu) for m in [m for m in self.markers if m.kind == kind][:DETAILS_PER_KIND]]
        return "\n".join(lines)


def drc_file(tech: Tech, routed_def_path: str, guides: Guides | None = None) -> DrcReport:
    """Reads a routed DEF with the LEF `tech` and checks it (`guides`: the net's route guides
    as read by `read_guides`, for the out-of-guide measures)."""
    return drc_def(tech, read_def(routed_def_path, tech), guides)


def drc_def(tech: Tech, design: Design, guides: Guides | None = None) -> DrcReport:
    started = time.perf_counter()
    dbu = design.dbu_per_micron or tech.dbu_per_micron or 1
    metal = Metal(tech, design)
    cell = bucket_size(tech, design) * SCALE
    regular = metal.regular
    findings: list[Finding] = []
    judged = []
    for layer in tech.layers:
        shapes = metal.layers.get(layer.name)
        if shapes is None:
            continue
        judged.append(layer.name)
        if not len(shapes):
            continue
        shorts = short_findings(shapes, cell)
        findings += shorts
        if layer.kind == "CUT":
            findings += cut_findings(shapes, layer, dbu, cell)
            continue
        region = owner_region(shapes).merged()
        near = spacing_findings(shapes, region, spacing_checks(layer, dbu)) + \
            eol_findings(shapes, region, layer, dbu, cell)
        routed_findings(near, shapes, cell)
        findings += merge_findings(near, shorts)
        if layer.min_area:
            findings += min_area_findings(shapes, region, regular, round(layer.min_area * dbu * dbu * SCALE * SCALE),
                                          cell)
    report = DrcReport(design=design.name, dbu=dbu, unit=_unit(tech, dbu), layers=judged, nets=len(design.nets),
                       notes=list(tech.notes), unjudged=_unjudged(tech))
    for f in findings:
        (report.markers if f.routed else report.preexisting).append(_marker(f, metal))
    report.markers.sort(key=_order)
    report.preexisting.sort(key=_order)
    report.soft = soft_measures(tech, design, guides)
    report.vias = report.soft.total("vias")
    report.wires = sum(1 for _, w in metal.items if w.via is None)
    report.seconds = time.perf_counter() - started
    return report


def _marker(f: Finding, metal: Metal) -> Marker:
    x0, y0, x1, y1 = f.box
    rect = (x0 // SCALE, y0 // SCALE, -(-x1 // SCALE), -(-y1 // SCALE))
    nets = tuple(metal.owners[o] if o >= 0 else "(unknown)" for o in f.owners)
    return Marker(f.kind, f.layer, rect, nets, f.rule, round(f.area / (SCALE * SCALE)))


def _order(m: Marker):
    return KINDS.index(m.kind), m.layer, m.rect, m.nets, m.rule


def _unit(tech: Tech, dbu: int) -> int:
    """P: the pitch of the second routing layer (of the only one, if there is one)."""
    layers = tech.routing_layers()
    pitch = (layers[1] if len(layers) > 1 else layers[0]).pitch if layers else None
    return max(1, round((pitch or 1 / dbu) * dbu))


def _unjudged(tech: Tech) -> list[str]:
    """The rules the LEF reader keeps that this check does not measure: "RULE (layers)"."""
    rules = {"MINWIDTH": lambda l: l.min_width is not None, "MINSTEP": lambda l: bool(l.min_step),
             "CORNERSPACING": lambda l: bool(l.corner_spacing),
             "SPACING SAMENET": lambda l: any(r.same_net for r in l.spacings),
             "cut SPACING LAYER/PARALLELOVERLAP/AREA": lambda l: any(not r.plain and not r.adjacent_cuts
                                                                     for r in l.cut_spacings)}
    out = []
    for name, present in rules.items():
        layers = [l.name for l in tech.layers if present(l)]
        if layers:
            out.append(f"{name} ({', '.join(layers)})")
    return out
