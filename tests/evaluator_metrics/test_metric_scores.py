"""Known cases of every bounded score: a copy scores at or near 1, a sample of the same
population scores high, a clearly different frame scores low, and all stay in [0, 1]."""

import math

import numpy as np
import pandas as pd
import pytest

from velmora.evaluation.metrics.similarity import (
    CorrelationSimilarityMetrics,
    MultivariateSimilarityMetrics,
    UnivariateSimilarityMetrics,
)
from velmora.evaluation.metrics.utility import PredictionAgreementMetrics
from velmora.tabular.evaluator.metrics.fidelity.alpha_precision import AlphaPrecisionMetric
from velmora.tabular.evaluator.metrics.fidelity.beta_recall import BetaRecallMetric
from velmora.tabular.evaluator.metrics.statistical.ks_complement import KSComplementMetric
from velmora.tabular.evaluator.metrics.utility.tstr import TSTRNormalizedMetric
from velmora.tabular.evaluator.report import MetricResult


def mean_of(mapping):
    assert len(mapping) > 0
    return float(np.mean(list(mapping.values())))


# name -> (score function, least score of an exact copy)
SCORES = {
    "ks_complement": (lambda r, s: mean_of(KSComplementMetric().compute(r, s, columns=list(r.columns))), 1.0),
    "wasserstein": (lambda r, s: mean_of(UnivariateSimilarityMetrics(r, s).wasserstein_distance_metric()), 1.0),
    "total_variation": (lambda r, s: mean_of(UnivariateSimilarityMetrics(r, s).total_variation_distance()), 1.0),
    "hellinger": (lambda r, s: mean_of(UnivariateSimilarityMetrics(r, s).hellinger_distance()), 1.0 - 1e-6),
    "pearson": (lambda r, s: CorrelationSimilarityMetrics(r, s).pearson_correlation_difference(), 1.0),
    "spearman": (lambda r, s: CorrelationSimilarityMetrics(r, s).spearman_correlation_difference(), 1.0),
    "correlation_matrix": (lambda r, s: MultivariateSimilarityMetrics(r, s).correlation_matrix_distance(), 1.0 - 1e-12),
    "mmd": (lambda r, s: MultivariateSimilarityMetrics(r, s).mmd_rbf(), 1.0 - 1e-6),
    # Cohen's kappa of two models fitted on different rows: below the share of equal predictions.
    "agreement_classes": (
        lambda r, s: PredictionAgreementMetrics(r, s, "flag").prediction_agreement_percentage(),
        0.75,
    ),
    "agreement_numbers": (lambda r, s: PredictionAgreementMetrics(r, s, "y").prediction_agreement_percentage(), 0.9),
    "alpha_precision": (lambda r, s: AlphaPrecisionMetric().compute(r, s).value, 0.99),
    "beta_recall": (lambda r, s: BetaRecallMetric().compute(r, s).value, 0.99),
    "tstr": (lambda r, s: TSTRNormalizedMetric(random_seed=3).compute(r, s).value, 0.99),
}

# Correlation scores do not see a shift of location; they have a test of their own.
LOCATION_BLIND = {"pearson", "spearman", "correlation_matrix"}


@pytest.mark.parametrize("name", sorted(SCORES))
def test_copy_scores_near_one(name, real):
    score, least = SCORES[name]
    value = score(real, real.copy())
    assert least <= value <= 1.0


@pytest.mark.parametrize("name", sorted(SCORES))
def test_same_population_scores_high_and_shift_scores_low(name, real, same_population, shifted):
    score, _ = SCORES[name]
    same = score(real, same_population)
    assert 0.0 <= same <= 1.0
    assert same > 0.6
    if name in LOCATION_BLIND:
        return
    different = score(real, shifted)
    assert 0.0 <= different <= 1.0
    assert different < 0.6
    assert different < same - 0.3


