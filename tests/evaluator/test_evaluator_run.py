"""TabularEvaluator.evaluate against recording stub sister modules."""

import sys
import types

import numpy as np
import pandas as pd
import pytest
from evaluator_stubs import ALPHA, BETA, DTCR, KS, MIA, REPORT, SIMILARITY, TSTR, UTILITY

DESCRIPTIONS = {
    "ks_complement": "1 - KS statistic. Higher = better fidelity.",
    "wasserstein": "Normalised Wasserstein distance. Higher = better fidelity.",
    "total_variation": "1 - Total Variation distance. Higher = better fidelity.",
    "hellinger": "1 - Hellinger distance. Higher = better fidelity.",
    "pearson_correl_diff": "1 - avg |Pearson(r_real) - Pearson(r_synth)|. Higher = better.",
    "spearman_correl_diff": "1 - avg |Spearman(r_real) - Spearman(r_synth)|. Higher = better.",
    "correlation_matrix_distance": "Frobenius similarity of correlation matrices. Higher = better.",
    "mmd": "MMD with RBF kernel. Higher = better fidelity.",
    "prediction_agreement": "Agreement between models trained on real vs synthetic. Higher = better.",
}

DEFAULT_SUITE_FILED = [
    ("ks_complement_a", None),
    ("ks_complement_b", None),
    ("wasserstein_a", None),
    ("wasserstein_b", None),
    ("tv_complement_a", None),
    ("hellinger_a", None),
    ("pearson_correl_diff", None),
    ("spearman_correl_diff", None),
    ("correlation_matrix_distance", None),
    ("mmd_rbf", None),
    ("prediction_agreement", None),
    ("alpha_precision", None),
    ("beta_recall", None),
    ("membership_inference_auc", "privacy"),
    ("distance_to_closest_record", "privacy"),
    ("tstr_normalized", None),
]


def events_of(sisters, kind):
    return [event for event in sisters.events if event[0] == kind]


def calls(sisters):
    return [event[1] for event in events_of(sisters, "call")]


def test_default_suite_files_every_result_in_order(sisters, TabularEvaluator, frames):
    real, synthetic = frames
    report = TabularEvaluator(random_seed=5).evaluate(real, synthetic)
    assert sisters.filed(report) == DEFAULT_SUITE_FILED
    assert calls(sisters) == [
        "KSComplementMetric.compute",
        "UnivariateSimilarityMetrics.wasserstein_distance_metric",
        "UnivariateSimilarityMetrics.total_variation_distance",
        "UnivariateSimilarityMetrics.hellinger_distance",
        "CorrelationSimilarityMetrics.pearson_correlation_difference",
        "CorrelationSimilarityMetrics.spearman_correlation_difference",
        "MultivariateSimilarityMetrics.correlation_matrix_distance",
        "MultivariateSimilarityMetrics.mmd_rbf",
        "PredictionAgreementMetrics.prediction_agreement_percentage",
        "AlphaPrecisionMetric.compute",
        "BetaRecallMetric.compute",
        "MembershipInferenceMetric.compute",
        "DTCRMetric.compute",
        "TSTRNormalizedMetric.compute",
    ]
    assert isinstance(report.evaluation_time_seconds, float) and report.evaluation_time_seconds >= 0


def test_every_metric_gets_the_frames_real_first(sisters, TabularEvaluator, frames):
    real, synthetic = frames
    TabularEvaluator(random_seed=5).evaluate(real, synthetic)
    for _, class_name, args, kwargs in events_of(sisters, "build"):
        if class_name == "TSTRNormalizedMetric":
            assert (args, kwargs) == ((), {"random_seed": 5})
        elif class_name == "PredictionAgreementMetrics":
            assert args[:2] == (real, synthetic) and len(args) == 3 and kwargs == {}
        elif class_name.endswith("SimilarityMetrics"):
            assert args[0] is real and args[1] is synthetic and len(args) == 2 and kwargs == {}
        else:
            assert (args, kwargs) == ((), {}), class_name
    for _, name, args, kwargs in events_of(sisters, "call"):
        if name.endswith(".compute"):
            assert args[0] is real and args[1] is synthetic and len(args) == 2
            assert kwargs == ({"columns": kwargs["columns"]} if name.startswith("KS") else {})
        else:
            assert (args, kwargs) == ((), {})


