"""How grid indices stand for places on the chip.

The mapping stage fills a `GridMap`; the writer, the pictures and the metrics read it to
turn grid cells `(ix, iy, z)` back into database units and layer names.
"""
from __future__ import annotations

from dataclasses import dataclass


@dataclass
class GridMap:
    xs: list[int]          # database-unit x of grid column ix, strictly ascending
    ys: list[int]          # database-unit y of grid row iy, strictly ascending
    layers: list[str]      # routing layer name of grid layer z, bottom up
    via_names: list[str]   # LEF via used for a layer change z <-> z + 1 (len(layers) - 1 entries)
    dbu_per_micron: int

    def point(self, ix: int, iy: int) -> tuple[int, int]:
        return self.xs[ix], self.ys[iy]
