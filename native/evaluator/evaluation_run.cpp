// TabularEvaluator.evaluate: runs the selected metrics of the catalogue over a real and
// a synthetic frame and files every score in a new EvaluationReport.
#include "velmora_python.hpp"
#include "evaluation_members.hpp"
#include "metric_catalogue.hpp"
#include "sister_modules.hpp"

#include <stdexcept>
#include <string>
#include <utility>

namespace velmora::evaluator {
namespace {

constexpr const char* evaluate_doc =
    "Run evaluation suite on real vs synthetic data.\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        real_data : pd.DataFrame\n"
    "            Reference real data.\n"
    "        synthetic_data : pd.DataFrame, optional\n"
    "            Pre-generated synthetic data. If None, ``generator`` is used.\n"
    "        generator : BaseTabularAPI, optional\n"
    "            Fitted generator. If ``synthetic_data`` is None, generates\n"
    "            ``n_samples=len(real_data)`` synthetic rows.\n"
    "        n_samples : int, optional\n"
    "            Number of samples to generate when ``generator`` is used\n"
    "            (default ``len(real_data)``).\n"
    "        metrics : list of str, optional\n"
    "            Override the per-call metric list.\n"
    "        **kwargs\n"
    "            Accepted and ignored.\n"
    "\n"
    "        Returns\n"
    "        -------\n"
    "        EvaluationReport\n"
    "        ";

// The entry of a metric the catalogue must hold (the dispatch below names only those).
const MetricEntry& entry_of(const char* name) {
    const MetricEntry* entry = find_metric(name);
    if (entry == nullptr) throw std::logic_error(std::string("metric not in the catalogue: ") + name);
    return *entry;
}

// The state of one evaluate call shared by its steps.
struct Run {
    py::object self;
    py::object real_data;
    py::object synthetic_data;
    py::object metrics_to_run;
    py::object report;

    // The keyword arguments the metric's class is built with: the evaluator's
    // _metric_options(name), looked up on the instance so that a subclass decides them.
    py::dict options(const MetricEntry& entry) const {
        return py::dict(self.attr("_metric_options")(py::str(entry.name)));
    }

    // Runs a guarded metric: an Exception it raises is swallowed and handed to the
    // evaluator's _on_metric_failure(name, error), which records nothing by default.
    template <typename Body>
    void guarded(const MetricEntry& entry, Body&& body) const {
        try {
            std::forward<Body>(body)();
        } catch (py::error_already_set& error) {
            if (!matches(error, ErrorKind::exception)) throw;
            self.attr("_on_metric_failure")(py::str(entry.name), error.value());
        }
    }

    // A statistical or utility score as a MetricResult, filed without a scope. The report
    // module is imported again for every result, as the evaluator does everywhere.
    void file_score(const MetricEntry& entry, py::handle name, py::handle value) const {
        py::object metric_result = import_from(sister::report, "MetricResult");
        py::object result =
            metric_result(py::arg("name") = name, py::arg("value") = value, py::arg("category") = entry.category,
                          py::arg("higher_is_better") = true, py::arg("description") = entry.description);
        report.attr("add_metric")(result);
    }

    // The same, with the metric's account of its computation (the target and test rows
    // of prediction agreement) where the metric keeps one.
    void file_score(const MetricEntry& entry, py::handle name, py::handle value, const py::object& metric) const {
        if (!has_attribute(metric, "details") || !py::isinstance<py::dict>(metric.attr("details"))) {
            file_score(entry, name, value);
            return;
        }
        py::object metric_result = import_from(sister::report, "MetricResult");
        py::object result =
            metric_result(py::arg("name") = name, py::arg("value") = value, py::arg("category") = entry.category,
                          py::arg("higher_is_better") = true, py::arg("description") = entry.description,
                          py::arg("details") = py::dict(metric.attr("details")));
        report.attr("add_metric")(result);
    }

