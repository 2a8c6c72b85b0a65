import os
import sys

import pytest

HERE = os.path.dirname(__file__)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "bench"))

import tovrana  # noqa: E402

PanicException = tovrana.PanicException
SANITIZED = os.environ.get("TOVRANA_SANITIZED") == "1"


@pytest.fixture
def grid4():
    return tovrana.Grid(4, 4, 2, [], [], [], [])



def examples(n):
    """Example count for a property test: instrumented builds run many times slower,
    so they check the same properties on fewer cases."""
    return max(3, n // 8) if SANITIZED else n
