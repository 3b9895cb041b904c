"""Memory over many evaluations: one real frame evaluated against 200 fresh synthetic
frames (the usual pattern: one real table, many synthetic versions), each deleted after
its evaluation. The shared results of the metric library must not pile up: the resident
set size after each evaluation stays within 10% of its size after the tenth (goal).

The frames are the benchmark's 20 mixed columns plus a text column of mostly distinct
values, whose cells the stores must not keep alive.

Run: .venv/bin/python benchmarks/soak_bench.py [--rows 5000] [--evaluations 200]
"""

import argparse
import gc
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _frames import mixed_frame  # noqa: E402

GOAL = 0.10


def resident_mb() -> float:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def with_names(frame, seed: int):
    rng = np.random.RandomState(seed)
    frame = frame.copy()
    frame["name"] = np.array([f"person-{seed}-{value}" for value in rng.randint(0, 10**9, len(frame))], dtype=object)
    return frame


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=5000)
    parser.add_argument("--evaluations", type=int, default=200)
    arguments = parser.parse_args()
    from velmora.tabular.evaluator.evaluator import TabularEvaluator

    real = with_names(mixed_frame(arguments.rows, seed=1), seed=1)
    evaluator = TabularEvaluator()
    sizes = []
    started = time.perf_counter()
    for number in range(1, arguments.evaluations + 1):
        synthetic = with_names(mixed_frame(arguments.rows, seed=1000 + number, shift=0.1), seed=1000 + number)
        evaluator.evaluate(real, synthetic)
        del synthetic
        gc.collect()
        sizes.append(resident_mb())
        if number in (1, 10) or number % 50 == 0:
            print(f"  after {number:4d} evaluations: {sizes[-1]:8.1f} MB", flush=True)
    reference = sizes[9]
    worst = max(abs(size - reference) / reference for size in sizes[10:])
    verdict = "ok" if worst <= GOAL else "above goal"
    print(
        f"{arguments.evaluations} evaluations of {arguments.rows:,} rows in {time.perf_counter() - started:.0f} s: "
        f"resident {min(sizes[10:]):.1f} to {max(sizes[10:]):.1f} MB after the tenth ({reference:.1f} MB), "
        f"largest change {worst:.1%} (goal {GOAL:.0%}, {verdict})"
    )


if __name__ == "__main__":
    main()