    // Not guarded: a failure here ends the run.
    void ks_complement(const MetricEntry& entry, const py::list& common_cols) const {
        py::object metric = import_from(entry.module, entry.class_name)(**options(entry));
        py::object scores = metric.attr(entry.call)(real_data, synthetic_data, py::arg("columns") = common_cols);
        for (py::handle item : scores.attr("items")()) {
            auto [column, score] = unpack_pair(item);
            file_score(entry, py::str(entry.result_name) + py::str(column), score);
        }
    }

    void similarity(const MetricEntry& entry) const {
        py::object metric = import_from(entry.module, entry.class_name)(real_data, synthetic_data, **options(entry));
        py::object computed = metric.attr(entry.call)();
        if (entry.filing == Filing::per_key) {
            for (py::handle item : computed.attr("items")()) {
                auto [key, value] = unpack_pair(item);
                file_score(entry, key, value);
            }
        } else {
            file_score(entry, py::str(entry.result_name), computed);
        }
    }

    // The target is the evaluator's _utility_target (by default the first column with at
    // least two distinct non-missing values); a frame without one (or whose target label
    // is falsy) gets no agreement score. The choice runs inside the metric's guard: a
    // frame where it fails (duplicate column labels make real_data[col] a frame) loses
    // this optional metric, not the run.
    void prediction_agreement(const MetricEntry& entry) const {
        py::object target = self.attr("_utility_target")(real_data, synthetic_data);
        if (!truth(target)) return;
        py::object metric =
            import_from(entry.module, entry.class_name)(real_data, synthetic_data, target, **options(entry));
        py::object score = metric.attr(entry.call)();
        file_score(entry, py::str(entry.result_name), score, metric);
    }

