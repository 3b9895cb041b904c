"""The command line in a subprocess: validate, and the behaviour every command shares."""

import argparse
import os
import subprocess
import sys

import pandas as pd
import pytest


def run(*args, cwd):
    return subprocess.run(
        [sys.executable, "-m", "velmora", *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        stdin=subprocess.DEVNULL,
        timeout=300,
    )


@pytest.fixture
def people(tmp_path):
    path = tmp_path / "people.csv"
    pd.DataFrame({"age": [34, -1, 12, 51], "income": [52000, 0, 800, -5]}).to_csv(path, index=False)
    return path


def test_validate_prints_the_summary(people, tmp_path):
    result = run("validate", str(people), "--rule", "age > 0", "--rule", "if age < 18 then income == 0", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "Rule 'age > 0': 1 violation",
        "Rule 'if age < 18 then income == 0': 1 violation",
        "2 violations in 2 of 4 rows (50.0%)",
    ]
    assert result.stderr == ""


@pytest.mark.parametrize(
    "strategy, status, left, rows",
    [
        # drop keeps the one clean row; clip mends the bounds but not the implication.
        (
            "drop",
            0,
            [
                "  Rule 'age > 0': 0 violations",
                "  Rule 'income >= 0': 0 violations",
                "  Rule 'if age < 18 then income == 0': 0 violations",
                "  0 violations in 0 of 1 row (0.0%)",
            ],
            {"age": [34], "income": [52000]},
        ),
        (
            "clip",
            1,
            [
                "  Rule 'age > 0': 0 violations",
                "  Rule 'income >= 0': 0 violations",
                "  Rule 'if age < 18 then income == 0': 1 violation",
                "  1 violation in 1 of 4 rows (25.0%)",
            ],
            {"age": [34, 1e-06, 12, 51], "income": [52000, 0, 800, 0]},
        ),
    ],
)
def test_fix_reports_and_gates_on_the_written_table(people, tmp_path, strategy, status, left, rows):
    rules = tmp_path / "rules.txt"
    rules.write_text("# domain rules\nage > 0\n\nincome >= 0\nif age < 18 then income == 0\n", encoding="utf-8")
    out = tmp_path / "clean.csv"
    result = run(
        "validate",
        str(people),
        "--rules",
        str(rules),
        "--fix",
        strategy,
        "--output",
        str(out),
        "--fail-on-violation",
        cwd=tmp_path,
    )
    assert result.returncode == status, result.stderr
    lines = result.stdout.splitlines()
    assert lines[3] == "3 violations in 3 of 4 rows (75.0%)"
    assert (
        lines[4] == f"Wrote {len(rows['age'])} row{'s' * (len(rows['age']) > 1)} repaired with '{strategy}' "
        f"to {out}; checked again:"
    )
    assert lines[5:] == left
    assert pd.read_csv(out).to_dict("list") == rows
    assert result.stderr == ("" if status == 0 else f"1 violation in {out} (--fail-on-violation)\n")
    again = run("validate", str(out), "--rules", str(rules), "--fail-on-violation", cwd=tmp_path)
    assert again.returncode == status and again.stdout.splitlines()[-1] == left[-1].strip()


def test_resample_is_reproducible_with_a_seed(people, tmp_path):
    outputs = []
    for name in ("a.csv", "b.csv"):
        result = run(
            "validate",
            str(people),
            "--rule",
            "age > 0",
            "--fix",
            "resample",
            "--output",
            name,
            "--seed",
            "3",
            cwd=tmp_path,
        )
        assert result.returncode == 0, result.stderr
        outputs.append((tmp_path / name).read_text())
    assert outputs[0] == outputs[1]


@pytest.mark.parametrize(
    "args, message",
    [
        (["validate", "missing.csv", "--rule", "a > 0"], "velmora: error: missing.csv: no such file"),
        (["validate", "{people}", "--rules", "empty.txt"], "velmora: error: empty.txt: the rule file holds no rule"),
        (["validate", "{people}", "--rules", "nofile.txt"], "velmora: error: nofile.txt: no such file"),
        (
            ["validate", "{people}", "--rule", "a > 0", "--fix", "drop"],
            "velmora: error: --fix needs --output PATH for the repaired table",
        ),
        (
            ["validate", "{people}", "--rule", "age > 0", "--fix", "drop", "--output", "nowhere/x.csv"],
            "velmora: error: nowhere/x.csv: the folder nowhere does not exist",
        ),
        (["validate", "blank.csv", "--rule", "a > 0"], "velmora: error: blank.csv: the file is empty"),
    ],
)
def test_bad_input_gets_one_line_and_status_2(args, message, people, tmp_path):
    (tmp_path / "empty.txt").write_text("\n# nothing\n", encoding="utf-8")
    (tmp_path / "blank.csv").write_text("", encoding="utf-8")
    result = run(*[arg.format(people=people) for arg in args], cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.strip() == message
    assert "Traceback" not in result.stderr


# The command line with pyarrow hidden, as in an installation without the parquet extra.
WITHOUT_PYARROW = """
import sys
class Hidden:
    def find_spec(self, name, path=None, target=None):
        if name == "pyarrow" or name.startswith("pyarrow."):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
sys.meta_path.insert(0, Hidden())
from velmora.cli import main
sys.exit(main(sys.argv[1:]))
"""


def test_parquet_is_written_with_the_extra_and_refused_clearly_without_it(people, tmp_path):
    args = ["validate", str(people), "--rule", "age > 0", "--fix", "drop", "--output", "out.parquet"]
    result = subprocess.run(
        [sys.executable, "-c", WITHOUT_PYARROW, *args], cwd=tmp_path, capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 2 and not (tmp_path / "out.parquet").exists()
    assert result.stderr.strip() == (
        "velmora: error: out.parquet: Parquet files need pyarrow (pip install 'velmora[parquet]')"
    )
    assert run(*args, cwd=tmp_path).returncode == 0
    assert pd.read_parquet(tmp_path / "out.parquet").to_dict("list") == {
        "age": [34, 12, 51],
        "income": [52000, 800, -5],
    }


@pytest.mark.parametrize("args", [["validate", "x.csv", "--fix", "scrub", "--rule", "a"], ["bogus"], []])
def test_usage_errors(args, tmp_path):
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 2 and "usage: velmora" in result.stderr and "Traceback" not in result.stderr


def test_failed_write_leaves_no_file(people, tmp_path, monkeypatch):
    from velmora import cli
    from velmora.cli import tables

    def half_written(frame, path, *args):
        with open(path, "w") as handle:
            handle.write("age,inc")
        raise OSError("disk full")

    out = tmp_path / "clean.csv"
    monkeypatch.setattr(tables, "write_keeping", half_written)
    monkeypatch.chdir(tmp_path)
    status = cli.main(["validate", str(people), "--rule", "age > 0", "--fix", "drop", "--output", str(out)])
    assert status == 2
    assert sorted(os.listdir(tmp_path)) == ["people.csv"]


@pytest.mark.parametrize("command", ["evaluate", "compare", "perturb", "validate", "metrics"])
def test_help_has_examples(command, tmp_path):
    result = run(command, "--help", cwd=tmp_path)
    assert result.returncode == 0 and "examples:" in result.stdout and f"velmora {command}" in result.stdout


def test_every_option_states_its_default():
    from velmora.cli import build_parser

    parser = build_parser()
    commands = next(action for action in parser._actions if isinstance(action, argparse._SubParsersAction))
    for name, command in commands.choices.items():
        for action in command._actions:
            if action.option_strings and action.dest != "help":
                assert "(default: " in action.help, f"velmora {name} {action.option_strings[0]}"


# Makes writing a CSV file fail with an error the command line does not expect.
FAULT = """
import sys
import pandas as pd
from velmora.cli import main

def fault(*args, **kwargs):
    raise RuntimeError("no CSV today\\nsecond line")

pd.DataFrame.to_csv = fault
sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.parametrize("extra", [[], ["--traceback"]])
def test_internal_errors_are_reported_as_such(people, tmp_path, extra):
    result = subprocess.run(
        [sys.executable, "-c", FAULT, "perturb", str(people), "out.csv", *extra],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        stdin=subprocess.DEVNULL,
        timeout=300,
    )
    assert result.returncode == 3 and result.stdout == ""
    *trace, last = result.stderr.splitlines()
    assert last.startswith("velmora: internal error: RuntimeError: no CSV today (a fault of velmora, not of the input")
    if extra:
        assert trace[0] == "Traceback (most recent call last):" and "RuntimeError: no CSV today" in trace
    else:
        assert not trace and last.endswith("; run again with --traceback to see where it happened)")
    assert sorted(os.listdir(tmp_path)) == ["people.csv"]
