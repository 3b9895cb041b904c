"""Times the same work under two environments, one with pandas 2 and one with pandas 3:
Rulewarden.validate with text rules, and a default TabularEvaluator.evaluate.

The frames are built the same way in both (text from object arrays, which pandas 2
keeps as object columns and pandas 3 reads into its str dtype), so each major is timed
on the text columns its users get. The environments run one after the other, in
alternating rounds, each round in a fresh process; the script prints each one's best
time and the ratio of the two (pandas 3 over pandas 2; the goal is at most 1.25 either
way).

    python benchmarks/pandas_majors_bench.py PYTHON_A PYTHON_B [--rows N] [--eval-rows M] [--rounds K]

PYTHON_A and PYTHON_B are the interpreters of the two environments, for instance those
of the release check's clean environments, build/release/venv-pandas2/bin/python and
build/release/venv-pandas3/bin/python (made by `bash tools/dev.sh wheel`), which differ
in pandas alone. Run without interpreters (or with --one), it times the current one and
prints JSON.
"""

import argparse
import json
import pathlib
import subprocess
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from _frames import mixed_frame  # noqa: E402

TEXT_RULES = [
    "city == 'Lyon'",
    "status != 'closed'",
    "if city == 'Porto' then age >= 21",
    "city != 'Gent' and status == 'open' or age > 70",
    "if status == 'closed' then plan != 'basic'",
]


def rule_frame(rows, seed=0):
    rng = np.random.default_rng(seed)
    city = rng.choice(np.array(["Lyon", "Porto", "Turku", "Gent"], dtype=object), rows)
    city[rng.random(rows) < 0.01] = None
    return pd.DataFrame(
        {
            "age": rng.integers(16, 90, rows),
            "city": city,
            "status": rng.choice(np.array(["open", "closed", "held"], dtype=object), rows),
            "plan": rng.choice(np.array(["basic", "plus", "pro"], dtype=object), rows),
        }
    )


def best_of(function, rounds):
    best = float("inf")
    for _ in range(rounds):
        started = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - started)
    return best


def time_here(rows, eval_rows, rounds):
    from velmora.tabular.evaluator.evaluator import TabularEvaluator
    from velmora.tabular.evaluator.metrics import clear_shared_results
    from velmora.tabular.rulewarden import Rulewarden

    frame = rule_frame(rows)
    engine = Rulewarden()
    for rule in TEXT_RULES:
        engine.add_rule(rule)
    validate = best_of(lambda: engine.validate(frame), rounds)

    real, synthetic = mixed_frame(eval_rows, seed=1), mixed_frame(eval_rows, seed=2, shift=0.2)
    evaluator = TabularEvaluator(random_seed=0)

    def evaluate():
        clear_shared_results()  # every round computes everything
        evaluator.evaluate(real, synthetic)

    evaluate_time = best_of(evaluate, rounds)
    return {
        "pandas": pd.__version__,
        "text dtype": str(frame["city"].dtype),
        "validate": validate,
        "evaluate": evaluate_time,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("pythons", nargs="*", help="the interpreters of the two environments")
    parser.add_argument("--rows", type=int, default=1_000_000, help="rows of the validated frame")
    parser.add_argument("--eval-rows", type=int, default=20_000, help="rows of each evaluated frame")
    parser.add_argument("--rounds", type=int, default=3, help="alternating rounds (each a fresh process)")
    parser.add_argument("--one", action="store_true", help="time the current interpreter, print JSON")
    args = parser.parse_args()
    if args.one or not args.pythons:
        print(json.dumps(time_here(args.rows, args.eval_rows, rounds=2)))
        return
    if len(args.pythons) != 2:
        parser.error("give the interpreters of two environments")
    runs = {python: [] for python in args.pythons}
    for _ in range(args.rounds):
        for python in args.pythons:
            command = [python, __file__, "--one", "--rows", str(args.rows), "--eval-rows", str(args.eval_rows)]
            output = subprocess.run(command, capture_output=True, text=True, check=True).stdout
            runs[python].append(json.loads(output.strip().splitlines()[-1]))
    best = {}
    for python, results in runs.items():
        best[python] = {key: min(result[key] for result in results) for key in ("validate", "evaluate")}
        first = results[0]
        print(
            f"pandas {first['pandas']} ({python}), text in {first['text dtype']}: validate "
            f"{best[python]['validate']:.3f} s ({args.rows:,} rows, {len(TEXT_RULES)} text rules), default "
            f"evaluate {best[python]['evaluate']:.3f} s ({args.eval_rows:,} rows)"
        )
    by_major = {runs[python][0]["pandas"].split(".")[0]: best[python] for python in args.pythons}
    if set(by_major) == {"2", "3"}:
        for key in ("validate", "evaluate"):
            print(f"{key}: pandas 3 / pandas 2 = {by_major['3'][key] / by_major['2'][key]:.2f}")


if __name__ == "__main__":
    main()
