"""How often a command line evaluation runs each metric."""

import importlib

import numpy as np
import pandas as pd

from velmora.cli import main
from velmora.tabular.evaluator.evaluator import TabularEvaluator


def test_evaluate_computes_each_metric_once(monkeypatch, tmp_path):
    """A default evaluation calls each metric of the catalogue once: the report, the
    verdict, the quality score and the JSON file all come from that one run."""
    calls = {}

    def counted(name, compute):
        def counting(*args, **kwargs):
            calls[name] = calls.get(name, 0) + 1
            return compute(*args, **kwargs)

        return counting

    for row in TabularEvaluator.METRIC_CATALOGUE:
        entry = dict(zip(TabularEvaluator.METRIC_CATALOGUE_FIELDS, row))
        cls = getattr(importlib.import_module(entry["module"]), entry["class_name"])
        monkeypatch.setattr(cls, entry["call"], counted(entry["name"], getattr(cls, entry["call"])))
    rng = np.random.default_rng(0)
    for name, rows in (("real.csv", 60), ("synthetic.csv", 50)):
        columns = {"x": rng.normal(size=rows), "n": rng.integers(0, 5, rows), "c": rng.choice(["a", "b"], rows)}
        pd.DataFrame(columns).to_csv(tmp_path / name, index=False)
    monkeypatch.chdir(tmp_path)

    assert main(["evaluate", "real.csv", "synthetic.csv", "--json", "report.json"]) in (0, 1)
    assert calls == dict.fromkeys(TabularEvaluator.DEFAULT_METRICS, 1)
    assert (tmp_path / "report.json").stat().st_size > 0
