"""Evaluation of synthetic tabular data: the evaluator, its report records and metrics."""
