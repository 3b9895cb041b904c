"""What the scores mean, shown on seeded populations (``populations``): a copy, a
bootstrap copy, a share of copied rows, a fresh sample, growing noise, shifted and
unrelated data, shuffled and reflected columns. The privacy risk is the evaluator's
|AUC - 0.5| * 2 of the membership-inference AUC."""

import logging
import math

import numpy as np
import pandas as pd
import populations as pop
import pytest

from velmora.core_generator.noiseforge import apply_noiseforge
from velmora.evaluation.metrics.similarity import CorrelationSimilarityMetrics
from velmora.tabular.evaluator.evaluator import TabularEvaluator
from velmora.tabular.evaluator.metrics.fidelity.alpha_precision import AlphaPrecisionMetric
from velmora.tabular.evaluator.metrics.fidelity.beta_recall import BetaRecallMetric
from velmora.tabular.evaluator.metrics.privacy.distance_to_closest_record import DTCRMetric
from velmora.tabular.evaluator.metrics.privacy.membership_inference import MembershipInferenceMetric

KINDS = pop.KINDS


def risk(real, synthetic, **options):
    return abs(MembershipInferenceMetric(**options).compute(real, synthetic) - 0.5) * 2


def protected(real, epsilon):
    logging.disable(logging.INFO)
    try:
        return apply_noiseforge(real, epsilon=epsilon, method="laplace", random_state=5)
    finally:
        logging.disable(logging.NOTSET)


# Above 50,000 rows the queries are capped at 1,000 to keep the test short: the copies
# are found by hashing every row whatever the cap.
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n_rows, max_queries", [(300, 10000), (60000, 1000)])
def test_copies_are_found_at_any_size(kind, n_rows, max_queries):
    real = pop.draw(kind, n_rows, 1)
    for synthetic in (real.copy(), pop.bootstrap(real, 3)):
        assert risk(real, synthetic, max_queries=max_queries) >= 0.9
    dcr = DTCRMetric(max_queries=max_queries)
    assert dcr.compute(real, real.copy()) <= 0.05
    assert dcr.details["share_exact_copies"] == 1.0


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("rest", ["fresh", "unrelated"])
def test_a_share_of_copies_reads_as_that_share(kind, rest):
    real = pop.draw(kind, 2000, 1)
    others = pop.draw(kind, 2000, 2) if rest == "fresh" else pop.unrelated(real, 2)
    for share in (0.2, 0.5, 0.8):
        assert abs(risk(real, pop.copy_share(real, others, share, 4)) - share) <= 0.15


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n_rows", [1000, 5000])
def test_a_fresh_sample_is_private(kind, n_rows):
    real, fresh = pop.draw(kind, n_rows, 1), pop.draw(kind, n_rows, 2)
    assert risk(real, fresh) <= 0.05
    assert DTCRMetric().compute(real, fresh) >= 0.7


@pytest.mark.parametrize("kind", KINDS)
def test_more_noise_never_reads_as_more_risk(kind):
    real = pop.draw(kind, 1500, 1)
    for noisier in (
        [protected(real, epsilon) for epsilon in (10.0, 1.0, 0.1)],
        [pop.jitter(real, scale, 6) for scale in (0.25, 0.5, 1.0, 2.0)],
    ):
        risks = [risk(real, synthetic) for synthetic in noisier]
        spacings = [DTCRMetric().compute(real, synthetic) for synthetic in noisier]
        assert all(later <= earlier + 0.05 for earlier, later in zip(risks, risks[1:])), risks
        assert all(later >= earlier - 0.02 for earlier, later in zip(spacings, spacings[1:])), spacings


@pytest.mark.parametrize("kind", KINDS)
def test_data_farther_away_than_the_natural_spacing_is_no_risk(kind):
    real = pop.draw(kind, 2000, 1)
    for synthetic in (pop.shifted(real, 4), pop.unrelated(real, 3)):
        metric = MembershipInferenceMetric()
        assert metric.compute(real, synthetic) == 0.5
        assert metric.details["raw_gap"] <= 0.05
        assert DTCRMetric().compute(real, synthetic) > 0.95


