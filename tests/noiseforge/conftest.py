import logging

import numpy as np
import pandas as pd
import pytest

from velmora.core_generator import noiseforge

LOGGER_NAME = "velmora.core_generator.noiseforge"


@pytest.fixture
def log_lines(caplog):
    """The messages the module logger writes during the test, in order."""
    caplog.set_level(logging.INFO, logger=LOGGER_NAME)

    def lines():
        return [record.getMessage() for record in caplog.records if record.name == LOGGER_NAME]

    return lines


@pytest.fixture
def mixed_frame():
    rng = np.random.default_rng(5)
    rows = 1000
    return pd.DataFrame(
        {
            "continuous": rng.normal(50.0, 10.0, rows),
            "counts": rng.integers(0, 500, rows),
            "flag": rng.integers(0, 2, rows),
            "colour": rng.choice(["red", "green", "blue"], rows).astype(object),
            "ok": rng.random(rows) < 0.5,
            "when": pd.date_range("2020-01-01", periods=rows, freq="h"),
            "target": rng.integers(0, 2, rows),
        }
    )


@pytest.fixture
def processor():
    return noiseforge.NoiseforgeProcessor(random_state=0)


# The processor writes float noise into integer columns and adds noise to values it
# cannot know are finite, as its algorithm does; pandas and numpy warn about both in
# the plain transcription and in the odd-dtype cases. Those warnings are expected here.
EXPECTED_WARNINGS = (
    "ignore:Setting an item of incompatible dtype is deprecated:FutureWarning",
    "ignore:invalid value encountered in add:RuntimeWarning",
    "ignore:Casting complex values to real discards the imaginary part",
)


def pytest_collection_modifyitems(config, items):
    for item in items:
        if "tests/noiseforge/" in str(item.fspath).replace("\\", "/"):
            for expected in EXPECTED_WARNINGS:
                item.add_marker(pytest.mark.filterwarnings(expected))
