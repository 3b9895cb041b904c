"""TabularEvaluator's constructor, class lists, module contents and signatures."""

import inspect
import subprocess
import sys
import textwrap
import typing

import numpy as np
import pandas as pd
import pytest
from evaluator_stubs import SISTER_MODULES

DEFAULT_METRICS = [
    "ks_complement",
    "wasserstein",
    "total_variation",
    "hellinger",
    "pearson_correl_diff",
    "spearman_correl_diff",
    "correlation_matrix_distance",
    "mmd",
    "tstr_normalized",
    "prediction_agreement",
    "alpha_precision",
    "beta_recall",
    "membership_inference_auc",
    "distance_to_closest_record",
]
PRIVACY_METRICS = ["membership_inference_auc", "nn_adversarial_accuracy", "distance_to_closest_record", "nnd_ratio"]


def type_error(argument, expected, given):
    return f"Argument '{argument}' has incorrect type (expected {expected}, got {given})"


def test_module_contents(evaluator_module, TabularEvaluator):
    assert evaluator_module.__all__ == ["TabularEvaluator"]
    assert TabularEvaluator.__bases__ == (object,)
    assert TabularEvaluator.__module__ == "velmora.tabular.evaluator.evaluator"
    assert evaluator_module.np is np and evaluator_module.pd is pd
    assert evaluator_module.time is sys.modules["time"]
    for name in ("Any", "Dict", "List", "Optional", "Union"):
        assert getattr(evaluator_module, name) is getattr(typing, name)


def test_class_lists(TabularEvaluator):
    assert type(TabularEvaluator.DEFAULT_METRICS) is list
    assert TabularEvaluator.DEFAULT_METRICS == DEFAULT_METRICS
    assert type(TabularEvaluator.PRIVACY_METRICS) is list
    assert TabularEvaluator.PRIVACY_METRICS == PRIVACY_METRICS


def test_defaults(TabularEvaluator):
    evaluator = TabularEvaluator()
    assert evaluator.metrics is TabularEvaluator.DEFAULT_METRICS
    assert (evaluator.n_jobs, evaluator.random_seed) == (1, None)
    assert evaluator.compute_privacy is True
    assert evaluator.compute_alpha_beta is True
    assert evaluator.compute_compliance is True
    assert list(vars(evaluator)) == [
        "metrics",
        "n_jobs",
        "random_seed",
        "compute_privacy",
        "compute_alpha_beta",
        "compute_compliance",
    ]


@pytest.mark.parametrize("metrics", [None, []])
def test_falsy_metrics_share_the_class_list(TabularEvaluator, metrics):
    assert TabularEvaluator(metrics=metrics).metrics is TabularEvaluator.DEFAULT_METRICS


def test_given_metrics_are_kept_as_given(TabularEvaluator):
    chosen = ["mmd", "not_a_metric"]
    assert TabularEvaluator(chosen).metrics is chosen


def test_subclass_brings_its_own_default_suite(TabularEvaluator):
    class Small(TabularEvaluator):
        DEFAULT_METRICS = ["ks_complement"]

    assert Small().metrics is Small.DEFAULT_METRICS


@pytest.mark.parametrize(
    "given, expected",
    [
        (2, 2),
        (2.9, 2),
        (-1.5, -1),
        (True, 1),
        (np.int64(4), 4),
        (np.float32(3.7), 3),
    ],
)
def test_integer_conversions(TabularEvaluator, given, expected):
    evaluator = TabularEvaluator(n_jobs=given, random_seed=given)
    assert type(evaluator.n_jobs) is int and evaluator.n_jobs == expected
    assert type(evaluator.random_seed) is int and evaluator.random_seed == expected


@pytest.mark.parametrize(
    "given, expected",
    [
        (None, False),
        (0, False),
        ([], False),
        ("", False),
        (1, True),
        ("no", True),
        (np.bool_(True), True),
    ],
)
def test_flags_are_truth_values(TabularEvaluator, given, expected):
    evaluator = TabularEvaluator(compute_privacy=given, compute_alpha_beta=given, compute_compliance=given)
    assert evaluator.compute_privacy is expected
    assert evaluator.compute_alpha_beta is expected
    assert evaluator.compute_compliance is expected


def test_failing_truth_test_propagates(TabularEvaluator):
    class Undecided:
        def __bool__(self):
            raise RuntimeError("no truth")

    with pytest.raises(RuntimeError, match="no truth"):
        TabularEvaluator(compute_compliance=Undecided())


