import os
import sys

import pytest

HERE = os.path.dirname(__file__)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "bench"))

import tovrana  # noqa: E402

PanicException = type(tovrana).__dict__.get("PanicException") or tovrana.PanicException


@pytest.fixture
def grid4():
    return tovrana.Grid(4, 4, 2, [], [], [], [])
