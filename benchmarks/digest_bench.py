"""What the content digests cost: the metric library keys its stores of shared results
by BLAKE3 digests of the columns and matrices it reads (``content_digest``,
``cell_digest``). One default ``TabularEvaluator().evaluate(real, synthetic)`` on
1,000,000 rows of the benchmark's 20 mixed columns, with every digest call timed: the
time spent digesting against the time of the whole call (goal: under 5%), as wall-clock
seconds and as CPU seconds of the process (which other work on the machine does not
inflate), and the bytes digested. Also the digest's throughput on one 256 MB array.

Run: .venv/bin/python benchmarks/digest_bench.py [--rows 1000000]
"""

import argparse
import os
import sys
import time
from typing import Callable, Dict

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _frames import mixed_frame  # noqa: E402

GOAL = 0.05


def timed(function: Callable, totals: Dict[str, float]) -> Callable:
    def wrapper(values, *args):
        start, cpu = time.perf_counter(), time.process_time()
        try:
            return function(values, *args)
        finally:
            totals["seconds"] += time.perf_counter() - start
            totals["cpu"] += time.process_time() - cpu
            totals["calls"] += 1
            totals["bytes"] += np.asarray(values).nbytes

    return wrapper


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=1_000_000)
    arguments = parser.parse_args()
    from velmora._metric_core import columns, data, kernels, models
    from velmora.tabular.evaluator.evaluator import TabularEvaluator

    totals = {"seconds": 0.0, "cpu": 0.0, "calls": 0, "bytes": 0}
    # Every module that digests, under the names it calls.
    for module in (kernels, data, columns, models):
        for name in ("content_digest", "cell_digest"):
            if hasattr(module, name):
                setattr(module, name, timed(getattr(module, name), totals))

    big = np.random.RandomState(0).normal(size=32 * 2**20)
    start = time.perf_counter()
    kernels.content_digest(big)
    throughput = big.nbytes / (time.perf_counter() - start) / 2**30
    totals.update(seconds=0.0, cpu=0.0, calls=0, bytes=0)

    real, synthetic = mixed_frame(arguments.rows, seed=1), mixed_frame(arguments.rows, seed=2)
    print(f"One default evaluate() of {arguments.rows:,} rows (load average {os.getloadavg()[0]:.2f})")
    start, cpu = time.perf_counter(), time.process_time()
    TabularEvaluator().evaluate(real, synthetic)
    elapsed, cpu = time.perf_counter() - start, time.process_time() - cpu
    share, cpu_share = totals["seconds"] / elapsed, totals["cpu"] / cpu
    verdict = "ok" if cpu_share < GOAL else "above goal"
    print(
        f"  evaluate {elapsed:.2f} s ({cpu:.2f} CPU s); digests {totals['seconds']:.2f} s ({totals['cpu']:.2f} CPU s) "
        f"in {totals['calls']} calls over {totals['bytes'] / 2**30:.2f} GiB: {share:.1%} of the wall-clock time, "
        f"{cpu_share:.1%} of the CPU time (goal under {GOAL:.0%}, {verdict})"
    )
    print(f"  digest throughput on one {big.nbytes / 2**20:.0f} MB array: {throughput:.2f} GiB/s")


if __name__ == "__main__":
    main()
