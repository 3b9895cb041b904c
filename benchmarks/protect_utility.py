"""Measures what a protected release costs in accuracy on a public table, the diamonds
table plotnine ships (53,940 rows: 7 numeric, 3 categorical columns), with the public
domains a data owner would state, and prints the table of docs/guide/protected-release.md
(Markdown). For each total epsilon per record, split equally over the 10 columns:

- cell error: the mean absolute difference between a released and a true numeric
  value, as a share of the column's bounds, averaged over the numeric columns;
- mean error: the difference between the released and the true column mean, as a
  share of the bounds, averaged likewise;
- corr(carat, price): the released correlation (true value in the header);
- kept: the share of categorical cells released with their true category;
- exposed, verdict: the release verdict on one release (seed 0) of a seeded 80% of
  the rows, with the other 20% as the holdout: the share of real records it
  reproduces beyond chance (``ReleaseVerdict.exposed_share``) and whether it passes
  the privacy checks (distance to closest record and the membership attack).

    python benchmarks/protect_utility.py [--seeds N]
"""

import argparse
import importlib.util
import logging
import pathlib
import sys

import numpy as np
import pandas as pd

from velmora.core_generator.noiseforge import apply_noiseforge
from velmora.privacy import protect
from velmora.tabular.evaluator.release import evaluate_release

logging.getLogger("velmora.core_generator.noiseforge").setLevel(logging.WARNING)

BOUNDS = {
    "carat": (0, 5),
    "depth": (40, 80),
    "table": (40, 100),
    "price": (0, 20000),
    "x": (0, 11),
    "y": (0, 11),
    "z": (0, 7),
}
CATEGORIES = {
    "cut": ["Fair", "Good", "Very Good", "Premium", "Ideal"],
    "color": list("DEFGHIJ"),
    "clarity": ["I1", "SI2", "SI1", "VS2", "VS1", "VVS2", "VVS1", "IF"],
}
TOTALS = (1, 5, 10, 50, 100, 500)


def diamonds():
    spec = importlib.util.find_spec("plotnine")
    if spec is None or not spec.submodule_search_locations:
        sys.exit("the diamonds table needs the PyPI package plotnine (pip install plotnine)")
    return pd.read_csv(pathlib.Path(list(spec.submodule_search_locations)[0]) / "data" / "diamonds.csv")


def accuracy(true, released):
    spans = {column: high - low for column, (low, high) in BOUNDS.items()}
    cell = np.mean([np.mean(np.abs(released[c] - true[c])) / spans[c] for c in BOUNDS])
    mean = np.mean([abs(released[c].mean() - true[c].mean()) / spans[c] for c in BOUNDS])
    kept = np.mean([np.mean(released[c].to_numpy() == true[c].to_numpy()) for c in CATEGORIES])
    return cell, mean, released["carat"].corr(released["price"]), kept


PRIVACY_METRICS = ["distance_to_closest_record", "membership_inference_auc"]


def exposure(real, holdout, release):
    """The verdict's exposed share and privacy decision for one release of ``real``."""
    verdict = evaluate_release(real, release(real), holdout=holdout, metrics=PRIVACY_METRICS).release_verdict()
    return f"{verdict.exposed_share:.1%} | {'passed' if verdict.privacy_passed else 'refused'}"


def row(label, results, exposed):
    cell, mean, corr, kept = np.mean(results, axis=0)
    return f"| {label} | {cell:.1%} | {mean:.2%} | {corr:.2f} | {kept:.1%} | {exposed} |"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=5, help="releases averaged per row (default 5)")
    args = parser.parse_args()
    true = diamonds()
    seeds = range(args.seeds)
    held_out = np.random.RandomState(0).permutation(len(true)) < len(true) // 5
    real, holdout = true[~held_out].reset_index(drop=True), true[held_out].reset_index(drop=True)
    print(
        f"| total epsilon per record | cell error | mean error | corr(carat, price), true "
        f"{true['carat'].corr(true['price']):.2f} | categories kept | exposed | privacy verdict |"
    )
    print("|---|---|---|---|---|---|---|")

    def laplace(total):
        return lambda frame, seed=0: protect(
            frame, total_epsilon=total, bounds=BOUNDS, categories=CATEGORIES, random_state=seed
        )[0]

    def gaussian(total):
        return lambda frame, seed=0: protect(
            frame,
            method="gaussian",
            total_epsilon=total,
            total_delta=1e-6,
            bounds=BOUNDS,
            categories=CATEGORIES,
            random_state=seed,
        )[0]

    def specified(epsilon):
        return lambda frame, seed=0: apply_noiseforge(frame, epsilon=epsilon, method="laplace", random_state=seed)

    releases = [(f"{total} (Laplace, {total / 10:g} per column)", laplace(total)) for total in TOTALS]
    releases += [(f"{total}, delta 1e-6 (Gaussian, zCDP split)", gaussian(total)) for total in (1, 10, 100)]
    releases += [
        (f"apply_noiseforge laplace, epsilon {epsilon:g} (no per-record bound)", specified(epsilon))
        for epsilon in (0.1, 1.0)
    ]
    for label, release in releases:
        results = [accuracy(true, release(true, seed)) for seed in seeds]
        print(row(label, results, exposure(real, holdout, release)), flush=True)


if __name__ == "__main__":
    main()
