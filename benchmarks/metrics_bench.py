"""Timings of the metric library.

1. The default evaluation suite on 10,000 and 100,000 rows of 20 mixed columns: every
   metric class built and called the way the evaluator calls it, seconds per metric
   and the total (goal: under 60 s at 100,000 rows on a 2-core machine).
2. The native kernels against the plain library computation they replace, run in one
   process, alternating, best of ``--repeats``:
   - nearest-neighbour distances (distance to closest record), 10,000 x 10,000 and
     100,000 x 10,000 rows in 10 dimensions, against scikit-learn's default
     ``NearestNeighbors`` (goal: 2x);
   - RBF kernel sums of an MMD on 5,000 x 5,000 rows, against the numpy Gram-matrix
     form (goal: 3x);
   - KS statistic and Wasserstein distance of every column of 100,000 x 20, against
     scipy's per-column ``ks_2samp`` and ``wasserstein_distance`` (goal: 5x).
3. The two privacy metrics on 100,000 real x 100,000 synthetic rows of the 20 mixed
   columns (``--privacy-rows``), each searching every reference row: seconds per
   metric, with the queries it ran, for a fresh sample and for a verbatim copy (found
   by hashing).
4. One default ``TabularEvaluator().evaluate(real, synthetic)`` call on 100,000 and
   1,000,000 rows of the 20 mixed columns (``--one-call-rows``), against the floor of
   numpy sorting every numeric column of both frames once (best of three, measured
   right before the call): goal 50x the floor at 100,000 rows, 15x at 1,000,000. It
   runs first, in a process that has imported and stored nothing yet.

The metrics of one process share what they compute on the same frames (sorted columns,
coded rows, searches, prepared tasks): the per-metric suite charges shared work to the
first metric that needs it (``ks_complement`` sorts every column, ``alpha_precision``
embeds the rows and runs two of the three searches, ``prediction_agreement`` fits the
two models TSTR uses).

Run: .venv/bin/python benchmarks/metrics_bench.py [--rows 10000 100000] [--skip-suite]
[--skip-kernels] [--skip-privacy] [--skip-one-call] [--privacy-rows 100000]
[--one-call-rows 100000 1000000] [--repeats 3]
"""

import argparse
import os
import sys
import time
from typing import Callable, Dict, List

import numpy as np
from scipy import stats
from sklearn.neighbors import NearestNeighbors

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _frames import mixed_frame  # noqa: E402

from velmora._metric_core import kernels as _kernels  # noqa: E402


def run_default_suite(real, synthetic, seed=None) -> Dict[str, float]:
    """The evaluator's default suite, one metric per evaluate() call (tstr last, as the
    suite files it); returns seconds per metric name."""
    from velmora.tabular.evaluator.evaluator import TabularEvaluator

    evaluator = TabularEvaluator(random_seed=seed)
    order = [name for name in TabularEvaluator.DEFAULT_METRICS if name != "tstr_normalized"] + ["tstr_normalized"]
    seconds: Dict[str, float] = {}
    for name in order:
        report = evaluator.evaluate(real, synthetic, metrics=[name])
        if not (report.aggregate_metrics or report.privacy_metrics):
            raise RuntimeError(f"the metric {name!r} filed no result")
        seconds[name] = report.evaluation_time_seconds
    return seconds


def suite(rows_list: List[int]) -> None:
    for rows in rows_list:
        real = mixed_frame(rows, seed=1)
        synthetic = mixed_frame(rows, seed=2)
        print(f"\nDefault suite, {rows:,} rows x {real.shape[1]} columns")
        seconds = run_default_suite(real, synthetic, seed=0)
        for name, elapsed in seconds.items():
            print(f"  {name:30s} {elapsed:8.2f} s")
        print(f"  {'total':30s} {sum(seconds.values()):8.2f} s")


def best_of(repeats: int, native: Callable[[], object], plain: Callable[[], object]):
    native_times, plain_times = [], []
    for _ in range(repeats):
        for times, run in ((plain_times, plain), (native_times, native)):
            start = time.perf_counter()
            run()
            times.append(time.perf_counter() - start)
    return min(native_times), min(plain_times)


def report_ratio(label: str, goal: float, native: float, plain: float) -> None:
    ratio = plain / native
    verdict = "ok" if ratio >= goal else "below goal"
    print(
        f"  {label:46s} native {native:7.3f} s  plain {plain:7.3f} s  ratio {ratio:6.2f}x (goal {goal:g}x, {verdict})"
    )