class ListSubclass(list):
    pass


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"n_jobs": "2"}, type_error("n_jobs", "int", "str")),
        ({"n_jobs": None}, type_error("n_jobs", "int", "NoneType")),
        ({"random_seed": "7"}, type_error("random_seed", "int", "str")),
        ({"metrics": ("ks_complement",)}, type_error("metrics", "list", "tuple")),
        ({"metrics": "ks_complement"}, type_error("metrics", "list", "str")),
        ({"metrics": ListSubclass(["mmd"])}, type_error("metrics", "list", "ListSubclass") + " Subclasses"),
        ({"foo": 1}, "__init__() got an unexpected keyword argument 'foo'"),
    ],
)
def test_argument_errors(TabularEvaluator, kwargs, message):
    with pytest.raises(TypeError) as caught:
        TabularEvaluator(**kwargs)
    assert str(caught.value).startswith(message)


def test_conversions_are_checked_before_the_metrics_type(TabularEvaluator):
    with pytest.raises(TypeError, match="'n_jobs'"):
        TabularEvaluator(metrics=(), n_jobs="1")
    with pytest.raises(TypeError, match="'random_seed'"):
        TabularEvaluator(metrics=(), random_seed=object())


def test_too_many_positional_arguments(TabularEvaluator):
    with pytest.raises(TypeError) as caught:
        TabularEvaluator(None, 1, None, True, True, True, "extra")
    assert str(caught.value) == "__init__() takes at most 7 positional arguments (8 given)"


def test_positional_arguments(TabularEvaluator):
    evaluator = TabularEvaluator(["mmd"], 3, 11, 0, 1, 0)
    assert (evaluator.metrics, evaluator.n_jobs, evaluator.random_seed) == (["mmd"], 3, 11)
    assert (evaluator.compute_privacy, evaluator.compute_alpha_beta, evaluator.compute_compliance) == (
        False,
        True,
        False,
    )


SIGNATURES = {
    "__init__": (
        "TabularEvaluator.__init__(self, list metrics: Optional[List[str]] = None, int n_jobs: int = 1, "
        "int random_seed: Optional[int] = None, bool compute_privacy: bool = True, "
        "bool compute_alpha_beta: bool = True, bool compute_compliance: bool = True)",
        "(self, metrics: 'Optional[List[str]]' = None, n_jobs: 'int' = 1, random_seed: 'Optional[int]' = None, "
        "compute_privacy: 'bool' = True, compute_alpha_beta: 'bool' = True, compute_compliance: 'bool' = True)",
        None,
    ),
    "evaluate": (
        "TabularEvaluator.evaluate(self, real_data: pd.DataFrame, synthetic_data: Optional[pd.DataFrame] = None, "
        "generator = None, int n_samples: Optional[int] = None, list metrics: Optional[List[str]] = None, "
        "**kwargs) -> 'EvaluationReport'",
        "(self, real_data: 'pd.DataFrame', synthetic_data: 'Optional[pd.DataFrame]' = None, generator=None, "
        "n_samples: 'Optional[int]' = None, metrics: 'Optional[List[str]]' = None, **kwargs) "
        "-> \"'EvaluationReport'\"",
        "Run evaluation suite on real vs synthetic data.",
    ),
    "_run_privacy_metric": (
        "TabularEvaluator._run_privacy_metric(self, str name: str, real: pd.DataFrame, synthetic: pd.DataFrame)",
        "(self, name: 'str', real: 'pd.DataFrame', synthetic: 'pd.DataFrame')",
        "Run a single privacy metric by name.",
    ),
    "compare": (
        "TabularEvaluator.compare(self, list reports: list) -> 'ComparisonResult'",
        "(self, reports: 'list') -> \"'ComparisonResult'\"",
        "Compare multiple EvaluationReport objects from the same evaluator.",
    ),
}


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_signatures_and_docstrings(TabularEvaluator, name):
    line, signature, summary = SIGNATURES[name]
    method = TabularEvaluator.__dict__[name]
    assert method.__name__ == name
    assert method.__qualname__ == f"TabularEvaluator.{name}"
    assert method.__module__ == "velmora.tabular.evaluator.evaluator"
    assert str(inspect.signature(method)) == signature
    doc_lines = method.__doc__.splitlines()
    assert doc_lines[0] == line
    if summary is None:
        assert len(doc_lines) == 1
    else:
        assert doc_lines[1:3] == ["", summary]


