"""The same scenarios give the same answers under pandas 2 and pandas 3.

The test command runs tests/differential/scenarios.py in each environment before the
Python tests: the development environments (CPython 3.9 with the lowest releases,
pandas 2; CPython 3.13 with the newest, pandas 3) and the release check's clean CPython
3.13 environments of the wheel with pandas 3 and with pandas 2, whose other packages
are the same releases. It names the results it expects in VELMORA_SCENARIOS_EXPECTED;
one that is missing (its run failed) fails this test. A run of pytest outside the test
command has no results to compare and skips.

Every value is compared exactly, with one exception: the utility scores, which come
from fitted scikit-learn models, are compared exactly between environments with the
same scikit-learn release and only for their presence otherwise; so is the verdict's
quality score, which averages them in.
"""

import itertools
import json
import os
import pathlib

import pytest

RESULTS = os.environ.get("VELMORA_SCENARIO_RESULTS")
EXPECTED = os.environ.get("VELMORA_SCENARIOS_EXPECTED", "").split()


def load(name):
    path = pathlib.Path(RESULTS) / f"{name}.json"
    if not path.is_file():
        log = path.with_suffix(".log")
        reason = log.read_text(encoding="utf-8")[-2000:] if log.is_file() else "no log"
        pytest.fail(f"the scenarios of {name} wrote no results:\n{reason}")
    return json.loads(path.read_text(encoding="utf-8"))


def without_models(results, names):
    """The results with the value of each model-based metric, and of the quality score that
    averages them in, replaced by a marker (the value is still there, so a score missing
    on one side still shows)."""

    def strip(node, key=None):
        if key in names or key == "quality_score":
            return "model-based"
        if isinstance(node, str) and node.startswith("quality score "):
            return "model-based"
        if isinstance(node, dict):
            return {k: strip(v, k) for k, v in node.items()}
        if isinstance(node, list):
            return [strip(item) for item in node]
        return node

    return strip(results)


def differences(left, right, path=""):
    """Paths where two canonical JSON documents differ, at most 20."""
    found = []
    if isinstance(left, dict) and isinstance(right, dict):
        for key in sorted(set(left) | set(right)):
            if key not in left or key not in right:
                found.append(f"{path}/{key}: only on the {'right' if key not in left else 'left'}")
            else:
                found += differences(left[key], right[key], f"{path}/{key}")
    elif isinstance(left, list) and isinstance(right, list) and len(left) == len(right):
        for i, (a, b) in enumerate(zip(left, right)):
            found += differences(a, b, f"{path}[{i}]")
    elif left != right:
        found.append(f"{path}: {json.dumps(left)[:200]} != {json.dumps(right)[:200]}")
    return found[:20]


pytestmark = pytest.mark.skipif(
    not RESULTS or len(EXPECTED) < 2,
    reason="the scenarios run in the test command (bash tools/dev.sh test), which names their results",
)


def test_every_environment_wrote_its_results_under_its_pandas_major():
    majors = {name: load(name)["environment"]["pandas"].split(".")[0] for name in EXPECTED}
    assert set(majors.values()) == {"2", "3"}, majors
    for name in EXPECTED:
        if name.startswith("wheel-pandas"):
            assert majors[name] == name[-1], (name, majors[name])


@pytest.mark.parametrize("left, right", list(itertools.combinations(EXPECTED, 2)) if RESULTS else [])
def test_same_answers(left, right):
    a, b = load(left), load(right)
    results_a, results_b = a["results"], b["results"]
    if a["environment"]["scikit-learn"] != b["environment"]["scikit-learn"]:
        names = set(a["model_metrics"])
        results_a, results_b = without_models(results_a, names), without_models(results_b, names)
    found = differences(results_a, results_b)
    assert not found, f"{left} ({a['environment']}) and {right} ({b['environment']}) differ:\n" + "\n".join(found)
