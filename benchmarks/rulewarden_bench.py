"""Times Rulewarden.validate with native rule evaluation against the plain path.

"reference" is the plain pandas computation of the algorithm (DataFrame.eval per rule,
labels gathered in a Python set, sorted); "plain" is the module with native evaluation
switched off (DataFrame.eval per rule, labels gathered as one row mask). All run in one
process, alternating, on the same frames; the reports are checked to agree, and the
script prints the ratios (above 1: native is faster) and the native peak memory.

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

import velmora.tabular.rulewarden as rw  # noqa: E402


def build_frame(rows, seed=0):
    rng = np.random.default_rng(seed)
    data = {f"c{k}": rng.standard_normal(rows) for k in range(10)}
    data["c10"] = rng.integers(0, 100, rows)
    data["c11"] = rng.choice(np.array(["red", "green", "blue"], dtype=object), rows)
    frame = pd.DataFrame(data)
    frame.loc[rng.random(rows) < 0.002, "c5"] = np.nan
    return frame


def rules_for(tail):
    """8 comparisons and 2 conditionals over 12 columns; `tail` is the share of rows
    that break each comparison (a normal quantile for the float columns)."""
    z = float(np.round(-np.quantile(np.random.default_rng(1).standard_normal(200_000), tail), 3))
    return [
        f"c0 > {-z}",
        f"c1 >= {-z}",
        f"c2 < {z}",
        f"c3 <= {z}",
        f"c4 + c5 < {z * 1.4142}",
        f"c6 * 2 > {-2 * z}",
        f"c10 >= {int(tail * 100)}",
        f"not (c7 < {-z}) and c11 != 'purple'",
        f"if c8 > {z / 2} then c9 > {-z}",
        f"if c11 == 'red' then c0 - c1 < {z * 2}",
    ]


UNHANDLED = [
    "c0 ** 2 < 9",
    "1 < c1 < 3 or c1 <= 1",
    "abs(c2) < 3",
    "c3 // 1 < 3",
    "c4 in [0, 1] or c4 < 3",
    "c10 % 100 >= 0",
    "c5 ** 2 >= 0",
    "c6 < 3 < 4",
    "if c7 ** 2 > 1 then c8 ** 2 >= 0",
    "c9 ** 1 < 3",
]


def engine_for(rules):
    engine = rw.Rulewarden()
    for rule in rules:
        engine.add_rule(rule)
    return engine


def timed(function, rounds):
    best, result = float("inf"), None
    for _ in range(rounds):
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
    return best, result


def compare(label, frame, rules, rounds):
    engine = engine_for(rules)
    native_best = plain_best = reference_best = float("inf")
    for _ in range(rounds):  # alternate so that all three see the same machine load
        rw._native_rules = True
        t, report = timed(lambda: engine.validate(frame), 1)
        native_best = min(native_best, t)
        rw._native_rules = False
        t, plain = timed(lambda: engine.validate(frame), 1)
        plain_best = min(plain_best, t)
        t, expected = timed(lambda: reference_validate(engine, frame), 1)
        reference_best = min(reference_best, t)
    rw._native_rules = True
    assert_report_matches(report, expected)
    assert_report_matches(plain, expected)
    per_rule = np.mean([count / len(frame) for count in report.violations.values()])
    print(
        f"{label}: {len(frame):,} rows, {len(rules)} rules, {per_rule:.1%} of rows break each rule, "
        f"{report.violation_rate:.1%} break one at least"
    )
    print(
        f"  native {native_best * 1e3:9.2f} ms   plain {plain_best * 1e3:9.2f} ms "
        f"  reference {reference_best * 1e3:9.2f} ms"
    )
    print(f"  reference/native {reference_best / native_best:6.2f}x   plain/native {plain_best / native_best:6.2f}x")
    return engine


def resident_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field + " not found")


def peak_memory(frame, engine):
    """Extra resident memory at the peak of one native validate call (Linux: the peak
    counter is reset through /proc/self/clear_refs; C++ allocations count too)."""
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    before = resident_kib("VmRSS")
    engine.validate(frame)
    extra = (resident_kib("VmHWM") - before) * 1024
    size = frame.memory_usage(index=True, deep=True).sum()
    print(
        f"  native peak extra memory {extra / 2**20:.1f} MiB for a {size / 2**20:.1f} MiB frame "
        f"({extra / size:.2f}x the frame)"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    big = build_frame(args.rows)
    peak_memory(big, engine_for(rules_for(0.10)))  # first, before any other call has grown the heap
    compare("sparse", big, rules_for(0.005), args.rounds)
    compare("dense", big, rules_for(0.10), args.rounds)
    compare("small", build_frame(1000), rules_for(0.005), max(args.rounds, 20))
    compare("unhandled", big, UNHANDLED, args.rounds)


if __name__ == "__main__":
    main()
