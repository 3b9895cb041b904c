// velmora.tabular.rulewarden: rule-based constraint validation and repair.
#include "velmora_python.hpp"
#include "rulewarden_parts.hpp"

namespace {

constexpr const char* module_doc =
    "\n"
    "velmora.tabular.rulewarden\n"
    "~~~~~~~~~~~~~~~~~~~~~~~~~~\n"
    "\n"
    "Rulewarden: rule-based constraint validation and fixing.\n";

}  // namespace

PYBIND11_MODULE(rulewarden, module) {
    module.doc() = module_doc;
    velmora::binding::register_in_sys_modules(module);

    // The globals a Python module body with these imports would have; the methods
    // look up `re` and `pd` among them at call time.
    py::module_ dataclasses = py::module_::import("dataclasses");
    py::module_ typing = py::module_::import("typing");
    module.attr("re") = py::module_::import("re");
    module.attr("dataclass") = dataclasses.attr("dataclass");
    module.attr("field") = dataclasses.attr("field");
    for (const char* name : {"Any", "Dict", "List", "Optional"}) module.attr(name) = typing.attr(name);
    module.attr("np") = py::module_::import("numpy");
    module.attr("pd") = py::module_::import("pandas");
    py::list all;
    all.append("Rulewarden");
    all.append("ConstraintViolationReport");
    module.attr("__all__") = all;

    // Whether validate() may evaluate the rules it handles natively; the plain path
    // (DataFrame.eval for every rule) is kept for comparison in tests and benchmarks.
    module.attr("_native_rules") = true;

    velmora::rulewarden::register_violation_report(module);
    velmora::rulewarden::register_rule_engine(module);
}
