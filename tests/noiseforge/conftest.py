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
