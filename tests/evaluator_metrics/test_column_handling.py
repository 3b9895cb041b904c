"""Per-column metrics against scipy and hand-computed values, and their handling of
categorical, boolean, datetime, mismatched and missing columns."""

import math

import numpy as np
import pandas as pd
import pytest
from scipy import stats

from velmora._metric_core.features import FeatureSpace
from velmora.evaluation.metrics.similarity import CorrelationSimilarityMetrics, UnivariateSimilarityMetrics
from velmora.tabular.evaluator.metrics.statistical.ks_complement import KSComplementMetric


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_numeric_scores_match_scipy(seed):
    rng = np.random.RandomState(seed)
    real = pd.DataFrame({"v": rng.normal(size=300).round(1)})
    synthetic = pd.DataFrame({"v": rng.normal(0.3, 1.2, size=250).round(1)})
    ks = KSComplementMetric().compute(real, synthetic)
    assert ks["v"] == pytest.approx(1.0 - stats.ks_2samp(real["v"], synthetic["v"]).statistic, abs=1e-12)
    wasserstein = UnivariateSimilarityMetrics(real, synthetic).wasserstein_distance_metric()
    expected = 1.0 - stats.wasserstein_distance(real["v"], synthetic["v"]) / np.ptp(real["v"])
    assert wasserstein["wasserstein_v"] == pytest.approx(expected, abs=1e-12)


def test_categorical_scores_by_hand():
    real = pd.DataFrame({"c": ["a", "a", "b", "b"], "flag": [True, True, False, True]})
    synthetic = pd.DataFrame({"c": ["a", "a", "a", None], "flag": [True, False, False, False]})
    # c: p = (a .5, b .5), q = (a .75, missing .25): TV = 1/2 (.25 + .5 + .25) = .5
    # flag: p = (T .75, F .25), q = (T .25, F .75): TV = .5
    assert KSComplementMetric().compute(real, synthetic) == {"c": 0.5, "flag": 0.5}
    univariate = UnivariateSimilarityMetrics(real, synthetic)
    assert univariate.total_variation_distance() == {"tv_complement_c": 0.5, "tv_complement_flag": 0.5}
    with pytest.raises(ValueError, match="every column was skipped: c: unordered categories .*; flag: unordered"):
        univariate.wasserstein_distance_metric()
    affinity = np.sqrt(0.5 * 0.75)
    hellinger = univariate.hellinger_distance()
    assert hellinger["hellinger_c"] == pytest.approx(1.0 - np.sqrt(1.0 - affinity))
    assert hellinger["hellinger_flag"] == pytest.approx(1.0 - np.sqrt(1.0 - 2 * np.sqrt(0.75 * 0.25)))


def test_keys_differ_between_methods_and_follow_column_order():
    frame = pd.DataFrame({"b": [1.0, 2.0, 3.0], "a": ["x", "y", "x"]})
    univariate = UnivariateSimilarityMetrics(frame, frame)
    assert list(univariate.wasserstein_distance_metric()) == ["wasserstein_b"]
    assert list(univariate.total_variation_distance()) == ["tv_complement_b", "tv_complement_a"]
    assert list(univariate.hellinger_distance()) == ["hellinger_b", "hellinger_a"]


def test_skipped_columns_are_named_in_details():
    real = pd.DataFrame(
        {
            "empty": [np.nan, np.nan, np.nan],
            "constant": [5.0, 5.0, 5.0],
            "text_empty": pd.Series([None, None, None], dtype=object),
            "ok": [1.0, 2.0, 3.0],
            "inf": [np.inf, -np.inf, np.nan],
        }
    )
    synthetic = pd.DataFrame(
        {
            "empty": [1.0, 2.0, 3.0],
            "constant": [5.0, 6.0, 7.0],
            "text_empty": ["a", "b", None],
            "ok": [np.nan] * 3,
            "inf": [1.0, 2.0, 3.0],
        }
    )
    ks = KSComplementMetric().compute(real, synthetic)
    assert list(ks) == ["constant"]
    assert set(ks.details["skipped"]) == {"empty", "text_empty", "ok", "inf"}
    assert "synthetic" in ks.details["skipped"]["ok"]
    assert ks["constant"] == pytest.approx(1 / 3)
    with pytest.raises(ValueError, match="constant: constant in the real data"):
        UnivariateSimilarityMetrics(real, synthetic).wasserstein_distance_metric()
    tv = UnivariateSimilarityMetrics(real, synthetic).total_variation_distance()
    assert set(tv.skipped) == {"empty", "text_empty"}
    # 'ok' is all missing in the synthetic frame: the missing bin makes TV 1.
    assert tv["tv_complement_ok"] == 0.0


def test_datetime_timezone_and_timedelta_columns_are_numeric():
    days = pd.to_datetime(["2021-01-01", "2021-01-05", "2021-02-01", None])
    real = pd.DataFrame({"when": days, "utc": days.tz_localize("UTC"), "gap": days - pd.Timestamp("2020-12-31")})
    later = pd.DataFrame(
        {
            "when": days + pd.Timedelta(days=400),
            "utc": (days + pd.Timedelta(days=400)).tz_localize("UTC"),
            "gap": days - pd.Timestamp("2019-12-31"),
        }
    )
    assert KSComplementMetric().compute(real, real) == {"when": 1.0, "utc": 1.0, "gap": 1.0}
    assert KSComplementMetric().compute(real, later) == {"when": 0.0, "utc": 0.0, "gap": 0.0}
    assert CorrelationSimilarityMetrics(real, real).pearson_correlation_difference() == pytest.approx(1.0)


