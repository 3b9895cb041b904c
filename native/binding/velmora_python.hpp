// The project header every binding and module file includes first: pybind11, the
// namespace alias and the shared binding layer.
#pragma once

#include <pybind11/pybind11.h>

#include "module_builder.hpp"
#include "native_function.hpp"
#include "signature_text.hpp"

namespace py = pybind11;

namespace velmora {

// Python's `a == b` reduced to its truth value, for any two objects.
inline bool equals(py::handle a, py::handle b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

// `target[key] = value`. pandas spots chained assignment by counting references to the
// frame, and a C++ caller holds one fewer than a Python frame's value stack would; an
// extra reference held for the call keeps that heuristic from warning falsely.
inline void set_item(const py::object& target, py::handle key, py::handle value) {
    py::object held_like_a_python_frame = target;
    if (PyObject_SetItem(target.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

using binding::Call;
using binding::ClassBuilder;
using binding::FunctionSpec;
}  // namespace velmora
