// TabularEvaluator.evaluate: runs the selected metrics of the catalogue over a real and
// a synthetic frame and files every score in a new EvaluationReport.
#include "velmora_python.hpp"
#include "evaluation_members.hpp"
#include "sister_modules.hpp"

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

constexpr const char* ks_description = "1 - KS statistic. Higher = better fidelity.";
constexpr const char* prediction_agreement_description =
    "Agreement between models trained on real vs synthetic. Higher = better.";

// A guarded metric of the loop computed by one method of a similarity class: its
// results are filed one per key of the returned mapping when `result_name` is null,
// else as one result of that name.
struct SimilarityMetric {
    const char* metric_name;
    const char* class_name;
    const char* method_name;
    const char* result_name;
    const char* description;
};

constexpr SimilarityMetric similarity_metrics[] = {
    {"wasserstein", "UnivariateSimilarityMetrics", "wasserstein_distance_metric", nullptr,
     "Normalised Wasserstein distance. Higher = better fidelity."},
    {"total_variation", "UnivariateSimilarityMetrics", "total_variation_distance", nullptr,
     "1 - Total Variation distance. Higher = better fidelity."},
    {"hellinger", "UnivariateSimilarityMetrics", "hellinger_distance", nullptr,
     "1 - Hellinger distance. Higher = better fidelity."},
    {"pearson_correl_diff", "CorrelationSimilarityMetrics", "pearson_correlation_difference", "pearson_correl_diff",
     "1 - avg |Pearson(r_real) - Pearson(r_synth)|. Higher = better."},
    {"spearman_correl_diff", "CorrelationSimilarityMetrics", "spearman_correlation_difference", "spearman_correl_diff",
     "1 - avg |Spearman(r_real) - Spearman(r_synth)|. Higher = better."},
    {"correlation_matrix_distance", "MultivariateSimilarityMetrics", "correlation_matrix_distance",
     "correlation_matrix_distance", "Frobenius similarity of correlation matrices. Higher = better."},
    {"mmd", "MultivariateSimilarityMetrics", "mmd_rbf", "mmd_rbf", "MMD with RBF kernel. Higher = better fidelity."},
};

// The state of one evaluate call shared by its steps.
struct Run {
    py::object self;
    py::object real_data;
    py::object synthetic_data;
    py::object metrics_to_run;
    py::object report;

    // A statistical or utility score as a MetricResult, filed without a scope. The report
    // module is imported again for every result, as the evaluator does everywhere.
    void file_score(py::handle name, py::handle value, const char* category, const char* description) const {
        py::object metric_result = import_from(sister::report, "MetricResult");
        py::object result =
            metric_result(py::arg("name") = name, py::arg("value") = value, py::arg("category") = category,
                          py::arg("higher_is_better") = true, py::arg("description") = description);
        report.attr("add_metric")(result);
    }

    // Not guarded: a failure here ends the run.
    void ks_complement(const py::list& common_cols) const {
        py::object metric = import_from(sister::ks_complement, "KSComplementMetric")();
        py::object scores = metric.attr("compute")(real_data, synthetic_data, py::arg("columns") = common_cols);
        for (py::handle item : scores.attr("items")()) {
            auto [column, score] = unpack_pair(item);
            file_score(py::str("ks_complement_") + py::str(column), score, "statistical", ks_description);
        }
    }

    void similarity(const SimilarityMetric& entry) const {
        py::object metric = import_from(sister::similarity, entry.class_name)(real_data, synthetic_data);
        py::object computed = metric.attr(entry.method_name)();
        if (entry.result_name == nullptr) {
            for (py::handle item : computed.attr("items")()) {
                auto [key, value] = unpack_pair(item);
                file_score(key, value, "statistical", entry.description);
            }
        } else {
            file_score(py::str(entry.result_name), computed, "statistical", entry.description);
        }
    }

    // The target is the first column with at least two distinct non-missing values; a
    // frame without one (or whose target label is falsy) gets no agreement score. The
    // choice runs inside the metric's guard: a frame where it fails (duplicate column
    // labels make real_data[col] a frame) loses this optional metric, not the run.
    void prediction_agreement() const {
        py::object target = py::none();
        for (py::handle column : real_data.attr("columns")) {
            py::object distinct = real_data[column].attr("dropna")().attr("unique")();
            if (py::len(distinct) > 1) {
                target = py::reinterpret_borrow<py::object>(column);
                break;
            }
        }
        if (!truth(target)) return;
        py::object metrics = import_from(sister::utility, "PredictionAgreementMetrics");
        py::object score = metrics(real_data, synthetic_data, target).attr("prediction_agreement_percentage")();
        file_score(py::str("prediction_agreement"), score, "utility", prediction_agreement_description);
    }

    // A metric class that returns its own MetricResult, filed as is; a seeded class is
    // built with the evaluator's random_seed.
    void file_returned_result(const char* module_name, const char* class_name, bool seeded) const {
        py::object metric_class = import_from(module_name, class_name);
        py::object metric = seeded ? metric_class(py::arg("random_seed") = self.attr("random_seed")) : metric_class();
        report.attr("add_metric")(metric.attr("compute")(real_data, synthetic_data));
    }
};

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

    py::object set = call.global("set");
    py::list common_cols(set(run.real_data.attr("columns")) & set(run.synthetic_data.attr("columns")));

    for (py::handle metric_name : run.metrics_to_run) {
        if (equals(metric_name, py::str("ks_complement"))) {
            run.ks_complement(common_cols);
            continue;
        }
        bool matched = false;
        for (const SimilarityMetric& entry : similarity_metrics) {
            if (equals(metric_name, py::str(entry.metric_name))) {
                binding::swallow_exception([&] { run.similarity(entry); });
                matched = true;
                break;
            }
        }
        if (!matched && equals(metric_name, py::str("prediction_agreement"))) {
            binding::swallow_exception([&] { run.prediction_agreement(); });
        }
        // Any other name is not in the catalogue and is skipped.
    }

    if (contains(run.metrics_to_run, py::str("alpha_precision")) && truth(run.self.attr("compute_alpha_beta"))) {
        binding::swallow_exception(
            [&] { run.file_returned_result(sister::alpha_precision, "AlphaPrecisionMetric", false); });
    }
    if (contains(run.metrics_to_run, py::str("beta_recall")) && truth(run.self.attr("compute_alpha_beta"))) {
        binding::swallow_exception([&] { run.file_returned_result(sister::beta_recall, "BetaRecallMetric", false); });
    }

    if (truth(run.self.attr("compute_privacy"))) {
        py::set implemented_privacy;
        implemented_privacy.add(py::str("membership_inference_auc"));
        implemented_privacy.add(py::str("distance_to_closest_record"));
        for (py::handle metric_name : run.self.attr("PRIVACY_METRICS")) {
            if (implemented_privacy.contains(metric_name) && contains(run.metrics_to_run, metric_name)) {
                binding::swallow_exception([&] {
                    py::object result =
                        run.self.attr("_run_privacy_metric")(metric_name, run.real_data, run.synthetic_data);
                    run.report.attr("add_metric")(result, py::arg("scope") = "privacy");
                });
            }
        }
    }

    if (contains(run.metrics_to_run, py::str("tstr_normalized"))) {
        binding::swallow_exception([&] { run.file_returned_result(sister::tstr, "TSTRNormalizedMetric", true); });
    }

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