def test_loop_results_carry_their_keywords(sisters, TabularEvaluator, frames):
    real, synthetic = frames
    TabularEvaluator().evaluate(real, synthetic)
    built = {event[1]["name"]: event[1] for event in events_of(sisters, "MetricResult")}
    expected_values = {
        "ks_complement_a": 0.9,
        "wasserstein_b": 0.6,
        "tv_complement_a": 0.95,
        "hellinger_a": 0.85,
        "pearson_correl_diff": 0.81,
        "spearman_correl_diff": 0.82,
        "correlation_matrix_distance": 0.83,
        "mmd_rbf": 0.84,
        "prediction_agreement": 0.86,
    }
    metric_of = {
        "ks_complement_a": "ks_complement",
        "wasserstein_b": "wasserstein",
        "tv_complement_a": "total_variation",
        "hellinger_a": "hellinger",
        "mmd_rbf": "mmd",
    }
    for name, value in expected_values.items():
        kwargs = built[name]
        assert list(kwargs) == ["name", "value", "category", "higher_is_better", "description"]
        assert kwargs["value"] == value
        assert kwargs["higher_is_better"] is True
        assert kwargs["category"] == ("utility" if name == "prediction_agreement" else "statistical")
        assert kwargs["description"] == DESCRIPTIONS[metric_of.get(name, name)]


def test_report_is_built_with_counts_and_generator_name(sisters, TabularEvaluator, frames):
    real, synthetic = frames
    report = TabularEvaluator().evaluate(real, synthetic, metrics=["unknown"])
    assert list(report.kwargs.items()) == [
        ("real_data_n_rows", 3),
        ("synthetic_data_n_rows", 2),
        ("n_columns", 3),
        ("generator_name", "NoneType"),
    ]
    assert report.filed == []
    assert isinstance(report.evaluation_time_seconds, float)


def test_ks_complement_gets_the_shared_columns(sisters, TabularEvaluator, frames):
    real, synthetic = frames
    TabularEvaluator().evaluate(real, synthetic, metrics=["ks_complement"])
    ((_, _, _, kwargs),) = events_of(sisters, "call")
    assert type(kwargs["columns"]) is list and sorted(kwargs["columns"]) == ["a", "b"]


def test_ks_complement_without_shared_columns(sisters, TabularEvaluator):
    sisters.outputs["ks"] = {}
    TabularEvaluator().evaluate(pd.DataFrame({"x": [1]}), pd.DataFrame({"y": [2]}), metrics=["ks_complement"])
    ((_, _, _, kwargs),) = events_of(sisters, "call")
    assert kwargs == {"columns": []}


def test_ks_result_names_use_str_of_the_label(sisters, TabularEvaluator, frames):
    real, synthetic = frames
    sisters.outputs["ks"] = {0: 0.5, ("a", 1): 0.25, 2.5: 1.0}
    report = TabularEvaluator().evaluate(real, synthetic, metrics=["ks_complement"])
    assert [name for name, _ in sisters.filed(report)] == [
        "ks_complement_0",
        "ks_complement_('a', 1)",
        "ks_complement_2.5",
    ]


@pytest.mark.parametrize(
    "output, error, message",
    [
        (RuntimeError("ks failed"), RuntimeError, "ks failed"),
        (None, AttributeError, "'NoneType' object has no attribute 'items'"),
    ],
)
def test_ks_complement_is_not_guarded(sisters, TabularEvaluator, frames, output, error, message):
    real, synthetic = frames
    sisters.outputs["ks"] = output
    with pytest.raises(error) as caught:
        TabularEvaluator().evaluate(real, synthetic, metrics=["mmd", "ks_complement", "hellinger"])
    assert str(caught.value) == message
    # The run ended at ks_complement: hellinger never ran.
    assert calls(sisters)[-1] == "KSComplementMetric.compute"


def test_missing_ks_module_ends_the_run(sisters, TabularEvaluator, frames, monkeypatch):
    monkeypatch.setitem(sys.modules, KS, None)
    real, synthetic = frames
    with pytest.raises(ImportError):
        TabularEvaluator().evaluate(real, synthetic)


def test_missing_ks_class_raises_the_from_import_error(sisters, TabularEvaluator, frames):
    del sisters.modules[KS].KSComplementMetric
    real, synthetic = frames
    with pytest.raises(ImportError) as caught:
        TabularEvaluator().evaluate(real, synthetic, metrics=["ks_complement"])
    assert str(caught.value) == f"cannot import name 'KSComplementMetric' from '{KS}' (unknown location)"
    assert caught.value.name == KS


