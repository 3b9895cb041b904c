"""The command line in a subprocess: validate, and the behaviour every command shares."""
import os
import subprocess
import sys

import pandas as pd
import pytest


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", "velmora", *args], cwd=cwd, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=300)


@pytest.fixture
def people(tmp_path):
    path = tmp_path / "people.csv"
    pd.DataFrame({"age": [34, -1, 12, 51], "income": [52000, 0, 800, -5]}).to_csv(path, index=False)
    return path


def test_validate_prints_the_summary(people, tmp_path):
    result = run("validate", str(people), "--rule", "age > 0", "--rule", "if age < 18 then income == 0",
                 cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "Rule 'age > 0': 1 violations",
        "Rule 'if age < 18 then income == 0': 1 violations",
        "2 violations in 2 of 4 rows (50.0%)",
    ]
    assert result.stderr == ""


def test_rules_file_fix_and_gate(people, tmp_path):
    rules = tmp_path / "rules.txt"
    rules.write_text("# domain rules\nage > 0\n\nincome >= 0\n", encoding="utf-8")
    out = tmp_path / "clean.csv"
    result = run("validate", str(people), "--rules", str(rules), "--fix", "drop", "--output", str(out),
                 "--fail-on-violation", cwd=tmp_path)
    assert result.returncode == 1
    assert pd.read_csv(out).to_dict("list") == {"age": [34, 12], "income": [52000, 800]}
    clean = run("validate", str(out), "--rules", str(rules), "--fail-on-violation", cwd=tmp_path)
    assert clean.returncode == 0 and "0 violations in 0 of 2 rows" in clean.stdout


def test_resample_is_reproducible_with_a_seed(people, tmp_path):
    outputs = []
    for name in ("a.csv", "b.csv"):
        result = run("validate", str(people), "--rule", "age > 0", "--fix", "resample", "--output", name,
                     "--seed", "3", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        outputs.append((tmp_path / name).read_text())
    assert outputs[0] == outputs[1]


@pytest.mark.parametrize(
    "args, message",
    [
        (["validate", "missing.csv", "--rule", "a > 0"], "velmora: error: missing.csv: no such file"),
        (["validate", "{people}", "--rules", "empty.txt"], "velmora: error: empty.txt: the rule file holds no rule"),
        (["validate", "{people}", "--rules", "nofile.txt"], "velmora: error: nofile.txt: no such file"),
        (["validate", "{people}", "--rule", "a > 0", "--fix", "drop"],
         "velmora: error: --fix needs --output PATH for the repaired table"),
        (["validate", "{people}", "--rule", "age > 0", "--fix", "drop", "--output", "nowhere/x.csv"],
         "velmora: error: nowhere/x.csv: the folder nowhere does not exist"),
        (["validate", "blank.csv", "--rule", "a > 0"], "velmora: error: blank.csv: the file is empty"),
        (["validate", "{people}", "--rule", "age > 0", "--fix", "drop", "--output", "out.parquet"], None),
    ],
)
def test_bad_input_gets_one_line_and_status_2(args, message, people, tmp_path):
    (tmp_path / "empty.txt").write_text("\n# nothing\n", encoding="utf-8")
    (tmp_path / "blank.csv").write_text("", encoding="utf-8")
    result = run(*[arg.format(people=people) for arg in args], cwd=tmp_path)
    if message is None:  # Parquet without pyarrow: a clear message, or it works
        try:
            import pyarrow  # noqa: F401
        except ImportError:
            assert result.returncode == 2
            assert result.stderr.strip() == "velmora: error: out.parquet: Parquet files need pyarrow (pip install pyarrow)"
            assert not (tmp_path / "out.parquet").exists()
        else:
            assert result.returncode == 0
        return
    assert result.returncode == 2
    assert result.stderr.strip() == message
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize("args", [["validate", "x.csv", "--fix", "scrub", "--rule", "a"], ["bogus"], []])
def test_usage_errors(args, tmp_path):
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 2 and "usage: velmora" in result.stderr and "Traceback" not in result.stderr


def test_failed_write_leaves_no_file(people, tmp_path, monkeypatch):
    from velmora import cli

    def half_written(frame, path, index=False):
        with open(path, "w") as handle:
            handle.write("age,inc")
        raise OSError("disk full")

    out = tmp_path / "clean.csv"
    monkeypatch.setattr(pd.DataFrame, "to_csv", half_written)
    monkeypatch.chdir(tmp_path)
    status = cli.main(["validate", str(people), "--rule", "age > 0", "--fix", "drop", "--output", str(out)])
    assert status == 2
    assert sorted(os.listdir(tmp_path)) == ["people.csv"]


@pytest.mark.parametrize("command", ["evaluate", "perturb", "validate"])
def test_help_has_examples(command, tmp_path):
    result = run(command, "--help", cwd=tmp_path)
    assert result.returncode == 0 and "examples:" in result.stdout and f"velmora {command}" in result.stdout
