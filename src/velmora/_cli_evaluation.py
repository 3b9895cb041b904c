"""How the command line evaluates a synthetic table against the real one.

The command line runs the evaluator one metric at a time (for its progress line) and
files the results in one report, as one ``evaluate`` call would, with three additions:

- a holdout reaches the membership attack through ``CommandLineEvaluator``, whose
  ``_run_privacy_metric`` the evaluator calls for every privacy metric;
- the two utility metrics are computed here, through their classes, so that both
  predict the same column: the one the user names, else the first column of the real
  table, also in the synthetic one, with two or more distinct values. Their results
  are filed as the evaluator files them, with the metric's details (which name the
  target);
- per-column results follow the real table's column order (the evaluator files the
  KS complements in the order of a set of labels, which changes between processes), so
  that the same inputs and seed give the same report.

Every metric that files no result is named with the reason, where one can be found.
"""

import time
from dataclasses import dataclass
from typing import Any, Callable, Dict, Hashable, List, Optional, Sequence, Tuple

import pandas as pd

from velmora.tabular.evaluator.evaluator import TabularEvaluator
from velmora.tabular.evaluator.report import EvaluationReport, MetricResult

__all__ = ["CATALOGUE", "CommandLineEvaluator", "Evaluation", "default_target", "evaluate_tables"]

UTILITY_METRICS = ("prediction_agreement", "tstr_normalized")
MEMBERSHIP_METRIC = "membership_inference_auc"
# The text the evaluator gives the prediction agreement result.
PREDICTION_AGREEMENT_DESCRIPTION = "Agreement between models trained on real vs synthetic. Higher = better."
MEMBERSHIP_DESCRIPTION = "Normalised privacy risk [0,1]. Raw AUC={auc:.4f}. Values >0 mean attacker has signal."

# The metrics that file one result per column, and the prefix of those results' names.
PER_COLUMN_PREFIXES = {
    "ks_complement": "ks_complement_",
    "wasserstein": "wasserstein_",
    "total_variation": "tv_complement_",
    "hellinger": "hellinger_",
}

# The metrics the evaluator computes with one method of a similarity class.
SIMILARITY_METHODS = {
    "wasserstein": ("UnivariateSimilarityMetrics", "wasserstein_distance_metric"),
    "total_variation": ("UnivariateSimilarityMetrics", "total_variation_distance"),
    "hellinger": ("UnivariateSimilarityMetrics", "hellinger_distance"),
    "pearson_correl_diff": ("CorrelationSimilarityMetrics", "pearson_correlation_difference"),
    "spearman_correl_diff": ("CorrelationSimilarityMetrics", "spearman_correlation_difference"),
    "correlation_matrix_distance": ("MultivariateSimilarityMetrics", "correlation_matrix_distance"),
    "mmd": ("MultivariateSimilarityMetrics", "mmd_rbf"),
}


@dataclass(frozen=True)
class MetricInfo:
    """One metric of the default suite as ``velmora metrics`` lists it."""

    name: str
    better: str  # "higher" or "lower"
    meaning: str  # one line, naming the results where their names differ from the metric's


CATALOGUE: Tuple[MetricInfo, ...] = (
    MetricInfo(
        "ks_complement",
        "higher",
        "1 - KS statistic (numbers) or 1 - TV (categories), per column: ks_complement_<column>",
    ),
    MetricInfo(
        "wasserstein", "higher", "1 - Wasserstein distance / real range, per ordered column: wasserstein_<column>"
    ),
    MetricInfo(
        "total_variation",
        "higher",
        "1 - total variation distance of the frequencies, per column: tv_complement_<column>",
    ),
    MetricInfo("hellinger", "higher", "1 - Hellinger distance of the frequencies, per column: hellinger_<column>"),
    MetricInfo("pearson_correl_diff", "higher", "1 - mean |r_real - r_synthetic| over column pairs, Pearson's r"),
    MetricInfo("spearman_correl_diff", "higher", "1 - mean |r_real - r_synthetic| over column pairs, Spearman's r"),
    MetricInfo(
        "correlation_matrix_distance", "higher", "cosine similarity of the real and synthetic correlation matrices"
    ),
    MetricInfo("mmd", "higher", "1 - sqrt(MMD^2 / 2), maximum mean discrepancy with an RBF kernel: mmd_rbf"),
    MetricInfo("tstr_normalized", "higher", "train on synthetic / train on real, both tested on real rows (--target)"),
    MetricInfo(
        "prediction_agreement", "higher", "agreement of models trained on real and on synthetic data (--target)"
    ),
    MetricInfo("alpha_precision", "higher", "synthetic records inside the real data's densities (k-NN alpha-supports)"),
    MetricInfo("beta_recall", "higher", "real data's densities covered by synthetic records (k-NN beta-supports)"),
    MetricInfo(
        "membership_inference_auc",
        "lower",
        "privacy: advantage of a distance attack on membership, 0 = chance (--holdout)",
    ),
    MetricInfo(
        "distance_to_closest_record",
        "higher",
        "privacy: real records' distance to the closest synthetic one, 0 = copied",
    ),
)


