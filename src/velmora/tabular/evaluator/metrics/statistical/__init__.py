"""Per-column statistical fidelity metrics."""
