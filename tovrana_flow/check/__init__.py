"""Checks of a routed DEF, independent of the grid it was routed on."""
from .connectivity import CheckReport, check_def, check_file

__all__ = ["CheckReport", "check_def", "check_file"]
