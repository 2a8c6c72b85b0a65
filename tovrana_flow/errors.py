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


class OptionError(ValueError):
    """An option out of range. `option` is its name as the API spells it (a field of the
    options record); the message reads "OPTION PROBLEM", and the command prints the same
    words with the option spelt as its flag."""

    def __init__(self, option: str, problem: str):
        self.option, self.problem = option, problem
        super().__init__(f"{option} {problem}")


def at_least(option: str, value, low) -> None:
    """Refuses a value below `low` (None: not set, nothing to check)."""
    if value is not None and not value >= low:
        raise OptionError(option, f"must be at least {low}, not {value}")


def positive(option: str, value) -> None:
    if value is not None and not value > 0:
        raise OptionError(option, f"must be positive, not {value}")
