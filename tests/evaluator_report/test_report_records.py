import datetime
import json
import math

import numpy as np
import pandas as pd
import pytest

from velmora.tabular.evaluator.report import ComparisonResult, EvaluationReport, MetricResult, compare


def strict_loads(text):
    def refuse(constant):
        raise ValueError(f"non-standard JSON constant {constant}")

    return json.loads(text, parse_constant=refuse)


def make_report(name="GaussianCopula", **values):
    report = EvaluationReport(real_data_n_rows=100, synthetic_data_n_rows=90, n_columns=3, generator_name=name)
    for metric, value in values.items():
        higher = not metric.startswith("risk")
        scope = "privacy" if metric.startswith("risk") else "aggregate"
        report.add_metric(MetricResult(name=metric, value=value, category="x", higher_is_better=higher), scope=scope)
    return report


def test_metric_result_defaults_and_fresh_details():
    first = MetricResult(name="a", value=0.5, category="statistical")
    second = MetricResult(name="b", value=0.5, category="statistical")
    assert (first.higher_is_better, first.description, first.details) == (True, "", {})
    first.details["k"] = 1
    assert second.details == {}


def test_report_defaults():
    report = EvaluationReport(real_data_n_rows=10, synthetic_data_n_rows=12, n_columns=4, generator_name="NoneType")
    stamp = datetime.datetime.fromisoformat(report.timestamp)
    assert stamp.tzinfo is not None
    assert abs((datetime.datetime.now(datetime.timezone.utc) - stamp).total_seconds()) < 60
    assert report.dataset_name == "dataset"
    assert report.evaluation_time_seconds == 0.0
    assert (report.aggregate_metrics, report.privacy_metrics) == ({}, {})
    report.evaluation_time_seconds = 1.25
    assert report.to_dict()["evaluation_time_seconds"] == 1.25


def test_add_metric_files_by_scope_in_insertion_order_and_replaces_by_name():
    report = EvaluationReport()
    results = [MetricResult(name=name, value=i, category="c") for i, name in enumerate(["b", "a", "c"])]
    for result in results:
        report.add_metric(result)
    private = MetricResult(name="dcr", value=1.5, category="privacy")
    assert report.add_metric(private, scope="privacy") is None
    replacement = MetricResult(name="b", value=9, category="c")
    report.add_metric(replacement)
    assert list(report.aggregate_metrics) == ["b", "a", "c"]
    assert report.aggregate_metrics["b"] is replacement
    assert report.privacy_metrics == {"dcr": private}
    assert list(report.metrics) == ["b", "a", "c", "dcr"]


@pytest.mark.parametrize(
    "bad, error",
    [({"result": "not a result"}, TypeError), ({"scope": "secret"}, ValueError), ({"scope": None}, ValueError)],
)
def test_add_metric_rejects(bad, error):
    report = EvaluationReport()
    arguments = {"result": MetricResult(name="a", value=1.0, category="c"), "scope": "aggregate"}
    arguments.update(bad)
    with pytest.raises(error):
        report.add_metric(**arguments)


def test_to_json_converts_numpy_and_writes_non_finite_as_null():
    report = EvaluationReport(real_data_n_rows=np.int64(5), synthetic_data_n_rows=5, n_columns=2, generator_name="G")
    details = {
        "array": np.array([1.5, np.nan]),
        "int": np.int32(3),
        "flag": np.bool_(True),
        "nested": {1: [np.float32(0.5), float("inf")]},
        "when": pd.Timestamp("2024-01-02 03:04:05"),
        "skipped": {"col": "all values missing"},
    }
    report.add_metric(MetricResult(name="a", value=np.float64(0.25), category="c", details=details))
    report.add_metric(MetricResult(name="n", value=float("nan"), category="c"))
    report.add_metric(
        MetricResult(name="i", value=-np.inf, category="privacy", higher_is_better=np.bool_(False)), "privacy"
    )
    data = strict_loads(report.to_json())
    a = data["aggregate_metrics"]["a"]
    assert a["value"] == 0.25
    assert a["details"] == {
        "array": [1.5, None],
        "int": 3,
        "flag": True,
        "nested": {"1": [0.5, None]},
        "when": "2024-01-02T03:04:05",
        "skipped": {"col": "all values missing"},
    }
    assert data["aggregate_metrics"]["n"]["value"] is None
    assert data["privacy_metrics"]["i"] == {
        "name": "i",
        "value": None,
        "category": "privacy",
        "higher_is_better": False,
        "description": "",
        "details": {},
    }
    assert data["real_data_n_rows"] == 5
    assert strict_loads(report.to_json(indent=None)) == data