def test_annotations(TabularEvaluator):
    assert TabularEvaluator.__init__.__annotations__ == {
        "metrics": "Optional[List[str]]",
        "n_jobs": "int",
        "random_seed": "Optional[int]",
        "compute_privacy": "bool",
        "compute_alpha_beta": "bool",
        "compute_compliance": "bool",
    }
    assert TabularEvaluator.evaluate.__annotations__ == {
        "real_data": "pd.DataFrame",
        "synthetic_data": "Optional[pd.DataFrame]",
        "n_samples": "Optional[int]",
        "metrics": "Optional[List[str]]",
        "return": "'EvaluationReport'",
    }
    assert TabularEvaluator._run_privacy_metric.__annotations__ == {
        "name": "str",
        "real": "pd.DataFrame",
        "synthetic": "pd.DataFrame",
    }
    assert TabularEvaluator.compare.__annotations__ == {"reports": "list", "return": "'ComparisonResult'"}


def test_class_docstring(TabularEvaluator):
    doc = inspect.cleandoc(TabularEvaluator.__doc__)
    lines = doc.splitlines()
    assert lines[0] == "Comprehensive evaluation of tabular synthetic data."
    parameters = doc.index("Parameters\n----------")
    examples = doc.index("Examples\n--------")
    assert parameters < examples
    documented = [line.split(" : ")[0] for line in lines if " : " in line and not line.startswith(" ")]
    assert documented == ["metrics", "n_jobs", "random_seed", "compute_privacy", "compute_alpha_beta"]
    assert "2022" in doc
    example_lines = [line for line in lines if line.startswith(">>> ")]
    assert any("evaluate(real_df, synthetic_df)" in line for line in example_lines)
    assert 'metrics=["ks_complement", "alpha_precision"]' in doc
    assert ">>> print(report.summary())" in example_lines
    assert ">>> print(report.to_json())" in example_lines


def sections(doc):
    """The docstring's text after its signature line and summary, dedented."""
    return inspect.cleandoc(doc.split("\n", 3)[3])


def test_method_docstring_sections(TabularEvaluator):
    evaluate_doc = sections(TabularEvaluator.evaluate.__doc__)
    for entry in (
        "real_data : pd.DataFrame",
        "synthetic_data :",
        "generator : BaseTabularAPI, optional",
        "n_samples :",
        "metrics :",
        "**kwargs",
        "Reference real data.",
        "Override the per-call metric list.",
    ):
        assert entry in evaluate_doc
    assert evaluate_doc.endswith("Returns\n-------\nEvaluationReport")
    compare_doc = sections(TabularEvaluator.compare.__doc__)
    assert "reports : list of EvaluationReport" in compare_doc
    assert compare_doc.endswith("Returns\n-------\nComparisonResult")


BLOCKER = textwrap.dedent("""
    import sys, importlib.abc
    import velmora.tabular.evaluator
    BLOCKED = {blocked!r}
    for name in list(sys.modules):
        if any(name == b or name.startswith(b + ".") for b in BLOCKED):
            del sys.modules[name]
    class Blocker(importlib.abc.MetaPathFinder):
        def find_spec(self, name, path=None, target=None):
            if any(name == b or name.startswith(b + ".") for b in BLOCKED):
                raise ModuleNotFoundError(f"No module named {{name!r}}", name=name)
            return None
    sys.meta_path.insert(0, Blocker())
""")


def run_python(code):
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    return completed.stdout


def test_loading_imports_no_sister_module():
    # The parent package is imported first: what it imports is its own business.
    out = run_python(
        textwrap.dedent(f"""
        import sys
        import velmora.tabular.evaluator
        before = set(sys.modules)
        import velmora.tabular.evaluator.evaluator as m
        m.TabularEvaluator(metrics=["mmd"], random_seed=3)
        new = set(sys.modules) - before
        print(sorted(n for n in new if n in {list(SISTER_MODULES)!r}
                     or n.startswith(("velmora.evaluation", "velmora.tabular.evaluator."))))
    """)
    )
    assert out.split("\n")[0] == "['velmora.tabular.evaluator.evaluator']"


def test_module_works_where_sister_modules_are_missing():
    blocked = ["velmora.tabular.evaluator.report", "velmora.tabular.evaluator.metrics", "velmora.evaluation"]
    out = run_python(
        BLOCKER.format(blocked=blocked)
        + textwrap.dedent("""
        import pandas as pd
        from velmora.tabular.evaluator.evaluator import TabularEvaluator
        evaluator = TabularEvaluator(compute_privacy=False)
        frame = pd.DataFrame({"a": [1, 2]})
        for call in (lambda: evaluator.evaluate(frame, frame), lambda: evaluator.compare([]),
                     lambda: evaluator._run_privacy_metric("nnd_ratio", frame, frame)):
            try:
                call()
            except ModuleNotFoundError as error:
                print(error.name)
    """)
    )
    assert out.split() == ["velmora.tabular.evaluator.report"] * 3
