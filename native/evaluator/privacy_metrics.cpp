// TabularEvaluator._run_privacy_metric: one privacy metric name to one MetricResult.
#include "velmora_python.hpp"
#include "evaluation_members.hpp"
#include "sister_modules.hpp"

namespace velmora::evaluator {
namespace {

// The attack's AUC becomes a privacy risk in [0, 1]: 0 at chance (0.5), 1 for an
// attacker that always tells members apart, whichever way round it is right. The
// arithmetic keeps the AUC's own number type (a numpy AUC gives a numpy risk).
py::object membership_inference(const py::object& metric_result, const py::object& real, const py::object& synthetic) {
    py::object metric = import_from(sister::membership_inference, "MembershipInferenceMetric")();
    py::object auc = metric.attr("compute")(real, synthetic);
    py::object privacy_risk = absolute(auc - py::float_(0.5)) * py::int_(2);
    py::object description = py::str("Normalised privacy risk [0,1]. Raw AUC=") + format(auc, ".4f") +
                             py::str(". Values >0 mean attacker has signal.");
    py::dict details;
    details["auc"] = auc;
    details["privacy_risk"] = privacy_risk;
    return metric_result(py::arg("name") = "membership_inference_auc", py::arg("value") = privacy_risk,
                         py::arg("category") = "privacy", py::arg("higher_is_better") = false,
                         py::arg("description") = description, py::arg("details") = details);
}

py::object distance_to_closest_record(const py::object& metric_result, const py::object& real,
                                      const py::object& synthetic) {
    py::object metric = import_from(sister::distance_to_closest_record, "DTCRMetric")();
    py::object score = metric.attr("compute")(real, synthetic);
    return metric_result(
        py::arg("name") = "distance_to_closest_record", py::arg("value") = score, py::arg("category") = "privacy",
        py::arg("higher_is_better") = true,
        py::arg("description") = "Mean distance from real to nearest synthetic record. Higher = better privacy.");
}

py::object run_privacy_metric(const Call& call) {
    const py::object& name = call[1];
    const py::object& real = call[2];
    const py::object& synthetic = call[3];
    py::object metric_result = import_from(sister::report, "MetricResult");
    if (equals(name, py::str("membership_inference_auc"))) return membership_inference(metric_result, real, synthetic);
    if (equals(name, py::str("distance_to_closest_record"))) {
        return distance_to_closest_record(metric_result, real, synthetic);
    }
    // Names the suite lists but does not compute get a zero placeholder.
    return metric_result(py::arg("name") = name, py::arg("value") = 0.0, py::arg("category") = "privacy");
}

}  // namespace

const FunctionSpec run_privacy_metric_spec{
    .name = "_run_privacy_metric",
    .params = {{.name = "self"},
               {.name = "name", .kind = ArgKind::string, .annotation = "str"},
               {.name = "real", .annotation = "pd.DataFrame"},
               {.name = "synthetic", .annotation = "pd.DataFrame"}},
    .doc = "Run a single privacy metric by name.",
    .implementation = run_privacy_metric,
};

}  // namespace velmora::evaluator
