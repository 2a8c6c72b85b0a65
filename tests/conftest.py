import os

import pytest

import tovrana

PanicException = tovrana.PanicException
SANITIZED = os.environ.get("TOVRANA_SANITIZED") == "1"


@pytest.fixture
def grid4():
    return tovrana.Grid(4, 4, 2, [], [], [], [])



def examples(n):
    """Example count for a property test: instrumented builds run many times slower,
    so they check the same properties on fewer cases."""
    return max(3, n // 8) if SANITIZED else n
