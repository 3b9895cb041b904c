#include "python_errors.hpp"

namespace velmora {
namespace {

PyObject* exception_type(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::exception:
            return PyExc_Exception;
        case ErrorKind::type_error:
            return PyExc_TypeError;
        case ErrorKind::value_error:
            return PyExc_ValueError;
        case ErrorKind::index_error:
            return PyExc_IndexError;
        case ErrorKind::attribute_error:
            return PyExc_AttributeError;
        case ErrorKind::import_error:
            return PyExc_ImportError;
        case ErrorKind::name_error:
            return PyExc_NameError;
        case ErrorKind::os_error:
            return PyExc_OSError;
        case ErrorKind::file_exists_error:
            return PyExc_FileExistsError;
        case ErrorKind::file_not_found_error:
            return PyExc_FileNotFoundError;
    }
    return PyExc_Exception;
}

}  // namespace

void raise_error(ErrorKind kind, const char* message) {
    PyErr_SetString(exception_type(kind), message);
    throw py::error_already_set();
}

void raise_error(ErrorKind kind, const std::string& message) {
    raise_error(kind, message.c_str());
}

void raise_error(ErrorKind kind, py::handle message) {
    PyErr_SetObject(exception_type(kind), message.ptr());
    throw py::error_already_set();
}

bool matches(const py::error_already_set& error, ErrorKind kind) {
    return error.matches(exception_type(kind));
}

std::string type_name(py::handle value) {
    return Py_TYPE(value.ptr())->tp_name;
}

}  // namespace velmora