@pytest.mark.parametrize(
    "metric, output_key",
    [
        ("wasserstein", "wasserstein"),
        ("total_variation", "total_variation"),
        ("hellinger", "hellinger"),
        ("pearson_correl_diff", "pearson"),
        ("spearman_correl_diff", "spearman"),
        ("correlation_matrix_distance", "correlation_matrix"),
        ("mmd", "mmd"),
        ("prediction_agreement", "prediction_agreement"),
        ("alpha_precision", "alpha_precision"),
        ("beta_recall", "beta_recall"),
        ("membership_inference_auc", "mia"),
        ("distance_to_closest_record", "dtcr"),
        ("tstr_normalized", "tstr_normalized"),
    ],
)
def test_guarded_metric_failure_leaves_no_trace(sisters, TabularEvaluator, frames, metric, output_key):
    real, synthetic = frames
    sisters.outputs[output_key] = ValueError("cannot compute")
    evaluator = TabularEvaluator()
    report = evaluator.evaluate(real, synthetic)
    expected = [entry for entry in DEFAULT_SUITE_FILED if not _belongs_to(entry[0], metric)]
    assert sisters.filed(report) == expected
    assert len(expected) < len(DEFAULT_SUITE_FILED)


def _belongs_to(result_name, metric):
    prefixes = {
        "wasserstein": "wasserstein_",
        "total_variation": "tv_complement_",
        "hellinger": "hellinger_",
        "mmd": "mmd_rbf",
    }
    return result_name.startswith(prefixes.get(metric, metric))


@pytest.mark.parametrize(
    "module_name, lost",
    [
        (
            SIMILARITY,
            {
                "wasserstein_a",
                "wasserstein_b",
                "tv_complement_a",
                "hellinger_a",
                "pearson_correl_diff",
                "spearman_correl_diff",
                "correlation_matrix_distance",
                "mmd_rbf",
            },
        ),
        (UTILITY, {"prediction_agreement"}),
        (ALPHA, {"alpha_precision"}),
        (BETA, {"beta_recall"}),
        (MIA, {"membership_inference_auc"}),
        (DTCR, {"distance_to_closest_record"}),
        (TSTR, {"tstr_normalized"}),
    ],
)
def test_missing_guarded_module_leaves_no_trace(sisters, TabularEvaluator, frames, monkeypatch, module_name, lost):
    monkeypatch.setitem(sys.modules, module_name, None)
    real, synthetic = frames
    report = TabularEvaluator().evaluate(real, synthetic)
    assert sisters.filed(report) == [entry for entry in DEFAULT_SUITE_FILED if entry[0] not in lost]


def test_results_filed_before_a_guarded_failure_stay(sisters, TabularEvaluator, frames):
    class FailsHalfway:
        def items(self):
            yield "wasserstein_a", 0.5
            raise ZeroDivisionError("mid-way")

    sisters.outputs["wasserstein"] = FailsHalfway()
    real, synthetic = frames
    report = TabularEvaluator().evaluate(real, synthetic, metrics=["wasserstein", "hellinger"])
    assert sisters.filed(report) == [("wasserstein_a", None), ("hellinger_a", None)]


def test_filing_failure_is_guarded(sisters, TabularEvaluator, frames):
    report_class = sisters.modules[REPORT].EvaluationReport
    original = report_class.add_metric

    def add_metric(self, result, **kwargs):
        if result.name == "mmd_rbf":
            raise KeyError("full")
        original(self, result, **kwargs)

    report_class.add_metric = add_metric
    real, synthetic = frames
    report = TabularEvaluator().evaluate(real, synthetic, metrics=["mmd", "pearson_correl_diff"])
    assert sisters.filed(report) == [("pearson_correl_diff", None)]


@pytest.mark.parametrize(
    "metric, output_key",
    [
        ("hellinger", "hellinger"),
        ("prediction_agreement", "prediction_agreement"),
        ("alpha_precision", "alpha_precision"),
        ("membership_inference_auc", "mia"),
        ("tstr_normalized", "tstr_normalized"),
    ],
)
@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_non_exceptions_propagate_from_guarded_metrics(sisters, TabularEvaluator, frames, metric, output_key, error):
    sisters.outputs[output_key] = error()
    real, synthetic = frames
    with pytest.raises(error):
        TabularEvaluator().evaluate(real, synthetic, metrics=[metric])


