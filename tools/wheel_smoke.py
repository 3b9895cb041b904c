"""Smoke test of an installed velmora (a wheel in a clean environment): the three
extension modules, the metric kernels and the command line each do one small job.

    python tools/wheel_smoke.py

Exits non-zero with the failed check on standard error. Run from outside the source
tree's src folder, so the installed package is the one imported.
"""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile


def main():
    import numpy as np
    import pandas as pd

    import velmora
    from velmora.core_generator.noiseforge import apply_noiseforge
    from velmora.tabular.evaluator.evaluator import TabularEvaluator
    from velmora.tabular.rulewarden import Rulewarden

    location = pathlib.Path(velmora.__file__).resolve()
    assert "site-packages" in location.parts, f"velmora imported from {location}, not from an installed copy"

    rng = np.random.default_rng(0)
    df = pd.DataFrame(
        {
            "age": rng.integers(18, 90, 300),
            "income": rng.normal(50000, 12000, 300).round(2),
            "city": rng.choice(["Lyon", "Porto", "Turku"], 300),
        }
    )
    noisy = apply_noiseforge(df, epsilon=1.0, method="laplace", random_state=0)
    assert noisy.shape == df.shape and not noisy.equals(df), "noiseforge left the frame unchanged"

    report = Rulewarden().add_rule("age > 30").add_rule("city == 'Lyon'").validate(df)
    assert report.violations["age > 30"] == int((df["age"] <= 30).sum()), report.violations
    assert report.violations["city == 'Lyon'"] == int((df["city"] != "Lyon").sum()), report.violations

    evaluation = TabularEvaluator(random_seed=0).evaluate(df, noisy, metrics=["ks_complement", "alpha_precision"])
    assert evaluation.aggregate_metrics, "the evaluator filed no metric"
    assert 0.0 <= evaluation.overall_score() <= 1.0, evaluation.overall_score()

    command = shutil.which("velmora")
    assert command is not None, "no velmora command on the PATH"
    with tempfile.TemporaryDirectory() as folder:
        table = os.path.join(folder, "people.csv")
        df.to_csv(table, index=False)
        version = subprocess.run([command, "--version"], capture_output=True, text=True, check=True)
        assert velmora.__version__ in version.stdout, version.stdout
        result = subprocess.run([command, "validate", table, "--rule", "age > 30"], capture_output=True, text=True)
        assert result.returncode == 0 and "Rule 'age > 30'" in result.stdout, result.stdout + result.stderr
    print(
        f"velmora {velmora.__version__} from {location.parent}: modules and command line work "
        f"(pandas {pd.__version__}, numpy {np.__version__}, CPython {sys.version.split()[0]})"
    )


if __name__ == "__main__":
    main()
