"""Grid mapping: the read design on the module's grid (layers, tracks, claims, terminal sets)."""
from .design_to_grid import BLOCKED, DEFAULT_GCELL, DEFAULT_VIA_COST, GridModel, MappingOptions, map_design
from .gridmap import GridMap
from .layers import Halos

__all__ = ["BLOCKED", "DEFAULT_GCELL", "DEFAULT_VIA_COST", "GridMap", "GridModel", "Halos", "MappingOptions",
           "map_design"]
