#include "module_builder.hpp"

namespace velmora::binding {

void register_in_sys_modules(py::module_& module) {
    py::module_::import("sys").attr("modules")[module.attr("__name__")] = module;
}

ClassBuilder::ClassBuilder(py::module_& module, const char* name, const char* doc) : module_(module), name_(name) {
    namespace_["__module__"] = module_.attr("__name__");
    namespace_["__qualname__"] = py::str(name);
    namespace_["__doc__"] = py::str(doc);
}

py::object ClassBuilder::function(const FunctionSpec& spec) const {
    return make_function(spec, std::string(name_) + "." + spec.name, module_.attr("__name__"),
                         module_.attr("__dict__"));
}

ClassBuilder& ClassBuilder::method(const FunctionSpec& spec) {
    namespace_[spec.name] = function(spec);
    return *this;
}

ClassBuilder& ClassBuilder::static_method(const FunctionSpec& spec) {
    py::object function = this->function(spec);
    PyObject* wrapped = PyStaticMethod_New(function.ptr());
    if (wrapped == nullptr) throw py::error_already_set();
    namespace_[spec.name] = py::reinterpret_steal<py::object>(wrapped);
    return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, py::object value) {
    namespace_[name] = std::move(value);
    return *this;
}

py::object ClassBuilder::build() {
    py::object cls = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(
        py::str(name_),
        py::make_tuple(py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
        namespace_);
    module_.attr(name_) = cls;
    return cls;
}

py::object add_function(py::module_& module, const FunctionSpec& spec) {
    py::object function = make_function(spec, spec.name, module.attr("__name__"), module.attr("__dict__"));
    module.attr(spec.name) = function;
    return function;
}

}  // namespace velmora::binding
