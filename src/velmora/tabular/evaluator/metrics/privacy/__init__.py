"""Privacy metrics: membership inference and distance to closest record."""
