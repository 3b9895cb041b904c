"""A report rebuilt from its JSON writes the same JSON and lists the same results."""

import math

import numpy as np
from hypothesis import given
from hypothesis import strategies as st

from velmora.tabular.evaluator.report import EvaluationReport, MetricResult

text = st.text(max_size=12)
numbers = st.one_of(st.integers(-(10**12), 10**12), st.floats(allow_nan=True, allow_infinity=True))
json_values = st.recursive(
    st.one_of(st.none(), st.booleans(), numbers, text),
    lambda inner: st.one_of(st.lists(inner, max_size=3), st.dictionaries(text, inner, max_size=3)),
    max_leaves=8,
)
results = st.builds(
    MetricResult,
    name=text,
    value=st.one_of(numbers, numbers.map(np.float64)),
    category=st.sampled_from(["statistical", "utility", "fidelity", "privacy"]),
    higher_is_better=st.booleans(),
    description=text,
    details=st.dictionaries(text, json_values, max_size=3),
)


@st.composite
def reports(draw):
    report = EvaluationReport(
        real_data_n_rows=draw(st.integers(0, 10**9)),
        synthetic_data_n_rows=draw(st.integers(0, 10**9)),
        n_columns=draw(st.integers(0, 1000)),
        generator_name=draw(text),
        dataset_name=draw(text),
        timestamp=draw(text),
        evaluation_time_seconds=draw(st.floats(min_value=0)),
    )
    for result, scope in draw(st.lists(st.tuples(results, st.sampled_from(["aggregate", "privacy"])), max_size=6)):
        report.add_metric(result, scope=scope)
    return report


def finite_or_nan(frame):
    frame = frame.copy()
    frame["value"] = [value if math.isfinite(value) else math.nan for value in frame["value"]]
    return frame


@given(reports())
def test_from_json_of_to_json_writes_the_same_json(report):
    text = report.to_json()
    rebuilt = EvaluationReport.from_json(text)
    assert rebuilt.to_json() == text
    assert finite_or_nan(rebuilt.to_frame()).equals(finite_or_nan(report.to_frame()))
    assert (
        math.isnan(rebuilt.overall_score())
        if math.isnan(report.overall_score())
        else (rebuilt.overall_score() == report.overall_score() or not math.isfinite(report.overall_score()))
    )
