"""The read stage: LEF into a `Tech`, DEF into a `Design`, route guides into `Guides`.

Every malformed, unsupported or inconsistent input raises one `FlowInputError` naming the
file, the line and the construct.
"""
from .def_file import read_def
from .guide import read_guides
from .lef import read_lef

__all__ = ["read_lef", "read_def", "read_guides"]
