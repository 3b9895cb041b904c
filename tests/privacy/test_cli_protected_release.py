"""velmora perturb with the protected release (--bounds, --total-epsilon, --total-delta,
--ledger), and its refusal to overwrite the input."""

import json
import os
import subprocess
import sys

import pandas as pd
import pytest
from palmerpenguins import load_penguins

from velmora.cli import main

BOUNDS = {
    "bill_length_mm": [30, 60],
    "bill_depth_mm": [13, 22],
    "flipper_length_mm": [170, 235],
    "body_mass_g": [2500, 6500],
    "year": [2007, 2009],
    "species": ["Adelie", "Chinstrap", "Gentoo"],
    "island": ["Biscoe", "Dream", "Torgersen"],
    "sex": ["female", "male", None],
}


@pytest.fixture
def penguins(tmp_path):
    path = tmp_path / "penguins.csv"
    load_penguins().to_csv(path, index=False)  # with its missing values
    bounds = tmp_path / "bounds.json"
    bounds.write_text(json.dumps(BOUNDS), encoding="utf-8")
    return path, bounds


def perturb(capsys, *args):
    status = main(["perturb", *map(str, args)])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def test_bounds_keep_every_value_in_bounds_and_integer_columns_integer(capsys, penguins, tmp_path):
    data, bounds = penguins
    out, ledger = tmp_path / "protected.csv", tmp_path / "ledger.json"
    status, printed, errors = perturb(
        capsys, data, out, "--bounds", bounds, "--total-epsilon", "4", "--ledger", ledger, "--seed", "3"
    )
    assert status == 0 and errors == ""
    released = pd.read_csv(out)
    original = pd.read_csv(data)
    assert released.shape == original.shape
    assert released.drop(columns="sex").notna().all().all()  # only sex lists a missing value as a category
    for column, domain in BOUNDS.items():
        if isinstance(domain[0], str):
            assert released[column].dropna().isin(domain).all(), column
        else:
            assert released[column].between(*domain).all(), column
    # Whole numbers with empty cells (read as floats) come back whole, as integers do.
    for column in ("flipper_length_mm", "body_mass_g", "year"):
        assert released[column].dtype == "int64", column
    record = json.loads(ledger.read_text(encoding="utf-8"))
    assert record["differentially_private"] is True
    assert record["per_record"]["epsilon"] == pytest.approx(4.0)
    assert [entry["column"] for entry in record["columns"]] == list(original.columns)
    assert "Differentially private: yes, epsilon 4, delta 0 per record" in printed
    assert printed.endswith(f"Ledger written to {ledger}\nWrote 344 protected rows to {out}\n")


def test_domains_read_from_the_data_are_reported(penguins, tmp_path):
    data, _ = penguins
    result = subprocess.run(
        [sys.executable, "-m", "velmora", "perturb", str(data), str(tmp_path / "out.csv"), "--total-epsilon", "2"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0
    assert result.stderr.startswith(
        "velmora: WARNING: column 'species': bounds from the data: not differentially "
        "private (its categories were read from the table itself; give them to protect it)"
    )
    assert len(result.stderr.splitlines()) == 8
    assert "Differentially private: no" in result.stdout


def test_a_release_over_its_budget_is_refused_and_nothing_is_written(capsys, penguins, tmp_path):
    data, bounds = penguins
    status, printed, errors = perturb(
        capsys,
        data,
        tmp_path / "out.csv",
        "--bounds",
        bounds,
        "--epsilon",
        "1",
        "--total-epsilon",
        "5",
        "--ledger",
        tmp_path / "ledger.json",
    )
    assert status == 2 and printed == ""
    assert errors.startswith(
        "velmora: error: the release would spend epsilon 8 per record (basic composition) "
        "over total_epsilon 5; epsilon per column: species 1, island 1, bill_length_mm 1,"
    )
    assert sorted(os.listdir(tmp_path)) == ["bounds.json", "penguins.csv"]


@pytest.mark.parametrize("name", ["same", "dot", "symlink", "hardlink"])
@pytest.mark.parametrize("options", [[], ["--method", "laplace"], ["--bounds", "{bounds}"]])
def test_an_output_that_is_the_input_is_refused(capsys, penguins, tmp_path, monkeypatch, name, options):
    data, bounds = penguins
    monkeypatch.chdir(tmp_path)
    before = data.read_bytes()
    target = {"same": "penguins.csv", "dot": "./penguins.csv", "symlink": "link.csv", "hardlink": "hard.csv"}[name]
    if name == "symlink":
        os.symlink("penguins.csv", "link.csv")
    elif name == "hardlink":
        os.link("penguins.csv", "hard.csv")
    status, printed, errors = perturb(capsys, "penguins.csv", target, *[o.format(bounds=bounds) for o in options])
    assert status == 2 and printed == ""
    assert errors == f"velmora: error: {target}: OUTPUT is the input penguins.csv; write it to another file\n"
    assert data.read_bytes() == before


def test_a_ledger_over_the_input_or_the_output_is_refused(capsys, penguins, tmp_path):
    data, bounds = penguins
    status, _, errors = perturb(capsys, data, tmp_path / "out.csv", "--bounds", bounds, "--ledger", data)
    assert status == 2 and "--ledger is the input" in errors
    status, _, errors = perturb(capsys, data, tmp_path / "out.csv", "--ledger", tmp_path / "out.csv")
    assert status == 2 and "--ledger is OUTPUT" in errors
    assert not (tmp_path / "out.csv").exists()


@pytest.mark.parametrize(
    "content, options, message",
    [
        ("{not json", [], "not valid JSON"),
        ('["year"]', [], "must hold a JSON object of column names, not list"),
        ('{"weight": [0, 1]}', [], "names no column of the table: 'weight'"),
        ('{"year": [2007, 2008, 2009]}', [], "'year' is numeric: give [low, high]"),
        ('{"year": "2007-2009"}', [], "'year' must map to [low, high] or a list of categories"),
        ('{"year": [2009, 2007]}', [], "must have low <= high"),
        ('{"species": [1, 5]}', ["--method", "minimal"], "--method minimal has no protected release"),
        ('{"year": [2007, 2009]}', ["--delta", "1e-6"], "--delta is spent by --method gaussian only"),
    ],
)
def test_bad_bounds_and_options_are_refused(capsys, penguins, tmp_path, content, options, message):
    data, bounds = penguins
    bounds.write_text(content, encoding="utf-8")
    status, printed, errors = perturb(capsys, data, tmp_path / "out.csv", "--bounds", bounds, *options)
    assert status == 2 and printed == "" and message in errors
    assert not (tmp_path / "out.csv").exists()


def test_categories_of_a_numeric_column_and_the_gaussian_split(capsys, penguins, tmp_path):
    data, bounds = penguins
    bounds.write_text(json.dumps({**BOUNDS, "year": {"categories": [2007, 2008, 2009]}}), encoding="utf-8")
    ledger = tmp_path / "ledger.json"
    status, _, _ = perturb(
        capsys,
        data,
        tmp_path / "out.csv",
        "--bounds",
        bounds,
        "--method",
        "gaussian",
        "--total-epsilon",
        "2",
        "--total-delta",
        "1e-6",
        "--ledger",
        ledger,
    )
    assert status == 0
    record = json.loads(ledger.read_text(encoding="utf-8"))
    year = next(entry for entry in record["columns"] if entry["column"] == "year")
    assert year["mechanism"] == "randomized_response" and year["categories"] == [2007, 2008, 2009]
    assert record["per_record"]["epsilon"] <= 2.0 and record["per_record"]["delta"] == pytest.approx(1e-6)
