"""TabularEvaluator.compare hands the list of reports to the report module."""

import sys
import types

import pytest
from evaluator_stubs import REPORT


@pytest.mark.parametrize("reports", [[], [object()], [1, "two", None]])
def test_passes_the_list_on_and_returns_the_result(sisters, TabularEvaluator, reports):
    comparison = TabularEvaluator().compare(reports)
    assert comparison is sisters.outputs["compare"]
    ((kind, given),) = sisters.events
    assert kind == "compare" and given is reports


def test_keyword_argument(sisters, TabularEvaluator):
    reports = [1]
    assert TabularEvaluator().compare(reports=reports) is sisters.outputs["compare"]


def test_reads_no_evaluator_attribute(sisters, TabularEvaluator):
    assert TabularEvaluator.compare(object(), []) is sisters.outputs["compare"]


class ListSubclass(list):
    pass


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (((1, 2),), {}, "Argument 'reports' has incorrect type (expected list, got tuple)"),
        ((None,), {}, "Argument 'reports' has incorrect type (expected list, got NoneType)"),
        (
            (ListSubclass(),),
            {},
            "Argument 'reports' has incorrect type (expected list, got ListSubclass) "
            "Subclasses of builtin types are rejected; pass an exact list.",
        ),
        ((), {}, "compare() takes exactly 2 positional arguments (1 given)"),
        (([], []), {}, "compare() takes exactly 2 positional arguments (3 given)"),
        (([],), {"strict": True}, "compare() got an unexpected keyword argument 'strict'"),
    ],
)
def test_argument_errors_come_before_the_import(TabularEvaluator, monkeypatch, args, kwargs, message):
    monkeypatch.setitem(sys.modules, REPORT, None)
    with pytest.raises(TypeError) as caught:
        TabularEvaluator().compare(*args, **kwargs)
    assert str(caught.value) == message


def test_report_module_missing(TabularEvaluator, monkeypatch):
    monkeypatch.setitem(sys.modules, REPORT, None)
    with pytest.raises(ModuleNotFoundError):
        TabularEvaluator().compare([])


def test_report_module_without_compare(TabularEvaluator, monkeypatch):
    module = types.ModuleType(REPORT)
    module.__file__ = "/somewhere/report.py"
    monkeypatch.setitem(sys.modules, REPORT, module)
    with pytest.raises(ImportError) as caught:
        TabularEvaluator().compare([])
    assert str(caught.value) == f"cannot import name 'compare' from '{REPORT}' (/somewhere/report.py)"
    assert (caught.value.name, caught.value.path) == (REPORT, "/somewhere/report.py")


def test_errors_of_the_report_module_propagate(sisters, TabularEvaluator):
    sisters.outputs["compare"] = ValueError("not reports")
    with pytest.raises(ValueError, match="not reports"):
        TabularEvaluator().compare([1])


def test_compare_is_imported_on_every_call(sisters, TabularEvaluator):
    evaluator = TabularEvaluator()
    first = evaluator.compare([])
    replacement = object()
    sisters.modules[REPORT].compare = lambda reports: replacement
    assert first is sisters.outputs["compare"]
    assert evaluator.compare([]) is replacement
