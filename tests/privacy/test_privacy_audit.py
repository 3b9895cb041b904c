"""An empirical audit of the ledger's epsilon, in the spirit of Ding et al., "Detecting
Violations of Differential Privacy" (CCS 2018): for each mechanism, two neighbouring
tables that differ in one record, many seeded runs of the release, and for events on
that record's released cells, Clopper-Pearson intervals of their probabilities under
either table. The lower confidence bound of the privacy loss,
max ln((P[E | D] - delta) / P[E | D']) over the events and both orders, must not exceed
the ledger's epsilon; the point estimate shows how close the audit comes to it.

The runs are batched: the release is local (each row is released from its own record
with its own draws, the kernel tests check the draws), so a release of the table
stacked RUNS times holds RUNS independent runs of the record's release, one per copy.
Seeds are fixed, so the audit gives the same figures on every run.
"""

import math

import numpy as np
import pandas as pd
import pytest
from scipy.stats import beta

from velmora.privacy import protect

RUNS = 50_000
ALPHA = 1e-3  # for all the intervals of one audit together (Bonferroni)
BACKGROUND = pd.DataFrame(
    {
        "amount": [12.5, 80.0, 43.0, 99.9],
        "count": np.array([0, 3, 5, 2], dtype=np.int64),
        "city": ["Porto", "Turku", "Lyon", "Oslo"],
        "member": [True, False, True, True],
    }
)
DOMAINS = {
    "bounds": {"amount": (0.0, 100.0), "count": (0, 5)},
    "categories": {"city": ["Lyon", "Oslo", "Porto", "Turku"]},
}


def released_runs(record, seed, **options):
    """RUNS runs of the release of the table whose first record is `record`: that
    record's released cells, one row per run."""
    table = pd.concat([pd.DataFrame([record]).astype(BACKGROUND.dtypes), BACKGROUND], ignore_index=True)
    stacked = table.iloc[np.tile(np.arange(len(table)), RUNS)].reset_index(drop=True)
    released, ledger = protect(stacked, random_state=seed, **DOMAINS, **options)
    return released.iloc[:: len(table)].reset_index(drop=True), ledger


def interval(hits, runs, alpha):
    low = 0.0 if hits == 0 else beta.ppf(alpha / 2, hits, runs - hits + 1)
    high = 1.0 if hits == runs else beta.ppf(1 - alpha / 2, hits + 1, runs - hits)
    return low, high


def audit(first, second, events, delta=0.0):
    """(estimate, lower bound) of the privacy loss over the events, both orders."""
    alpha = ALPHA / (2 * len(events))
    estimate, lower = 0.0, -math.inf
    for event in events:
        p_hits, q_hits = int(event(first).sum()), int(event(second).sum())
        for a_hits, b_hits in ((p_hits, q_hits), (q_hits, p_hits)):
            a_low, _ = interval(a_hits, RUNS, alpha)
            _, b_high = interval(b_hits, RUNS, alpha)
            if a_low - delta > 0:
                lower = max(lower, math.log((a_low - delta) / b_high))
            if b_hits > 0 and a_hits / RUNS - delta > 0:
                estimate = max(estimate, math.log((a_hits / RUNS - delta) / (b_hits / RUNS)))
    return estimate, lower


def thresholds(low, high, count=9):
    return [lambda v, t=t: v >= t for t in np.linspace(low, high, count + 2)[1:]]


EXTREMES = (
    {"amount": 0.0, "count": 0, "city": "Lyon", "member": False},
    {"amount": 100.0, "count": 5, "city": "Oslo", "member": True},
)
# A record outside the public domain: a missing amount, a city not in the list.
OUTSIDE = (
    {"amount": np.nan, "count": 0, "city": "Paris", "member": False},
    {"amount": 100.0, "count": 5, "city": "Oslo", "member": True},
)
EVENTS = {
    "amount": thresholds(0.0, 100.0),
    "count": [lambda v, k=k: v == k for k in range(6)],
    "city": [lambda v, c=c: v == c for c in DOMAINS["categories"]["city"]],
    "member": [lambda v: v],
}


@pytest.mark.parametrize(
    "method, epsilon, delta, records",
    [
        ("laplace", 1.0, None, EXTREMES),
        ("laplace", 0.25, None, EXTREMES),
        ("gaussian", 1.0, 1e-3, EXTREMES),
        ("laplace", 1.0, None, OUTSIDE),
    ],
)
def test_the_measured_privacy_loss_never_exceeds_the_ledger(method, epsilon, delta, records):
    first, ledger = released_runs(records[0], 1, epsilon=epsilon, delta=delta, method=method)
    second, _ = released_runs(records[1], 2, epsilon=epsilon, delta=delta, method=method)
    for column, events in EVENTS.items():
        charge = ledger.charge(column)
        assert charge.epsilon == epsilon
        estimate, lower = audit(first[column].to_numpy(), second[column].to_numpy(), events, charge.delta)
        assert lower <= charge.epsilon, (column, estimate, lower)
        if records is EXTREMES and method == "laplace":
            # The extreme events reach the bound: the audit would see a looser mechanism.
            assert estimate > 0.85 * charge.epsilon, (column, estimate)


def test_the_audit_catches_a_ledger_that_claims_too_little():
    # Noise for epsilon 2 held against a claim of epsilon 1: the interval's lower end
    # lies above 1 for the extreme events.
    first, _ = released_runs(EXTREMES[0], 1, epsilon=2.0)
    second, _ = released_runs(EXTREMES[1], 2, epsilon=2.0)
    for column, events in EVENTS.items():
        _, lower = audit(first[column].to_numpy(), second[column].to_numpy(), events)
        assert lower > 1.0, column
