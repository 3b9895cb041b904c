"""The violation report: dataclass behaviour, summary and the repair strategies."""

import dataclasses

import numpy as np
import pandas as pd
import pytest

from velmora.tabular.rulewarden import ConstraintViolationReport, Rulewarden


def report_for(rows, violations=None):
    return ConstraintViolationReport(violations=violations or {}, violating_rows=pd.Index(rows))


def test_is_a_real_dataclass_with_fresh_defaults():
    assert dataclasses.is_dataclass(ConstraintViolationReport)
    fields = dataclasses.fields(ConstraintViolationReport)
    assert [(f.name, f.type) for f in fields] == [
        ("violations", "Dict[str, int]"),
        ("total_violations", "int"),
        ("violation_rate", "float"),
        ("violating_rows", "pd.Index"),
    ]
    first, second = ConstraintViolationReport(), ConstraintViolationReport()
    assert first.violations is not second.violations
    assert first.violating_rows is not second.violating_rows
    assert first.violating_rows.equals(pd.Index([])) and first.violating_rows.dtype == object
    assert (first.total_violations, first.violation_rate) == (0, 0.0)
    assert ConstraintViolationReport.__doc__ == "Report of constraint violations in a DataFrame."
    assert ConstraintViolationReport.__bases__ == (object,)


def test_generated_methods():
    report = ConstraintViolationReport({"a > 0": 1}, 1, 0.5, pd.Index([3]))
    assert repr(report) == (
        "ConstraintViolationReport(violations={'a > 0': 1}, total_violations=1, "
        "violation_rate=0.5, violating_rows=Index([3], dtype='int64'))"
    )
    assert report == ConstraintViolationReport({"a > 0": 1}, 1, 0.5, pd.Index([3]))
    report.total_violations = 7
    assert report.total_violations == 7


@pytest.mark.parametrize(
    "violations, text",
    [
        ({}, ""),
        ({"age > 0": 2, "income >= 0": 0}, "Rule 'age > 0': 2 violations\nRule 'income >= 0': 0 violations"),
        ({"x": 1}, "Rule 'x': 1 violations"),
        ({" a == 'q' ": True}, "Rule ' a == 'q' ': True violations"),
    ],
)
def test_summary(violations, text):
    assert ConstraintViolationReport(violations=violations).summary() == text


FRAME = pd.DataFrame({"age": [5.0, -1.0, 30.0], "name": ["a", "b", "c"]}, index=[10, 11, 12])


@pytest.mark.parametrize("strategy", ["drop", "resample", "clip", "unknown", "Drop"])
def test_no_violating_rows_returns_a_copy_for_any_strategy(strategy):
    result = ConstraintViolationReport().fix(FRAME, strategy)
    assert result is not FRAME
    pd.testing.assert_frame_equal(result, FRAME)


def test_drop():
    result = report_for([11]).fix(FRAME, strategy="drop")
    expected = FRAME.loc[[10, 12]].reset_index(drop=True)
    pd.testing.assert_frame_equal(result, expected)


@pytest.mark.parametrize("strategy", ["drop", "resample"])
@pytest.mark.parametrize("index", [[0, 1, 0, 1], [0, 1] * 15])
def test_repeated_labels_of_violating_rows_are_refused_not_guessed(strategy, index):
    df = pd.DataFrame({"age": ([30, 40, -1, 50] * 8)[: len(index)]}, index=index)
    report = Rulewarden().add_rule("age > 0").validate(df)
    with pytest.raises(ValueError, match=r"labels \[0\] of violating rows occur more than once"):
        report.fix(df, strategy)
    # Clipping keeps every row; repeated labels elsewhere are no obstacle.
    assert len(report.fix(df, "clip")) == len(df)
    df = pd.DataFrame({"age": [30, -1, 50]}, index=[5, 6, 5])
    fixed = Rulewarden().add_rule("age > 0").validate(df).fix(df, strategy)
    assert len(fixed) == (2 if strategy == "drop" else 3) and (fixed["age"] > 0).all()


def test_resample_is_seeded_by_the_global_generator():
    np.random.seed(3)
    result = report_for([11]).fix(FRAME)
    np.random.seed(3)
    good = FRAME.loc[[10, 12]]
    replacement = good.sample(n=1, replace=True).reset_index(drop=True)
    expected = pd.concat([good.reset_index(drop=True), replacement], ignore_index=True)
    pd.testing.assert_frame_equal(result, expected)
    assert list(result.index) == [0, 1, 2]


def test_resample_when_every_row_violates_returns_a_copy():
    result = report_for([10, 11, 12]).fix(FRAME, "resample")
    assert result is not FRAME
    pd.testing.assert_frame_equal(result, FRAME)


