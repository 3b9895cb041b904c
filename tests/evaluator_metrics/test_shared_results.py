"""The results the metrics share: category codes, coded rows, sorted columns,
correlation matrices, nearest-neighbour searches and prepared tasks, stored under the
contents of the frames. Shared results equal fresh ones, and a frame changed in place
between two calls is computed anew."""

import gc

import kernel_reference as reference
import numpy as np
import pandas as pd
import pytest
from conftest import mixed
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from velmora._metric_core import columns as sorted_columns
from velmora._metric_core import data as column_data
from velmora._metric_core import models
from velmora._metric_core.columns import correlation_matrix
from velmora._metric_core.data import category_codes, category_labels
from velmora._metric_core.features import FeatureSpace, NumericFeature
from velmora.evaluation.metrics.similarity import CorrelationSimilarityMetrics, _numeric_frequencies
from velmora.evaluation.metrics.utility import PredictionAgreementMetrics
from velmora.tabular.evaluator.metrics import _neighbours, clear_shared_results
from velmora.tabular.evaluator.metrics.fidelity.alpha_precision import AlphaPrecisionMetric
from velmora.tabular.evaluator.metrics.fidelity.beta_recall import BetaRecallMetric
from velmora.tabular.evaluator.metrics.privacy.distance_to_closest_record import DTCRMetric
from velmora.tabular.evaluator.metrics.privacy.membership_inference import MembershipInferenceMetric
from velmora.tabular.evaluator.metrics.statistical.ks_complement import KSComplementMetric
from velmora.tabular.evaluator.metrics.utility.tstr import TSTRNormalizedMetric


def forget_everything():
    clear_shared_results()
    stores = (
        _neighbours._EMBEDDED,
        column_data._CODES,
        sorted_columns._ORDERS,
        sorted_columns._MATRICES,
        models._TASKS,
    )
    assert not any(len(store) for store in stores) and not _neighbours.STORE._entries


@pytest.mark.parametrize(
    "values",
    [
        np.array(["a", None, "b", np.nan, "<missing>", "a", pd.NA], dtype=object),
        np.array([1, 1.0, True, "1", 2, None], dtype=object),
        np.array([True, False, True]),
        pd.array([True, None, False], dtype="boolean"),
        pd.Categorical(["x", None, "y", "x"]),
        pd.array(["p", None, "q"], dtype="string"),
    ],
)
def test_category_codes_give_the_labels_of_category_labels(values):
    series = pd.Series(values)
    codes = category_codes(series)
    labels = category_labels(series).tolist()
    assert [codes.labels[code] for code in codes.codes] == labels
    # Equal labels share a code, and only they do.
    assert len(codes.labels) == len(pd.unique(pd.Series(labels, dtype=object)))


def test_coded_rows_are_the_one_hot_rows():
    real, synthetic = mixed(300, 1), mixed(300, 3, shift=1.0)
    space = FeatureSpace(real, synthetic, max_categories=3)
    coded, one_hot = space.encode(synthetic), space.transform(synthetic)
    coded_at = one_hot_at = 0
    for feature in space.features:
        if isinstance(feature, NumericFeature):
            width = 2 if feature.indicator else 1
            np.testing.assert_array_equal(
                one_hot[:, one_hot_at : one_hot_at + width], coded[:, coded_at : coded_at + width]
            )
            assert not space.categorical_flags[coded_at : coded_at + width].any()
            coded_at, one_hot_at = coded_at + width, one_hot_at + width
        else:
            width = len(feature.kept) + 1
            np.testing.assert_array_equal(
                one_hot[:, one_hot_at : one_hot_at + width].argmax(axis=1), coded[:, coded_at]
            )
            assert space.categorical_flags[coded_at] == 1
            coded_at, one_hot_at = coded_at + 1, one_hot_at + width
    assert (coded_at, one_hot_at) == (coded.shape[1], space.n_features)


def frames_with_holes(seed):
    rng = np.random.RandomState(seed)
    frame = pd.DataFrame(rng.normal(size=(400, 4)), columns=list("abcd"))
    frame["d"] = np.round(frame["d"])
    frame.loc[rng.uniform(size=400) < 0.2, "b"] = np.nan
    frame.loc[rng.uniform(size=400) < 0.1, "c"] = np.inf
    frame["flat"] = 3.0
    frame["flag"] = (rng.uniform(size=400) < 0.3).astype(np.float64)
    return frame


