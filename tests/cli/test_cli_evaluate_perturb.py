"""The evaluate and perturb commands in a subprocess on small real data, and a smoke
run of the main job."""

import json
import pathlib
import subprocess
import sys

import pandas as pd
import pytest
from palmerpenguins import load_penguins

from velmora.cli import main

ROOT = pathlib.Path(__file__).resolve().parents[2]


def run(*args, cwd):
    return subprocess.run(
        [sys.executable, "-m", "velmora", *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        stdin=subprocess.DEVNULL,
        timeout=600,
    )


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    folder = tmp_path_factory.mktemp("tables")
    penguins = load_penguins().dropna().reset_index(drop=True)
    penguins.to_csv(folder / "real.csv", index=False)
    shuffled = penguins.sample(frac=1.0, random_state=1).reset_index(drop=True)
    shuffled.iloc[:120].to_csv(folder / "synthetic.csv", index=False)
    pd.DataFrame({"other": [1, 2, 3]}).to_csv(folder / "unrelated.csv", index=False)
    return folder


def test_perturb_writes_a_reproducible_table(tables, tmp_path):
    outputs = []
    for name in ("a.csv", "b.csv"):
        result = run(
            "perturb",
            str(tables / "real.csv"),
            name,
            "--method",
            "laplace",
            "--epsilon",
            "0.5",
            "--preserve",
            "species",
            "--seed",
            "42",
            cwd=tmp_path,
        )
        assert result.returncode == 0, result.stderr
        assert result.stderr == ""  # quiet when not on a terminal: no progress, no log lines
        outputs.append(pd.read_csv(tmp_path / name))
    pd.testing.assert_frame_equal(outputs[0], outputs[1])
    real = pd.read_csv(tables / "real.csv")
    assert outputs[0].shape == real.shape
    assert outputs[0]["species"].tolist() == real["species"].tolist()
    assert not outputs[0]["body_mass_g"].equals(real["body_mass_g"])


@pytest.mark.parametrize(
    "args, message",
    [
        (["perturb", "{real}", "out.csv", "--preserve", "nope"], "--preserve names no column of"),
        (["perturb", "{real}", "out.csv", "--epsilon", "0"], "--epsilon must be a positive finite number"),
        (["perturb", "{real}", "out.csv", "--epsilon", "inf"], "--epsilon must be a positive finite number"),
        (["perturb", "{real}", "out.csv", "--method", "gaussian", "--delta", "1.5"], "--delta must lie between 0"),
        (["perturb", "absent.csv", "out.csv"], "absent.csv: no such file"),
    ],
)
def test_perturb_bad_input(args, message, tables, tmp_path):
    result = run(*[a.format(real=tables / "real.csv") for a in args], cwd=tmp_path)
    assert result.returncode == 2 and message in result.stderr and "Traceback" not in result.stderr
    assert not (tmp_path / "out.csv").exists()


@pytest.mark.parametrize(
    "options, says, notes",
    [
        ([], "(method minimal: small fixed noise, which uses neither epsilon nor delta)", []),
        (["--epsilon", "0.5"], "(method minimal: small fixed noise", ["--method minimal does not use --epsilon"]),
        (
            ["--method", "laplace", "--epsilon", "0.5", "--delta", "1e-6"],
            "(method laplace: epsilon 0.5)",
            ["--method laplace does not use --delta"],
        ),
        (
            ["--method", "gaussian", "--epsilon", "2", "--delta", "1e-6"],
            "(method gaussian: epsilon 2, delta 1e-06)",
            [],
        ),
    ],
)
def test_perturb_says_which_budget_the_method_uses(capsys, tables, tmp_path, options, says, notes):
    assert main(["perturb", str(tables / "real.csv"), str(tmp_path / "out.csv"), "--seed", "1", *options]) == 0
    captured = capsys.readouterr()
    assert captured.out.startswith("Wrote 333 perturbed rows to ") and says in captured.out
    assert captured.err.splitlines() == [f"velmora: note: {note}" for note in notes]


def test_perturb_unknown_method_is_a_usage_error(tables, tmp_path):
    result = run("perturb", str(tables / "real.csv"), "out.csv", "--method", "median", cwd=tmp_path)
    assert result.returncode == 2 and "invalid choice: 'median'" in result.stderr


PENGUIN_COLUMNS = [
    "species",
    "island",
    "bill_length_mm",
    "bill_depth_mm",
    "flipper_length_mm",
    "body_mass_g",
    "sex",
    "year",
]


def test_evaluate_writes_pages_and_gates(tables, tmp_path):
    real, synthetic = str(tables / "real.csv"), str(tables / "synthetic.csv")
    # The synthetic table holds real rows: the verdict gates (status 1), the files are written.
    result = run(
        "evaluate",
        real,
        synthetic,
        "--metrics",
        "ks_complement",
        "membership_inference_auc",
        "mmd",
        "--seed",
        "3",
        "--html",
        "page.html",
        "--json",
        "report.json",
        "--fail-under",
        "0.5",
        cwd=tmp_path,
    )
    assert result.returncode == 1 and result.stderr.startswith("Verdict: do not release"), result.stderr
    assert result.stdout.startswith("Verdict: DO NOT RELEASE")
    assert "Quality score:" in result.stdout and "No result" not in result.stdout
    report = json.loads((tmp_path / "report.json").read_text())
    assert report["verdict"]["releasable"] is False and report["verdict"]["privacy_passed"] is False
    assert (report["generator_name"], report["dataset_name"]) == ("synthetic", "real")
    assert list(report["aggregate_metrics"]) == [f"ks_complement_{column}" for column in PENGUIN_COLUMNS] + ["mmd_rbf"]
    assert list(report["privacy_metrics"]) == ["membership_inference_auc"]
    page = (tmp_path / "page.html").read_text(encoding="utf-8")
    assert page.startswith("<!DOCTYPE html>") and "data:image/png;base64," in page and "synthetic" in page

    gated = run("evaluate", real, synthetic, "--metrics", "ks_complement", "--fail-under", "1.01", cwd=tmp_path)
    assert gated.returncode == 1 and "is below 1.01" in gated.stderr


def test_two_runs_give_the_same_report(tables, tmp_path):
    """The full suite with a named target and a holdout: every per-column result in the
    real column order, and the same JSON from two processes but for the timing fields."""
    penguins = pd.read_csv(tables / "real.csv")
    penguins.iloc[:200].to_csv(tmp_path / "train.csv", index=False)
    penguins.iloc[200:].to_csv(tmp_path / "unseen.csv", index=False)
    penguins.iloc[:200:2].to_csv(tmp_path / "copies.csv", index=False)
    reports = []
    for name in ("a.json", "b.json"):
        result = run(
            "evaluate",
            "train.csv",
            "copies.csv",
            "--target",
            "island",
            "--holdout",
            "unseen.csv",
            "--seed",
            "4",
            "--name",
            "copier",
            "--dataset",
            "penguins",
            "--json",
            name,
            cwd=tmp_path,
        )
        assert result.returncode == 1 and result.stderr == "Verdict: do not release (copies.csv is not releasable)\n"
        reports.append(json.loads((tmp_path / name).read_text()))
    for report in reports:
        assert report.pop("timestamp") and report.pop("evaluation_time_seconds") > 0
    assert reports[0] == reports[1]

    report = reports[0]
    assert (report["generator_name"], report["dataset_name"]) == ("copier", "penguins")
    names = list(report["aggregate_metrics"])
    for prefix in ("ks_complement_", "tv_complement_", "hellinger_"):
        assert [name for name in names if name.startswith(prefix)] == [prefix + column for column in PENGUIN_COLUMNS]
    for name in ("prediction_agreement", "tstr_normalized"):
        assert report["aggregate_metrics"][name]["details"]["target"] == "island"
    membership = report["privacy_metrics"]["membership_inference_auc"]
    assert membership["details"]["non_members"] == "holdout" and membership["details"]["n_holdout"] == 133
    # Half the training rows are copied, no unseen one.
    assert membership["value"] > 0.3 and membership["details"]["share_real_copied"] == 0.5
    assert membership["details"]["share_holdout_copied"] == 0.0


def test_evaluate_matches_one_api_call(tables, tmp_path):
    """The command line files exactly what one evaluate_release call files, in the same
    order, per-column results in the real column order."""
    from velmora.tabular.evaluator.release import evaluate_release

    metrics = [
        "tstr_normalized",
        "prediction_agreement",
        "ks_complement",
        "alpha_precision",
        "distance_to_closest_record",
    ]
    result = run(
        "evaluate",
        str(tables / "real.csv"),
        str(tables / "synthetic.csv"),
        "--metrics",
        *metrics,
        "--seed",
        "5",
        "--json",
        "r.json",
        cwd=tmp_path,
    )
    assert result.returncode == 1, result.stderr
    written = json.loads((tmp_path / "r.json").read_text())
    real = pd.read_csv(tables / "real.csv")
    direct = evaluate_release(real, pd.read_csv(tables / "synthetic.csv"), random_seed=5, metrics=metrics).to_dict()
    for key in ("generator_name", "dataset_name", "timestamp", "evaluation_time_seconds"):
        written.pop(key), direct.pop(key)
    assert written == json.loads(json.dumps(direct))
    assert [name for name in written["aggregate_metrics"] if name.startswith("ks_complement_")] == [
        f"ks_complement_{column}" for column in real.columns
    ]
    assert f"Quality score: {written['verdict']['quality_score']:.4f}" in result.stdout


def test_evaluate_names_the_metrics_without_result(capsys, tables, tmp_path):
    pd.read_csv(tables / "real.csv")[["species", "island"]].to_csv(tmp_path / "labels.csv", index=False)
    status = main(
        [
            "evaluate",
            str(tables / "real.csv"),
            str(tmp_path / "labels.csv"),
            "--metrics",
            "ks_complement",
            "wasserstein",
            "pearson_correl_diff",
        ]
    )
    out = capsys.readouterr().out
    assert status == 0
    assert out.split("No result from 2 metrics:\n")[1].splitlines()[:2] == [
        (
            "  wasserstein: every column was skipped: species: unordered categories (scored by total variation); "
            "island: unordered categories (scored by total variation)"
        ),
        "  pearson_correl_diff: Correlations need at least two numeric or boolean columns.",
    ]


def test_a_holdout_that_repeats_real_rows_gets_a_note(capsys, tables):
    real, synthetic = str(tables / "real.csv"), str(tables / "synthetic.csv")
    assert main(["evaluate", real, synthetic, "--metrics", "membership_inference_auc", "--holdout", synthetic]) == 0
    assert capsys.readouterr().err == (
        f"velmora: note: 120 of 120 holdout rows are also rows of {real}; a holdout "
        "should hold records the generator never saw\n"
    )


def test_compare_prints_the_table_and_writes_one_report_per_version(tables, tmp_path):
    real, synthetic = str(tables / "real.csv"), str(tables / "synthetic.csv")
    result = run(
        "compare",
        real,
        synthetic,
        real,
        synthetic,
        "--metrics",
        "ks_complement",
        "mmd",
        "--json-dir",
        "reports",
        "--html-dir",
        "pages",
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "Comparison of 3 reports"
    # No privacy metric ran: no version can be shown releasable.
    assert lines[1] == "Recommended: none (no version is releasable)"
    header = lines.index(next(line for line in lines if line.startswith("metric ")))
    assert lines[header].split() == ["metric", "synthetic", "real", "synthetic#2", "better", "best"]
    assert lines[header + 2].split()[0] == "ks_complement_species" and lines[header + 2].split()[-1] == "real"
    assert any(
        line.startswith("Overall scores (the page's mean): synthetic: 0.9") and "real: 1.0000" in line for line in lines
    )
    stems = ["synthetic", "real", "synthetic_2"]
    assert sorted(path.name for path in (tmp_path / "reports").iterdir()) == sorted(f"{s}.json" for s in stems)
    assert sorted(path.name for path in (tmp_path / "pages").iterdir()) == sorted(f"{s}.html" for s in stems)
    assert json.loads((tmp_path / "reports" / "real.json").read_text())["generator_name"] == "real"

    named = run("compare", real, synthetic, "--metrics", "mmd", "--name", "v1", "--json", "c.json", cwd=tmp_path)
    assert named.returncode == 0 and named.stdout.splitlines()[4].split()[0] == "v1"
    written = json.loads((tmp_path / "c.json").read_text())
    assert written["recommended"] is None and list(written["versions"]) == ["v1"]


@pytest.mark.parametrize(
    "args, message",
    [
        (["evaluate", "{real}", "{unrelated}"], "share no column"),
        (["evaluate", "{real}", "{real}", "--metrics", "nope"], "unknown metric 'nope'"),
        (["evaluate", "{real}", "missing.csv"], "missing.csv: no such file"),
        (["evaluate", "{real}", "{header}"], "header.csv: the table has no rows"),
        (["evaluate", "{real}", "{real}", "--target", "colour"], "--target 'colour' is not a column of"),
        (["evaluate", "{constant}", "{constant}", "--target", "species"], "fewer than two distinct values in"),
        (
            ["evaluate", "{real}", "{real}", "--target", "sex", "--metrics", "mmd"],
            "--target is used by tstr_normalized and prediction_agreement, which --metrics leaves out",
        ),
        (["evaluate", "{real}", "{real}", "--holdout", "{unrelated}"], "the holdout lacks columns the tables share"),
        (["evaluate", "{real}", "{real}", "--json", "nowhere/r.json"], "nowhere/r.json: the folder nowhere does not"),
        (["compare", "{real}", "{real}", "{real}", "--name", "one"], "--name gives 1 name for 2 synthetic tables"),
        (["compare", "{real}", "{real}", "--html-dir", "{real}"], "is a file, not a folder"),
    ],
)
def test_evaluate_bad_input(args, message, tables, tmp_path):
    pd.DataFrame({"species": []}).to_csv(tmp_path / "header.csv", index=False)
    pd.DataFrame({"species": ["Adelie"] * 3, "year": [2007, 2008, 2009]}).to_csv(tmp_path / "one.csv", index=False)
    result = run(
        *[
            a.format(
                real=tables / "real.csv",
                unrelated=tables / "unrelated.csv",
                header=tmp_path / "header.csv",
                constant=tmp_path / "one.csv",
            )
            for a in args
        ],
        cwd=tmp_path,
    )
    assert result.returncode == 2 and message in result.stderr and "Traceback" not in result.stderr
    assert len(result.stderr.splitlines()) == 1 and result.stdout == ""


def test_version_and_metrics(tmp_path):
    from velmora import __version__
    from velmora.tabular.evaluator.evaluator import TabularEvaluator

    version = run("--version", cwd=tmp_path)
    assert version.returncode == 0 and version.stdout == f"velmora {__version__}\n"
    listing = run("metrics", cwd=tmp_path)
    assert listing.returncode == 0
    rows = {line.split()[0]: line.split()[2] for line in listing.stdout.splitlines()[2:]}
    assert list(rows) == TabularEvaluator.DEFAULT_METRICS
    assert {name for name, better in rows.items() if better == "lower"} == {"membership_inference_auc"}


def test_main_job_smoke(tmp_path):
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "main_job.py"), "--quick", "--out", str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=600,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    assert "How fidelity and privacy trade off against epsilon on penguins" in result.stdout
    assert sorted(p.name for p in tmp_path.glob("*.html")) == [
        "penguins-copy.html",
        "penguins-gaussian-e1.html",
        "penguins-laplace-e1.html",
        "penguins-minimal.html",
        "penguins-num-only-e10.html",
    ]
    # The trade-off table starts from the copy: not to be released, every record exposed.
    table = result.stdout.split("How fidelity and privacy trade off against epsilon on penguins:")[1].splitlines()
    copy_row = table[2].split()
    assert copy_row[:5] == ["copy", "do", "not", "release", "100.0%"] and float(copy_row[6]) >= 0.9
