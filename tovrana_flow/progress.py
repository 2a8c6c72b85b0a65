"""Progress bars on the long phases when tqdm is installed (the `flow` extra) and asked for."""
from __future__ import annotations

try:
    from tqdm import tqdm
except ImportError:
    tqdm = None


def progress(items, desc: str, total: int | None = None, enabled: bool = True):
    if tqdm is None or not enabled:
        return items
    # disable=None: no bar when stderr is not a terminal
    return tqdm(items, desc=desc, total=total, leave=False, dynamic_ncols=True, disable=None)
