"""How the command line evaluates a synthetic table against the real one: one
``evaluate`` call of a ``ReleaseEvaluator`` (the holdout, the target and the seed reach
the metrics through its hooks, progress is reported before each metric, failures are
recorded by the evaluator), so the command line and the Python API give the same
report for the same call. Every metric that files no result is named with the reason.
"""

from dataclasses import dataclass
from typing import Callable, Dict, Hashable, Optional, Sequence

import pandas as pd

from velmora.tabular.evaluator.catalogue import metric_info
from velmora.tabular.evaluator.release import ReleaseEvaluator
from velmora.tabular.evaluator.report import EvaluationReport

__all__ = ["Evaluation", "evaluate_tables"]


@dataclass
class Evaluation:
    """One evaluated synthetic table: the report, and the metrics that filed no result
    with the reason."""

    report: EvaluationReport
    missing: Dict[str, str]


def _why_nothing(name: str, evaluator: ReleaseEvaluator, real: pd.DataFrame, synthetic: pd.DataFrame) -> str:
    """Why a metric that raised nothing filed nothing."""
    info = metric_info(name)
    if info.needs_target and evaluator._utility_target(real, synthetic) is None:
        return "no column of the real table, also in the synthetic one, has two distinct values"
    if info.per_column:
        return f"no column it can score ({info.summary})"
    return "the evaluator filed none"


def evaluate_tables(
    real: pd.DataFrame,
    synthetic: pd.DataFrame,
    metrics: Sequence[str],
    *,
    generator_name: str,
    dataset_name: str,
    seed: Optional[int] = None,
    target: Optional[Hashable] = None,
    holdout: Optional[pd.DataFrame] = None,
    step: Callable[[str], None] = lambda name: None,
) -> Evaluation:
    """Evaluate ``synthetic`` against ``real`` with the named metrics; ``step(name)`` is
    called before each metric runs."""
    names = list(dict.fromkeys(metrics))
    evaluator = ReleaseEvaluator(metrics=names, random_seed=seed, holdout=holdout, target=target, on_metric=step)
    report = evaluator.evaluate(real, synthetic)
    report.generator_name = generator_name
    report.dataset_name = dataset_name
    filed = list(report.aggregate_metrics) + list(report.privacy_metrics)
    missing: Dict[str, str] = {}
    for name in names:
        if not any(metric_info(name).files(result) for result in filed):
            missing[name] = evaluator.failures.get(name) or _why_nothing(name, evaluator, real, synthetic)
    return Evaluation(report, missing)
