"""Reads route guides: for each net, `name`, `(`, lines `x0 y0 x1 y1 LAYER`, `)`."""
from __future__ import annotations

from ..design import GuideBox, GuideBoxes, Guides, Rect, Tech
from .tokens import Tokens


def read_guides(path: str, tech: Tech | None = None) -> Guides:
    """Reads a guide file; with `tech`, every layer must be one of the LEF's. A net with
    several blocks keeps the boxes of all of them."""
    t = Tokens.from_file(path)
    layers = {layer.name for layer in tech.layers} if tech else None
    guides: Guides = {}
    while not t.at_end():
        net = t.name("guide", "a net name")
        construct = f"guide {net}"
        t.expect("(", construct)
        boxes = list(guides.get(net, ()))
        while not t.accept(")"):
            at = t.i
            x0, y0, x1, y1 = (t.integer(construct, "a coordinate or ')'") for _ in range(4))
            layer = t.name(construct, "a layer name")
            if layers is not None and layer not in layers:
                t.error(construct, f"layer {layer!r} is not defined in the LEF", t.i - 1)
            boxes.append(GuideBox(Rect(min(x0, x1), min(y0, y1), max(x0, x1), max(y0, y1)), layer, t.line(at)))
        guides[net] = GuideBoxes(boxes)     # packed net by net: only one net's records at a time
    return guides
