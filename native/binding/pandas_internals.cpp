// The private pandas names the native code relies on, and their table for the test
// that each still exists. velmora supports pandas 2.2.3 and later, pandas 2 and pandas 3
// alike; each name has a public fallback where a release lacks it. The table names the
// releases the names were last checked against: those of the two locked test
// environments (constraints/py3.9.txt and constraints/py3.13.txt), one of each major.
#include "pandas_internals.hpp"

#include <string>

#include "python_errors.hpp"
#include "python_ops.hpp"

namespace velmora::pandas_internals {
namespace {

// How the test confirms an entry: the attribute exists; the attribute equals the text;
// the function, given a label with a space, makes a name starting with the text; the
// attribute is a mapping whose keys, less True and False, are the words of the text.
enum class Check { exists, equals, makes_prefix, keys };

struct Entry {
    Check check;
    const char* module;
    const char* attribute;  // a dotted path within the module
    std::string_view text;
    const char* used_for;
};

// The pandas releases of the two locks, not the supported range (2.2.3 and later): the
// test fails when a lock moves to a release whose names were not checked again.
constexpr const char* checked_versions = "pandas 2.2.3 and 3.1.2";

constexpr const char* frame_module = "pandas";
constexpr const char* set_item_mgr_path = "DataFrame._set_item_mgr";
constexpr const char* check_module = "pandas.core.computation.check";
constexpr const char* numexpr_flag = "NUMEXPR_INSTALLED";
constexpr const char* parsing_module = "pandas.core.computation.parsing";
constexpr const char* clean_column_name_name = "clean_column_name";

std::string scope_words() {
    std::string words;
    for (std::string_view name : eval_scope_names) {
        if (!words.empty()) words += ' ';
        words += name;
    }
    return words;
}

}  // namespace

py::object set_item_manager(const py::object& frame) {
    if (!has_attribute(frame, "_set_item_mgr")) return py::object();
    return frame.attr("_set_item_mgr");
}

bool numexpr_installed() {
    py::object check = py::module_::import(check_module);
    return py::getattr(check, numexpr_flag, py::bool_(true)).cast<bool>();
}

py::object clean_column_name() {
    return py::module_::import(parsing_module).attr(clean_column_name_name);
}

py::tuple table() {
    static const std::string scope = scope_words();
    const Entry entries[] = {
        {Check::exists, frame_module, set_item_mgr_path, "",
         "a new column array handed to the frame without __setitem__'s copy"},
        {Check::exists, check_module, numexpr_flag, "", "native rules stay off where eval would use numexpr"},
        {Check::exists, parsing_module, clean_column_name_name, "", "the names eval gives unusual column labels"},
        {Check::makes_prefix, parsing_module, clean_column_name_name, backtick_prefix,
         "names eval makes for backtick-quoted labels are left to pandas"},
        {Check::equals, "pandas.core.computation.ops", "LOCAL_TAG", local_variable_prefix,
         "names of the caller's local variables are left to pandas"},
        {Check::keys, "pandas.core.computation.scope", "DEFAULT_GLOBALS", scope,
         "names eval reads from its own scope before the columns are left to pandas"},
    };
    constexpr const char* check_words[] = {"exists", "equals", "makes_prefix", "keys"};
    py::list rows;
    for (const Entry& entry : entries) {
        rows.append(py::make_tuple(check_words[static_cast<int>(entry.check)], entry.module, entry.attribute,
                                   py::str(entry.text.data(), entry.text.size()), checked_versions, entry.used_for));
    }
    return py::tuple(rows);
}

}  // namespace velmora::pandas_internals
