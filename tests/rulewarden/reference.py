"""A straightforward pandas transcription of rule validation, the reference that the
module's validate() must match field by field."""

import pandas as pd


def reference_validate(engine, df):
    violations = {}
    all_violating = set()
    for rule, parsed in zip(engine._rules, engine._parsed_rules):
        if parsed["type"] == "conditional":
            condition, consequence = parsed["condition"], parsed["consequence"]
            try:
                mask = df.eval(condition) & ~df.eval(consequence)
                violations[rule] = int(mask.sum())
                all_violating.update(df.index[mask].tolist())
            except Exception:
                violations[rule] = 0
        else:
            expr = parsed["expr"]
            try:
                result = df.eval(expr)
                if hasattr(result, "__iter__"):
                    mask = ~result.astype(bool)
                    violations[rule] = int(mask.sum())
                    all_violating.update(df.index[mask].tolist())
                else:
                    violations[rule] = 0
            except Exception:
                violations[rule] = 0
    total = sum(violations.values())
    index = pd.Index(sorted(all_violating))
    rate = len(index) / len(df) if len(df) > 0 else 0.0
    return violations, total, rate, index


def assert_report_matches(report, expected):
    violations, total, rate, index = expected
    assert report.violations == violations
    assert list(report.violations) == list(violations)
    assert type(report.total_violations) is type(total) and report.total_violations == total
    assert type(report.violation_rate) is float and report.violation_rate == rate
    assert type(report.violating_rows) is type(index)
    pd.testing.assert_index_equal(report.violating_rows, index, exact=True)
