"""A small, literal pure-Python model of the router core, the yardstick of the differential tests."""
