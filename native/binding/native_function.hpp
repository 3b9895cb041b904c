// The one binding layer's callable: a Python function object implemented in C++ whose
// argument checking, error messages, docstring signature line, __annotations__ and
// inspect.signature() all derive from one declarative FunctionSpec table.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "signature_text.hpp"

namespace velmora::binding {

namespace py = pybind11;

inline constexpr std::size_t max_params = 12;

struct FunctionSpec;

// The checked arguments of one call, in parameter order (defaults filled in), plus the
// keyword arguments a **kwargs parameter collected. Arguments are borrowed or owned
// references that live for the duration of the call.
class Call {
public:
    const py::object& operator[](std::size_t index) const { return values_[index]; }
    // The argument of the parameter `name` of the function's table, wherever the caller
    // passed it (by position, by keyword or not at all: then its default). A name the
    // table lacks is a fault of the implementation: std::logic_error (RuntimeError).
    const py::object& arg(std::string_view name) const;
    const py::object& self() const { return values_[0]; }
    // The extra keywords of a **kwargs parameter (an empty dict when there were none).
    py::dict kwargs() const;
    // A name of the defining module's globals, looked up at call time (then builtins),
    // as a Python function body would do: NameError when neither has it.
    py::object global(const char* name) const;
    // The function being called.
    const py::handle& function() const { return function_; }

private:
    friend struct CallAccess;
    std::array<py::object, max_params> values_{};
    py::object kwargs_;
    py::handle function_;
    py::handle globals_;
    const FunctionSpec* spec_ = nullptr;
};

using Implementation = py::object (*)(const Call&);

// One function's declarative table. Fill it with designated initialisers, so that each
// value stands beside its field's name (the two texts cannot be swapped unnoticed):
//   const FunctionSpec fix_spec{.name = "fix", .params = {...}, .return_annotation = "pd.DataFrame",
//                               .implementation = fix};
// A method's __qualname__ ("Class.name") comes from the class it is built into.
struct FunctionSpec {
    [[no_unique_address]] FieldsByName by_name = {};
    const char* name;                    // __name__, also the name in argument error messages
    std::vector<ParamSpec> params = {};  // in order; a **kwargs catch-all comes last
    const char* return_annotation = "";  // "" when there is none
    const char* doc = "";                // text after the signature line ("" for none)
    Implementation implementation = nullptr;
};

// A new function object for `spec` named `qualname`, whose module is `module_name` and
// whose global names are looked up in `globals`. `spec` must outlive the function (a
// static table).
py::object make_function(const FunctionSpec& spec, const std::string& qualname, py::handle module_name,
                         py::handle globals);

// The function's full docstring: signature line, then a blank line and the text.
std::string docstring_of(const FunctionSpec& spec, const std::string& qualname);

// Whether `method` is a method bound to `self` whose function was made from `spec`:
// the class's own method, not a subclass's override or an attribute of the instance.
bool is_bound_method_of(py::handle method, py::handle self, const FunctionSpec& spec);

}  // namespace velmora::binding
