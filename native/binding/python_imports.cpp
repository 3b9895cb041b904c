#include "python_imports.hpp"

#include <pybind11/gil_safe_call_once.h>

#include "python_errors.hpp"

namespace velmora {

py::object import_from(const char* module_name, const char* name) {
    py::object module = py::module_::import(module_name);
    PyObject* found = PyObject_GetAttrString(module.ptr(), name);
    if (found != nullptr) return py::reinterpret_steal<py::object>(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();

    py::object module_label = py::getattr(module, "__name__", py::none());
    const bool labelled = PyUnicode_Check(module_label.ptr());
    if (labelled) {
        py::object submodule_name = module_label + py::str(".") + py::str(name);
        PyObject* submodule = PyImport_GetModule(submodule_name.ptr());
        if (submodule != nullptr) return py::reinterpret_steal<py::object>(submodule);
        if (PyErr_Occurred()) throw py::error_already_set();
    }

    py::object shown_name = labelled ? module_label : py::str("<unknown module name>");
    py::object path = py::none();
    if (PyModule_Check(module.ptr())) {
        PyObject* file = PyModule_GetFilenameObject(module.ptr());
        if (file == nullptr) {
            PyErr_Clear();
        } else {
            path = py::reinterpret_steal<py::object>(file);
        }
    }
    const bool located = PyUnicode_Check(path.ptr());
    py::str location = located ? py::str(path) : py::str("unknown location");
    py::str message = py::str("cannot import name {!r} from {!r} ({})").format(py::str(name), shown_name, location);
    py::object path_for_error = located ? path : py::none();
    PyErr_SetImportError(message.ptr(), module_label.ptr(), path_for_error.ptr());
    throw py::error_already_set();
}

py::object builtin(const char* name) {
    PyObject* found = PyDict_GetItemString(PyEval_GetBuiltins(), name);
    if (found == nullptr) raise_error(ErrorKind::name_error, "name '" + std::string(name) + "' is not defined");
    return py::reinterpret_borrow<py::object>(found);
}

py::module_ numpy() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::module_> storage;
    return storage.call_once_and_store_result([] { return py::module_::import("numpy"); }).get_stored();
}

}  // namespace velmora
