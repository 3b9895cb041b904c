"""The evaluate and perturb commands in a subprocess on small real data, and a smoke
run of the main job."""
import json
import pathlib
import subprocess
import sys

import pandas as pd
import pytest
from palmerpenguins import load_penguins

ROOT = pathlib.Path(__file__).resolve().parents[2]


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", "velmora", *args], cwd=cwd, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=600)


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
        result = run("perturb", str(tables / "real.csv"), name, "--method", "laplace", "--epsilon", "0.5",
                     "--preserve", "species", "--seed", "42", cwd=tmp_path)
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
        (["perturb", "{real}", "out.csv", "--epsilon", "0"], "--epsilon must be a positive number"),
        (["perturb", "absent.csv", "out.csv"], "absent.csv: no such file"),
    ],
)
def test_perturb_bad_input(args, message, tables, tmp_path):
    result = run(*[a.format(real=tables / "real.csv") for a in args], cwd=tmp_path)
    assert result.returncode == 2 and message in result.stderr and "Traceback" not in result.stderr
    assert not (tmp_path / "out.csv").exists()


def test_perturb_unknown_method_is_a_usage_error(tables, tmp_path):
    result = run("perturb", str(tables / "real.csv"), "out.csv", "--method", "median", cwd=tmp_path)
    assert result.returncode == 2 and "invalid choice: 'median'" in result.stderr


def test_evaluate_writes_pages_and_gates(tables, tmp_path):
    real, synthetic = str(tables / "real.csv"), str(tables / "synthetic.csv")
    result = run("evaluate", real, synthetic, "--metrics", "ks_complement", "membership_inference_auc", "mmd",
                 "--seed", "3", "--html", "page.html", "--json", "report.json", "--fail-under", "0.5", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "Overall score:" in result.stdout
    report = json.loads((tmp_path / "report.json").read_text())
    names = list(report["aggregate_metrics"])
    assert names[-1] == "mmd_rbf" and all(name.startswith("ks_complement_") for name in names[:-1])
    assert list(report["privacy_metrics"]) == ["membership_inference_auc"]
    page = (tmp_path / "page.html").read_text(encoding="utf-8")
    assert page.startswith("<!DOCTYPE html>") and "data:image/png;base64," in page

    gated = run("evaluate", real, synthetic, "--metrics", "ks_complement", "--fail-under", "1.01", cwd=tmp_path)
    assert gated.returncode == 1 and "is below 1.01" in gated.stderr


def test_evaluate_matches_one_evaluator_call(tables, tmp_path):
    from velmora.cli import overall_score
    from velmora.tabular.evaluator.evaluator import TabularEvaluator

    metrics = ["tstr_normalized", "ks_complement", "alpha_precision", "distance_to_closest_record"]
    result = run("evaluate", str(tables / "real.csv"), str(tables / "synthetic.csv"), "--metrics", *metrics,
                 "--seed", "5", "--json", "r.json", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    written = json.loads((tmp_path / "r.json").read_text())
    direct = TabularEvaluator(random_seed=5).evaluate(pd.read_csv(tables / "real.csv"),
                                                      pd.read_csv(tables / "synthetic.csv"), metrics=metrics)
    # Per-column results follow the order of a set of labels, which differs between processes.
    def stages(names):
        return [name for name in names if not name.startswith("ks_complement_")], sorted(names)

    assert stages(written["aggregate_metrics"]) == stages(direct.aggregate_metrics)
    assert list(written["privacy_metrics"]) == list(direct.privacy_metrics)
    for name, result_dict in written["aggregate_metrics"].items():
        assert result_dict["value"] == pytest.approx(float(direct.aggregate_metrics[name].value))
    assert f"Overall score: {overall_score(direct):.4f}" in result.stdout


@pytest.mark.parametrize(
    "args, message",
    [
        (["evaluate", "{real}", "{unrelated}"], "share no column"),
        (["evaluate", "{real}", "{real}", "--metrics", "nope"], "unknown metric 'nope'"),
        (["evaluate", "{real}", "missing.csv"], "missing.csv: no such file"),
    ],
)
def test_evaluate_bad_input(args, message, tables, tmp_path):
    result = run(*[a.format(real=tables / "real.csv", unrelated=tables / "unrelated.csv") for a in args],
                 cwd=tmp_path)
    assert result.returncode == 2 and message in result.stderr and "Traceback" not in result.stderr


def test_main_job_smoke(tmp_path):
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "main_job.py"), "--quick", "--out",
                             str(tmp_path)], capture_output=True, text=True, timeout=600, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "How fidelity and privacy trade off against epsilon on penguins" in result.stdout
    assert sorted(p.name for p in tmp_path.glob("*.html")) == [
        "penguins-copy.html", "penguins-gaussian-e1.html", "penguins-laplace-e1.html", "penguins-minimal.html",
        "penguins-num-only-e10.html"]
    # The trade-off table starts from the copy: the attack singles out every record.
    table = result.stdout.split("How fidelity and privacy trade off against epsilon on penguins:")[1].splitlines()
    copy_row = table[2].split()
    assert copy_row[0] == "copy" and float(copy_row[2]) >= 0.9 and float(copy_row[3]) <= 0.05
