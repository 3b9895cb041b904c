"""Sample-level fidelity metrics: alpha-precision and beta-recall."""
