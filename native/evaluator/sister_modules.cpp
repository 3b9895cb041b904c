#include "sister_modules.hpp"

namespace velmora::evaluator {

py::object import_from(const char* module_name, const char* name) {
    py::object module = py::module_::import(module_name);
    PyObject* found = PyObject_GetAttrString(module.ptr(), name);
    if (found != nullptr) return py::reinterpret_steal<py::object>(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();

    // As the from-import does: a submodule of that name already imported also counts.
    py::object module_label = py::getattr(module, "__name__", py::none());
    if (PyUnicode_Check(module_label.ptr())) {
        py::object submodule_name = module_label + py::str(".") + py::str(name);
        PyObject* submodule = PyImport_GetModule(submodule_name.ptr());
        if (submodule != nullptr) return py::reinterpret_steal<py::object>(submodule);
        if (PyErr_Occurred()) throw py::error_already_set();
    }

    py::object shown_name = PyUnicode_Check(module_label.ptr()) ? module_label : py::str("<unknown module name>");
    py::object path = py::none();
    if (PyModule_Check(module.ptr())) {
        PyObject* file = PyModule_GetFilenameObject(module.ptr());
        if (file == nullptr) {
            PyErr_Clear();
        } else {
            path = py::reinterpret_steal<py::object>(file);
        }
    }
    py::str location = PyUnicode_Check(path.ptr()) ? py::str(path) : py::str("unknown location");
    py::str message = py::str("cannot import name {!r} from {!r} ({})").format(py::str(name), shown_name, location);
    py::object path_for_error = PyUnicode_Check(path.ptr()) ? path : py::none();
    PyErr_SetImportError(message.ptr(), module_label.ptr(), path_for_error.ptr());
    throw py::error_already_set();
}

}  // namespace velmora::evaluator