def one_line(error: BaseException) -> str:
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


def default_target(real: pd.DataFrame, synthetic: pd.DataFrame) -> Optional[Hashable]:
    """The column the utility metrics predict unless told otherwise: the first column of
    the real frame, also in the synthetic frame, with two or more distinct non-missing
    values; None when there is none."""
    present = set(synthetic.columns)
    column: Hashable
    for column in real.columns:
        if column in present and real[column].dropna().nunique() > 1:
            return column
    return None


def evaluation_order(names: Sequence[str]) -> List[str]:
    """The metric names in the order one evaluate() call files their results: the
    per-column and table metrics as listed, then alpha precision, beta recall, the
    privacy metrics and TSTR."""
    late = ["alpha_precision", "beta_recall", *TabularEvaluator.PRIVACY_METRICS, "tstr_normalized"]
    ordered = [name for name in names if name not in late]
    ordered += [name for name in late if name in names]
    return ordered


class CommandLineEvaluator(TabularEvaluator):
    """The evaluator, with real records the generator never saw (``holdout``) for the
    membership attack, and a record of why a privacy metric failed (``failures``: the
    evaluator leaves a failed metric out of the report without a word)."""

    def __init__(self, random_seed: Optional[int] = None, holdout: Optional[pd.DataFrame] = None) -> None:
        super().__init__(random_seed=random_seed)
        self.holdout = holdout
        self.failures: Dict[str, str] = {}

    def _run_privacy_metric(self, name: str, real: pd.DataFrame, synthetic: pd.DataFrame) -> MetricResult:
        try:
            if name == MEMBERSHIP_METRIC and self.holdout is not None:
                return self._membership_with_holdout(real, synthetic)
            result: MetricResult = super()._run_privacy_metric(name, real, synthetic)
            return result
        except Exception as error:
            self.failures[name] = one_line(error)
            raise

    def _membership_with_holdout(self, real: pd.DataFrame, synthetic: pd.DataFrame) -> MetricResult:
        """The membership result as the evaluator files it, from the exact attack with
        the real records as members and the holdout records as non-members; its details
        also say so ("non_members": "holdout", "n_holdout")."""
        from velmora.tabular.evaluator.metrics.privacy.membership_inference import MembershipInferenceMetric

        metric = MembershipInferenceMetric(holdout=self.holdout)
        auc = metric.compute(real, synthetic)
        privacy_risk = abs(auc - 0.5) * 2
        details: Dict[str, Any] = {"auc": auc, "privacy_risk": privacy_risk}
        details.update((key, value) for key, value in metric.details.items() if key not in details)
        return MetricResult(
            name=MEMBERSHIP_METRIC,
            value=privacy_risk,
            category="privacy",
            higher_is_better=False,
            description=MEMBERSHIP_DESCRIPTION.format(auc=auc),
            details=details,
        )


@dataclass
class Evaluation:
    """One evaluated synthetic table: the report, and the metrics that filed no result
    with the reason (empty text where none is known)."""

    report: EvaluationReport
    missing: Dict[str, str]