@pytest.mark.parametrize("method", ["pearson", "spearman"])
def test_correlation_matrices_match_pandas(method):
    frame = frames_with_holes(0)
    finite = frame.where(np.isfinite(frame), np.nan)
    got = correlation_matrix([finite[column].to_numpy() for column in finite.columns], method)
    expected = finite.corr(method=method).to_numpy()
    np.testing.assert_array_equal(np.isnan(got), np.isnan(expected))
    np.testing.assert_allclose(got, expected, rtol=0, atol=1e-12)


numbers = hnp.arrays(
    np.float64,
    st.integers(1, 200),
    elements=st.one_of(st.integers(-4, 4).map(float), st.floats(-1e6, 1e6), st.just(np.nan), st.just(np.inf)),
)


@settings(max_examples=80, deadline=None)
@given(real=numbers, synthetic=numbers, n_bins=st.integers(1, 12))
def test_frequencies_from_sorted_columns_match_the_plain_binning(real, synthetic, n_bins):
    if not np.isfinite(real).any():
        return
    got = _numeric_frequencies(pd.Series(real), pd.Series(synthetic), n_bins)
    expected = reference.numeric_frequencies(real, synthetic, n_bins)
    for got_part, expected_part in zip(got, expected):
        np.testing.assert_array_equal(got_part, expected_part)


def scores(real, synthetic):
    """Every metric that shares results, on small query budgets (so that queries are
    sampled), in the order the evaluator runs them."""
    budget = {"max_pairs": 1}
    return [
        dict(KSComplementMetric().compute(real, synthetic)),
        CorrelationSimilarityMetrics(real, synthetic).spearman_correlation_difference(),
        PredictionAgreementMetrics(real, synthetic, "x").prediction_agreement_percentage(),
        AlphaPrecisionMetric(**budget).compute(real, synthetic).value,
        BetaRecallMetric(**budget).compute(real, synthetic).value,
        MembershipInferenceMetric(**budget).compute(real, synthetic),
        DTCRMetric(**budget).compute(real, synthetic),
        TSTRNormalizedMetric().compute(real, synthetic).value,
    ]


def fresh_scores(real, synthetic):
    forget_everything()
    return scores(real, synthetic)


def test_shared_results_equal_fresh_ones_and_follow_changes_in_place():
    real, synthetic = mixed(1500, 1), mixed(1500, 2)
    forget_everything()
    shared = scores(real, synthetic)
    # Each metric alone, from nothing stored, gives what it gave after the others.
    for position in range(len(shared)):
        forget_everything()
        assert scores(real, synthetic)[position] == shared[position]
    # The same cells changed in place: a number, a label (object column), a date.
    synthetic.iloc[:300, synthetic.columns.get_loc("y")] = real["y"].to_numpy()[:300]
    synthetic.iloc[:300, synthetic.columns.get_loc("colour")] = "grey"
    real.iloc[:10, real.columns.get_loc("when")] = pd.Timestamp("2030-01-01")
    changed = scores(real, synthetic)
    assert changed == fresh_scores(real, synthetic)
    assert changed != shared


def test_what_came_from_whole_frames_is_released_with_them():
    forget_everything()
    real, synthetic = mixed(400, 1), mixed(400, 2)
    AlphaPrecisionMetric().compute(real, synthetic)
    TSTRNormalizedMetric().compute(real, synthetic)
    assert len(_neighbours._EMBEDDED) == 1 and len(models._TASKS) == 1
    del synthetic
    gc.collect()
    assert len(_neighbours._EMBEDDED) == 0 and len(models._TASKS) == 0


def test_a_budget_samples_queries_as_prefixes_of_one_seeded_order():
    real, synthetic = mixed(3000, 1), mixed(3000, 2)
    big = DTCRMetric(max_queries=800)
    big.compute(real, synthetic)
    small = DTCRMetric(max_queries=300)
    small.compute(real, synthetic)
    assert big.details["queries"]["real"] == [800, 3000] and small.details["queries"]["real"] == [300, 3000]
    order = _neighbours.seeded_order(3000, 0, _neighbours.REAL)
    assert set(_neighbours.sample_queries(np.arange(3000), 3000, 300, 0, _neighbours.REAL)) == set(order[:300])
    budget = _neighbours.DEFAULT_MAX_PAIRS
    assert [_neighbours.query_cap(n, budget, None) for n in (20_000, 100_000, 10**6)] == [20_000, 4000, 1000]
    assert _neighbours.query_cap(20_000, budget, 500) == 500
    assert _neighbours.query_cap(20_000, None, None) is None


