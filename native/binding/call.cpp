// The parts of a native function that need no access to its object: what an
// implementation reads from its Call, and the docstring made from its table.
#include "native_function.hpp"
#include "python_imports.hpp"

namespace velmora::binding {

py::dict Call::kwargs() const {
    if (!kwargs_) return py::dict();
    return py::reinterpret_borrow<py::dict>(kwargs_);
}

py::object Call::global(const char* name) const {
    PyObject* found = PyDict_GetItemString(globals_.ptr(), name);
    if (found == nullptr) return builtin(name);  // NameError where neither has it
    return py::reinterpret_borrow<py::object>(found);
}

std::string docstring_of(const FunctionSpec& spec, const std::string& qualname) {
    std::string doc = signature_line(qualname, spec.params, spec.return_annotation);
    if (spec.doc[0] != '\0') {
        doc += "\n\n";
        doc += spec.doc;
    }
    return doc;
}

}  // namespace velmora::binding
