"""Machine-learning utility metrics."""
