"""Fixtures of the report page tests."""

import matplotlib.pyplot as plt
import pytest

from velmora.tabular.evaluator.evaluator import TabularEvaluator


@pytest.fixture
def evaluator():
    return TabularEvaluator()


@pytest.fixture(autouse=True)
def no_figure_left_open():
    """Every call closes the figures it made, also when a plot fails."""
    plt.close("all")
    yield
    assert plt.get_fignums() == [], "a figure was left open in pyplot's registry"
