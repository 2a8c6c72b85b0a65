"""A picture of a routed design: the whole die and a zoomed window, one colour per layer.

matplotlib is an optional extra (`pip install 'tovrana[flow]'`); it is imported only here,
only when drawing, and without pyplot, so that no global figure state is touched.
"""
from __future__ import annotations

import numpy as np

from ..design import Design, Rect, Tech

WINDOW_SHARE = 1 / 8        # the default window's share of the die's width and of its height,
WINDOW_TRACKS = 40          # but at least this many of the finest tracks across
_DENSITY_BINS = 64          # resolution of the search for the densest window
MARKER_COLOUR = "red"


def _require_matplotlib():
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.collections import LineCollection
        from matplotlib.figure import Figure
        from matplotlib.lines import Line2D
    except ImportError as e:
        raise ImportError("drawing the routed design needs matplotlib: "
                          "pip install 'tovrana[flow]' (or leave out the picture)") from e
    return FigureCanvasAgg, Figure, LineCollection, Line2D


def _segments(design: Design) -> tuple[dict[str, list], dict[str, list]]:
    """Per layer: wire segments ((x0, y0), (x1, y1)) and via points (x, y), in microns."""
    dbu = design.dbu_per_micron or 1
    wires: dict[str, list] = {}
    vias: dict[str, list] = {}
    for net in list(design.nets.values()) + list(design.special_nets.values()):
        for w in net.wiring:
            if w.patch:
                continue
            if w.via is not None:
                vias.setdefault(w.layer, []).append((w.x0 / dbu, w.y0 / dbu))
            else:
                wires.setdefault(w.layer, []).append(((w.x0 / dbu, w.y0 / dbu), (w.x1 / dbu, w.y1 / dbu)))
    return wires, vias


def _outline(x0: float, y0: float, x1: float, y1: float) -> list[tuple[float, float]]:
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1), (x0, y0)]


def _outlines(tech: Tech, design: Design) -> list:
    """Each placed cell's outline as a closed polyline, in microns."""
    dbu = design.dbu_per_micron or 1
    out = []
    for comp in design.components.values():
        macro = tech.macros.get(comp.macro)
        if macro is None:
            continue
        w, h = macro.width, macro.height
        if comp.orient in ("E", "W", "FE", "FW"):
            w, h = h, w
        x, y = comp.x / dbu, comp.y / dbu
        out.append(_outline(x, y, x + w, y + h))
    return out


def densest_window(design: Design, share: float = WINDOW_SHARE) -> Rect:
    """The window of `share` of the die's width and height holding the most wiring: wire
    length plus a small allowance per via, counted on a coarse grid. In database units."""
    die = design.die or Rect(0, 0, 1, 1)
    width, height = die.x1 - die.x0, die.y1 - die.y0
    if width <= 0 or height <= 0:
        return die
    xs, ys, weights = [], [], []
    for net in design.nets.values():
        for w in net.wiring:
            xs.append((w.x0 + w.x1) / 2)
            ys.append((w.y0 + w.y1) / 2)
            weights.append(abs(w.x1 - w.x0) + abs(w.y1 - w.y0) + (width / _DENSITY_BINS / 8 if w.via else 0))
    n = _DENSITY_BINS
    k = max(1, round(n * share))
    if not xs:
        x0, y0 = die.x0 + (width - width * k / n) / 2, die.y0 + (height - height * k / n) / 2
    else:
        hist, _, _ = np.histogram2d(xs, ys, bins=n, range=[[die.x0, die.x1], [die.y0, die.y1]], weights=weights)
        # Sum of every k x k block of bins, by a summed-area table.
        sat = np.zeros((n + 1, n + 1))
        sat[1:, 1:] = hist.cumsum(0).cumsum(1)
        blocks = sat[k:, k:] - sat[:-k, k:] - sat[k:, :-k] + sat[:-k, :-k]
        i, j = np.unravel_index(np.argmax(blocks), blocks.shape)    # first maximum: deterministic
        x0, y0 = die.x0 + width * i / n, die.y0 + height * j / n
    return Rect(round(x0), round(y0), round(x0 + width * k / n), round(y0 + height * k / n))


