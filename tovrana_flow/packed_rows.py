"""Rows of integers gathered one at a time and kept as one int64 array.

A row held as a tuple takes several times the memory of its array row, and tables of a whole
design's shapes hold millions of rows: the rows are packed into an array a chunk at a time
as they come, so that only the last chunk is ever held as tuples.
"""
from __future__ import annotations

import numpy as np

CHUNK = 1 << 14      # rows gathered as tuples before they are packed


class PackedRows:
    def __init__(self, width: int):
        self.width = width
        self._rows: list[tuple] = []
        self._chunks: list[np.ndarray] = []

    def append(self, row: tuple) -> None:
        self._rows.append(row)
        if len(self._rows) >= CHUNK:
            self._chunks.append(np.array(self._rows, dtype=np.int64))
            self._rows.clear()

    def array(self) -> np.ndarray:
        """Every row so far, in order (n x width)."""
        return np.concatenate(self._chunks + [np.array(self._rows, dtype=np.int64).reshape(-1, self.width)])
