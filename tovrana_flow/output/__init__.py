"""Routed output: grid routes as wires, the routed DEF, pictures."""
