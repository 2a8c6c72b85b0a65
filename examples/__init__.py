"""Example drivers; run each from the checkout root as a module, e.g. `python -m examples.route_demo`."""
