"""Reads a placed LEF/DEF design, routes it with the tovrana module and writes routed DEF."""
