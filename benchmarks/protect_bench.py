"""Times the protected release (velmora.privacy.protect) against the noise processor's
laplace method (apply_noiseforge) on the same frame, 1,000,000 rows of 20 numeric
columns (10 floats, half of them with missing values, and 10 integers), in one
process, and prints the ratio against its goal (at most 1.5). The same for the Gaussian
mechanisms, for information.

    python benchmarks/protect_bench.py [--rows N] [--repeats N]

With --repeats above 1 each contender runs that many times, alternating, and the ratio
is of the medians; by default each runs once after a small warm-up.
"""

import argparse
import gc
import logging
import statistics
import time

import numpy as np
import pandas as pd

from velmora.core_generator.noiseforge import apply_noiseforge
from velmora.privacy import protect

logging.getLogger("velmora.core_generator.noiseforge").setLevel(logging.WARNING)

GOAL = 1.5


def numeric_frame(rows, seed=0):
    """10 float columns (every other one with 1% missing) and 10 integer columns, with
    the public bounds a data owner would state for them."""
    rng = np.random.default_rng(seed)
    columns, bounds = {}, {}
    for i in range(10):
        values = rng.normal(100.0 * i, 10.0 + i, rows)
        if i % 2 == 0:
            values[rng.random(rows) < 0.01] = np.nan
        columns[f"f{i}"] = values
        bounds[f"f{i}"] = (100.0 * i - 6 * (10.0 + i), 100.0 * i + 6 * (10.0 + i))
    for i in range(10):
        columns[f"i{i}"] = rng.integers(-1000 * (i + 1), 1000 * (i + 1), rows)
        bounds[f"i{i}"] = (-1000 * (i + 1), 1000 * (i + 1))
    return pd.DataFrame(columns), bounds


def timed(call):
    gc.collect()
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=1)
    args = parser.parse_args()
    df, bounds = numeric_frame(args.rows)
    small, small_bounds = numeric_frame(10_000, seed=1)
    contenders = {
        "laplace": (
            lambda frame: apply_noiseforge(frame, epsilon=1.0, method="laplace", random_state=0),
            lambda frame, b: protect(frame, epsilon=1.0, bounds=b, random_state=0),
        ),
        "gaussian": (
            lambda frame: apply_noiseforge(frame, epsilon=1.0, method="gaussian", random_state=0),
            lambda frame, b: protect(frame, epsilon=1.0, delta=1e-5, method="gaussian", bounds=b, random_state=0),
        ),
    }
    print(f"{len(df):,} rows x {len(df.columns)} numeric columns, {args.repeats} run(s) each")
    for name, (specified, protected) in contenders.items():
        specified(small)
        protected(small, small_bounds)
        specified_times, protected_times = [], []
        for _ in range(args.repeats):
            specified_times.append(timed(lambda specified=specified: specified(df)))
            protected_times.append(timed(lambda protected=protected: protected(df, bounds)))
        a, b = statistics.median(specified_times), statistics.median(protected_times)
        verdict = f"goal <= {GOAL}: {'met' if b / a <= GOAL else 'MISSED'}" if name == "laplace" else "for information"
        print(f"  {name:8s} apply_noiseforge {a:7.3f} s   protect {b:7.3f} s   ratio {b / a:5.2f}  ({verdict})")


if __name__ == "__main__":
    main()