def test_tstr_is_filed_last_and_repeats_run_once(sisters, TabularEvaluator, frames):
    real, synthetic = frames
    metrics = [
        "tstr_normalized",
        "tstr_normalized",
        "distance_to_closest_record",
        "beta_recall",
        "wasserstein",
        "alpha_precision",
        "membership_inference_auc",
        "wasserstein",
        "beta_recall",
        "distance_to_closest_record",
    ]
    report = TabularEvaluator().evaluate(real, synthetic, metrics=metrics)
    assert sisters.filed(report) == [
        ("wasserstein_a", None),
        ("wasserstein_b", None),
        ("wasserstein_a", None),
        ("wasserstein_b", None),
        ("alpha_precision", None),
        ("beta_recall", None),
        ("membership_inference_auc", "privacy"),
        ("distance_to_closest_record", "privacy"),
        ("tstr_normalized", None),
    ]


@pytest.mark.parametrize(
    "metrics, settings",
    [
        (["alpha_precision"], {"compute_alpha_beta": False}),
        (["beta_recall"], {"compute_alpha_beta": False}),
        (["membership_inference_auc"], {"compute_privacy": False}),
        (["distance_to_closest_record"], {"compute_privacy": None}),
        (["nnd_ratio", "nn_adversarial_accuracy"], {}),
        (["not_a_metric", "KS_COMPLEMENT"], {}),
    ],
)
def test_names_that_file_nothing(sisters, TabularEvaluator, frames, metrics, settings):
    real, synthetic = frames
    report = TabularEvaluator(**settings).evaluate(real, synthetic, metrics=metrics)
    assert report.filed == []
    assert calls(sisters) == []
    assert isinstance(report.evaluation_time_seconds, float)


def test_gates_are_read_from_the_instance_at_run_time(sisters, TabularEvaluator, frames):
    real, synthetic = frames
    evaluator = TabularEvaluator()
    evaluator.compute_alpha_beta = 0
    evaluator.compute_privacy = []
    report = evaluator.evaluate(
        real, synthetic, metrics=["alpha_precision", "membership_inference_auc", "tstr_normalized"]
    )
    assert sisters.filed(report) == [("tstr_normalized", None)]


def test_per_call_metrics_override_the_evaluator(sisters, TabularEvaluator, frames):
    real, synthetic = frames
    evaluator = TabularEvaluator(metrics=["mmd"])
    assert sisters.filed(evaluator.evaluate(real, synthetic)) == [("mmd_rbf", None)]
    assert sisters.filed(evaluator.evaluate(real, synthetic, metrics=["pearson_correl_diff"])) == [
        ("pearson_correl_diff", None)
    ]
    assert sisters.filed(evaluator.evaluate(real, synthetic, metrics=[])) == [("mmd_rbf", None)]


@pytest.mark.parametrize(
    "real, target",
    [
        (pd.DataFrame({"a": [1.0, 1.0, np.nan], "b": ["x", "y", "x"], "c": [1, 2, 3]}), "b"),
        (pd.DataFrame({"a": [np.nan, np.nan], "b": [5, 6]}), "b"),
        (pd.DataFrame({"a": [1, 2], "b": [5, 6]}), "a"),
    ],
)
def test_prediction_agreement_target(sisters, TabularEvaluator, real, target):
    report = TabularEvaluator().evaluate(real, real.copy(), metrics=["prediction_agreement"])
    ((_, _, args, _),) = events_of(sisters, "build")
    assert args[2] == target
    assert sisters.filed(report) == [("prediction_agreement", None)]


@pytest.mark.parametrize(
    "real",
    [
        pd.DataFrame({0: [1, 2], "b": [5, 6]}),
        pd.DataFrame({"": [1, 2]}),
        pd.DataFrame({"a": [1, 1], "b": [np.nan, 3.0]}),
        pd.DataFrame({"a": [], "b": []}),
    ],
)
def test_prediction_agreement_without_usable_target(sisters, TabularEvaluator, real):
    report = TabularEvaluator().evaluate(real, real.copy(), metrics=["prediction_agreement", "mmd"])
    assert sisters.filed(report) == [("mmd_rbf", None)]
    assert "PredictionAgreementMetrics" not in [event[1] for event in events_of(sisters, "build")]


