"""Local stand-in for the in-house ``kelmo_core`` library family: only ``kelmo_core.logging``."""
