"""Benchmarks of the module against the Python model; run each from the checkout root as
a module, e.g. `python -m bench.bench_maze small`."""
