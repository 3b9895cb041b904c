"""Times Rulewarden.validate against the plain pandas computation of the same algorithm.

Both run in one process, alternating, on the same frame; the script checks that the
reports agree and prints the ratio plain / native (above 1: the module is faster).

    .venv/bin/python benchmarks/rulewarden_bench.py [--rows N] [--rounds K]
"""
import argparse
import pathlib
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "rulewarden"))
from reference import assert_report_matches, reference_validate  # noqa: E402

from velmora.tabular.rulewarden import Rulewarden  # noqa: E402

RULES = [
    "c0 > -3.0",
    "c1 >= -3.0",
    "c2 < 3.0",
    "c3 <= 3.0",
    "c4 != 99",
    "c5 == c5",
    "c6 + c7 < 6.5",
    "c8 > -3.2",
    "if c9 > 2 then c10 < 2",
    "if c11 < -2 then c0 > -2",
]


def build_frame(rows, seed=0):
    rng = np.random.default_rng(seed)
    data = {f"c{k}": rng.standard_normal(rows) for k in range(12)}
    data["c4"] = rng.integers(0, 100, rows)
    frame = pd.DataFrame(data)
    frame.loc[rng.random(rows) < 0.002, "c5"] = np.nan
    return frame


def best_of(function, rounds):
    times = []
    result = None
    for _ in range(rounds):
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
    return min(times), result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    frame = build_frame(args.rows)
    engine = Rulewarden()
    for rule in RULES:
        engine.add_rule(rule)

    native_times, plain_times = [], []
    for _ in range(args.rounds):  # alternate so both see the same machine load
        t, report = best_of(lambda: engine.validate(frame), 1)
        native_times.append(t)
        t, expected = best_of(lambda: reference_validate(engine, frame), 1)
        plain_times.append(t)
    assert_report_matches(report, expected)
    native, plain = min(native_times), min(plain_times)
    print(f"validate, {args.rows:,} rows x {frame.shape[1]} columns, {len(RULES)} rules, "
          f"{report.violation_rate:.1%} of rows violate")
    print(f"  native {native * 1e3:9.1f} ms   plain {plain * 1e3:9.1f} ms   ratio plain/native {plain / native:5.2f}x")


if __name__ == "__main__":
    main()