@pytest.mark.parametrize(
    "rule, column, before, after",
    [
        ("age > 0", "age", [-1.0, 5.0], [1e-06, 5.0]),
        ("age >= 18", "age", [12.0, 40.0], [18.0, 40.0]),
        ("income <= 1000", "income", [5000.0, 10.0], [1000.0, 10.0]),
        ("income < 1000", "income", [5000.0, 10.0], [1000 - 1e-06, 10.0]),
        ("  age>=18 and more", "age", [12.0, np.nan], [18.0, np.nan]),
        ("age >= 1e1", "age", [2.0, 20.0], [10.0, 20.0]),
    ],
)
def test_clip_bounds(rule, column, before, after):
    df = pd.DataFrame({column: before, "other": [-5.0, -5.0]}, index=["p", "q"])
    result = report_for(["p"], {rule: 1}).fix(df, "clip")
    pd.testing.assert_frame_equal(result, pd.DataFrame({column: after, "other": [-5.0, -5.0]}, index=["p", "q"]))


def test_clip_integer_column_with_fractional_bound():
    df = pd.DataFrame({"age": [-3, 4]})
    expected = df.copy()
    expected["age"] = expected["age"].clip(lower=1e-06)
    pd.testing.assert_frame_equal(report_for([0], {"age > 0": 1}).fix(df, "clip"), expected)


@pytest.mark.parametrize(
    "rule",
    ["if age < 18 then income == 0", "age > limit", "height > 3", "name > 3", "age == 3"],
)
def test_clip_leaves_columns_alone(rule):
    df = pd.DataFrame({"age": [-1.0, 20.0], "income": [-7.0, 5.0], "name": ["a", "b"]})
    result = report_for([0], {rule: 1}).fix(df, "clip")
    pd.testing.assert_frame_equal(result, df)


def test_clip_reads_only_the_leading_bound():
    df = pd.DataFrame({"age": [-1.0, 20.0], "income": [-7.0, 5.0]})
    result = report_for([0], {"age > 0 and income >= 0": 1}).fix(df, "clip")
    pd.testing.assert_frame_equal(result, pd.DataFrame({"age": [1e-06, 20.0], "income": [-7.0, 5.0]}))


def test_clip_applies_every_rule_in_order():
    df = pd.DataFrame({"age": [-1.0, 200.0]})
    report = report_for([0], {"age > 0": 1, "age <= 120": 0, "age >= 5": 0})
    pd.testing.assert_frame_equal(report.fix(df, "clip"), pd.DataFrame({"age": [5.0, 120.0]}))


def test_clip_does_not_warn_or_modify_the_input(recwarn):
    df = pd.DataFrame({"age": [-1.0, 3.0]})
    report_for([0], {"age > 0": 1}).fix(df, "clip")
    assert df["age"].tolist() == [-1.0, 3.0]
    assert [str(w.message) for w in recwarn] == []


@pytest.mark.parametrize("strategy", ["Drop", "", "median"])
def test_unknown_strategy(strategy):
    with pytest.raises(ValueError) as caught:
        report_for([11]).fix(FRAME, strategy)
    assert str(caught.value) == f"Unknown fix strategy '{strategy}'. Valid: 'resample', 'drop', 'clip'."


def test_fix_after_validate_end_to_end():
    df = pd.DataFrame({"age": [34, -1, 12, 51], "income": [52000, 0, 800, -5]})
    engine = Rulewarden().add_rule("age > 0").add_rule("income >= 0").add_rule("if age < 18 then income == 0")
    report = engine.validate(df)
    assert report.summary() == (
        "Rule 'age > 0': 1 violations\nRule 'income >= 0': 1 violations\n"
        "Rule 'if age < 18 then income == 0': 1 violations"
    )
    fixed = report.fix(df, strategy="drop")
    assert fixed.to_dict("list") == {"age": [34], "income": [52000]}
    assert engine.validate(fixed).total_violations == 0


@pytest.mark.parametrize(
    "rule, after",
    [
        # An alternative holds for every row of age 30: no bound is taken from it.
        ("age < 18 or income == 0", [30.0, 30.0, 12.0]),
        ("age < 18 | income == 0", [30.0, 30.0, 12.0]),
        ("age < 18 and income == 0", [18 - 1e-06, 18 - 1e-06, 12.0]),
        # A row satisfying the rule keeps its value, even inside the clip margin.
        ("age > 11.9999995", [30.0, 30.0, 12.0]),
        ("age > 11.9999995 + income", [30.0, 30.0, 12.0]),
    ],
)
def test_clip_never_changes_a_row_that_satisfies_the_rule(rule, after):
    df = pd.DataFrame({"age": [30.0, 30.0, 12.0], "income": [5.0, 0.0, 0.0]})
    result = report_for([0, 2], {rule: 2}).fix(df, "clip")
    pd.testing.assert_frame_equal(result, df.assign(age=after))


def test_resample_refuses_labels_shared_by_violating_and_clean_rows():
    df = pd.DataFrame({"age": [-1, 5, -2, 7]}, index=[0, 0, 1, 1])
    with pytest.raises(ValueError, match="occur more than once"):
        report_for([0, 1], {"age > 0": 2}).fix(df, "resample")
