"""Test support shared by the tests, the benchmarks and the example driver.

`testkit.designs` generates synthetic routing designs from a seed; `testkit.model` is a
small, literal pure-Python model of the router core, the yardstick of the differential
tests and the benchmarks. Importable from the checkout root (pytest adds it through its
`pythonpath` setting; scripts run as modules, e.g. `python -m bench.bench_maze`).
"""