def test_utility_metrics_score_a_seeded_sample_of_the_held_out_rows():
    real, synthetic = mixed(600, 1), mixed(600, 2)
    capped = TSTRNormalizedMetric(max_test_rows=50).compute(real, synthetic)
    assert capped.details["n_test"] == 50 and capped.details["split"]["n_test"] == 180
    # Under the cap nothing is sampled: the value of no cap at all.
    uncapped = TSTRNormalizedMetric(max_test_rows=None).compute(real, synthetic)
    assert TSTRNormalizedMetric(max_test_rows=180).compute(real, synthetic).value == uncapped.value
    assert uncapped.details["n_test"] == 180


def test_text_labels_of_numbers_in_object_columns_keep_their_text():
    # 1 and 1.0 are one label but two texts: rows holding them are not copies.
    real = pd.DataFrame({"v": np.array([1, 2, 3], dtype=object), "w": [0.5, 1.5, 2.5]})
    as_floats = pd.DataFrame({"v": np.array([1.0, 2.0, 3.0], dtype=object), "w": [0.5, 1.5, 2.5]})
    metric = DTCRMetric()
    metric.compute(real, as_floats)
    assert metric.details["share_exact_copies"] == 0.0
    metric.compute(real, real.copy())
    assert metric.details["share_exact_copies"] == 1.0


@pytest.mark.parametrize("storage", [None, "python"])
def test_mutable_cells_and_string_columns_never_give_a_stale_answer(storage):
    # Cells holding lists change in place without the column changing: never stored.
    real = pd.DataFrame({"a": np.arange(60.0), "tags": [[i % 4] for i in range(60)]})
    synthetic = pd.DataFrame({"a": np.arange(60.0), "tags": [[i % 4 + 1] for i in range(60)]})
    if storage is not None:  # text in pandas' string dtype is stored and served by its contents
        real["tags"] = pd.array([str(cell) for cell in real["tags"]], dtype=pd.StringDtype(storage))
        synthetic["tags"] = pd.array([str(cell) for cell in synthetic["tags"]], dtype=pd.StringDtype(storage))
    before = DTCRMetric().compute(real, synthetic)
    if storage is None:
        for cell, copied in zip(synthetic["tags"], real["tags"]):
            cell[:] = copied
    else:
        synthetic["tags"] = real["tags"].copy()
    after = DTCRMetric().compute(real, synthetic)
    forget_everything()
    assert after == DTCRMetric().compute(real, synthetic) == 0.0 != before


def test_clearing_while_another_thread_evaluates_is_safe():
    import threading

    real, synthetic = mixed(300, 1), mixed(300, 2)
    errors = []

    def evaluate():
        try:
            for _ in range(3):
                scores(real, synthetic)
        except Exception as error:  # noqa: BLE001 - the failure is what the test looks for
            errors.append(error)

    worker = threading.Thread(target=evaluate)
    worker.start()
    while worker.is_alive():
        clear_shared_results()
    worker.join()
    assert errors == []


def test_cleared_results_keep_no_cell_of_a_deleted_frame_alive():
    import sys

    real = mixed(300, 1)
    label = "".join(["a label", " of its own"])  # a new object, not interned
    baseline = sys.getrefcount(label)
    for seed in range(3):
        synthetic = mixed(300, seed + 2)
        synthetic["colour"] = np.array([label, "other"] * 150, dtype=object)
        scores(real, synthetic)
        del synthetic
    clear_shared_results()
    gc.collect()
    assert sys.getrefcount(label) == baseline


def test_one_evaluation_digests_each_column_once(monkeypatch):
    from velmora._metric_core import _metric_kernels, kernels
    from velmora._metric_core.stores import metric_scope
    from velmora.tabular.evaluator.evaluator import TabularEvaluator

    digested = []
    original = _metric_kernels.content_digest
    monkeypatch.setattr(
        kernels._metric_kernels, "content_digest", lambda values: digested.append(1) or original(values)
    )
    real, synthetic = mixed(400, 1), mixed(400, 2)
    clear_shared_results()
    TabularEvaluator().evaluate(real, synthetic)
    once = len(digested)
    clear_shared_results()
    digested.clear()
    with metric_scope():  # nested scopes: the outer one holds the digests
        TabularEvaluator().evaluate(real, synthetic)
        TabularEvaluator().evaluate(real, synthetic)
    assert len(digested) == once
    # Outside a scope, a column changed in place is digested anew.
    values = np.arange(10.0)
    first = kernels.content_digest(values)
    values[3] = -1.0
    assert kernels.content_digest(values) != first