def _window_share(tech: Tech, design: Design) -> float:
    """An eighth of the die across, widened on a small die to show some tracks, up to half of it."""
    pitches = [l.pitch for l in tech.routing_layers() if l.pitch]
    die = design.die
    if not pitches or not die or not design.dbu_per_micron:
        return WINDOW_SHARE
    side = max(die.x1 - die.x0, die.y1 - die.y0) / design.dbu_per_micron
    return max(WINDOW_SHARE, min(0.5, WINDOW_TRACKS * min(pitches) / side))


def draw_routed(tech: Tech, design: Design, path: str, window: Rect | None = None, markers=None) -> Rect:
    """Writes a PNG of the routed `design` to `path`: the whole die and `window` (database
    units; default: the densest window an eighth of the die across, wider on a small die).
    `markers` (anything with a `rect` in database units, e.g. the design-rule check's) are
    outlined in red, and on the whole die also marked where they are too small to see.
    Returns the window drawn."""
    FigureCanvasAgg, Figure, LineCollection, Line2D = _require_matplotlib()
    window = window or densest_window(design, _window_share(tech, design))
    dbu = design.dbu_per_micron or 1
    wires, vias = _segments(design)
    layer_order = [l.name for l in tech.routing_layers()]
    layers = [l for l in layer_order if l in wires or l in vias]
    layers += sorted((set(wires) | set(vias)) - set(layers))
    colours = {name: f"C{layer_order.index(name) % 10 if name in layer_order else 9}" for name in layers}
    outlines = _outlines(tech, design)
    frame = [_outline(window.x0 / dbu, window.y0 / dbu, window.x1 / dbu, window.y1 / dbu)]
    if markers:
        boxes = [_outline(*(v / dbu for v in m.rect)) for m in markers]
        centres = np.array([((m.rect[0] + m.rect[2]) / 2 / dbu, (m.rect[1] + m.rect[3]) / 2 / dbu) for m in markers])

    fig = Figure(figsize=(16, 8.6), dpi=110)
    fig.subplots_adjust(left=0.05, right=0.98, bottom=0.07, top=0.9, wspace=0.15)
    crowded = sum(map(len, wires.values())) > 5000        # thin lines, or the die is a blur
    panels = (("whole die", design.die, 0.3 if crowded else 0.8, 0.5 if crowded else 2.0),
              ("window", window, 0.9, 4.0))
    for col, (title, box, line_width, dot) in enumerate(panels):
        ax = fig.add_subplot(1, 2, col + 1)
        ax.add_collection(LineCollection(outlines, colors="0.85", linewidths=0.3, zorder=0))
        for z, name in enumerate(layers, 1):
            if name in wires:
                ax.add_collection(LineCollection(wires[name], colors=colours[name], linewidths=line_width, zorder=z))
            if name in vias:
                pts = np.array(vias[name])
                ax.scatter(pts[:, 0], pts[:, 1], s=dot, c=colours[name], marker="s", linewidths=0, zorder=z)
        if markers:
            ax.add_collection(LineCollection(boxes, colors=MARKER_COLOUR, linewidths=0.8, zorder=len(layers) + 2))
            if col == 0:
                ax.scatter(centres[:, 0], centres[:, 1], s=6, marker="s", facecolors="none",
                           edgecolors=MARKER_COLOUR, linewidths=0.5, zorder=len(layers) + 2)
        if col == 0:
            ax.add_collection(LineCollection(frame, colors="k", linewidths=0.8, zorder=len(layers) + 1))
        if box is not None:
            ax.set_xlim(box.x0 / dbu, box.x1 / dbu)
            ax.set_ylim(box.y0 / dbu, box.y1 / dbu)
        else:
            ax.autoscale_view()
        ax.set_aspect("equal")
        ax.set_xlabel("x (um)")
        ax.set_ylabel("y (um)")
        ax.set_title(f"{design.name}: {title}")
    handles = [Line2D([], [], color=colours[name], lw=2, label=name) for name in layers]
    handles.append(Line2D([], [], color="0.75", lw=2, label="cells"))
    if markers:
        handles.append(Line2D([], [], color=MARKER_COLOUR, lw=2, label=f"violations ({len(markers)})"))
    fig.legend(handles=handles, loc="upper center", ncol=min(len(handles), 10), frameon=False)
    FigureCanvasAgg(fig).print_png(path)
    return window
