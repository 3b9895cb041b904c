"""Evaluating a synthetic table for release: the evaluator with a holdout, a utility
target, one seed for every metric and a record of what failed.

``ReleaseEvaluator`` is a ``TabularEvaluator`` whose hooks hand its options to the
metrics (the one route by which options reach them):

- ``_metric_options(name)``: every metric that draws random numbers gets the
  evaluator's ``random_seed``; the membership attack, the closest-record score (its
  exposure) and both utility metrics get the ``holdout`` (real records the generator
  never saw), which the utility metrics also test on; TSTR gets the ``target``;
- ``_utility_target``: prediction agreement predicts the same ``target``, by default the
  column ``default_target`` picks;
- ``_on_metric_failure``: why a metric filed nothing, in ``failures``;
- ``on_metric`` (optional): called with each metric's name before it runs, for progress.

``evaluate_release(real, synthetic, holdout=...)`` runs it and returns the report, whose
``release_verdict()`` says whether the table may be released.
"""

from typing import Callable, Dict, Hashable, List, Optional

import pandas as pd

from velmora._metric_core.models import default_target
from velmora.tabular.evaluator.catalogue import metric_info
from velmora.tabular.evaluator.evaluator import TabularEvaluator
from velmora.tabular.evaluator.report import EvaluationReport

__all__ = ["ReleaseEvaluator", "evaluate_release", "failure_reason"]


def failure_reason(error: BaseException) -> str:
    """Why a metric failed, in one line: the first line of the message of the ValueError
    or KeyError a metric raises for data it cannot score (a KeyError's without its
    quotes); for any other exception also its type."""
    if isinstance(error, KeyError) and len(error.args) == 1:
        text = str(error.args[0])
    else:
        text = str(error)
    lines = text.strip().splitlines()
    if not lines:
        return type(error).__name__
    return lines[0] if isinstance(error, (ValueError, KeyError)) else f"{type(error).__name__}: {lines[0]}"


class ReleaseEvaluator(TabularEvaluator):
    """The evaluator of a release: its options reach every metric (see the module
    docstring).

    Parameters
    ----------
    metrics : list of str, optional
        The metrics to run (default: the whole suite).
    random_seed : int, optional
        The seed of every metric that draws random numbers (None means 0).
    holdout : pandas.DataFrame, optional
        Real records of the same population that the generator never saw: the membership
        attack runs exactly, the exposure is measured against the holdout's chance level,
        and the utility metrics test on it.
    target : column label, optional
        The column both utility metrics predict (default: ``default_target``).
    compute_privacy, compute_alpha_beta : bool, default True
    on_metric : callable, optional
        Called with each metric's name before it runs.
    """

    def __init__(
        self,
        metrics: Optional[List[str]] = None,
        random_seed: Optional[int] = None,
        holdout: Optional[pd.DataFrame] = None,
        target: Optional[Hashable] = None,
        compute_privacy: bool = True,
        compute_alpha_beta: bool = True,
        on_metric: Optional[Callable[[str], None]] = None,
    ) -> None:
        super().__init__(
            metrics=metrics,
            random_seed=random_seed,
            compute_privacy=compute_privacy,
            compute_alpha_beta=compute_alpha_beta,
        )
        if holdout is not None and not isinstance(holdout, pd.DataFrame):
            raise TypeError(f"holdout must be a pandas DataFrame, got {type(holdout).__name__}")
        self.holdout = holdout
        self.target = target
        self.on_metric = on_metric
        self.failures: Dict[str, str] = {}
        self._targets: Dict[int, Optional[Hashable]] = {}

    def _metric_options(self, name: str) -> dict:
        if self.on_metric is not None:
            self.on_metric(name)
        try:
            offered = metric_info(name).options
        except KeyError:
            return {}
        # TSTR picks ``default_target`` itself when given none, as _utility_target does.
        options = {"random_seed": self.random_seed, "holdout": self.holdout, "target": self.target}
        return {option: options[option] for option in offered if options[option] is not None or option == "random_seed"}

    def _utility_target(self, real_data: pd.DataFrame, synthetic_data: pd.DataFrame) -> Optional[Hashable]:
        if self.target is not None:
            return self.target
        try:
            return default_target(real_data, synthetic_data)
        except ValueError:
            return None

    def _on_metric_failure(self, name: str, error: BaseException) -> None:
        self.failures[name] = failure_reason(error)

    def evaluate(self, real_data, synthetic_data=None, generator=None, n_samples=None, metrics=None, **kwargs):
        """Run the evaluation suite with this evaluator's options (see
        ``TabularEvaluator.evaluate``); ``failures`` then names each metric that filed
        nothing, with the reason."""
        self.failures = {}
        report: EvaluationReport = super().evaluate(real_data, synthetic_data, generator, n_samples, metrics, **kwargs)
        return report


def evaluate_release(
    real: pd.DataFrame,
    synthetic: pd.DataFrame,
    *,
    holdout: Optional[pd.DataFrame] = None,
    target: Optional[Hashable] = None,
    random_seed: Optional[int] = None,
    metrics: Optional[List[str]] = None,
) -> EvaluationReport:
    """Evaluate ``synthetic`` against ``real`` with a ``ReleaseEvaluator``; read the
    decision off the report with ``release_verdict()``."""
    return ReleaseEvaluator(metrics=metrics, random_seed=random_seed, holdout=holdout, target=target).evaluate(
        real, synthetic
    )
