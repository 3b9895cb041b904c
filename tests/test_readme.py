"""The README's Python examples run as written."""
import pathlib
import re


README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)


def test_readme_examples_run_in_order(tmp_path, monkeypatch):
    # Later examples may continue earlier ones, as a reader would run them.
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "readme_example"}
    for code in BLOCKS:
        exec(compile(code, str(README), "exec"), namespace)


def test_readme_has_examples():
    assert BLOCKS
