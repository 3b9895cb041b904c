// The parts of a native function that need no access to its object: what an
// implementation reads from its Call, and the docstring made from its table.
#include "native_function.hpp"

#include <stdexcept>

#include "python_imports.hpp"

namespace velmora::binding {

const py::object& Call::arg(std::string_view name) const {
    // The named parameters come first in the table, in the order of values_; a
    // **kwargs catch-all (last) has no value of its own.
    const std::vector<ParamSpec>& params = spec_->params;
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (params[i].name == name && !params[i].var_keyword) return values_[i];
    }
    throw std::logic_error(std::string(spec_->name) + "() has no parameter '" + std::string(name) + "'.");
}

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