@pytest.mark.parametrize("name", ["pearson", "spearman", "correlation_matrix"])
def test_correlation_scores_drop_when_dependence_is_reversed(name):
    rng = np.random.RandomState(4)
    base = rng.normal(size=500)
    real = pd.DataFrame({"a": base, "b": base + rng.normal(scale=0.2, size=500), "c": rng.normal(size=500) - base})
    reversed_frame = real.copy()
    reversed_frame["b"] = -reversed_frame["b"]
    score, _ = SCORES[name]
    assert score(real, real) == pytest.approx(1.0)
    assert score(real, reversed_frame) < 0.6


def test_pearson_known_value():
    real = pd.DataFrame({"a": [1.0, 2.0, 3.0, 4.0], "b": [2.0, 4.0, 6.0, 8.0]})
    opposite = pd.DataFrame({"a": [1.0, 2.0, 3.0, 4.0], "b": [8.0, 6.0, 4.0, 2.0]})
    assert CorrelationSimilarityMetrics(real, opposite).pearson_correlation_difference() == pytest.approx(0.0)
    assert CorrelationSimilarityMetrics(real, real).spearman_correlation_difference() == pytest.approx(1.0)


@pytest.mark.parametrize(
    "score",
    [
        lambda r, s: MultivariateSimilarityMetrics(r, s, max_samples=150, random_seed=5).mmd_rbf(),
        lambda r, s: BetaRecallMetric(max_queries=150, random_seed=5).compute(r, s).value,
        lambda r, s: TSTRNormalizedMetric(random_seed=5, max_train_rows=200).compute(r, s).value,
        lambda r, s: PredictionAgreementMetrics(
            r, s, "colour", max_train_rows=200, random_seed=5
        ).prediction_agreement_percentage(),
    ],
)
def test_seeded_metrics_reproduce(score, real, same_population):
    assert score(real, same_population) == score(real, same_population)


def test_results_are_metric_results_with_details(real, same_population):
    for metric in (AlphaPrecisionMetric(), BetaRecallMetric(max_queries=200), TSTRNormalizedMetric(random_seed=1)):
        result = metric.compute(real, same_population)
        assert isinstance(result, MetricResult)
        assert result.higher_is_better is True
        assert result.category in {"fidelity", "utility"}
        assert result.details
    beta = BetaRecallMetric(max_queries=200).compute(real, same_population)
    assert beta.details["sampled"] is True and beta.details["n_real"] == 600
    assert beta.details["queries"]["real_in_synthetic"] == [200, 600]
    low, high = beta.details["value_interval_95"]
    assert low < beta.value < high


def test_mmd_samples_large_frames_and_records_it(real, same_population):
    metric = MultivariateSimilarityMetrics(real, same_population, max_samples=100, random_seed=2)
    value = metric.mmd_rbf()
    assert 0.0 <= value <= 1.0
    details = metric.details["mmd_rbf"]
    assert (details["n_real"], details["n_synthetic"], details["sampled"]) == (100, 100, True)
    exact = MultivariateSimilarityMetrics(real, same_population)
    exact.mmd_rbf()
    assert exact.details["mmd_rbf"]["sampled"] is False


def test_utility_metrics_file_nan_for_a_target_without_signal():
    rng = np.random.RandomState(0)
    noise = pd.DataFrame({"target": rng.normal(size=300), "feature": rng.normal(size=300)})
    shuffled = noise.sample(frac=1.0, random_state=1)
    result = TSTRNormalizedMetric(target="target").compute(noise, shuffled)
    assert math.isnan(result.value) and result.details["trtr"] <= 0
    assert "no signal" in result.details["reason"]
    agreement = PredictionAgreementMetrics(noise, shuffled, "target")
    assert math.isnan(agreement.prediction_agreement_percentage())
    assert "no signal" in agreement.details["reason"]


def test_tstr_collapsed_synthetic_target_scores_low(real):
    collapsed = real.copy()
    collapsed["colour"] = "red"
    result = TSTRNormalizedMetric(target="colour").compute(real, collapsed)
    assert result.details["task"] == "classification"
    assert result.value < 0.6
