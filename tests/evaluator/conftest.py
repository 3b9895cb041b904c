"""Fixtures of the evaluator tests: stub sister modules, the module and sample frames."""

import sys

import pandas as pd
import pytest
from evaluator_stubs import Sisters


@pytest.fixture
def sisters(monkeypatch):
    stubs = Sisters()
    for name, module in stubs.modules.items():
        monkeypatch.setitem(sys.modules, name, module)
    return stubs


@pytest.fixture
def evaluator_module():
    import velmora.tabular.evaluator.evaluator as module

    return module


@pytest.fixture
def TabularEvaluator(evaluator_module):
    return evaluator_module.TabularEvaluator


@pytest.fixture
def frames():
    real = pd.DataFrame({"a": [1.0, 2.0, 3.0], "b": ["x", "y", "x"], "c": [0, 0, 0]})
    synthetic = pd.DataFrame({"a": [1.5, 2.5], "b": ["y", "y"], "d": [1, 2]})
    return real, synthetic
