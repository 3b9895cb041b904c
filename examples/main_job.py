"""velmora's main job: domain rules checked and repaired on a real, published table.

The Palmer penguins table (shipped by the PyPI package ``palmerpenguins``) has numeric
measurements with missing values and text columns. The job states plausible rules for
it, validates the table, prints the summary and repairs it with each strategy.
"""
import numpy as np
from palmerpenguins import load_penguins

from velmora.tabular.rulewarden import Rulewarden

RULES = [
    "bill_length_mm > 0",
    "bill_depth_mm > 0",
    "flipper_length_mm >= 150",
    "flipper_length_mm <= 240",
    "body_mass_g >= 2500",
    "body_mass_g <= 6500",
    "year >= 2007",
    "if species == 'Gentoo' then body_mass_g >= 3900",
    "if island == 'Torgersen' then species == 'Adelie'",
]


def main():
    penguins = load_penguins()
    print(f"Palmer penguins: {len(penguins)} rows, {penguins.shape[1]} columns, "
          f"{int(penguins.isna().sum().sum())} missing cells")

    engine = Rulewarden()
    for rule in RULES:
        engine.add_rule(rule)
    report = engine.validate(penguins)
    print("\nViolations per rule:")
    print(report.summary())
    print(f"\n{report.total_violations} violations in {len(report.violating_rows)} rows "
          f"({report.violation_rate:.1%} of the table)")

    np.random.seed(7)
    for strategy in ("drop", "resample", "clip"):
        fixed = report.fix(penguins, strategy=strategy)
        after = engine.validate(fixed)
        print(f"fix({strategy!r}): {len(fixed)} rows, {after.total_violations} violations left")


if __name__ == "__main__":
    main()
