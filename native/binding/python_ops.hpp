// Python statements, operators and built-in functions done from C++ with the
// interpreter's own semantics and messages. Every function raises what Python raises,
// as py::error_already_set.
#pragma once

#include <pybind11/pybind11.h>

#include <cmath>
#include <string>
#include <utility>

namespace velmora {

namespace py = pybind11;

// `bool(value)`; errors of __bool__ / __len__ propagate.
bool truth(py::handle value);

// Python's six rich comparisons.
enum class Comparison { lt, le, eq, ne, gt, ge };

// `a OP b`, the result object (a numpy comparison gives an array).
py::object rich_compare(py::handle a, py::handle b, Comparison op);

// `bool(a OP b)`; identical objects count as equal for eq and ne, as in `in`.
bool compare(py::handle a, py::handle b, Comparison op);

// Python's `a == b` reduced to its truth value, for any two objects.
bool equals(py::handle a, py::handle b);

// `item in container`.
bool contains(py::handle container, py::handle item);

// `format(value, spec)`: the object's own __format__ ("" is format(value)).
py::str format(py::handle value, const char* spec = "");

// Python's `hasattr(value, name)`: false on AttributeError; any other exception
// propagates (py::hasattr would swallow every exception, interrupts included).
bool has_attribute(py::handle value, const char* name);

// `a / b`, `abs(value)` and `float(value)`.
py::object divide(py::handle a, py::handle b);
py::object absolute(py::handle value);
py::object to_float(py::handle value);

// The C double of `float(value)` (through __float__ or __index__).
double as_double(py::handle value);

// `target[key] = value`. pandas spots chained assignment by counting references to the
// frame, and a C++ caller holds one fewer than a Python frame's value stack would; an
// extra reference held for the call keeps that heuristic from warning falsely.
void set_item(const py::object& target, py::handle key, py::handle value);

// `first, second = value`, with the interpreter's messages when `value` is not iterable
// or does not hold exactly two items.
std::pair<py::object, py::object> unpack_pair(py::handle value);

// `{**target, **mapping}` into `target`: later entries replace the values of earlier
// keys, which keep their first position; a non-mapping raises the TypeError of `**`.
void merge_unpacked(py::dict& target, const py::object& mapping);

// Whether `hash(value)` succeeds. Its Exception is dropped; BaseExceptions that are not
// Exceptions (KeyboardInterrupt) propagate.
bool hashable(py::handle value);

// Type tests, inline for the per-cell loops. The exact ones refuse subclasses, as
// `type(value) is T` does.
inline bool is_exact_str(py::handle value) {
    return PyUnicode_CheckExact(value.ptr());
}
inline bool is_exact_int(py::handle value) {
    return PyLong_CheckExact(value.ptr());
}
inline bool is_exact_float(py::handle value) {
    return PyFloat_CheckExact(value.ptr());
}
inline bool is_exact_list(py::handle value) {
    return PyList_CheckExact(value.ptr());
}
inline bool is_int(py::handle value) {
    return PyLong_Check(value.ptr());
}  // bool included
inline bool is_float(py::handle value) {
    return PyFloat_Check(value.ptr());
}

// The value of a float object (is_float must hold).
inline double float_value(py::handle value) {
    return PyFloat_AS_DOUBLE(value.ptr());
}

// None or a float NaN: a missing cell of an object column, as pandas counts it.
inline bool is_missing_scalar(py::handle value) {
    return value.is_none() || (is_exact_float(value) && std::isnan(float_value(value)));
}

}  // namespace velmora
