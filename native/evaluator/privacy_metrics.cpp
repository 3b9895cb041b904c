// TabularEvaluator._run_privacy_metric: one privacy metric name to one MetricResult.
#include "velmora_python.hpp"
#include "evaluation_members.hpp"
#include "metric_catalogue.hpp"
#include "sister_modules.hpp"

namespace velmora::evaluator {
namespace {

// The keyword arguments the metric's class is built with (the evaluator's
// _metric_options, which a subclass may override).
py::dict options_of(const py::object& self, const MetricEntry& entry) {
    return py::dict(self.attr("_metric_options")(py::str(entry.name)));
}

// What the metric recorded of its computation (a dict `details` after compute), or
// None for a metric that keeps no account.
py::object metric_details(const py::object& metric) {
    if (!has_attribute(metric, "details")) return py::none();
    py::object details = metric.attr("details");
    return py::isinstance<py::dict>(details) ? details : py::none();
}

// The attack's AUC becomes a privacy risk in [0, 1]: 0 at chance (0.5), 1 for an
// attacker that always tells members apart, whichever way round it is right. The
// arithmetic keeps the AUC's own number type (a numpy AUC gives a numpy risk).
py::object membership_inference(const py::object& self, const py::object& metric_result, const py::object& real,
                                const py::object& synthetic) {
    const MetricEntry& entry = *find_metric("membership_inference_auc");
    py::object metric = import_from(entry.module, entry.class_name)(**options_of(self, entry));
    py::object auc = metric.attr(entry.call)(real, synthetic);
    py::object privacy_risk = absolute(auc - py::float_(0.5)) * py::int_(2);
    py::object description = py::str(entry.description).attr("format")(py::arg("auc") = auc);
    py::dict details;
    details["auc"] = auc;
    details["privacy_risk"] = privacy_risk;
    // The attack's own account (its exposure, sample sizes, interval) follows the two
    // figures above.
    if (py::object more = metric_details(metric); !more.is_none()) {
        for (auto [key, value] : py::reinterpret_borrow<py::dict>(more)) {
            if (!details.contains(key)) details[key] = value;
        }
    }
    return metric_result(py::arg("name") = entry.result_name, py::arg("value") = privacy_risk,
                         py::arg("category") = entry.category, py::arg("higher_is_better") = entry.higher_is_better,
                         py::arg("description") = description, py::arg("details") = details);
}

py::object distance_to_closest_record(const py::object& self, const py::object& metric_result, const py::object& real,
                                      const py::object& synthetic) {
    const MetricEntry& entry = *find_metric("distance_to_closest_record");
    py::object metric = import_from(entry.module, entry.class_name)(**options_of(self, entry));
    py::object score = metric.attr(entry.call)(real, synthetic);
    py::object details = metric_details(metric);
    if (details.is_none()) {
        return metric_result(py::arg("name") = entry.result_name, py::arg("value") = score,
                             py::arg("category") = entry.category, py::arg("higher_is_better") = entry.higher_is_better,
                             py::arg("description") = entry.description);
    }
    return metric_result(py::arg("name") = entry.result_name, py::arg("value") = score,
                         py::arg("category") = entry.category, py::arg("higher_is_better") = entry.higher_is_better,
                         py::arg("description") = entry.description, py::arg("details") = py::dict(details));
}

py::object run_privacy_metric(const Call& call) {
    const py::object& name = call[1];
    const py::object& real = call[2];
    const py::object& synthetic = call[3];
    py::object metric_result = import_from(sister::report, "MetricResult");
    if (equals(name, py::str("membership_inference_auc"))) {
        return membership_inference(call.self(), metric_result, real, synthetic);
    }
    if (equals(name, py::str("distance_to_closest_record"))) {
        return distance_to_closest_record(call.self(), metric_result, real, synthetic);
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
