import os
import sys

import pytest

HERE = os.path.dirname(__file__)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "bench"))

import tovrana  # noqa: E402

PanicException = tovrana.PanicException
SANITIZED = os.environ.get("HYPOTHESIS_PROFILE") == "sanitizer"


@pytest.fixture
def grid4():
    return tovrana.Grid(4, 4, 2, [], [], [], [])

from hypothesis import settings  # noqa: E402

# Instrumented builds run many times slower: fewer examples, same properties.
settings.register_profile("sanitizer", max_examples=10, deadline=None)
if os.environ.get("HYPOTHESIS_PROFILE"):
    settings.load_profile(os.environ["HYPOTHESIS_PROFILE"])