def test_mismatched_dtypes_compare_as_categories():
    real = pd.DataFrame({"v": [1, 2, 2, 3]})
    synthetic = pd.DataFrame({"v": ["1", "2", "2", "x"]})
    scores = KSComplementMetric().compute(real, synthetic)
    assert scores == {"v": 0.0}


def test_numeric_binning_shared_and_open_ended():
    rng = np.random.RandomState(0)
    real = pd.DataFrame({"v": rng.normal(size=1000)})
    far = pd.DataFrame({"v": rng.normal(size=1000) + 100.0})
    assert UnivariateSimilarityMetrics(real, far).total_variation_distance()["tv_complement_v"] == pytest.approx(
        0.05, abs=1e-12
    )
    assert UnivariateSimilarityMetrics(real, real).hellinger_distance()["hellinger_v"] == pytest.approx(1.0)


def test_explicit_columns_must_exist_in_both_frames():
    frame = pd.DataFrame({"a": [1.0, 2.0]})
    assert KSComplementMetric().compute(frame, frame, columns=[]) == {}
    with pytest.raises(KeyError):
        KSComplementMetric().compute(frame, frame, columns=["b"])


def test_feature_space_standardises_one_hot_encodes_and_flags_missing():
    real = pd.DataFrame({"n": [0.0, 3.0, np.nan], "c": ["a", "b", None]})
    synthetic = pd.DataFrame({"n": [1.5, 1.5, 1.5], "c": ["b", "zzz", "a"]})
    space = FeatureSpace(real, synthetic)
    matrix = space.transform(synthetic)
    half = 1 / np.sqrt(2)
    # n: (value - 1.5) / 1.5, missing flag; c: one-hot over a, b, <missing>, then "other"
    assert space.n_features == 2 + 4
    assert matrix[0, :2].tolist() == [0.0, 0.0]
    real_matrix = space.transform(real)
    assert real_matrix[:, 0].tolist() == [-1.0, 1.0, 0.0] and real_matrix[:, 1].tolist() == [0.0, 0.0, 1.0]
    assert (np.round(matrix[:, 2:] / half)).tolist() == [[0, 1, 0, 0], [0, 0, 0, 1], [1, 0, 0, 0]]
    with pytest.raises(ValueError):
        FeatureSpace(pd.DataFrame({"a": [np.nan]}), pd.DataFrame({"a": [1.0]}))


def odd_frame(seed):
    rng = np.random.RandomState(seed)
    n = 300
    frame = pd.DataFrame(
        {
            "nullable_int": pd.array(
                np.where(rng.uniform(size=n) < 0.1, None, rng.randint(0, 50, size=n)), dtype="Int64"
            ),
            "nullable_bool": pd.array(
                np.where(rng.uniform(size=n) < 0.1, None, rng.uniform(size=n) < 0.5), dtype="boolean"
            ),
            "text": pd.array(rng.choice(["a", "b", None], size=n), dtype="string"),
            "category": pd.Categorical(rng.choice(["x", "y", "z"], size=n)),
            "float32": rng.normal(size=n).astype(np.float32),
            "lists": [[int(v)] for v in rng.randint(0, 3, size=n)],
        },
        index=np.repeat(np.arange(n // 2), 2),
    )
    return frame


def test_odd_dtypes_and_duplicate_index_run_through_every_metric():
    from velmora.evaluation.metrics.similarity import MultivariateSimilarityMetrics
    from velmora.evaluation.metrics.utility import PredictionAgreementMetrics
    from velmora.tabular.evaluator.metrics.fidelity.beta_recall import BetaRecallMetric
    from velmora.tabular.evaluator.metrics.privacy.distance_to_closest_record import DTCRMetric
    from velmora.tabular.evaluator.metrics.utility.tstr import TSTRNormalizedMetric

    real, synthetic = odd_frame(0), odd_frame(1)
    ks = KSComplementMetric().compute(real, synthetic)
    assert list(ks) == list(real.columns) and all(0.7 < value <= 1.0 for value in ks.values())
    univariate = UnivariateSimilarityMetrics(real, synthetic)
    for scores in (
        univariate.wasserstein_distance_metric(),
        univariate.total_variation_distance(),
        univariate.hellinger_distance(),
    ):
        assert len(scores) + len(scores.skipped) == len(real.columns) and all(
            0.7 < value <= 1.0 for value in scores.values()
        )
    assert set(univariate.wasserstein_distance_metric()) == {"wasserstein_nullable_int", "wasserstein_float32"}
    assert 0.7 < CorrelationSimilarityMetrics(real, synthetic).pearson_correlation_difference() <= 1.0
    assert 0.5 < MultivariateSimilarityMetrics(real, synthetic).mmd_rbf() <= 1.0
    assert DTCRMetric().compute(real, real) == 0.0
    assert BetaRecallMetric().compute(real, real).value > 0.95
    for target in ("nullable_bool", "text", "nullable_int"):
        agreement = PredictionAgreementMetrics(real, synthetic, target)
        value = agreement.prediction_agreement_percentage()
        assert 0.0 <= value <= 1.0 or (math.isnan(value) and "no signal" in agreement.details["reason"])
    assert TSTRNormalizedMetric(target="category").compute(real, real).details["task"] == "classification"