def test_summary_lists_every_metric_with_value_and_direction():
    report = make_report(ks_complement_age=0.91234, risk_mia=0.2)
    report.evaluation_time_seconds = 3.5
    text = report.summary()
    lines = text.splitlines()
    # The verdict comes first: no privacy result of the suite here, so undecided.
    assert lines[0] == "Verdict: UNDECIDED: NEEDS A HOLDOUT"
    start = next(position for position, line in enumerate(lines) if line.startswith("Evaluation report"))
    assert "GaussianCopula" in lines[start]
    assert "3.50 s" in lines[start + 1]
    row = next(line for line in lines if "ks_complement_age" in line)
    assert row.split()[-2:] == ["0.9123", "higher"]
    row = next(line for line in lines if "risk_mia" in line)
    assert row.split()[-2:] == ["0.2000", "lower"]
    assert "(none)" in EvaluationReport().summary()


def test_compare_tables_values_and_picks_best_by_direction():
    first = make_report("A", fidelity=0.9, risk_mia=0.4, only_first=1.0)
    second = make_report("A", fidelity=0.7, risk_mia=0.1)
    third = make_report("B", fidelity=float("nan"), risk_mia=0.1)
    result = compare([first, second, third])
    assert isinstance(result, ComparisonResult)
    assert result.labels == ["A", "A#2", "B"]
    assert list(result.table.index) == ["fidelity", "only_first", "risk_mia"]
    assert result.table.loc["fidelity", "A"] == 0.9
    assert math.isnan(result.table.loc["only_first", "B"])
    # A#2 and B tie on risk_mia: no best, the tie named.
    assert result.best == {"fidelity": "A", "only_first": "A", "risk_mia": None}
    assert result.ties == {"risk_mia": ["A#2", "B"]}
    assert result.wins() == {"A": 2, "A#2": 0, "B": 0}
    data = strict_loads(json.dumps(result.to_dict(), allow_nan=False))
    assert data["metrics"]["fidelity"]["values"]["B"] is None
    summary = result.summary()
    assert "Comparison of 3 reports" in summary
    assert next(line for line in summary.splitlines() if line.startswith("risk_mia")).split()[-3:] == [
        "tie:",
        "A#2,",
        "B",
    ]


def test_compare_empty_and_tuple():
    empty = compare([])
    assert empty.table.empty and empty.best == {} and empty.labels == []
    assert "0 reports" in empty.summary()
    assert compare((make_report(x=1.0),)).best == {"x": "GaussianCopula"}


@pytest.mark.parametrize("reports", [None, "reports", {"a": 1}, [make_report(), object()], [1.0]])
def test_compare_rejects_non_reports(reports):
    with pytest.raises(TypeError, match="EvaluationReport"):
        compare(reports)


@pytest.mark.parametrize(
    "values, expected",
    [
        ({"a": 0.5, "b": 1.0, "risk_c": 0.9}, 0.75),
        ({"a": np.float32(0.25), "b": 1}, 0.625),
        ({"risk_c": 0.1}, 0.0),
        ({}, 0.0),
        ({"a": 0.5, "b": float("nan")}, math.nan),
    ],
)
def test_overall_score_is_the_mean_of_the_higher_is_better_values(values, expected):
    score = make_report(**values).overall_score()
    assert type(score) is float
    assert score == pytest.approx(expected, nan_ok=True)


def test_overall_score_takes_the_privacy_result_of_a_shared_name():
    report = make_report(a=0.2)
    report.add_metric(MetricResult(name="a", value=0.8, category="privacy"), scope="privacy")
    assert report.overall_score() == 0.8


