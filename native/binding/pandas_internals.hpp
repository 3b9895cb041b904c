// Every private pandas name the native code relies on, in one place, each with the
// pandas versions it was checked against (see pandas_internals.cpp). Where a name is
// missing, the code that uses it falls back to pandas' public route.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <string_view>

namespace velmora::pandas_internals {

namespace py = pybind11;

// `frame._set_item_mgr`, the step of DataFrame.__setitem__ after its sanitising copy,
// bound to the frame; an empty object when pandas has no such method.
py::object set_item_manager(const py::object& frame);

// Whether DataFrame.eval would evaluate with numexpr; true when pandas does not say.
bool numexpr_installed();

// The function DataFrame.eval names a column label with (pandas' clean_column_name);
// raises where pandas has none.
py::object clean_column_name();

// The prefix of the names eval makes for backtick-quoted labels.
inline constexpr std::string_view backtick_prefix = "BACKTICK_QUOTED_STRING";

// The prefix eval gives the caller's local variables (`@name`).
inline constexpr std::string_view local_variable_prefix = "__pd_eval_local_";

// The names of eval's default scope that an identifier resolves to before a column
// (True and False are keywords, never column names).
inline constexpr std::array<std::string_view, 6> eval_scope_names = {"inf",      "Inf",  "Timestamp",
                                                                     "datetime", "list", "tuple"};

// The table of these names for the test that each still exists: tuples of (check,
// module, attribute, expected text, pandas versions checked, what it is used for).
py::tuple table();

}  // namespace velmora::pandas_internals
