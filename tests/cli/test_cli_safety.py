"""The command line refuses what it cannot handle safely: rules outside the rule
language, rules that cannot be evaluated, malformed tables and unknown output formats;
and it writes files with the modes a user expects."""
import os
import stat
import subprocess
import sys

import pandas as pd
import pytest

from velmora.cli import main


@pytest.fixture
def people(tmp_path):
    path = tmp_path / "people.csv"
    pd.DataFrame({"age": [34, -1, 12, 51], "income": [52000, 0, 800, -5], "body mass": [3.5, 4, 5, 6]}).to_csv(
        path, index=False)
    return path


def validate(capsys, *args):
    status = main(["validate", *map(str, args)])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


@pytest.mark.parametrize("rule, reason", [
    ("@os.system('touch {marker}') == 0", "'@' refers to Python variables"),
    ("age.to_csv('{marker}') == 0", "it holds a function call"),
    ("__import__('os').system('touch {marker}') == 0", "it holds a function call"),
    ("age.values > 0", "it holds attribute access"),
    ("[age][0] > 0", "it holds indexing"),
    ("age > (lambda: 0)()", "it holds a function call"),
    ("age * 'x' * 10 ** 12 > ''", "it does arithmetic on text"),
    ("age > 9 ** 9 ** 9 ** 9", "it raises numbers alone to a power"),
    ("age in [income.max()]", "the list after 'in' may hold literals only"),
    ("if age < 18 then income.to_csv('{marker}') == 0", "it holds a function call"),
])
def test_code_in_rules_is_refused_and_never_run(capsys, monkeypatch, people, tmp_path, rule, reason):
    monkeypatch.chdir(tmp_path)
    rule = rule.format(marker="ran")
    status, out, err = validate(capsys, people, "--rule", rule)
    assert status == 2 and out == ""
    assert err.startswith(f"velmora: error: rule {rule!r} is not in the rule language: {reason}")
    assert not (tmp_path / "ran").exists()


@pytest.mark.parametrize("rule, reason", [
    ("bill_lenght_mm > 0", "cannot be evaluated on the table (UndefinedVariableError: name 'bill_lenght_mm'"),
    ("age >", "is not in the rule language: it is not an expression (SyntaxError"),
    ("1 > 2", "names no column, so it checks no row"),
    ("if agee < 18 then income == 0", "cannot be evaluated on the table"),
])
def test_rules_that_cannot_be_evaluated_are_refused(capsys, people, rule, reason):
    status, out, err = validate(capsys, people, "--rule", "age > 0", "--rule", rule, "--fail-on-violation")
    assert status == 2 and out == ""
    assert err.startswith(f"velmora: error: rule {rule!r} {reason}")


def test_the_rule_language_is_accepted_and_trust_lifts_the_check(capsys, people):
    rules = ["age > 0 and not income < 0", "`body mass` * 2 >= 7 | (age != 12) & ~(income == 0)",
             "age in [34, -1, 51] or income not in (0, -5)", "if age < 18 then income == 0",
             "age ** 2 // 3 % 7 >= -1e3", "index >= 0", "income < inf", "1 < age <= 60"]
    status, out, _ = validate(capsys, people, *[arg for rule in rules for arg in ("--rule", rule)])
    assert status == 0 and out.count("Rule ") == len(rules)
    assert validate(capsys, people, "--rule", "age.abs() > 0")[0] == 2
    status, out, _ = validate(capsys, people, "--rule", "age.abs() > 0", "--trust-rules")
    assert status == 0 and "Rule 'age.abs() > 0': 0 violations" in out


def test_deep_rules_from_a_file_are_refused_not_crashed(people, tmp_path):
    rules = tmp_path / "deep.txt"
    rules.write_text("(" * 8000 + "age > 0" + ")" * 8000 + "\n", encoding="utf-8")
    for extra in ([], ["--trust-rules"]):
        result = subprocess.run([sys.executable, "-m", "velmora", "validate", str(people), "--rules", str(rules),
                                 *extra], capture_output=True, text=True, timeout=300)
        assert result.returncode == 2 and "is not" in result.stderr or "cannot be evaluated" in result.stderr


# The leading fields of longer rows would become an index: of evenly spaced numbers
# (which pandas 3 stores as a RangeIndex), of 0, 1, ... (the default index), of text.
@pytest.mark.parametrize("text", ["a,b\n1,2,3\n4,5,6\n", "a,b\n0,2,3\n1,5,6\n", "a,b\nx,2,3\ny,5,\n"])
def test_rows_longer_than_the_header_are_refused(capsys, tmp_path, text):
    table = tmp_path / "shifted.csv"
    table.write_text(text, encoding="utf-8")
    status, _, err = validate(capsys, table, "--rule", "a > 0")
    assert status == 2 and "shifted.csv: its rows have more fields than the header (2 names)" in err


def test_a_delimiter_closing_every_row_is_read_as_no_field(capsys, tmp_path):
    table = tmp_path / "closed.csv"
    table.write_text("a,b\n1,2,\n-3,4,\n", encoding="utf-8")
    status, out, _ = validate(capsys, table, "--rule", "a > 0", "--rule", "b > 3")
    assert status == 0 and "Rule 'a > 0': 1 violation\n" in out and "Rule 'b > 3': 1 violation\n" in out


@pytest.mark.parametrize("command", [
    ["perturb", "{people}", "{out}"],
    ["validate", "{people}", "--rule", "age > 0", "--fix", "drop", "--output", "{out}"],
])
@pytest.mark.parametrize("name", ["out.xlsx", "out"])
def test_outputs_in_formats_not_written_are_refused(capsys, people, tmp_path, command, name):
    out = tmp_path / name
    status = main([part.format(people=people, out=out) for part in command])
    assert status == 2 and "cannot write a table with" in capsys.readouterr().err
    assert not out.exists()


def test_written_files_get_the_umask_mode_or_keep_their_own(capsys, people, tmp_path):
    previous = os.umask(0o027)
    try:
        new, kept = tmp_path / "new.csv", tmp_path / "kept.csv"
        kept.write_text("old")
        os.chmod(kept, 0o604)
        for out in (new, kept):
            assert main(["perturb", str(people), str(out), "--seed", "1"]) == 0
    finally:
        os.umask(previous)
    assert stat.S_IMODE(new.stat().st_mode) == 0o640
    assert stat.S_IMODE(kept.stat().st_mode) == 0o604 and kept.read_text() != "old"
