#include "python_text.hpp"

#include "python_errors.hpp"

namespace velmora {

namespace {

std::string copy_of(const py::bytes& bytes) {
    return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

}  // namespace

// Through a bytes object rather than the str's cached UTF-8, which would keep a second
// copy of a large text (a whole page) alive with the str.
std::string utf8_of(py::handle text) {
    PyObject* encoded = PyUnicode_AsUTF8String(text.ptr());
    if (encoded == nullptr) throw py::error_already_set();
    return copy_of(py::reinterpret_steal<py::bytes>(encoded));
}

// The str's cached UTF-8: rule texts and labels are read again and again.
std::optional<std::string> try_utf8(py::handle text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::string utf8_surrogatepass(py::handle text) {
    PyObject* encoded = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass");
    if (encoded == nullptr) throw py::error_already_set();
    // Owned before the copy, so that a failing allocation of the string cannot leak it.
    return copy_of(py::reinterpret_steal<py::bytes>(encoded));
}

py::str str_from_utf8_surrogatepass(std::string_view utf8) {
    PyObject* text = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass");
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

std::u32string code_points(py::handle text) {
    if (!PyUnicode_Check(text.ptr())) raise_error(ErrorKind::type_error, "expected a str");
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

bool is_identifier(py::handle text) {
    return PyUnicode_IsIdentifier(text.ptr()) == 1;
}

bool str_equal(py::handle a, py::handle b) {
    if (a.is(b)) return true;
    int order = PyUnicode_Compare(a.ptr(), b.ptr());
    if (order == -1 && PyErr_Occurred()) throw py::error_already_set();
    return order == 0;
}

bool str_less(py::handle a, py::handle b) {
    int order = PyUnicode_Compare(a.ptr(), b.ptr());
    if (order == -1 && PyErr_Occurred()) throw py::error_already_set();
    return order < 0;
}

TextMatcher::TextMatcher(std::string_view utf8) {
    PyObject* interned = PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
    if (interned == nullptr) throw py::error_already_set();
    PyUnicode_InternInPlace(&interned);
    wanted_ = py::reinterpret_steal<py::object>(interned);
    length_ = static_cast<std::size_t>(PyUnicode_GET_LENGTH(interned));
    kind_ = PyUnicode_KIND(interned);
    data_ = PyUnicode_DATA(interned);
}

}  // namespace velmora