@pytest.mark.parametrize("kind", ["numeric", "mixed"])
def test_risk_is_stable_under_order_scale_and_seed(kind):
    # 11,000 rows: more than the 10,000 queries of the default, so the seed matters.
    real = pop.draw(kind, 11000, 1)
    synthetic = pop.jitter(real, 0.05, 6)
    base = risk(real, synthetic)
    assert 0.3 < base < 0.99
    column = [name for name in real.columns if pd.api.types.is_float_dtype(real[name].dtype)][-1]
    order = np.random.RandomState(2).permutation(len(real))
    variants = [
        risk(real, synthetic, random_seed=1),
        risk(real.iloc[order], synthetic.iloc[order[::-1]]),
        risk(real.assign(**{column: real[column] * 1000.0}), synthetic.assign(**{column: synthetic[column] * 1000.0})),
    ]
    assert all(abs(value - base) <= 0.02 for value in variants), (base, variants)


def test_holdout_attack_tells_members_from_non_members():
    real, fresh, holdout = (pop.draw("mixed", 1500, seed) for seed in (1, 2, 3))
    metric = MembershipInferenceMetric(holdout=holdout)
    assert metric.compute(real, real.copy()) == 1.0
    assert abs(metric.compute(real, fresh) - 0.5) * 2 <= 0.05
    assert abs(abs(metric.compute(real, pop.copy_share(real, fresh, 0.5, 4)) - 0.5) * 2 - 0.5) <= 0.1
    assert metric.details["non_members"] == "holdout" and metric.details["queries"]["holdout"] == [1500, 1500]
    with pytest.raises(KeyError):
        MembershipInferenceMetric(holdout=holdout.drop(columns=["x"])).compute(real, fresh)


def test_sampled_queries_are_seeded_and_carry_an_interval():
    real, synthetic = pop.draw("mixed", 3000, 1), None
    synthetic = pop.jitter(real, 0.1, 2)
    metric = MembershipInferenceMetric(max_queries=500, random_seed=3)
    auc = metric.compute(real, synthetic)
    details = metric.details
    assert details["sampled"] is True and details["queries"] == {"synthetic": [500, 3000], "real_spacing": [500, 3000]}
    low, high = details["auc_interval_95"]
    assert 0.5 <= low < auc < high <= 1.0
    assert abs(MembershipInferenceMetric().compute(real, synthetic) - auc) < high - low
    assert MembershipInferenceMetric(max_queries=500, random_seed=3).compute(real, synthetic) == auc


def correlated(n_rows, rho, seed):
    """Five standard normal columns, every pair correlated by ``rho``."""
    covariance = np.full((5, 5), rho) + (1.0 - rho) * np.eye(5)
    values = np.random.RandomState(seed).multivariate_normal(np.zeros(5), covariance, size=n_rows)
    return pd.DataFrame(values, columns=list("abcde"))


@pytest.mark.parametrize("method", ["pearson_correlation_difference", "spearman_correlation_difference"])
def test_correlation_scores_fall_as_dependence_is_lost(method):
    # Every pair at 0.8: a fresh sample keeps it, halving it loses 0.4 per pair, and
    # shuffled columns (marginals kept) lose all of it.
    real = correlated(3000, 0.8, 1)

    def score(synthetic):
        return getattr(CorrelationSimilarityMetrics(real, synthetic), method)()

    assert score(real.copy()) == pytest.approx(1.0)
    assert score(correlated(3000, 0.8, 2)) > 0.95
    assert 0.5 < score(correlated(3000, 0.4, 3)) < 0.7
    assert score(pop.shuffled(real, 4)) < 0.3


