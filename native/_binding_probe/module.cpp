// velmora._binding_probe: functions that exercise every parameter kind of the binding
// layer, for its tests. Each returns its checked arguments unchanged.
#include "velmora_python.hpp"

#include <stdexcept>
#include <string>

namespace {

using velmora::ArgKind;
using velmora::Call;
using velmora::FunctionSpec;

py::object echo_arguments(const Call& call) {
    py::tuple signature = call.function().attr("__signature__").attr("parameters");
    py::list values;
    for (std::size_t i = 0; i < py::len(signature); ++i) {
        values.append(call[i]);
    }
    return py::tuple(values);
}

py::object echo_kinds(const Call& call) {
    return py::make_tuple(call[0], call[1], call[2], call[3], call[4], call[5]);
}

py::object echo_with_kwargs(const Call& call) { return py::make_tuple(call[0], call[1], call.kwargs()); }

py::object read_global(const Call& call) { return call.global(py::str(call[0]).cast<std::string>().c_str()); }

py::object call_and_swallow(const Call& call) {
    bool completed = velmora::binding::swallow_exception([&] { call[0](); });
    return py::bool_(completed);
}

// Throws the C++ exception `kind` names, to check how the binding layer reports it.
py::object throw_cpp(const Call& call) {
    const std::string kind = call[0].cast<std::string>();
    if (kind == "invalid_argument") throw std::invalid_argument("bad argument");
    if (kind == "out_of_range") throw std::out_of_range("past the end");
    if (kind == "runtime_error") throw std::runtime_error("went wrong");
    if (kind == "bad_alloc") throw std::bad_alloc();
    throw 42;  // not an exception class at all
}

const FunctionSpec throw_spec{"throw_cpp", "throw_cpp", {{"kind", ArgKind::string, "str"}}, "", "", throw_cpp};

const FunctionSpec kinds_spec{"kinds",
                              "kinds",
                              {{"count", ArgKind::integer, "int", "1"},
                               {"ratio", ArgKind::real, "float", "0.5"},
                               {"name", ArgKind::string, "str", "'x'"},
                               {"items", ArgKind::list, "Optional[List[str]]", "None"},
                               {"flag", ArgKind::boolean, "bool", "True"},
                               {"seed", ArgKind::integer, "Optional[int]", "None"}},
                              "tuple",
                              "Return the checked arguments.",
                              echo_kinds};

const FunctionSpec required_spec{"required",
                                 "Probe.required",
                                 {{"self"}, {"text", ArgKind::string, "str"}},
                                 "",
                                 "",
                                 echo_arguments};

const FunctionSpec kwargs_spec{"with_kwargs",
                               "with_kwargs",
                               {{"first", ArgKind::object, "pd.DataFrame"},
                                {"second", ArgKind::object, "", "None"},
                                {"kwargs", ArgKind::object, "", "", true}},
                               "'EvaluationReport'",
                               "Return the arguments and the extra keywords.",
                               echo_with_kwargs};

const FunctionSpec global_spec{"read_global", "read_global", {{"name", ArgKind::string}}, "", "", read_global};

const FunctionSpec swallow_spec{
    "call_and_swallow", "call_and_swallow", {{"function"}}, "bool", "", call_and_swallow};

const FunctionSpec static_spec{"static_kinds", "Probe.static_kinds", {{"a"}, {"b"}}, "tuple", "", echo_arguments};

}  // namespace

PYBIND11_MODULE(_binding_probe, module) {
    module.doc() = "Functions that exercise every parameter kind of the binding layer, for its tests.";
    module.attr("answer") = 42;
    velmora::binding::add_function(module, kinds_spec);
    velmora::binding::add_function(module, kwargs_spec);
    velmora::binding::add_function(module, global_spec);
    velmora::binding::add_function(module, swallow_spec);
    velmora::binding::add_function(module, throw_spec);
    velmora::ClassBuilder(module, "Probe", "A plain class with a method and a static method.")
        .method(required_spec)
        .static_method(static_spec)
        .build();
}
