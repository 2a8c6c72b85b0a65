"""The routing stage: initial routing, rip-up-and-reroute passes, short removal."""