def kernels(repeats: int) -> None:
    rng = np.random.RandomState(0)
    print("\nKernels against the plain library computation")
    for n_real, n_synthetic in ((10_000, 10_000), (100_000, 10_000)):
        real = rng.normal(size=(n_real, 10))
        synthetic = rng.normal(size=(n_synthetic, 10))
        native, plain = best_of(
            repeats,
            lambda real=real, synthetic=synthetic: _kernels.nearest_neighbours(real, synthetic),
            lambda real=real, synthetic=synthetic: NearestNeighbors(n_neighbors=1).fit(synthetic).kneighbors(real),
        )
        report_ratio(f"DCR nearest neighbour {n_real:,} x {n_synthetic:,} x 10", 2.0, native, plain)

    x = rng.normal(size=(5_000, 20))
    y = rng.normal(0.1, size=(5_000, 20))
    gamma = 1.0 / (2.0 * 40.0)

    def gram_form():
        xx, yy = (x * x).sum(axis=1), (y * y).sum(axis=1)
        k_xx = np.exp(-gamma * (xx[:, None] + xx[None, :] - 2.0 * x @ x.T))
        k_yy = np.exp(-gamma * (yy[:, None] + yy[None, :] - 2.0 * y @ y.T))
        k_xy = np.exp(-gamma * (xx[:, None] + yy[None, :] - 2.0 * x @ y.T))
        return k_xx.mean() + k_yy.mean() - 2.0 * k_xy.mean()

    native, plain = best_of(repeats, lambda: _kernels.rbf_kernel_sums(x, y, gamma), gram_form)
    report_ratio("RBF MMD 5,000 x 5,000 x 20", 3.0, native, plain)

    real = rng.normal(size=(100_000, 20))
    synthetic = np.round(rng.normal(0.05, 1.1, size=(100_000, 20)), 2)

    def native_columns():
        return [_kernels.ks_wasserstein(real[:, c], synthetic[:, c]) for c in range(real.shape[1])]

    def scipy_columns():
        return [
            (
                stats.ks_2samp(real[:, c], synthetic[:, c]).statistic,
                stats.wasserstein_distance(real[:, c], synthetic[:, c]),
            )
            for c in range(real.shape[1])
        ]

    native, plain = best_of(repeats, native_columns, scipy_columns)
    report_ratio("KS + Wasserstein, 100,000 x 20 columns", 5.0, native, plain)


def privacy(rows: int) -> None:
    from velmora.tabular.evaluator.metrics.privacy.distance_to_closest_record import DTCRMetric
    from velmora.tabular.evaluator.metrics.privacy.membership_inference import MembershipInferenceMetric

    real = mixed_frame(rows, seed=1)
    fresh = mixed_frame(rows, seed=2)
    print(f"\nPrivacy metrics, {rows:,} real x {rows:,} synthetic rows x {real.shape[1]} columns")
    for label, synthetic in (("fresh sample", fresh), ("verbatim copy", real.copy())):
        for metric in (MembershipInferenceMetric(), DTCRMetric()):
            start = time.perf_counter()
            value = metric.compute(real, synthetic)
            elapsed = time.perf_counter() - start
            queries = ", ".join(
                f"{name} {used:,} of {total:,}" for name, (used, total) in metric.details["queries"].items()
            )
            print(f"  {type(metric).__name__:26s} {label:14s} {elapsed:7.2f} s  value {value:.4f}  queries: {queries}")


# Goal of the one-call ratio (seconds / sort floor) by row count; sizes in between use
# the goal of the next larger size listed.
ONE_CALL_GOALS = {100_000: 50.0, 1_000_000: 15.0}


def sort_floor(real, synthetic, repeats: int = 3) -> float:
    """Best of ``repeats`` runs of np.sort over every numeric column of both frames."""
    columns = [
        frame[column].to_numpy()
        for frame in (real, synthetic)
        for column in frame.select_dtypes(include=[np.number]).columns
    ]
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        for values in columns:
            np.sort(values)
        best = min(best, time.perf_counter() - start)
    return best


def one_call(rows_list: List[int]) -> None:
    from velmora.tabular.evaluator.evaluator import TabularEvaluator

    print(f"\nOne default evaluate() call (load average {os.getloadavg()[0]:.2f})")
    for rows in rows_list:
        real = mixed_frame(rows, seed=1)
        synthetic = mixed_frame(rows, seed=2)
        floor = sort_floor(real, synthetic)
        start = time.perf_counter()
        report = TabularEvaluator().evaluate(real, synthetic)
        elapsed = time.perf_counter() - start
        filed = len(report.aggregate_metrics) + len(report.privacy_metrics)
        goal = next(
            (ONE_CALL_GOALS[size] for size in sorted(ONE_CALL_GOALS) if rows <= size), min(ONE_CALL_GOALS.values())
        )
        ratio = elapsed / floor
        verdict = "ok" if ratio <= goal else "above goal"
        print(
            f"  {rows:>9,} rows x {real.shape[1]} columns  {elapsed:7.2f} s  sort floor {floor:6.3f} s  "
            f"ratio {ratio:6.1f}x (goal {goal:g}x, {verdict})  {filed} results"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--skip-suite", action="store_true")
    parser.add_argument("--skip-kernels", action="store_true")
    parser.add_argument("--skip-privacy", action="store_true")
    parser.add_argument("--skip-one-call", action="store_true")
    parser.add_argument("--privacy-rows", type=int, default=100_000)
    parser.add_argument("--one-call-rows", type=int, nargs="+", default=[100_000, 1_000_000])
    arguments = parser.parse_args()
    # First, while nothing is imported or stored: the one call pays for what a first
    # evaluation in a process pays for (imports, every shared result).
    if not arguments.skip_one_call:
        one_call(arguments.one_call_rows)
    if not arguments.skip_suite:
        suite(arguments.rows)
    if not arguments.skip_kernels:
        kernels(arguments.repeats)
    if not arguments.skip_privacy:
        privacy(arguments.privacy_rows)


if __name__ == "__main__":
    main()
