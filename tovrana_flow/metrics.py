"""What a phase of the flow measured, and the table the flow prints.

Wire length is in microns along the real track coordinates, vias are counted once per layer
change, markers are the module's own (`flexgc`) over all routed nets.
"""
from __future__ import annotations

import ctypes
import ctypes.util
import resource
import sys
import threading
import time
from contextlib import contextmanager
from dataclasses import asdict, dataclass


def _glibc(name: str):
    try:
        return getattr(ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6"), name)
    except (OSError, AttributeError):     # not glibc
        return None


_MALLOC_TRIM = _glibc("malloc_trim")
_MALLOPT = _glibc("mallopt")
_M_MMAP_THRESHOLD = -3                    # glibc's mallopt parameter
LARGE_BLOCK = 256 * 1024                  # bytes


def return_large_blocks(threshold: int = LARGE_BLOCK) -> None:
    """Makes every later allocation of at least `threshold` bytes a mapping of its own, which
    goes back to the system when freed. glibc otherwise raises that threshold to the largest
    block freed so far (up to 32 MB), after which the searches' and batches' tables come from
    each thread's heap and stay there: on ispd18_test1 this took the routing stage's peak
    from 717 to 537 MB. A no-op where the C library is not glibc."""
    if _MALLOPT is not None:
        _MALLOPT(_M_MMAP_THRESHOLD, threshold)


def release_freed_memory() -> None:
    """Hands the memory a stage freed back to the system. glibc keeps freed heap memory for
    reuse, so after a stage that built and dropped large temporary structures (the mapping:
    300 MB on ispd18_test1) the next stage's memory would stack on top of it. A no-op where
    the C library is not glibc."""
    if _MALLOC_TRIM is not None:
        _MALLOC_TRIM(0)


def peak_memory_mb() -> float:
    """Peak resident memory of this process so far, in MB."""
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return peak / (1024 * 1024) if sys.platform == "darwin" else peak / 1024


class ModuleClock:
    """Adds up the wall time spent inside calls into the module; calls that overlap (from
    several threads) count once, so the sum never exceeds the wall time."""

    def __init__(self):
        self.seconds = 0.0
        self._inside = 0
        self._since = 0.0
        self._lock = threading.Lock()

    @contextmanager
    def timing(self):
        with self._lock:
            if self._inside == 0:
                self._since = time.perf_counter()
            self._inside += 1
        try:
            yield
        finally:
            with self._lock:
                self._inside -= 1
                if self._inside == 0:
                    self.seconds += time.perf_counter() - self._since


@dataclass
class PhaseRow:
    phase: str
    seconds: float
    module_seconds: float | None = None
    changed: int | None = None
    wirelength_um: float | None = None
    vias: int | None = None
    opens: int | None = None
    cover: int | None = None
    prl: int | None = None
    unremovable: int | None = None
    peak_mb: float | None = None
    occ: str | None = None

    def as_dict(self) -> dict:
        return asdict(self)


COLUMNS = [("phase", "phase", "{}"), ("seconds", "time s", "{:.2f}"), ("module_seconds", "module s", "{:.2f}"),
           ("changed", "changed", "{}"), ("wirelength_um", "wire um", "{:.1f}"), ("vias", "vias", "{}"),
           ("opens", "opens", "{}"), ("cover", "cover", "{}"), ("prl", "prl", "{}"),
           ("unremovable", "fixed", "{}"), ("peak_mb", "peak MB", "{:.0f}"), ("occ", "occ", "{}")]


def format_table(rows: list[PhaseRow]) -> str:
    cells = [[title for _, title, _ in COLUMNS]]
    for row in rows:
        cells.append([fmt.format(getattr(row, key)) if getattr(row, key) is not None else "-"
                      for key, _, fmt in COLUMNS])
    widths = [max(len(r[i]) for r in cells) for i in range(len(COLUMNS))]
    lines = []
    for n, r in enumerate(cells):
        lines.append("  ".join(v.ljust(w) if i == 0 else v.rjust(w) for i, (v, w) in enumerate(zip(r, widths))))
        if n == 0:
            lines.append("-" * len(lines[0]))
    return "\n".join(lines)

