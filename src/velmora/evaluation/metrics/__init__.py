"""Similarity (``similarity``) and prediction-agreement (``utility``) metrics."""