def test_to_frame_lists_aggregate_then_privacy_results_in_filing_order():
    report = make_report(b=0.5, risk_x=0.25, a=1)
    report.aggregate_metrics["b"].description = "about b"
    frame = report.to_frame()
    assert list(frame.columns) == ["name", "scope", "category", "value", "higher_is_better", "description"]
    assert frame.values.tolist() == [
        ["b", "aggregate", "x", 0.5, True, "about b"],
        ["a", "aggregate", "x", 1.0, True, ""],
        ["risk_x", "privacy", "x", 0.25, False, ""],
    ]
    assert (frame["value"].dtype, frame["higher_is_better"].dtype) == (np.float64, np.bool_)
    empty = EvaluationReport().to_frame()
    assert empty.empty and list(empty.columns) == list(frame.columns)


def test_comparison_repr_and_summary_show_each_overall_score():
    result = compare([make_report("A", fidelity=0.9, utility=1.0), make_report("B", risk_mia=0.1)])
    assert repr(result) == "ComparisonResult(labels=['A', 'B'], metrics=3, recommended=None)"
    # B has no higher-is-better result: the page shows 0.00.
    assert "Overall scores (the page's mean): A: 0.9500, B: 0.0000" in result.summary().splitlines()
    assert result.to_dict()["overall_scores"] == {"A": 0.95, "B": 0.0}


def test_from_json_rebuilds_results_under_their_keys_with_null_as_nan():
    report = make_report(a=float("inf"), risk_b=0.5)
    report.aggregate_metrics["a"].details = {"n": 3, "skipped": ["x"]}
    report.aggregate_metrics["renamed"] = report.aggregate_metrics.pop("a")
    rebuilt = EvaluationReport.from_json(report.to_json())
    assert list(rebuilt.aggregate_metrics) == ["renamed"] and rebuilt.aggregate_metrics["renamed"].name == "a"
    assert math.isnan(rebuilt.aggregate_metrics["renamed"].value)
    assert rebuilt.aggregate_metrics["renamed"].details == {"n": 3, "skipped": ["x"]}
    assert rebuilt.privacy_metrics["risk_b"].higher_is_better is False
    assert (rebuilt.timestamp, rebuilt.generator_name) == (report.timestamp, "GaussianCopula")
    assert rebuilt.to_json() == report.to_json()


def _broken(change):
    data = make_report(a=0.5).to_dict()
    change(data)
    return data


@pytest.mark.parametrize(
    "data, error, match",
    [
        ([1, 2], TypeError, "a report must be a mapping, got list"),
        (_broken(lambda d: d.pop("privacy_metrics")), ValueError, "lacks the field 'privacy_metrics'"),
        (_broken(lambda d: d.update(extra=1)), ValueError, "unknown field 'extra'"),
        (_broken(lambda d: d.update(n_columns="3")), TypeError, "n_columns must be an integer"),
        (_broken(lambda d: d.update(evaluation_time_seconds="1")), TypeError, "evaluation_time_seconds"),
        (_broken(lambda d: d.update(aggregate_metrics=[])), TypeError, "aggregate_metrics must be a mapping"),
        (_broken(lambda d: d["aggregate_metrics"]["a"].pop("value")), ValueError, r"\['a'\].*lacks the field 'value'"),
        (_broken(lambda d: d["aggregate_metrics"]["a"].update(higher_is_better=1)), TypeError, "true or false"),
        (_broken(lambda d: d["aggregate_metrics"]["a"].update(details=[])), TypeError, "details must be a mapping"),
        (_broken(lambda d: d["aggregate_metrics"]["a"].update(value="0.5")), TypeError, "value must be a number"),
        (_broken(lambda d: d["aggregate_metrics"]["a"].update(value=10**400)), ValueError, "too large for a float"),
        (_broken(lambda d: d["aggregate_metrics"]["a"].update(category=3)), TypeError, "category must be text"),
        (_broken(lambda d: d["aggregate_metrics"]["a"].update(name=None)), TypeError, "name must be text"),
    ],
)
def test_from_dict_rejects_what_to_dict_cannot_have_written(data, error, match):
    with pytest.raises(error, match=match):
        EvaluationReport.from_dict(data)


def test_from_json_rejects_text_that_is_not_json():
    with pytest.raises(ValueError):
        EvaluationReport.from_json("{not json")
