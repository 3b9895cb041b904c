// velmora._binding_probe: functions that exercise every parameter kind of the binding
// layer, for its tests. Each returns its checked arguments unchanged.
#include "velmora_python.hpp"
#include "numpy_generator.hpp"
#include "pandas_internals.hpp"

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

// Read by name, in an order other than the table's, returned in the table's order.
py::object echo_kinds(const Call& call) {
    const py::object& seed = call.arg("seed");
    const py::object& name = call.arg("name");
    const py::object& count = call.arg("count");
    return py::make_tuple(count, call.arg("ratio"), name, call.arg("items"), call.arg("flag"), seed);
}

py::object echo_with_kwargs(const Call& call) {
    return py::make_tuple(call.arg("first"), call.arg("second"), call.kwargs());
}

py::object read_global(const Call& call) {
    return call.global(py::str(call.arg("name")).cast<std::string>().c_str());
}

py::object call_and_swallow(const Call& call) {
    bool completed = velmora::binding::swallow_exception([&] { call[0](); });
    return py::bool_(completed);
}

// Throws the C++ exception `kind` names, to check how the binding layer reports it.
py::object throw_cpp(const Call& call) {
    const std::string kind = call.arg("kind").cast<std::string>();
    if (kind == "unknown_parameter") (void)call.arg("colour");
    if (kind == "invalid_argument") throw std::invalid_argument("bad argument");
    if (kind == "out_of_range") throw std::out_of_range("past the end");
    if (kind == "runtime_error") throw std::runtime_error("went wrong");
    if (kind == "bad_alloc") throw std::bad_alloc();
    throw 42;  // not an exception class at all
}

const FunctionSpec throw_spec{
    .name = "throw_cpp",
    .params = {{.name = "kind", .kind = ArgKind::string, .annotation = "str"}},
    .implementation = throw_cpp,
};

const FunctionSpec kinds_spec{
    .name = "kinds",
    .params = {{.name = "count", .kind = ArgKind::integer, .annotation = "int", .default_text = "1"},
               {.name = "ratio", .kind = ArgKind::real, .annotation = "float", .default_text = "0.5"},
               {.name = "name", .kind = ArgKind::string, .annotation = "str", .default_text = "'x'"},
               {.name = "items", .kind = ArgKind::list, .annotation = "Optional[List[str]]", .default_text = "None"},
               {.name = "flag", .kind = ArgKind::boolean, .annotation = "bool", .default_text = "True"},
               {.name = "seed", .kind = ArgKind::integer, .annotation = "Optional[int]", .default_text = "None"}},
    .return_annotation = "tuple",
    .doc = "Return the checked arguments.",
    .implementation = echo_kinds,
};

const FunctionSpec required_spec{
    .name = "required",
    .params = {{.name = "self"}, {.name = "text", .kind = ArgKind::string, .annotation = "str"}},
    .implementation = echo_arguments,
};

const FunctionSpec kwargs_spec{
    .name = "with_kwargs",
    .params = {{.name = "first", .annotation = "pd.DataFrame"},
               {.name = "second", .default_text = "None"},
               {.name = "kwargs", .var_keyword = true}},
    .return_annotation = "'EvaluationReport'",
    .doc = "Return the arguments and the extra keywords.",
    .implementation = echo_with_kwargs,
};

const FunctionSpec global_spec{
    .name = "read_global",
    .params = {{.name = "name", .kind = ArgKind::string}},
    .implementation = read_global,
};

const FunctionSpec swallow_spec{
    .name = "call_and_swallow",
    .params = {{.name = "function"}},
    .return_annotation = "bool",
    .implementation = call_and_swallow,
};

const FunctionSpec static_spec{
    .name = "static_kinds",
    .params = {{.name = "a"}, {.name = "b"}},
    .return_annotation = "tuple",
    .implementation = echo_arguments,
};

}  // namespace

PYBIND11_MODULE(_binding_probe, module) {
    module.doc() = "Functions that exercise every parameter kind of the binding layer, for its tests.";
    module.attr("answer") = 42;
    // The private names of pandas and numpy the modules rely on, for the test that
    // each still exists in the installed versions.
    module.attr("_pandas_internals") = velmora::pandas_internals::table();
    module.attr("_numpy_internals") = velmora::numpy_private_names();
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
