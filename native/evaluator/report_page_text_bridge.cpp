#include "report_page_text_bridge.hpp"

#include <utility>

namespace velmora::evaluator {

std::string utf8_of(py::handle text) {
    PyObject* bytes = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass");
    if (bytes == nullptr) throw py::error_already_set();
    std::string out(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
    Py_DECREF(bytes);
    return out;
}

std::string formatted(py::handle value, const char* spec) {
    py::str format_spec(spec);
    PyObject* text = PyObject_Format(value.ptr(), format_spec.ptr());
    if (text == nullptr) throw py::error_already_set();
    py::object owned = py::reinterpret_steal<py::object>(text);
    return utf8_of(owned);
}

py::str python_text(const std::string& utf8) {
    PyObject* text = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass");
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

bool truth(py::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

std::pair<py::object, py::object> unpack_pair(py::handle value) {
    PyObject* iterator = PyObject_GetIter(value.ptr());
    if (iterator == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value.ptr())->tp_iter == nullptr &&
            !PySequence_Check(value.ptr())) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    py::iterator items = py::reinterpret_steal<py::iterator>(iterator);
    py::object found[2];
    Py_ssize_t count = 0;
    for (; count < 2; ++count) {
        PyObject* item = PyIter_Next(items.ptr());
        if (item == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", count);
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

}  // namespace velmora::evaluator
