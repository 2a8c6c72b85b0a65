"""The one error the flow raises for bad input."""
from __future__ import annotations


class FlowInputError(ValueError):
    """Malformed, unsupported or inconsistent input, with the place it was found.

    `file` and `line` (1-based) say where, `construct` what was being read there
    (for example "MACRO NAND2X1 PIN A PORT" or "COMPONENTS"); the message reads
    "FILE:LINE: CONSTRUCT: what is wrong".
    """

    def __init__(self, file: str, line: int, construct: str, problem: str):
        self.file, self.line, self.construct, self.problem = file, line, construct, problem
        super().__init__(f"{file}:{line}: {construct}: {problem}")
