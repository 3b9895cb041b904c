#include "python_ops.hpp"

#include "python_errors.hpp"

namespace velmora {
namespace {

int opcode(Comparison op) {
    switch (op) {
        case Comparison::lt:
            return Py_LT;
        case Comparison::le:
            return Py_LE;
        case Comparison::eq:
            return Py_EQ;
        case Comparison::ne:
            return Py_NE;
        case Comparison::gt:
            return Py_GT;
        case Comparison::ge:
            return Py_GE;
    }
    return Py_EQ;
}

// A new reference from a C API call as an owned object; NULL means the call raised.
py::object owned(PyObject* result) {
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace

bool truth(py::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

py::object rich_compare(py::handle a, py::handle b, Comparison op) {
    return owned(PyObject_RichCompare(a.ptr(), b.ptr(), opcode(op)));
}

bool compare(py::handle a, py::handle b, Comparison op) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), opcode(op));
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

bool equals(py::handle a, py::handle b) {
    return compare(a, b, Comparison::eq);
}

bool contains(py::handle container, py::handle item) {
    int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) throw py::error_already_set();
    return found != 0;
}

py::str format(py::handle value, const char* spec) {
    py::str format_spec(spec);
    return py::reinterpret_steal<py::str>(owned(PyObject_Format(value.ptr(), format_spec.ptr())).release());
}

bool has_attribute(py::handle value, const char* name) {
    PyObject* found = PyObject_GetAttrString(value.ptr(), name);
    if (found != nullptr) {
        Py_DECREF(found);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return false;
}

py::object divide(py::handle a, py::handle b) {
    return owned(PyNumber_TrueDivide(a.ptr(), b.ptr()));
}

py::object absolute(py::handle value) {
    return owned(PyNumber_Absolute(value.ptr()));
}

py::object to_float(py::handle value) {
    return owned(PyNumber_Float(value.ptr()));
}

double as_double(py::handle value) {
    double number = PyFloat_AsDouble(value.ptr());
    if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return number;
}

void set_item(const py::object& target, py::handle key, py::handle value) {
    py::object held_like_a_python_frame = target;  // NOLINT(performance-unnecessary-copy-initialization)
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
        raise_error(ErrorKind::value_error, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {std::move(found[0]), std::move(found[1])};
}

void merge_unpacked(py::dict& target, const py::object& mapping) {
    if (mapping.is_none()) raise_error(ErrorKind::type_error, "argument after ** must be a mapping, not NoneType");
    if (PyDict_Update(target.ptr(), mapping.ptr()) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "'%.200s' object is not a mapping", Py_TYPE(mapping.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
}

bool hashable(py::handle value) {
    try {
        py::hash(value);
        return true;
    } catch (py::error_already_set& error) {
        if (!matches(error, ErrorKind::exception)) throw;
        return false;
    }
}

}  // namespace velmora
