"""The committed type stubs of the extension modules agree with the live signatures
(regenerate them with tools/make_stubs.py)."""

import ast
import importlib
import inspect
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
STUBS = {
    "velmora.tabular.evaluator.evaluator": "src/velmora/tabular/evaluator/evaluator.pyi",
    "velmora.core_generator.noiseforge": "src/velmora/core_generator/noiseforge/__init__.pyi",
    "velmora.tabular.rulewarden": "src/velmora/tabular/rulewarden.pyi",
    "velmora._metric_core._metric_kernels": "src/velmora/_metric_core/_metric_kernels.pyi",
    "velmora.privacy._privacy_kernels": "src/velmora/privacy/_privacy_kernels.pyi",
}


def native(value):
    return type(value).__name__ == "velmora_function"


def live_functions(module):
    """Qualified name -> (function, is static) of every binding-layer function."""
    found = {}
    for name, value in vars(module).items():
        if native(value):
            found[name] = (value, False)
        elif isinstance(value, type) and value.__module__ == module.__name__:
            for member, item in vars(value).items():
                if isinstance(item, staticmethod) and native(item.__func__):
                    found[f"{name}.{member}"] = (item.__func__, True)
                elif native(item):
                    found[f"{name}.{member}"] = (item, False)
    return found


def stub_functions(tree):
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = node
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    found[f"{node.name}.{item.name}"] = item
    return found


def normal(text):
    return ast.unparse(ast.parse(text, mode="eval").body)


def stub_parameters(node):
    arguments = node.args
    assert not (arguments.posonlyargs or arguments.kwonlyargs or arguments.vararg), ast.unparse(node)
    defaults = [None] * (len(arguments.args) - len(arguments.defaults)) + list(arguments.defaults)
    rows = [
        (
            arg.arg,
            "POSITIONAL_OR_KEYWORD",
            default is not None and repr(ast.literal_eval(default)),
            arg.annotation and ast.unparse(arg.annotation),
        )
        for arg, default in zip(arguments.args, defaults)
    ]
    if arguments.kwarg:
        rows.append(
            (
                arguments.kwarg.arg,
                "VAR_KEYWORD",
                False,
                arguments.kwarg.annotation and ast.unparse(arguments.kwarg.annotation),
            )
        )
    return rows


def live_parameters(function, stub_rows):
    rows = []
    for parameter, stub_row in zip(inspect.signature(function).parameters.values(), stub_rows + [None] * 99):
        annotation = None
        if parameter.annotation is not inspect.Parameter.empty:
            annotation = normal(parameter.annotation)
            # A None default may widen the annotation to Optional[...] in the stub.
            if parameter.default is None and stub_row is not None and stub_row[3] == f"Optional[{annotation}]":
                annotation = stub_row[3]
        default = parameter.default is not inspect.Parameter.empty and repr(parameter.default)
        rows.append((parameter.name, parameter.kind.name, default, annotation))
    return rows


@pytest.mark.parametrize("module_name", sorted(STUBS))
def test_stub_matches_live_signatures(module_name):
    module = importlib.import_module(module_name)
    tree = ast.parse((ROOT / STUBS[module_name]).read_text(encoding="utf-8"))
    live = live_functions(module)
    stubs = stub_functions(tree)
    assert sorted(stubs) == sorted(live)
    for name, (function, static) in live.items():
        node = stubs[name]
        assert ("staticmethod" in [ast.unparse(d) for d in node.decorator_list]) == static, name
        expected_rows = stub_parameters(node)
        assert live_parameters(function, expected_rows) == expected_rows, name
        returns = inspect.signature(function).return_annotation
        assert (node.returns and ast.unparse(node.returns)) == (
            None if returns is inspect.Signature.empty else normal(returns)
        ), name
    exported = [node for node in tree.body if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"]
    assert (ast.literal_eval(exported[0].value) if exported else None) == getattr(module, "__all__", None)
