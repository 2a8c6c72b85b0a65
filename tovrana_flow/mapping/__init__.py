"""Grid mapping: the read design on the module's grid (tracks, claims, terminal sets, rules)."""
from .design_to_grid import (BLOCKED, DEFAULT_GCELL, DEFAULT_VIA_COST, DEFAULT_WRONG_WAY, GridModel,
                             MappingOptions, TrackModel, map_design)
from .gridmap import GridMap
from .layers import Halos

__all__ = ["BLOCKED", "DEFAULT_GCELL", "DEFAULT_VIA_COST", "DEFAULT_WRONG_WAY", "GridMap", "GridModel", "Halos",
           "MappingOptions", "TrackModel", "map_design"]