def test_prediction_agreement_target_failure_is_guarded(sisters, TabularEvaluator):
    # Duplicate labels make real_data[col] a frame, which has no unique().
    real = pd.DataFrame([[1, 2], [3, 4]], columns=["a", "a"])
    report = TabularEvaluator().evaluate(real, real, metrics=["prediction_agreement", "mmd"])
    assert sisters.filed(report) == [("mmd_rbf", None)]


class Generator:
    def __init__(self, frame, log):
        self.frame = frame
        self.log = log

    def generate(self, **kwargs):
        self.log.append(kwargs)
        return self.frame


@pytest.mark.parametrize("n_samples, expected", [(None, 3), (0, 0), (7, 7), (7.9, 7), (np.int64(2), 2)])
def test_generator_path(sisters, TabularEvaluator, frames, n_samples, expected):
    real, synthetic = frames
    log = []
    report = TabularEvaluator(random_seed=13).evaluate(
        real, generator=Generator(synthetic, log), n_samples=n_samples, metrics=["ks_complement"]
    )
    assert log == [{"n_samples": expected, "seed": 13}]
    assert type(log[0]["n_samples"]) is int
    assert report.kwargs["generator_name"] == "Generator"
    assert report.kwargs["synthetic_data_n_rows"] == 2
    ((_, _, args, _),) = events_of(sisters, "call")
    assert args[1] is synthetic


def test_given_synthetic_data_wins_over_the_generator(sisters, TabularEvaluator, frames):
    real, synthetic = frames
    log = []
    report = TabularEvaluator().evaluate(real, synthetic, Generator(None, log), metrics=["unknown"])
    assert log == []
    assert report.kwargs["generator_name"] == "Generator"


def test_generator_name_falls_back_to_the_type(sisters, TabularEvaluator, frames):
    class Hidden(Generator):
        @property
        def __class__(self):
            raise AttributeError("no class here")

    real, synthetic = frames
    report = TabularEvaluator().evaluate(real, generator=Hidden(synthetic, []), metrics=[])
    assert report.kwargs["generator_name"] == "Hidden"


def test_generator_errors_propagate(sisters, TabularEvaluator, frames):
    class Broken:
        def generate(self, **kwargs):
            raise RuntimeError("not fitted")

    with pytest.raises(RuntimeError, match="not fitted"):
        TabularEvaluator().evaluate(frames[0], generator=Broken())


def test_neither_data_nor_generator(sisters, TabularEvaluator, frames):
    with pytest.raises(ValueError) as caught:
        TabularEvaluator().evaluate(frames[0])
    assert str(caught.value) == "Either synthetic_data or generator must be provided."
    assert sisters.events == []


def test_missing_report_module_is_raised_first(sisters, TabularEvaluator, frames, monkeypatch):
    monkeypatch.setitem(sys.modules, REPORT, None)
    with pytest.raises(ModuleNotFoundError):
        TabularEvaluator().evaluate(frames[0])


def test_elapsed_time_includes_generation(sisters, TabularEvaluator, evaluator_module, frames, monkeypatch):
    now = [100.0]
    monkeypatch.setattr(evaluator_module, "time", types.SimpleNamespace(time=lambda: now[0]))
    real, synthetic = frames

    class SlowGenerator:
        def generate(self, **kwargs):
            now[0] += 2.5
            return synthetic

    report = TabularEvaluator().evaluate(real, generator=SlowGenerator(), metrics=["mmd"])
    now[0] += 0.25
    assert report.evaluation_time_seconds == 2.5


def test_report_module_is_imported_on_every_call(sisters, TabularEvaluator, frames, monkeypatch):
    real, synthetic = frames
    evaluator = TabularEvaluator()
    first = evaluator.evaluate(real, synthetic, metrics=["mmd"])
    replacement = types.ModuleType(REPORT)

    class OtherReport(sisters.modules[REPORT].EvaluationReport):
        pass

    replacement.EvaluationReport = OtherReport
    replacement.MetricResult = sisters.modules[REPORT].MetricResult
    monkeypatch.setitem(sys.modules, REPORT, replacement)
    second = evaluator.evaluate(real, synthetic, metrics=["mmd"])
    assert type(first) is not OtherReport and type(second) is OtherReport


