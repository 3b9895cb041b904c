"""Fails when native code outside native/binding calls the CPython C API directly.

The binding layer (native/binding) is the one place that talks to the interpreter in
raw C API terms; the module folders use its vocabulary and py::object. A line outside
it may still use the C API when it carries a comment saying why:

    ... PyObject_Something(...) ...  // raw C API: <the reason>

at most MAX_ALLOWED such lines in all. The pure C++ tier (native/common) must not
include Python or pybind11 headers at all. Comments and string literals are ignored.

    python tools/check_raw_capi.py [ROOT]
"""

import re
import sys
from pathlib import Path

MAX_ALLOWED = 10
MARK = re.compile(r"//\s*raw C API:\s*\S")
# C API functions and macros (PyObject_GetAttr, PyErr_Clear, Py_DECREF, Py_TYPE,
# PyExc_TypeError) and its raw types (PyObject, PyTypeObject, Py_ssize_t, Py_hash_t).
RAW = re.compile(r"\bPy[A-Z][A-Za-z]*_[A-Za-z]+|\bPy_[A-Z]+|\bPy(?:Object|TypeObject)\b|\bPy_(?:ssize|hash)_t\b")
PYTHON_HEADER = re.compile(r'#\s*include\s*[<"](?:Python\.h|pybind11/)')
STRING_OR_COMMENT = re.compile(r'"(?:\\.|[^"\\])*"|//[^\n]*|/\*.*?\*/', re.S)


def code_lines(text):
    """The file's lines with string literals and comments blanked (line breaks kept)."""
    blank = STRING_OR_COMMENT.sub(lambda m: re.sub(r"[^\n]", " ", m.group()), text)
    return blank.splitlines()


def problems(root):
    found, allowed = [], []
    native = root / "native"
    for path in sorted(native.rglob("*")):
        if path.suffix not in (".cpp", ".hpp") or path.is_relative_to(native / "binding"):
            continue
        text = path.read_text(encoding="utf-8")
        shown = path.relative_to(root)
        if path.is_relative_to(native / "common"):
            for number, line in enumerate(text.splitlines(), 1):
                if PYTHON_HEADER.search(line):
                    found.append(f"{shown}:{number}: the pure C++ tier includes a Python header")
            continue
        for number, (line, code) in enumerate(zip(text.splitlines(), code_lines(text)), 1):
            if not RAW.search(code):
                continue
            if MARK.search(line):
                allowed.append(f"{shown}:{number}")
            else:
                found.append(f"{shown}:{number}: raw C API outside native/binding: {line.strip()}")
    if len(allowed) > MAX_ALLOWED:
        found.append(
            f"{len(allowed)} lines use the raw C API with a reason; at most {MAX_ALLOWED} may: " + ", ".join(allowed)
        )
    return found, allowed


def main(argv):
    root = Path(argv[1] if len(argv) > 1 else Path(__file__).resolve().parent.parent)
    found, allowed = problems(root)
    for line in found:
        print(line, file=sys.stderr)
    if found:
        print(
            "Use the binding layer's vocabulary (native/binding) instead, or give the line a "
            "'// raw C API: <reason>' comment.",
            file=sys.stderr,
        )
        return 1
    print(f"raw C API outside native/binding: {len(allowed)} commented line(s), at most {MAX_ALLOWED}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
