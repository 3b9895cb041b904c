// velmora.tabular.evaluator.evaluator: TabularEvaluator scores synthetic data against
// real data. The metric library and report records are imported inside the methods, on
// every call, so this module loads even where they are missing.
#include "velmora_python.hpp"
#include "evaluator_parts.hpp"

PYBIND11_MODULE(evaluator, module) {
    velmora::binding::register_in_sys_modules(module);

    py::module_ typing = py::module_::import("typing");
    module.attr("time") = py::module_::import("time");
    for (const char* name : {"Any", "Dict", "List", "Optional", "Union"}) module.attr(name) = typing.attr(name);
    module.attr("np") = py::module_::import("numpy");
    module.attr("pd") = py::module_::import("pandas");
    py::list all;
    all.append("TabularEvaluator");
    module.attr("__all__") = all;

    velmora::ClassBuilder cls(module, "TabularEvaluator", velmora::evaluator::tabular_evaluator_doc);
    velmora::evaluator::add_evaluation_members(cls);
    velmora::evaluator::add_report_page_members(cls);
    cls.build();
}
