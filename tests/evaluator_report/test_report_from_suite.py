"""The metric library driven the way the evaluator drives it: every class built and
called as the evaluator does, every result filed in one report, which must then render
as a summary and as valid JSON."""

import json

import numpy as np
import pandas as pd
import pytest

from velmora.tabular.evaluator.report import EvaluationReport, MetricResult

DEFAULT_SUITE = [
    "ks_complement",
    "wasserstein",
    "total_variation",
    "hellinger",
    "pearson_correl_diff",
    "spearman_correl_diff",
    "correlation_matrix_distance",
    "mmd",
    "tstr_normalized",
    "prediction_agreement",
    "alpha_precision",
    "beta_recall",
    "membership_inference_auc",
    "distance_to_closest_record",
]


def run_suite(real, synthetic, metrics, seed=None):
    from velmora.evaluation.metrics.similarity import (
        CorrelationSimilarityMetrics,
        MultivariateSimilarityMetrics,
        UnivariateSimilarityMetrics,
    )
    from velmora.evaluation.metrics.utility import PredictionAgreementMetrics
    from velmora.tabular.evaluator.metrics.fidelity.alpha_precision import AlphaPrecisionMetric
    from velmora.tabular.evaluator.metrics.fidelity.beta_recall import BetaRecallMetric
    from velmora.tabular.evaluator.metrics.privacy.distance_to_closest_record import DTCRMetric
    from velmora.tabular.evaluator.metrics.privacy.membership_inference import MembershipInferenceMetric
    from velmora.tabular.evaluator.metrics.statistical.ks_complement import KSComplementMetric
    from velmora.tabular.evaluator.metrics.utility.tstr import TSTRNormalizedMetric

    report = EvaluationReport(
        real_data_n_rows=len(real),
        synthetic_data_n_rows=len(synthetic),
        n_columns=len(real.columns),
        generator_name="NoneType",
    )
    common = list(set(real.columns) & set(synthetic.columns))

    def file(name, value, category="statistical"):
        report.add_metric(
            MetricResult(name=name, value=value, category=category, higher_is_better=True, description="d")
        )

    for name in metrics:
        if name == "ks_complement":
            for column, score in KSComplementMetric().compute(real, synthetic, columns=common).items():
                file(f"ks_complement_{column}", score)
        elif name in ("wasserstein", "total_variation", "hellinger"):
            method = {
                "wasserstein": "wasserstein_distance_metric",
                "total_variation": "total_variation_distance",
                "hellinger": "hellinger_distance",
            }[name]
            for key, value in getattr(UnivariateSimilarityMetrics(real, synthetic), method)().items():
                file(key, value)
        elif name == "pearson_correl_diff":
            file(name, CorrelationSimilarityMetrics(real, synthetic).pearson_correlation_difference())
        elif name == "spearman_correl_diff":
            file(name, CorrelationSimilarityMetrics(real, synthetic).spearman_correlation_difference())
        elif name == "correlation_matrix_distance":
            file(name, MultivariateSimilarityMetrics(real, synthetic).correlation_matrix_distance())
        elif name == "mmd":
            file("mmd_rbf", MultivariateSimilarityMetrics(real, synthetic).mmd_rbf())
        elif name == "prediction_agreement":
            target = next(c for c in real.columns if len(real[c].dropna().unique()) > 1)
            file(name, PredictionAgreementMetrics(real, synthetic, target).prediction_agreement_percentage(), "utility")
    if "alpha_precision" in metrics:
        report.add_metric(AlphaPrecisionMetric().compute(real, synthetic))
    if "beta_recall" in metrics:
        report.add_metric(BetaRecallMetric().compute(real, synthetic))
    if "membership_inference_auc" in metrics:
        auc = MembershipInferenceMetric().compute(real, synthetic)
        risk = abs(auc - 0.5) * 2
        report.add_metric(
            MetricResult(
                name="membership_inference_auc",
                value=risk,
                category="privacy",
                higher_is_better=False,
                description=f"Raw AUC={auc:.4f}.",
                details={"auc": auc, "privacy_risk": risk},
            ),
            scope="privacy",
        )
    if "distance_to_closest_record" in metrics:
        report.add_metric(
            MetricResult(
                name="distance_to_closest_record", value=DTCRMetric().compute(real, synthetic), category="privacy"
            ),
            scope="privacy",
        )
    if "tstr_normalized" in metrics:
        report.add_metric(TSTRNormalizedMetric(random_seed=seed).compute(real, synthetic))
    report.evaluation_time_seconds = 0.5
    return report


@pytest.fixture(scope="module")
def frames():
    rng = np.random.RandomState(0)
    n = 400
    age = rng.randint(18, 80, size=n)
    real = pd.DataFrame(
        {
            "age": age,
            "income": age * 900.0 + rng.normal(scale=5000, size=n),
            "city": rng.choice(["Oslo", "Lima", "Pune"], size=n),
            "member": rng.uniform(size=n) < 0.3,
            "joined": pd.Timestamp("2020-01-01") + pd.to_timedelta(rng.randint(0, 900, size=n), unit="D"),
        }
    )
    real.loc[rng.uniform(size=n) < 0.05, "income"] = np.nan
    synthetic = real.sample(frac=1.0, random_state=1).reset_index(drop=True)
    synthetic["income"] = synthetic["income"] + rng.normal(scale=2000, size=n)
    return real, synthetic


def test_default_suite_fills_a_report_that_renders(frames):
    real, synthetic = frames
    report = run_suite(real, synthetic, DEFAULT_SUITE, seed=0)
    names = list(report.aggregate_metrics)
    for column in real.columns:
        assert f"ks_complement_{column}" in names
        assert f"tv_complement_{column}" in names and f"hellinger_{column}" in names
        # Unordered categories and booleans have no Wasserstein distance of their own.
        assert (f"wasserstein_{column}" in names) == (column not in ("city", "member"))
    assert names[-1] == "tstr_normalized"
    assert {"alpha_precision", "beta_recall", "mmd_rbf", "prediction_agreement"} <= set(names)
    assert list(report.privacy_metrics) == ["membership_inference_auc", "distance_to_closest_record"]
    for name, result in report.aggregate_metrics.items():
        assert 0.0 <= float(result.value) <= 1.0, name
    summary = report.summary()
    for name in names:
        assert name in summary
    data = json.loads(report.to_json())
    assert data["aggregate_metrics"]["tstr_normalized"]["details"]["task"] in {"classification", "regression"}
    assert data["privacy_metrics"]["membership_inference_auc"]["higher_is_better"] is False


def test_two_metric_call_gives_json(frames):
    real, synthetic = frames
    report = run_suite(real, synthetic, ["ks_complement", "alpha_precision"])
    data = json.loads(report.to_json())
    assert len(data["aggregate_metrics"]) == len(real.columns) + 1
    assert data["privacy_metrics"] == {}