def test_correlation_pairs_without_a_correlation_are_named():
    real = pop.draw("numeric", 500, 1).assign(flat=1.0)
    metrics = CorrelationSimilarityMetrics(real, pop.draw("numeric", 500, 2).assign(flat=2.0))
    assert metrics.pearson_correlation_difference() > 0.9
    skipped = metrics.details["pearson"]["skipped_pairs"]
    assert len(skipped) == 5 and all("flat" in pair for pair in skipped)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n_rows", [1000, 4000])
def test_alpha_precision_and_beta_recall_see_structure(kind, n_rows):
    real, fresh = pop.draw(kind, n_rows, 1), pop.draw(kind, n_rows, 2)
    broken = [pop.shuffled(real, 3)] + ([] if kind == "categorical" else [pop.reflected(real)])
    for metric in (AlphaPrecisionMetric(), BetaRecallMetric()):
        assert metric.compute(real, real.copy()).value == 1.0
        reference = metric.compute(real, fresh).value
        assert reference >= 0.9
        for synthetic in broken:
            assert metric.compute(real, synthetic).value <= reference - 0.1


@pytest.mark.parametrize("n_rows", [40, 15000])
def test_a_copy_fails_both_privacy_rows(n_rows):
    real = pop.draw("mixed", n_rows, 1)
    report = TabularEvaluator().evaluate(
        real, real.copy(), metrics=["membership_inference_auc", "distance_to_closest_record"]
    )
    privacy = report.privacy_metrics
    # The page passes a lower-is-better value below 0.3 and a higher-is-better one at 0.7.
    assert privacy["membership_inference_auc"].value >= 0.3
    assert privacy["distance_to_closest_record"].value < 0.7


def odd_inputs():
    real = pop.draw("mixed", 300, 1)
    tiny = real.iloc[:6].reset_index(drop=True)
    flat = real.assign(x=1.0, colour="one")
    holes = real.assign(income=np.nan, shape=None)
    huge = real.assign(income=real["income"] * 1e12)
    return {
        "unrelated": (real, pop.unrelated(real, 2)),
        "shifted": (real, pop.shifted(real, 3)),
        "tiny": (tiny, pop.draw("mixed", 6, 2)),
        "constant": (flat, flat.sample(frac=1.0, random_state=3).reset_index(drop=True)),
        "missing": (holes, pop.draw("mixed", 300, 2)),
        "huge": (huge, pop.draw("mixed", 300, 2)),
    }


@pytest.mark.parametrize("case", sorted(odd_inputs()))
def test_every_filed_score_and_the_overall_score_lie_in_the_unit_interval(case):
    real, synthetic = odd_inputs()[case]
    evaluator = TabularEvaluator(random_seed=1)
    report = evaluator.evaluate(real, synthetic)
    results = {**report.aggregate_metrics, **report.privacy_metrics}
    assert "distance_to_closest_record" in results
    undefined = [name for name, result in results.items() if math.isnan(float(result.value))]
    for name, result in results.items():
        # A utility score is undefined (NaN, with the reason) for a target no model predicts.
        if name in undefined:
            assert result.category == "utility" and "no signal" in result.details["reason"], name
        else:
            assert 0.0 <= float(result.value) <= 1.0, name
    page = evaluator.to_html(report)
    overall = float(page.split('<div class="score-value">')[1].split("<")[0])
    assert math.isnan(overall) if undefined else 0.0 <= overall <= 1.0
    assert 0.0 <= report.quality_score() <= 1.0


@pytest.mark.parametrize("kind", ["numeric", "mixed"])
def test_alpha_beta_score_a_copy_moved_by_a_hair_as_the_copy(kind):
    real = pop.draw(kind, 2000, 1)
    for metric in (AlphaPrecisionMetric(), BetaRecallMetric()):
        copy, moved = metric.compute(real, real.copy()).value, metric.compute(real, pop.jitter(real, 1e-9, 2)).value
        assert copy == 1.0 and moved >= copy - 0.01
