from pathlib import Path

import pytest

from tovrana_flow.read import read_def, read_lef

DATA = Path(__file__).parent / "data"
# The public placed designs lie beside the checkout, in ../shared/designs.
DESIGNS = Path(__file__).parents[2].parent / "shared" / "designs"


@pytest.fixture
def designs() -> Path:
    """The folder of the ISPD-2018 designs; skips the test when it is not there."""
    if not (DESIGNS / "ispd18_sample").is_dir():
        pytest.skip(f"the ISPD-2018 designs are not in {DESIGNS} (they lie beside the checkout, in ../shared/designs)")
    return DESIGNS


@pytest.fixture(scope="session")
def tiny_tech():
    return read_lef([str(DATA / "tiny.lef")])


@pytest.fixture(scope="session")
def tiny_design(tiny_tech):
    return read_def(str(DATA / "tiny.def"), tiny_tech)
