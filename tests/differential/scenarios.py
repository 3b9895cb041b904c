"""The same scenarios of every module, run in one environment, written as canonical JSON.

    python tests/differential/scenarios.py OUTPUT.json

The test command runs this script in each of its environments (pandas 2 on CPython 3.9,
pandas 3 on CPython 3.13); test_pandas_majors.py compares what they wrote. Frames are
written column by column: a kind that does not depend on how a pandas version stores
text ("text" for object columns of str and for pandas' string dtypes), and the values,
with every missing value (None, NaN, pd.NA) as null: pandas 3 reads a missing text value
as NaN where pandas 2 kept None, and that difference is pandas' own. Floats are written
by repr, so they round-trip exactly.
"""

import contextlib
import io
import json
import math
import os
import pathlib
import platform
import sys
import tempfile

import numpy as np
import pandas as pd

# Results that come from fitted scikit-learn models: the environments may hold different
# scikit-learn releases, whose models need not agree to the last bit.
MODEL_METRICS = ("prediction_agreement", "tstr_normalized")


def kind(series):
    dtype = series.dtype
    if isinstance(dtype, pd.StringDtype):
        return "text"
    if isinstance(dtype, pd.CategoricalDtype):
        return "category"
    if dtype.kind == "O":
        present = series.dropna()
        return "text" if all(type(value) is str for value in present) else "object"
    return dtype.name


def value(cell):
    if cell is None or cell is pd.NA or (isinstance(cell, float) and math.isnan(cell)):
        return None
    if isinstance(cell, (bool, np.bool_)):
        return bool(cell)
    if isinstance(cell, (int, np.integer)):
        return int(cell)
    if isinstance(cell, (float, np.floating)):
        return repr(float(cell))
    if isinstance(cell, str):
        return cell
    return repr(cell)


def frame(df):
    return {
        "columns": [str(column) for column in df.columns],
        "index": [value(label) for label in df.index],
        "kinds": [kind(df[column]) for column in df.columns],
        "values": [[value(cell) for cell in df[column].astype(object)] for column in df.columns],
    }


def canonical(obj):
    if isinstance(obj, dict):
        return {str(key): canonical(item) for key, item in obj.items()}
    if isinstance(obj, (list, tuple)):
        return [canonical(item) for item in obj]
    if isinstance(obj, pd.DataFrame):
        return frame(obj)
    if isinstance(obj, (pd.Index, pd.Series)):
        return [value(cell) for cell in obj.astype(object)]
    return value(obj)


def people(rows=240, seed=3):
    """A frame of every kind of column the modules type: numbers (some missing), a
    low-cardinality integer, text (some missing), a category, booleans."""
    rng = np.random.default_rng(seed)
    age = rng.integers(16, 80, rows)
    # Income follows age, so the utility metrics (which predict the first column, age)
    # have something to learn.
    income = (15000 + 600 * age + rng.normal(0, 4000, rows)).round(2)
    income[::17] = np.nan
    city = rng.choice(["Lyon", "Porto", "Turku", "Gent"], rows).astype(object)
    city[::23] = None
    return pd.DataFrame(
        {
            "age": age,
            "income": income,
            "children": rng.integers(0, 4, rows),
            "city": list(city),
            "plan": pd.Categorical(rng.choice(["basic", "plus"], rows)),
            "member": rng.random(rows) < 0.4,
        }
    )


def with_string_dtypes(df):
    """The text column once more in pandas' StringDtype (python storage)."""
    out = df.copy()
    out["city_string"] = df["city"].astype(pd.StringDtype("python"))
    return out


def noise_scenarios(results):
    from velmora.core_generator.noiseforge import NoiseforgeProcessor, apply_noiseforge

    df = with_string_dtypes(people())
    processor = NoiseforgeProcessor(random_state=1)
    numerical, categorical = processor._detect_column_types(df)
    results["noise/column_types"] = {"numerical": numerical, "categorical": categorical}
    for method in ("minimal", "laplace", "gaussian"):
        for preserve in (None, ["age"]):
            name = f"noise/{method}" + ("/preserve" if preserve else "")
            results[name] = apply_noiseforge(df, epsilon=0.5, method=method, preserve_columns=preserve, random_state=11)
    results["noise/next_draw"] = float(np.random.random())


RULES = [
    "age > 17",
    "income >= 20000",
    "city == 'Lyon' or city == 'Porto'",
    "city != 'Turku'",
    "city_string == 'Gent'",
    "if age < 18 then income < 30000",
    "if city == 'Lyon' then children >= 1",
    "age > 0 and income / 2 < 30000",
    "missing_column > 0",
]