def _utility_result(
    name: str, real: pd.DataFrame, synthetic: pd.DataFrame, target: Hashable, seed: Optional[int]
) -> MetricResult:
    """A utility metric's result as the evaluator files it (prediction agreement with the
    class's default seed, TSTR with the evaluator's), predicting ``target``."""
    if name == "prediction_agreement":
        from velmora.evaluation.metrics.utility import PredictionAgreementMetrics

        metric = PredictionAgreementMetrics(real, synthetic, target)
        value = metric.prediction_agreement_percentage()
        return MetricResult(
            name=name,
            value=value,
            category="utility",
            higher_is_better=True,
            description=PREDICTION_AGREEMENT_DESCRIPTION,
            details=dict(metric.details),
        )
    from velmora.tabular.evaluator.metrics.utility.tstr import TSTRNormalizedMetric

    result: MetricResult = TSTRNormalizedMetric(random_seed=seed, target=target).compute(real, synthetic)
    return result


def _compute_directly(name: str, real: pd.DataFrame, synthetic: pd.DataFrame) -> Any:
    """What the metric class behind ``name`` computes, as the evaluator calls it."""
    if name == "ks_complement":
        from velmora.tabular.evaluator.metrics.statistical.ks_complement import KSComplementMetric

        return KSComplementMetric().compute(real, synthetic)
    if name in SIMILARITY_METHODS:
        from velmora.evaluation.metrics import similarity

        class_name, method = SIMILARITY_METHODS[name]
        return getattr(getattr(similarity, class_name)(real, synthetic), method)()
    if name == "alpha_precision":
        from velmora.tabular.evaluator.metrics.fidelity.alpha_precision import AlphaPrecisionMetric

        return AlphaPrecisionMetric().compute(real, synthetic)
    if name == "beta_recall":
        from velmora.tabular.evaluator.metrics.fidelity.beta_recall import BetaRecallMetric

        return BetaRecallMetric().compute(real, synthetic)
    return None


def _reason(name: str, real: pd.DataFrame, synthetic: pd.DataFrame) -> str:
    """Why the evaluator filed nothing for ``name``: it swallows the error of a metric,
    so the metric is computed once more, directly, to learn it. A per-column metric
    that skipped every column names them."""
    try:
        computed = _compute_directly(name, real, synthetic)
    except Exception as error:
        return one_line(error)
    if isinstance(computed, dict) and not computed:
        skipped = getattr(computed, "details", {}).get("skipped") or {}
        if skipped:
            return "every column was skipped: " + "; ".join(f"{column}: {why}" for column, why in skipped.items())
        return "no column to score"
    return ""


def _in_column_order(results: List[MetricResult], prefix: str, columns: Sequence[Hashable]) -> List[MetricResult]:
    position = {f"{prefix}{column}": index for index, column in enumerate(columns)}
    return sorted(results, key=lambda result: position.get(result.name, len(position)))


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
    """Evaluate ``synthetic`` against ``real`` with the named metrics (see the module
    docstring); ``step(name)`` is called before each metric runs."""
    started = time.time()
    evaluator = CommandLineEvaluator(random_seed=seed, holdout=holdout)
    report = EvaluationReport(
        real_data_n_rows=len(real),
        synthetic_data_n_rows=len(synthetic),
        n_columns=len(real.columns),
        generator_name=generator_name,
        dataset_name=dataset_name,
    )
    missing: Dict[str, str] = {}
    utility_target = target if target is not None else default_target(real, synthetic)
    for name in evaluation_order(list(dict.fromkeys(metrics))):
        step(name)
        if name in UTILITY_METRICS:
            if utility_target is None:
                missing[name] = "no column of the real table, also in the synthetic one, has two distinct values"
                continue
            try:
                report.add_metric(_utility_result(name, real, synthetic, utility_target, seed))
            except Exception as error:
                missing[name] = one_line(error)
            continue
        part = evaluator.evaluate(real, synthetic, metrics=[name])
        results = list(part.aggregate_metrics.values())
        if name in PER_COLUMN_PREFIXES:
            results = _in_column_order(results, PER_COLUMN_PREFIXES[name], list(real.columns))
        for result in results:
            report.add_metric(result)
        for result in part.privacy_metrics.values():
            report.add_metric(result, scope="privacy")
        if not results and not part.privacy_metrics:
            missing[name] = evaluator.failures.get(name) or _reason(name, real, synthetic)
    report.evaluation_time_seconds = time.time() - started
    return Evaluation(report, missing)
