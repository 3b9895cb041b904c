"""The shared binding layer: argument checking, messages and introspection, exercised
through the probe module whose functions cover every parameter kind."""

import inspect
import pydoc

import numpy as np
import pytest
import velmora._binding_probe as probe

INCORRECT = "Argument '{}' has incorrect type (expected {}, got {})"


class StrSubclass(str):
    pass


class ListSubclass(list):
    pass


class FalseyFailure:
    def __bool__(self):
        raise RuntimeError("no truth value")


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, (1, 0.5, "x", None, True, None)),
        ({"count": 2.9}, (2, 0.5, "x", None, True, None)),
        ({"count": True}, (1, 0.5, "x", None, True, None)),
        ({"count": np.int64(7)}, (7, 0.5, "x", None, True, None)),
        ({"ratio": 2}, (1, 2.0, "x", None, True, None)),
        ({"ratio": np.float32(0.25)}, (1, 0.25, "x", None, True, None)),
        ({"items": ["a"]}, (1, 0.5, "x", ["a"], True, None)),
        ({"flag": None}, (1, 0.5, "x", None, False, None)),
        ({"flag": [1]}, (1, 0.5, "x", None, True, None)),
        ({"seed": 7.5}, (1, 0.5, "x", None, True, 7)),
    ],
)
def test_conversions(kwargs, expected):
    result = probe.kinds(**kwargs)
    assert result == expected
    assert [type(v) for v in result] == [type(v) for v in expected]


def test_converted_values_are_exact_builtin_types():
    count, ratio, _, _, flag, seed = probe.kinds(np.int64(3), np.float64(1.5), "x", None, 1, np.int32(4))
    assert type(count) is int and type(ratio) is float and flag is True and type(seed) is int


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"count": "2"}, INCORRECT.format("count", "int", "str")),
        ({"count": None}, INCORRECT.format("count", "int", "NoneType")),
        ({"seed": "7"}, INCORRECT.format("seed", "int", "str")),
        ({"name": None}, INCORRECT.format("name", "str", "NoneType")),
        ({"name": b"x"}, INCORRECT.format("name", "str", "bytes")),
        ({"items": ("a",)}, INCORRECT.format("items", "list", "tuple")),
    ],
)
def test_incorrect_type_messages(kwargs, message):
    with pytest.raises(TypeError) as caught:
        probe.kinds(**kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "kwargs, head",
    [
        ({"name": StrSubclass("x")}, INCORRECT.format("name", "str", "StrSubclass")),
        ({"items": ListSubclass()}, INCORRECT.format("items", "list", "ListSubclass")),
    ],
)
def test_subclasses_of_builtin_types_are_rejected_with_a_note(kwargs, head):
    with pytest.raises(TypeError) as caught:
        probe.kinds(**kwargs)
    text = str(caught.value)
    assert text.startswith(head) and text != head
    assert "Subclasses of builtin types are rejected" in text


def test_float_without_a_float_value_raises_the_interpreters_type_error():
    with pytest.raises(TypeError, match="must be real number, not str"):
        probe.kinds(ratio="0.5")


def test_truth_test_errors_propagate():
    with pytest.raises(RuntimeError, match="no truth value"):
        probe.kinds(flag=FalseyFailure())