def test_extra_keywords_are_ignored(sisters, TabularEvaluator, frames):
    real, synthetic = frames
    report = TabularEvaluator().evaluate(real, synthetic, metrics=["mmd"], foo=1, real=2)
    assert sisters.filed(report) == [("mmd_rbf", None)]


def test_keyword_arguments(sisters, TabularEvaluator, frames):
    real, synthetic = frames
    report = TabularEvaluator().evaluate(metrics=["mmd"], synthetic_data=synthetic, real_data=real)
    assert report.kwargs["real_data_n_rows"] == 3


def type_error(argument, expected, given):
    return f"Argument '{argument}' has incorrect type (expected {expected}, got {given})"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "evaluate() takes at least 2 positional arguments (1 given)"),
        ((1, 2, 3, 4, 5, 6), {}, "evaluate() takes at most 6 positional arguments (7 given)"),
        (("real",), {"real_data": 1}, "evaluate() got multiple values for keyword argument 'real_data'"),
        (("real", "synthetic"), {"n_samples": "5"}, type_error("n_samples", "int", "str")),
        (("real", "synthetic"), {"metrics": ("mmd",)}, type_error("metrics", "list", "tuple")),
        (("real", "synthetic"), {"metrics": "mmd"}, type_error("metrics", "list", "str")),
    ],
)
def test_argument_errors(sisters, TabularEvaluator, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        TabularEvaluator().evaluate(*args, **kwargs)
    assert str(caught.value) == message
    assert sisters.events == []


def test_subclass_overrides_are_used(sisters, TabularEvaluator, frames):
    seen = []

    class Custom(TabularEvaluator):
        PRIVACY_METRICS = ["distance_to_closest_record", "membership_inference_auc"]

        def _run_privacy_metric(self, name, real, synthetic):
            seen.append(name)
            return super()._run_privacy_metric(name, real, synthetic)

    real, synthetic = frames
    report = Custom().evaluate(real, synthetic, metrics=["membership_inference_auc", "distance_to_closest_record"])
    assert seen == ["distance_to_closest_record", "membership_inference_auc"]
    assert sisters.filed(report) == [("distance_to_closest_record", "privacy"), ("membership_inference_auc", "privacy")]


def test_privacy_results_come_from_the_privacy_runner(sisters, TabularEvaluator, frames):
    sentinel_results = []

    class Custom(TabularEvaluator):
        def _run_privacy_metric(self, name, real, synthetic):
            result = sisters.modules[REPORT].MetricResult(name="custom_" + name, value=1, category="privacy")
            sentinel_results.append(result)
            return result

    real, synthetic = frames
    report = Custom().evaluate(real, synthetic, metrics=["distance_to_closest_record"])
    assert [result for result, _ in report.filed] == sentinel_results
    assert report.filed[0][1] == "privacy"


def test_repeated_runs_hold_no_references(sisters, TabularEvaluator, frames):
    real, synthetic = frames
    score = object()
    sisters.outputs["mmd"] = score
    sisters.outputs["dtcr"] = score
    evaluator = TabularEvaluator(random_seed=3)
    evaluator.evaluate(real, synthetic)
    sisters.events.clear()
    before = [sys.getrefcount(item) for item in (real, synthetic, score, evaluator)]
    for _ in range(50):
        evaluator.evaluate(real, synthetic)
        with pytest.raises(ValueError):
            evaluator.evaluate(real)
    sisters.events.clear()
    assert [sys.getrefcount(item) for item in (real, synthetic, score, evaluator)] == before


@pytest.mark.parametrize(
    "item, message",
    [
        (1, "cannot unpack non-iterable int object"),
        (None, "cannot unpack non-iterable NoneType object"),
        (("a",), "not enough values to unpack (expected 2, got 1)"),
        (("a", 1, 2), "too many values to unpack (expected 2)"),
    ],
)
def test_ks_items_that_are_not_pairs_raise_the_unpacking_error(sisters, TabularEvaluator, frames, item, message):
    class Scores:
        def items(self):
            return [item]

    sisters.outputs["ks"] = Scores()
    real, synthetic = frames
    with pytest.raises((TypeError, ValueError)) as caught:
        TabularEvaluator().evaluate(real, synthetic, metrics=["ks_complement"])
    assert str(caught.value) == message
