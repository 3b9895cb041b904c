"""The release decision on seeded populations: for each population, table size and
release, with and without a holdout, the verdict, the exposed share and the quality
score of one default evaluation (``evaluate_release``), and the time of one default
evaluation of a 10,000-row table whose default target is a 50-value text column.

    python benchmarks/release_decision.py [--sizes 300 50000] [--kinds numeric ...]

Releases: a copy, a bootstrap copy, the numbers moved by 0.01 standard deviations,
10% and 50% of the rows copied (the rest fresh), "minimal" noise, 100 real rows
repeated, a fresh sample, Laplace noise at epsilon 0.1 on the numbers, the columns
shuffled apart, unrelated values. The populations are those of the metric tests
(``tests/evaluator_metrics/populations.py``).
"""

import argparse
import logging
import pathlib
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "evaluator_metrics"))

import populations as pop  # noqa: E402

from velmora.core_generator.noiseforge import apply_noiseforge  # noqa: E402
from velmora.tabular.evaluator.release import evaluate_release  # noqa: E402


def releases(real, fresh, seed):
    cases = {
        "copy": real.copy(),
        "bootstrap": pop.bootstrap(real, seed),
        "jitter 0.01 SD": pop.jitter(real, 0.01, seed),
        "10% copied": pop.copy_share(real, fresh, 0.1, seed),
        "50% copied": pop.copy_share(real, fresh, 0.5, seed),
        "minimal": apply_noiseforge(real, method="minimal", random_state=seed),
        "100 rows repeated": pop.collapse(real, 100, seed),
        "fresh": fresh,
    }
    if len(pop.text_columns(real)) < real.shape[1]:
        cases["laplace e=0.1 numbers"] = apply_noiseforge(
            real, epsilon=0.1, method="laplace", preserve_columns=pop.text_columns(real), random_state=seed
        )
    cases["shuffled"] = pop.shuffled(real, seed)
    cases["unrelated"] = pop.unrelated(real, seed)
    return cases


def cell(verdict):
    """The verdict (release / no; privacy passed, failed or undecided), the exposed share
    and the quality score."""
    privacy = {True: "passed", False: "failed", None: "undecided"}[verdict.privacy_passed]
    released = "release" if verdict.releasable else "no"
    return f"{released:<7} {privacy:<9} {verdict.exposed_share:6.1%} {verdict.quality_score:6.3f}"


def decision_table(kinds, sizes):
    print("releasable, privacy, exposed share, quality score (no holdout | with a holdout of the same population)")
    for kind in kinds:
        for size in sizes:
            real, fresh = pop.draw(kind, size, 1), pop.draw(kind, size, 2)
            holdout = pop.draw(kind, min(size, 10_000), 3)
            started = time.perf_counter()
            print(f"\n{kind}, {size:,} rows ({pd.Series(real.duplicated(keep=False)).mean():.0%} of them repeated)")
            for name, synthetic in releases(real, fresh, 4).items():
                without = evaluate_release(real, synthetic, random_seed=0).release_verdict()
                within = evaluate_release(real, synthetic, holdout=holdout, random_seed=0).release_verdict()
                print(f"  {name:<22} {cell(without)} | {cell(within)}")
            print(f"  ({time.perf_counter() - started:.0f} s)")


def many_classes_speed():
    """One default evaluation of 10,000 rows whose default target is a 50-value text
    column (no text column of 20 values or fewer, no numeric one of more than 20)."""
    rng = np.random.default_rng(0)

    def table(seed):
        r = np.random.default_rng(seed)
        z = r.normal(size=10_000)
        city = np.clip((z * 8 + 25 + r.normal(size=10_000)).astype(int), 0, 49)
        return pd.DataFrame(
            {
                "city": np.array([f"city{i}" for i in range(50)], dtype=object)[city],
                "rooms": np.clip(np.round(3 + z + r.normal(size=10_000)), 1, 8).astype(np.int64),
                "floor": r.integers(0, 12, size=10_000),
                "rating": np.clip(np.round(3 + z), 1, 5).astype(np.int64),
            }
        )

    del rng
    real, synthetic = table(1), table(2)
    evaluate_release(real.iloc[:500], synthetic.iloc[:500])  # imports and first calls
    started = time.perf_counter()
    report = evaluate_release(real, synthetic)
    seconds = time.perf_counter() - started
    target = report.aggregate_metrics["tstr_normalized"].details["target"]
    print(f"\ndefault evaluation of 10,000 rows, target {target!r} (50 values): {seconds:.2f} s")


def main():
    logging.getLogger("velmora.core_generator.noiseforge").setLevel(logging.WARNING)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[300, 50_000])
    parser.add_argument("--kinds", nargs="+", default=list(pop.KINDS + pop.REPEATING))
    parser.add_argument("--speed-only", action="store_true")
    args = parser.parse_args()
    many_classes_speed()
    if not args.speed_only:
        decision_table(args.kinds, args.sizes)


if __name__ == "__main__":
    main()