def test_conversions_run_before_exact_type_tests():
    # A bad int and a bad list: the int conversion reports first, whatever the order.
    with pytest.raises(TypeError, match="'count'"):
        probe.kinds(items=(), count="x")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: probe.kinds(1, 2, 3, 4, 5, 6, 7), "kinds() takes at most 6 positional arguments (7 given)"),
        (lambda: probe.Probe().required(), "required() takes exactly 2 positional arguments (1 given)"),
        (lambda: probe.Probe().required("a", "b"), "required() takes exactly 2 positional arguments (3 given)"),
        (lambda: probe.Probe.required(), "required() takes exactly 2 positional arguments (0 given)"),
        (lambda: probe.with_kwargs(), "with_kwargs() takes at least 1 positional argument (0 given)"),
        (lambda: probe.with_kwargs(1, 2, 3), "with_kwargs() takes at most 2 positional arguments (3 given)"),
        (lambda: probe.Probe.static_kinds(1), "static_kinds() takes exactly 2 positional arguments (1 given)"),
        # A missing required argument is reported before an unknown keyword.
        (lambda: probe.Probe().required(other=1), "required() takes exactly 2 positional arguments (1 given)"),
        (lambda: probe.kinds(colour=1), "kinds() got an unexpected keyword argument 'colour'"),
        (lambda: probe.kinds(1, count=2), "kinds() got multiple values for keyword argument 'count'"),
        (lambda: probe.Probe().required("a", text="b"), "required() got multiple values for keyword argument 'text'"),
    ],
)
def test_count_and_keyword_messages(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def test_required_arguments_by_keyword():
    instance = probe.Probe()
    assert probe.Probe.required(self=instance, text="t") == (instance, "t")
    assert probe.Probe.static_kinds(b=2, a=1) == (1, 2)


def test_var_keyword_collects_unknown_keywords_only():
    first, second, extra = probe.with_kwargs(1, second=2, zeta=3, alpha=4)
    assert (first, second) == (1, 2)
    assert list(extra.items()) == [("zeta", 3), ("alpha", 4)]
    assert probe.with_kwargs(1)[2] == {}


def test_methods_bind_and_static_methods_do_not():
    instance = probe.Probe()
    assert instance.required("t") == (instance, "t")
    bound = instance.required
    assert bound.__self__ is instance and bound.__func__ is probe.Probe.__dict__["required"]
    assert instance.static_kinds(1, 2) == (1, 2)


def test_introspection_comes_from_the_table():
    f = probe.kinds
    assert f.__name__ == "kinds" and f.__qualname__ == "kinds" and f.__module__ == "velmora._binding_probe"
    assert f.__doc__ == (
        "kinds(int count: int = 1, double ratio: float = 0.5, str name: str = 'x', "
        "list items: Optional[List[str]] = None, bool flag: bool = True, int seed: Optional[int] = None)"
        " -> tuple\n\nReturn the checked arguments."
    )
    assert f.__annotations__ == {
        "count": "int",
        "ratio": "float",
        "name": "str",
        "items": "Optional[List[str]]",
        "flag": "bool",
        "seed": "Optional[int]",
        "return": "tuple",
    }
    assert str(inspect.signature(f)) == (
        "(count: 'int' = 1, ratio: 'float' = 0.5, name: 'str' = 'x', items: 'Optional[List[str]]' = None, "
        "flag: 'bool' = True, seed: 'Optional[int]' = None) -> 'tuple'"
    )
    kw = probe.with_kwargs
    assert (
        kw.__doc__.splitlines()[0] == "with_kwargs(first: pd.DataFrame, second = None, **kwargs) -> 'EvaluationReport'"
    )
    assert str(inspect.signature(kw)) == "(first: 'pd.DataFrame', second=None, **kwargs) -> \"'EvaluationReport'\""
    assert str(inspect.signature(probe.Probe().required)) == "(text: 'str')"
    assert probe.Probe.required.__doc__ == "Probe.required(self, str text: str)"
    assert probe.Probe.required.__qualname__ == "Probe.required"


def test_help_shows_signature_lines():
    text = pydoc.render_doc(probe.Probe, renderer=pydoc.plaintext)
    assert "Probe.required(self, str text: str)" in text
    assert "required(self, text: 'str')" in text


def test_classes_are_plain_python_classes():
    cls = probe.Probe
    assert cls.__bases__ == (object,) and type(cls) is type
    assert cls.__module__ == "velmora._binding_probe" and cls.__doc__.startswith("A plain class")
    instance = cls()
    instance.anything = 1
    assert instance.__dict__ == {"anything": 1}


def test_function_attributes_are_writable_like_python_functions():
    f = probe.read_global
    f.custom = "x"
    assert f.custom == "x" and f.__dict__ == {"custom": "x"}


DELETE = object()


@pytest.mark.parametrize("name", ["__name__", "__qualname__"])
@pytest.mark.parametrize("value", [b"x", 3.5, 5, None, DELETE])
def test_names_hold_str_only(name, value):
    f = probe.Probe.required
    before = getattr(f, name)
    with pytest.raises(TypeError, match=f"^{name} must be set to a string object$"):
        if value is DELETE:
            delattr(f, name)
        else:
            setattr(f, name, value)
    assert getattr(f, name) == before and repr(f).startswith("<function Probe.required at ")


def test_annotations_hold_a_dict():
    f = probe.kinds
    with pytest.raises(TypeError, match="^__annotations__ must be set to a dict object$"):
        f.__annotations__ = [1]
    kept = f.__annotations__
    try:
        del f.__annotations__
        assert f.__annotations__ == {} and f.__annotations__ is f.__annotations__
    finally:
        f.__annotations__ = kept


@pytest.mark.parametrize(
    "kind, exception, message",
    [
        ("invalid_argument", ValueError, "bad argument"),
        ("out_of_range", IndexError, "past the end"),
        ("runtime_error", RuntimeError, "went wrong"),
        ("bad_alloc", MemoryError, ""),
        ("not_an_exception", RuntimeError, "Caught an unknown exception!"),
        # An implementation reading a parameter its table lacks.
        ("unknown_parameter", RuntimeError, "throw_cpp() has no parameter 'colour'."),
    ],
)
def test_cpp_exceptions_become_python_exceptions(kind, exception, message):
    with pytest.raises(exception) as caught:
        probe.throw_cpp(kind)
    assert type(caught.value) is exception and message in str(caught.value)


def test_globals_are_looked_up_at_call_time():
    assert probe.read_global("answer") == 42
    assert probe.read_global("len") is len
    probe.answer = 43
    try:
        assert probe.read_global("answer") == 43
    finally:
        probe.answer = 42
    with pytest.raises(NameError, match="name 'nothing_here' is not defined"):
        probe.read_global("nothing_here")


def test_called_code_exceptions_pass_through_unchanged():
    error = LookupError("mine")

    class Raising:
        def __bool__(self):
            raise error

    with pytest.raises(LookupError) as caught:
        probe.kinds(flag=Raising())
    assert caught.value is error


@pytest.mark.parametrize("exception", [ValueError("v"), LookupError("l"), ArithmeticError("a")])
def test_swallow_exception_swallows_exceptions(exception):
    def raise_it():
        raise exception

    assert probe.call_and_swallow(raise_it) is False
    assert probe.call_and_swallow(lambda: None) is True


@pytest.mark.parametrize("exception", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_swallow_exception_lets_base_exceptions_through(exception):
    def raise_it():
        raise exception()

    with pytest.raises(exception):
        probe.call_and_swallow(raise_it)
