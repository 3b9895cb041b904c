#include "python_ops.hpp"

namespace velmora {

bool truth(py::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

bool equals(py::handle a, py::handle b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

void set_item(const py::object& target, py::handle key, py::handle value) {
    py::object held_like_a_python_frame = target;
    if (PyObject_SetItem(target.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

std::pair<py::object, py::object> unpack_pair(py::handle value) {
    PyObject* iterator = PyObject_GetIter(value.ptr());
    if (iterator == nullptr) {
        // The interpreter rewords the error only for objects with no way to iterate.
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value.ptr())->tp_iter == nullptr &&
            !PySequence_Check(value.ptr())) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    py::object items = py::reinterpret_steal<py::object>(iterator);
    py::object found[2];
    for (int count = 0; count < 2; ++count) {
        PyObject* item = PyIter_Next(items.ptr());
        if (item == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", count);
            throw py::error_already_set();
        }
        found[count] = py::reinterpret_steal<py::object>(item);
    }
    PyObject* extra = PyIter_Next(items.ptr());
    if (extra != nullptr) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {std::move(found[0]), std::move(found[1])};
}

std::u32string code_points(py::handle text) {
    if (!PyUnicode_Check(text.ptr())) throw py::type_error("expected a str");
    const Py_ssize_t length = PyUnicode_GetLength(text.ptr());
    if (length < 0) throw py::error_already_set();
    std::u32string points(static_cast<std::size_t>(length), U'\0');
    if (length > 0 && PyUnicode_AsUCS4(text.ptr(), reinterpret_cast<Py_UCS4*>(points.data()), length, 0) == nullptr) {
        throw py::error_already_set();
    }
    return points;
}

py::str substring(py::handle text, std::size_t begin, std::size_t end) {
    PyObject* part = PyUnicode_Substring(text.ptr(), static_cast<Py_ssize_t>(begin), static_cast<Py_ssize_t>(end));
    if (part == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(part);
}

}  // namespace velmora
