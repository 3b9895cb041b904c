"""Evaluation metrics shared across velmora's generators."""
