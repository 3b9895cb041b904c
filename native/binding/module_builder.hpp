// Building a module's contents the way a Python module body would: plain classes made
// with type(), functions from FunctionSpec tables, and best-effort guards.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>
#include <vector>

#include "native_function.hpp"

namespace velmora::binding {

namespace py = pybind11;

// Puts the module in sys.modules while its body runs, as the import system does for a
// Python module, so that code run during set-up (dataclasses, typing) can find it.
void register_in_sys_modules(py::module_& module);

// A plain Python class (type(name, (object,), namespace)) whose methods are
// FunctionSpec functions; entries keep the order in which they are added. Every
// function made here is qualified with the class name ("Class.method"), as a function
// defined in the class body is.
class ClassBuilder {
public:
    ClassBuilder(py::module_& module, const char* name, const char* doc);
    ClassBuilder& method(const FunctionSpec& spec);
    ClassBuilder& static_method(const FunctionSpec& spec);
    ClassBuilder& attr(const char* name, py::object value);
    // A function of the class body that is not one of its members (a lambda in a
    // default value): qualified with the class name, not added to the namespace.
    py::object function(const FunctionSpec& spec) const;
    // Creates the class and binds it in the module under its name.
    py::object build();

private:
    py::module_& module_;
    const char* name_;
    py::dict namespace_;
};

// A module-level function from its spec (its __qualname__ is its name), bound in the
// module under its name.
py::object add_function(py::module_& module, const FunctionSpec& spec);

// Runs `body`; an Exception it raises is swallowed and reported by returning false.
// BaseExceptions that are not Exceptions (KeyboardInterrupt, SystemExit) propagate.
template <typename Body>
bool swallow_exception(Body&& body) {
    try {
        std::forward<Body>(body)();
        return true;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return false;
    }
}

}  // namespace velmora::binding
