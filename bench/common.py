"""What the benchmark scripts share: the command line and memory readings."""
import argparse


def size_parser(doc):
    """A parser for `script [sizes...] [--seed N]`; callers add their own options."""
    ap = argparse.ArgumentParser(description=doc.splitlines()[0])
    ap.add_argument("sizes", nargs="*", default=["small", "medium", "large"])
    ap.add_argument("--seed", type=int, default=1)
    return ap


def run_sizes(doc, bench, option, default):
    """The main of a script `script [sizes...] [--seed N] [--option N]`: bench(size, seed, N) per size."""
    ap = size_parser(doc)
    ap.add_argument(option, type=int, default=default)
    a = ap.parse_args()
    for size in a.sizes:
        bench(size, a.seed, getattr(a, option.lstrip("-").replace("-", "_")))


def rss_kib(field):
    """A memory figure of this process from /proc (VmRSS, VmHWM, ...), in KiB."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak():
    """Resets VmHWM to the current RSS, so the next reading is this phase's peak."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False