    // A metric class that returns its own MetricResult, filed as is.
    void file_returned_result(const MetricEntry& entry) const {
        py::object metric = import_from(entry.module, entry.class_name)(**options(entry));
        report.attr("add_metric")(metric.attr(entry.call)(real_data, synthetic_data));
    }
};

// The labels of the real frame's columns that the synthetic frame also has, in the real
// frame's order, each once (labels compare as set members do).
py::list shared_columns(const Call& call, const py::object& real_data, const py::object& synthetic_data) {
    py::object set = call.global("set");
    py::object synthetic_columns = set(synthetic_data.attr("columns"));
    py::object seen = set();
    py::list common_cols;
    for (py::handle column : real_data.attr("columns")) {
        if (contains(synthetic_columns, column) && !contains(seen, column)) {
            seen.attr("add")(column);
            common_cols.append(column);
        }
    }
    return common_cols;
}

// Steps 6 to 11 of a run: every metric of the catalogue the run asks for, in its stage.
void run_metrics(const Call& call, Run& run) {
    py::list common_cols = shared_columns(call, run.real_data, run.synthetic_data);

    for (py::handle metric_name : run.metrics_to_run) {
        const MetricEntry* entry = nullptr;
        for (const MetricEntry& candidate : metric_catalogue()) {
            if (candidate.stage == Stage::loop && equals(metric_name, py::str(candidate.name))) {
                entry = &candidate;
                break;
            }
        }
        // Any other name is not a metric of the loop and is skipped here.
        if (entry == nullptr) continue;
        if (!entry->guarded) {
            run.ks_complement(*entry, common_cols);
        } else if (entry->needs_target) {
            run.guarded(*entry, [&] { run.prediction_agreement(*entry); });
        } else {
            run.guarded(*entry, [&] { run.similarity(*entry); });
        }
    }

    for (const char* name : {"alpha_precision", "beta_recall"}) {
        const MetricEntry& entry = entry_of(name);
        if (contains(run.metrics_to_run, py::str(entry.name)) && truth(run.self.attr("compute_alpha_beta"))) {
            run.guarded(entry, [&] { run.file_returned_result(entry); });
        }
    }

    if (truth(run.self.attr("compute_privacy"))) {
        for (py::handle metric_name : run.self.attr("PRIVACY_METRICS")) {
            const MetricEntry* entry = nullptr;
            for (const MetricEntry& candidate : metric_catalogue()) {
                if (candidate.stage == Stage::privacy && equals(metric_name, py::str(candidate.name))) {
                    entry = &candidate;
                    break;
                }
            }
            // The suite lists privacy metrics it does not compute; they are never run.
            if (entry == nullptr || !contains(run.metrics_to_run, metric_name)) continue;
            run.guarded(*entry, [&] {
                py::object result =
                    run.self.attr("_run_privacy_metric")(metric_name, run.real_data, run.synthetic_data);
                run.report.attr("add_metric")(result, py::arg("scope") = "privacy");
            });
        }
    }

    const MetricEntry& tstr = entry_of("tstr_normalized");
    if (contains(run.metrics_to_run, py::str(tstr.name))) {
        run.guarded(tstr, [&] { run.file_returned_result(tstr); });
    }
}

// `time.time()`, with `time` looked up in the module's globals at each use.
py::object clock_now(const Call& call) {
    return call.global("time").attr("time")();
}

py::object evaluate(const Call& call) {
    Run run;
    run.self = call.self();
    run.real_data = call[1];
    run.synthetic_data = call[2];
    const py::object& generator = call[3];
    const py::object& n_samples = call[4];
    const py::object& metrics = call[5];

    py::object evaluation_report = import_from(sister::report, "EvaluationReport");
    py::object start_time = clock_now(call);
    run.metrics_to_run = truth(metrics) ? metrics : py::object(run.self.attr("metrics"));

    if (run.synthetic_data.is_none()) {
        if (generator.is_none()) {
            raise_error(ErrorKind::value_error, "Either synthetic_data or generator must be provided.");
        }
        py::object n = n_samples.is_none() ? py::object(py::int_(py::len(run.real_data))) : n_samples;
        run.synthetic_data =
            generator.attr("generate")(py::arg("n_samples") = n, py::arg("seed") = run.self.attr("random_seed"));
    }

    py::int_ real_rows(py::len(run.real_data));
    py::int_ synthetic_rows(py::len(run.synthetic_data));
    py::int_ n_columns(py::len(run.real_data.attr("columns")));
    py::object generator_class;
    try {
        generator_class = generator.attr("__class__");
    } catch (py::error_already_set& error) {
        if (!matches(error, ErrorKind::attribute_error)) throw;
        generator_class = py::type::of(generator);
    }
    run.report = evaluation_report(py::arg("real_data_n_rows") = real_rows,
                                   py::arg("synthetic_data_n_rows") = synthetic_rows, py::arg("n_columns") = n_columns,
                                   py::arg("generator_name") = generator_class.attr("__name__"));

    // The metrics run inside the evaluator's _metric_scope (a context manager, or None),
    // in which the frames do not change: the metric library computes each digest of
    // them once.
    py::object scope = run.self.attr("_metric_scope")();
    if (!scope.is_none()) scope.attr("__enter__")();
    try {
        run_metrics(call, run);
    } catch (...) {
        if (!scope.is_none()) scope.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    if (!scope.is_none()) scope.attr("__exit__")(py::none(), py::none(), py::none());

    py::setattr(run.report, "evaluation_time_seconds", clock_now(call) - start_time);
    return run.report;
}

}  // namespace

const FunctionSpec evaluate_spec{
    .name = "evaluate",
    .params = {{.name = "self"},
               {.name = "real_data", .annotation = "pd.DataFrame"},
               {.name = "synthetic_data", .annotation = "Optional[pd.DataFrame]", .default_text = "None"},
               {.name = "generator", .default_text = "None"},
               {.name = "n_samples", .kind = ArgKind::integer, .annotation = "Optional[int]", .default_text = "None"},
               {.name = "metrics", .kind = ArgKind::list, .annotation = "Optional[List[str]]", .default_text = "None"},
               {.name = "kwargs", .var_keyword = true}},
    .return_annotation = "'EvaluationReport'",
    .doc = evaluate_doc,
    .implementation = evaluate,
};

}  // namespace velmora::evaluator
