// TabularEvaluator.compare: hands a list of reports to the report module's compare.
#include "velmora_python.hpp"
#include "evaluation_members.hpp"
#include "sister_modules.hpp"

namespace velmora::evaluator {
namespace {

constexpr const char* compare_doc =
    "Compare multiple EvaluationReport objects from the same evaluator.\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        reports : list of EvaluationReport\n"
    "\n"
    "        Returns\n"
    "        -------\n"
    "        ComparisonResult\n"
    "        ";

// The list goes on as it is: its length and items are the report module's concern.
py::object compare(const Call& call) {
    py::object report_compare = import_from(sister::report, "compare");
    return report_compare(call[1]);
}

}  // namespace

const FunctionSpec compare_spec{
    .name = "compare",
    .params = {{.name = "self"}, {.name = "reports", .kind = ArgKind::list, .annotation = "list"}},
    .return_annotation = "'ComparisonResult'",
    .doc = compare_doc,
    .implementation = compare,
};

}  // namespace velmora::evaluator
