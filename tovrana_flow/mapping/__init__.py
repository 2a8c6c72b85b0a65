"""Grid mapping: the read design on the module's grid (layers, tracks, claims, terminal sets)."""
from .design_to_grid import (DEFAULT_GCELL, DEFAULT_VIA_COST, BLOCKED, Cell, GridModel, MappingOptions,
                             map_design)
from .gridmap import GridMap
from .layers import Halos
