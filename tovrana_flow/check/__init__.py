"""Checks of a routed DEF, independent of the grid it was routed on: connectivity (opens and
centre-line shorts) and the design rules of the LEF."""
from .connectivity import CheckReport, check_def, check_file
from .drc import DrcReport, Marker, drc_def, drc_file

__all__ = ["CheckReport", "check_def", "check_file", "DrcReport", "Marker", "drc_def", "drc_file"]