def rule_scenarios(results):
    from velmora.tabular.rulewarden import Rulewarden

    df = with_string_dtypes(people())
    df.index = [f"r{i:03d}" for i in range(len(df))]
    engine = Rulewarden()
    for rule in RULES:
        engine.add_rule(rule)
    for name, data in (("default_index", df.reset_index(drop=True)), ("text_index", df)):
        report = engine.validate(data)
        results[f"rules/{name}"] = {
            "violations": report.violations,
            "total": report.total_violations,
            "rate": report.violation_rate,
            "rows": report.violating_rows,
            "summary": report.summary(),
        }
        for strategy in ("drop", "resample", "clip"):
            np.random.seed(5)
            results[f"repair/{name}/{strategy}"] = report.fix(data, strategy=strategy)


def report_values(report):
    data = report.to_dict()
    for key in ("timestamp", "evaluation_time_seconds"):
        data.pop(key, None)
    return data


def evaluation_scenarios(results):
    from velmora.core_generator.noiseforge import apply_noiseforge
    from velmora.tabular.evaluator.evaluator import TabularEvaluator

    real = people(rows=400, seed=8)
    synthetic = apply_noiseforge(real, epsilon=1.0, method="laplace", random_state=2)
    evaluator = TabularEvaluator(random_seed=4)
    results["evaluate/default"] = report_values(evaluator.evaluate(real, synthetic))
    results["evaluate/string_dtype"] = report_values(
        evaluator.evaluate(with_string_dtypes(real), with_string_dtypes(synthetic), metrics=["ks_complement"])
    )


def cli_scenarios(results):
    from velmora.cli import main

    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder)
        people(rows=300, seed=13).to_csv(path / "real.csv", index=False)
        (path / "rules.txt").write_text("age > 20\nif city == 'Lyon' then income > 40000\n", encoding="utf-8")
        (path / "shifted.csv").write_text("a,b\n1,2,3\n4,5,6\n", encoding="utf-8")
        commands = {
            "perturb": ["perturb", "real.csv", "noisy.csv", "--method", "laplace", "--seed", "3"],
            "validate": ["validate", "noisy.csv", "--rules", "rules.txt", "--fix", "clip", "--output", "clean.csv"],
            "evaluate": [
                "evaluate",
                "real.csv",
                "noisy.csv",
                "--json",
                "report.json",
                "--metrics",
                "ks_complement",
                "total_variation",
                "alpha_precision",
                "distance_to_closest_record",
            ],
            "shifted": ["validate", "shifted.csv", "--rule", "a > 0"],
        }
        previous = os.getcwd()
        os.chdir(path)
        try:
            for name, argv in commands.items():
                out, err = io.StringIO(), io.StringIO()
                with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
                    status = main(argv)
                # The report's heading line holds its time stamp and duration.
                stdout = [line for line in out.getvalue().splitlines() if not line.startswith("Created ")]
                results[f"cli/{name}"] = {"status": status, "stdout": stdout, "stderr": err.getvalue()}
            # A file a command failed to write is missing from these results, and the
            # command's status and message say why.
            # Read exactly under both majors (pandas 2's default parser is not exact).
            exact = {"float_precision": "round_trip"} if pd.__version__ < "3" else {}
            for name in ("noisy.csv", "clean.csv"):
                if os.path.exists(name):
                    results[f"cli/{name}"] = pd.read_csv(name, **exact)
            if os.path.exists("report.json"):
                report = json.loads(pathlib.Path("report.json").read_text(encoding="utf-8"))
                for key in ("timestamp", "evaluation_time_seconds"):
                    report.pop(key, None)
                results["cli/report.json"] = report
        finally:
            os.chdir(previous)


def main(output):
    import sklearn

    results = {}
    for scenarios in (noise_scenarios, rule_scenarios, evaluation_scenarios, cli_scenarios):
        scenarios(results)
    document = {
        "environment": {
            "python": platform.python_version(),
            "pandas": pd.__version__,
            "numpy": np.__version__,
            "scikit-learn": sklearn.__version__,
        },
        "model_metrics": list(MODEL_METRICS),
        "results": canonical(results),
    }
    pathlib.Path(output).parent.mkdir(parents=True, exist_ok=True)
    pathlib.Path(output).write_text(json.dumps(document, indent=1, sort_keys=True) + "\n", encoding="utf-8")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
