"""The raw C API gate: what it refuses, what it lets through, and its allowance."""

import importlib.util
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
spec = importlib.util.spec_from_file_location("check_raw_capi", ROOT / "tools" / "check_raw_capi.py")
check_raw_capi = importlib.util.module_from_spec(spec)
spec.loader.exec_module(check_raw_capi)


def tree(tmp_path, files):
    for name, text in files.items():
        path = tmp_path / "native" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    return tmp_path


def test_flags_raw_calls_and_python_headers_outside_the_binding_layer(tmp_path):
    root = tree(
        tmp_path,
        {
            "binding/ops.cpp": "PyObject* f() { Py_INCREF(x); return x; }\n",
            "rulewarden/a.cpp": (
                '// PyObject_Hash in a comment\nconst char* s = "Py_DECREF";\n'
                "bool f() { return PyErr_Occurred(); }\n"
                "int g() { return Py_REFCNT(x); }  // raw C API: the count is the point\n"
            ),
            "noiseforge/b.hpp": "std::vector<PyObject*> keys;\n",
            "common/c.hpp": "#include <pybind11/pybind11.h>\n",
        },
    )
    found, allowed = check_raw_capi.problems(root)
    assert [line.split(": ")[0] for line in found] == [
        "native/common/c.hpp:1",
        "native/noiseforge/b.hpp:1",
        "native/rulewarden/a.cpp:3",
    ]
    assert allowed == ["native/rulewarden/a.cpp:4"]


def test_allowance_is_limited(tmp_path):
    line = "int g() { return Py_REFCNT(x); }  // raw C API: reason\n"
    root = tree(tmp_path, {"evaluator/a.cpp": line * (check_raw_capi.MAX_ALLOWED + 1)})
    found, _ = check_raw_capi.problems(root)
    assert len(found) == 1 and "at most" in found[0]
    assert check_raw_capi.problems(tree(tmp_path, {"evaluator/a.cpp": line * check_raw_capi.MAX_ALLOWED}))[0] == []


def test_the_tree_passes():
    assert check_raw_capi.problems(ROOT) == ([], [])
