import pandas as pd
import pytest

from velmora.tabular.evaluator.metrics.privacy.distance_to_closest_record import DTCRMetric
from velmora.tabular.evaluator.metrics.privacy.membership_inference import MembershipInferenceMetric


def test_dcr_by_hand():
    # Real values 0 and 3 standardise to -1 and 1 (mean 1.5, sd 1.5), 2 apart; synthetic
    # 1 to -1/3: 2/3 and 4/3 from the real records, a third and two thirds of their spacing
    # (real side 1/2); the synthetic record is 2/3 from its nearest real record, a third
    # of that record's spacing (synthetic side 1/3, the smaller).
    real = pd.DataFrame({"v": [0.0, 3.0]})
    synthetic = pd.DataFrame({"v": [1.0]})
    metric = DTCRMetric()
    assert metric.compute(real, synthetic) == pytest.approx(1 / 3)
    assert metric.details["real_side"] == pytest.approx(0.5)
    assert metric.details["n_real"] == 2 and metric.details["sampled"] is False
    assert metric.details["mean_distance"] == pytest.approx(1.0)
    assert metric.details["value_interval_95"] == [pytest.approx(1 / 3)] * 2


def test_dcr_is_zero_for_a_copy_and_grows_with_distance(real, same_population, shifted):
    metric = DTCRMetric()
    assert metric.compute(real, real.copy()) == 0.0
    assert metric.details["share_exact_copies"] == 1.0
    assert 0.0 < metric.compute(real, same_population) < metric.compute(real, shifted)


def test_dcr_sample_cap_is_seeded_and_recorded(real, same_population):
    first = DTCRMetric(max_queries=100, random_seed=7)
    value = first.compute(real, same_population)
    assert first.details["sampled"] is True and first.details["queries"]["real"] == [100, 600]
    low, high = first.details["value_interval_95"]
    assert low < value < high and high - low < 0.2
    assert DTCRMetric(max_queries=100, random_seed=7).compute(real, same_population) == value
    assert DTCRMetric(max_queries=100, random_seed=8).compute(real, same_population) != value


def test_membership_inference_without_holdout(real, same_population):
    metric = MembershipInferenceMetric()
    assert metric.compute(real, real.copy()) > 0.95
    assert metric.details["non_members"] == "real distinct spacing"
    assert abs(metric.compute(real, same_population) - 0.5) < 0.1


def test_membership_inference_with_holdout(real, same_population, shifted):
    copied = MembershipInferenceMetric(holdout=same_population).compute(real, real.copy())
    assert copied == 1.0
    fresh = MembershipInferenceMetric(holdout=same_population.iloc[:300])
    assert abs(fresh.compute(real, shifted) - 0.5) < 0.15
    assert fresh.details["non_members"] == "holdout" and fresh.details["n_holdout"] == 300
    with pytest.raises(ValueError):
        MembershipInferenceMetric(holdout=real.iloc[:0]).compute(real, real)


@pytest.mark.parametrize("metric", [DTCRMetric(), MembershipInferenceMetric()])
def test_empty_frames_are_refused(metric, real):
    with pytest.raises(ValueError, match="no rows"):
        metric.compute(real, real.iloc[:0])
