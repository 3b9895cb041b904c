"""The installed package, as pip installed it from a wheel of this tree: what it holds,
and the three modules imported from it in a fresh interpreter, where the test-only
extension is absent."""

import importlib.metadata
import pathlib
import subprocess
import sys
import tarfile

import velmora

EXTENSIONS = (
    "velmora/tabular/rulewarden",
    "velmora/tabular/evaluator/evaluator",
    "velmora/core_generator/noiseforge/__init__",
    "velmora/_metric_core/_metric_kernels",
    "velmora/privacy/_privacy_kernels",
)
STUBS = [stem + ".pyi" for stem in EXTENSIONS] + ["velmora/py.typed"]


def test_installed_files_and_metadata():
    files = [str(path) for path in importlib.metadata.files("velmora")]
    for stem in EXTENSIONS:
        assert [name for name in files if name.startswith(stem + ".") and name.endswith(".so")], stem
    assert set(STUBS) <= set(files)
    assert [name for name in files if name.endswith("LICENSE") and ".dist-info/" in name]
    assert not [name for name in files if "_binding_probe" in name]
    metadata = importlib.metadata.metadata("velmora")
    assert metadata["Version"] == velmora.__version__
    assert metadata["License-Expression"] == "Apache-2.0"
    assert "Programming Language :: Python :: 3.13" in metadata.get_all("Classifier")
    # No upper bound on CPython or pandas; Parquet through an extra.
    assert metadata["Requires-Python"] == ">=3.9"
    requirements = metadata.get_all("Requires-Dist")
    assert "pandas>=2.2.3" in requirements
    assert any(r.replace(" ", "").startswith("pyarrow>=16.0.0;extra==") and "parquet" in r for r in requirements)


def test_the_sdist_holds_what_a_build_needs_and_nothing_of_development(tmp_path):
    root = pathlib.Path(__file__).resolve().parents[1]
    code = "import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))"
    result = subprocess.run([sys.executable, "-c", code, str(tmp_path)], cwd=root, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    with tarfile.open(tmp_path / result.stdout.strip().splitlines()[-1]) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    needed = {"CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE"}
    for folder in (
        "native/common",
        "native/binding",
        "native/rulewarden",
        "native/evaluator",
        "native/noiseforge",
        "native/_metric_kernels",
        "src/velmora",
    ):
        needed |= {
            str(path.relative_to(root))
            for path in (root / folder).rglob("*")
            if path.is_file() and "__pycache__" not in path.parts
        }
    assert sorted(needed - names) == []
    development = (
        "tests/",
        "native/tests/",
        "native/_binding_probe/",
        "benchmarks/",
        "examples/",
        "tools/",
        "constraints/",
        ".ci/",
        "build/",
        ".venv",
    )
    assert sorted(name for name in names if name.startswith(development)) == []


def test_three_modules_import_and_run_from_the_installed_tree(tmp_path):
    code = """
import importlib.util, sys
import pandas as pd
import velmora
assert importlib.util.find_spec("velmora._binding_probe") is None
from velmora.core_generator.noiseforge import apply_noiseforge
from velmora.tabular.evaluator.evaluator import TabularEvaluator
from velmora.tabular.rulewarden import Rulewarden
frame = pd.DataFrame({"a": [1.0, -2.0, 3.0, 4.5], "b": ["x", "y", "x", "y"]})
noisy = apply_noiseforge(frame, method="laplace", random_state=1)
report = TabularEvaluator(random_seed=0).evaluate(frame, noisy, metrics=["ks_complement"])
print(velmora.__file__)
print(Rulewarden().add_rule("a > 0").validate(frame).total_violations, sorted(report.aggregate_metrics))
"""
    # -I: no current folder or PYTHON* variables on the path, only the environment's
    # site-packages; the binding tests' extension of velmora.__path__ is not inherited.
    result = subprocess.run([sys.executable, "-I", "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    location, summary = result.stdout.splitlines()
    installed = pathlib.Path(importlib.metadata.distribution("velmora").locate_file("velmora/__init__.py"))
    assert pathlib.Path(location) == installed
    assert summary == "1 ['ks_complement_a', 'ks_complement_b']"
