"""The module as a whole: its names, import-time effects and the demonstration run."""

import logging
import os
import subprocess
import sys
import warnings

import noiseforge_reference as reference
import numpy as np
import pandas as pd

from velmora.core_generator import noiseforge

TESTS_DIR = os.path.dirname(__file__)


def run_python(*arguments):
    return subprocess.run(
        [sys.executable, *arguments], capture_output=True, text=True, timeout=300, check=False, cwd=TESTS_DIR
    )


def test_module_names_and_docstring():
    assert noiseforge.__name__ == "velmora.core_generator.noiseforge"
    assert noiseforge.__doc__.splitlines() == [
        "Differential Privacy Module for Velmora",
        "",
        "A minimal module that applies differential privacy to preprocessed DataFrames",
        "with configurable privacy parameters and minimal noise addition.",
    ]
    assert noiseforge.np is np and noiseforge.pd is pd
    assert noiseforge.logging is logging and noiseforge.warnings is warnings
    assert noiseforge.logger is logging.getLogger("velmora.core_generator.noiseforge")
    assert noiseforge.NoiseforgeProcessor.__module__ == "velmora.core_generator.noiseforge"
    assert noiseforge.apply_noiseforge.__module__ == "velmora.core_generator.noiseforge"


def test_import_silences_warnings_and_configures_a_fresh_root_logger():
    result = run_python(
        "-c",
        "import warnings, logging\n"
        "import velmora.core_generator.noiseforge\n"
        "warnings.warn('should not show')\n"
        "logging.getLogger('elsewhere').info('visible')\n"
        "print(logging.getLogger().level, len(logging.getLogger().handlers))\n",
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == "INFO:elsewhere:visible\n"
    assert result.stdout == f"{logging.INFO} 1\n"


def test_import_keeps_an_existing_logging_configuration():
    result = run_python(
        "-c",
        "import logging, sys\n"
        "logging.basicConfig(level=logging.ERROR, stream=sys.stdout, format='%(name)s|%(message)s')\n"
        "import velmora.core_generator.noiseforge as m\n"
        "m.NoiseforgeProcessor()\n"
        "logging.getLogger('x').error('shown')\n"
        "print(logging.getLogger().level, len(logging.getLogger().handlers))\n",
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"x|shown\n{logging.ERROR} 1\n"
    assert result.stderr == ""


def expected_demonstration_output():
    np.random.seed(42)
    n_samples = 1000
    df_sample = pd.DataFrame(
        {
            "feature_1": np.random.normal(0, 1, n_samples),
            "feature_2": np.random.normal(0, 1, n_samples),
            "feature_3": np.random.choice([0, 1], n_samples),
            "category_1": np.random.choice(["A", "B", "C"], n_samples),
            "category_2": np.random.choice(["X", "Y"], n_samples),
            "target": np.random.choice([0, 1], n_samples),
        }
    )
    df_dp = reference.apply_dp(df_sample, method="minimal", preserve_columns=["target"])
    lines = ["Original DataFrame:", str(df_sample.head()), "Shape: (1000, 6)"]
    lines += ["\nAfter applying differential privacy:", str(df_dp.head()), "Shape: (1000, 6)"]
    lines += ["\nPrivacy Information:", "  epsilon: 1.0", "  delta: 1e-05", "  noise_scale: 0.1"]
    lines += ["  categorical_noise_prob: 0.05", "  numerical_noise_std: 0.01"]
    return "\n".join(lines) + "\n", df_sample, df_dp


def test_demonstration_runs_as_main_program():
    result = run_python("-m", "velmora.core_generator.noiseforge")
    assert result.returncode == 0, result.stderr
    expected, df_sample, df_dp = expected_demonstration_output()
    assert result.stdout == expected
    three = [
        "INFO:__main__:Initialized DP processor with epsilon=1.0, delta=1e-05",
        "INFO:__main__:Applying minimal differential privacy to DataFrame of shape (1000, 6)",
        "INFO:__main__:Applied DP with method 'minimal'. Output shape: (1000, 6)",
    ]
    assert result.stderr.splitlines() == three + three
    # The preserved 0/1 target is printed as it was; the 0/1 feature_3 is jittered.
    assert df_dp["target"].equals(df_sample["target"])
    assert not (df_dp["feature_3"].head() == df_sample["feature_3"].head()).any()


def test_launcher_does_nothing_when_imported():
    result = run_python("-c", "import velmora.core_generator.noiseforge.__main__")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "" and result.stderr == ""


def test_guide_example_runs(capsys):
    guide = os.path.join(TESTS_DIR, "..", "..", "docs", "guide", "noise.md")
    with open(guide, encoding="utf-8") as handle:
        text = handle.read()
    code = text.split("## Perturbing a frame\n\n```{testcode}\n", 1)[1].split("```", 1)[0]
    namespace = {}
    exec(compile(code, "docs/guide/noise.md", "exec"), namespace)
    assert capsys.readouterr().out == "(500, 4)\nTrue\n"
    assert namespace["noisy"]["target"].equals(namespace["df"]["target"])
