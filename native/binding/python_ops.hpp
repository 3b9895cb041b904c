// Python statements and operators done from C++ with the interpreter's own semantics
// and messages: truth tests, ==, item assignment and `first, second = value`.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace velmora {

namespace py = pybind11;

// `bool(value)`; errors of __bool__ / __len__ propagate.
bool truth(py::handle value);

// Python's `a == b` reduced to its truth value, for any two objects.
bool equals(py::handle a, py::handle b);

// `target[key] = value`. pandas spots chained assignment by counting references to the
// frame, and a C++ caller holds one fewer than a Python frame's value stack would; an
// extra reference held for the call keeps that heuristic from warning falsely.
void set_item(const py::object& target, py::handle key, py::handle value);

// `first, second = value`, with the interpreter's messages when `value` is not iterable
// or does not hold exactly two items.
std::pair<py::object, py::object> unpack_pair(py::handle value);

// The code points of a str, lone surrogates included (any str converts).
std::u32string code_points(py::handle text);

// `text[begin:end]` for code-point positions within the str.
py::str substring(py::handle text, std::size_t begin, std::size_t end);

}  // namespace velmora
