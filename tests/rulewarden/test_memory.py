"""Repeated calls keep memory flat: no leaked references, no growing allocations."""

import sys

import numpy as np
import pandas as pd

from velmora.tabular.rulewarden import Rulewarden


def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def test_repeated_calls_keep_memory_flat():
    rng = np.random.default_rng(0)
    df = pd.DataFrame(
        {
            "a": rng.standard_normal(50_000),
            "s": rng.choice(["x", "y"], 50_000).astype(object),
            "i": rng.integers(0, 9, 50_000),
        },
        index=[f"r{k}" for k in range(50_000)],
    )
    engine = (
        Rulewarden()
        .add_rule("a > -1")
        .add_rule("if s == 'x' then i < 7")
        .add_rule("a ** 2 < 1")
        .add_rule("missing > 0")
    )

    def work():
        report = engine.validate(df)
        report.fix(df, "clip")
        report.fix(df, "drop")
        return report

    for _ in range(5):
        work()
    references = [sys.getrefcount(df), sys.getrefcount(engine), sys.getrefcount(df.index)]
    before = resident_kib()
    for _ in range(60):
        work()
    growth = resident_kib() - before
    assert [sys.getrefcount(df), sys.getrefcount(engine), sys.getrefcount(df.index)] == references
    assert growth < 16 * 1024, f"resident memory grew by {growth} KiB"
