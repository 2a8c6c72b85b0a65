"""Progress bars on the long phases when tqdm is installed (the `flow` extra), else none."""
from __future__ import annotations

try:
    from tqdm import tqdm
except ImportError:
    tqdm = None

enabled = True


def progress(items, desc: str, total: int | None = None):
    if tqdm is None or not enabled:
        return items
    # disable=None: no bar when stderr is not a terminal
    return tqdm(items, desc=desc, total=total, leave=False, dynamic_ncols=True, disable=None)
