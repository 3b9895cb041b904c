"""The README's Python examples run as written, and the architecture of CONTRIBUTING.md
names every folder."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)


# The heatmap pair's shared colour bar is laid out as the page draws it; matplotlib
# notes that tight_layout cannot place it.
@pytest.mark.filterwarnings("ignore:This figure includes Axes that are not compatible with tight_layout")
def test_readme_examples_run_in_order(tmp_path, monkeypatch):
    # Later examples may continue earlier ones, as a reader would run them.
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "readme_example"}
    for code in BLOCKS:
        exec(compile(code, str(README), "exec"), namespace)


def test_readme_has_examples():
    assert BLOCKS


def test_architecture_names_every_folder():
    root = README.parent
    contributing = (root / "CONTRIBUTING.md").read_text(encoding="utf-8")
    section = contributing.split("## Architecture", 1)[1].split("\n## ", 1)[0]
    folders = [f"native/{p.name}" for p in (root / "native").iterdir() if p.is_dir()]
    folders += [
        p.name
        for p in root.iterdir()
        if p.is_dir() and p.name in {"src", "tests", "benchmarks", "examples", "docs", "tools", ".ci"}
    ]
    assert [f for f in folders if f"`{f}" not in section] == []


def test_metric_table_is_the_catalogue():
    from velmora.tabular.evaluator.catalogue import metric_catalogue

    text = (README.parent / "docs" / "guide" / "metrics.md").read_text(encoding="utf-8")
    # Pipes inside a cell are escaped, as Markdown tables need.
    expected = [
        f"| `{info.name}` | {info.group} | {info.better} | {info.value_range} | "
        f"{info.summary.replace('|', chr(92) + '|')} |"
        for info in metric_catalogue()
    ]
    assert [line for line in text.splitlines() if line in expected] == expected
