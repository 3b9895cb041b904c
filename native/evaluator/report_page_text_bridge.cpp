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


}  // namespace velmora::evaluator
