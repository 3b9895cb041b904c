// TabularEvaluator's settings and the catalogue of metric names it knows.
#include "velmora_python.hpp"
#include "evaluation_members.hpp"
#include "evaluator_parts.hpp"
#include "metric_catalogue.hpp"

#include <initializer_list>

namespace velmora::evaluator {

const char* const tabular_evaluator_doc =
    "Comprehensive evaluation of tabular synthetic data.\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    metrics : list of str, optional\n"
    "        Specific metric names to compute. If None, runs the full default suite.\n"
    "    n_jobs : int, default 1\n"
    "        Number of parallel workers for column-level metrics.\n"
    "    random_seed : int, optional\n"
    "        RNG seed for stochastic metrics.\n"
    "    compute_privacy : bool, default True\n"
    "        Whether to run privacy metrics (MIA, NNAA).\n"
    "    compute_alpha_beta : bool, default True\n"
    "        Whether to compute \xce\xb1-Precision / \xce\xb2-Recall (Alaa et al., \"How Faithful is your\n"
    "        Synthetic Data?\", ICML 2022).\n"
    "\n"
    "    Examples\n"
    "    --------\n"
    "    >>> evaluator = TabularEvaluator(random_seed=42)\n"
    "    >>> report = evaluator.evaluate(real_df, synthetic_df)\n"
    "    >>> print(report.summary())\n"
    "    >>> report = evaluator.evaluate(real_df, synthetic_df, metrics=[\"ks_complement\", \"alpha_precision\"])\n"
    "    >>> print(report.to_json())\n"
    "    ";

namespace {

py::list name_list(std::initializer_list<const char*> names) {
    py::list list;
    for (const char* name : names) list.append(py::str(name));
    return list;
}

py::object init(const Call& call) {
    const py::object& self = call.self();
    // Looked up through the instance so that a subclass may bring its own default suite;
    // the list itself is shared, not copied.
    py::setattr(self, "metrics", truth(call[1]) ? call[1] : py::object(self.attr("DEFAULT_METRICS")));
    py::setattr(self, "n_jobs", call[2]);
    py::setattr(self, "random_seed", call[3]);
    py::setattr(self, "compute_privacy", call[4]);
    py::setattr(self, "compute_alpha_beta", call[5]);
    py::setattr(self, "compute_compliance", call[6]);
    return py::none();
}

// The keyword arguments each metric's class is built with: the evaluator's seed for
// TSTR, nothing for the others.
py::object metric_options(const Call& call) {
    py::dict options;
    if (equals(call[1], py::str("tstr_normalized"))) options["random_seed"] = call.self().attr("random_seed");
    return options;
}

// The first column of the real frame with at least two distinct non-missing values.
py::object utility_target(const Call& call) {
    const py::object& real_data = call[1];
    for (py::handle column : real_data.attr("columns")) {
        py::object distinct = real_data[column].attr("dropna")().attr("unique")();
        if (py::len(distinct) > 1) return py::reinterpret_borrow<py::object>(column);
    }
    return py::none();
}

py::object on_metric_failure(const Call&) {
    return py::none();
}

// The metric library's scope of one evaluation (velmora._metric_core.stores.metric_scope),
// or None where the library is missing.
py::object metric_scope(const Call&) {
    try {
        return import_from("velmora._metric_core.stores", "metric_scope")();
    } catch (py::error_already_set& error) {
        if (!matches(error, ErrorKind::import_error)) throw;
        return py::none();
    }
}

// One catalogue entry as a tuple of METRIC_CATALOGUE_FIELDS.
py::tuple entry_tuple(const MetricEntry& entry) {
    constexpr const char* filings[] = {"per_column", "per_key", "single", "returned", "privacy"};
    constexpr const char* stages[] = {"loop", "after_loop", "privacy", "last"};
    py::list options;
    for (py::handle option : py::str(entry.options).attr("split")()) options.append(option);
    return py::make_tuple(
        entry.name, entry.module, entry.class_name, entry.call, filings[static_cast<int>(entry.filing)],
        entry.result_name, stages[static_cast<int>(entry.stage)], entry.guarded, entry.category, entry.higher_is_better,
        entry.group, entry.value_range, entry.description, entry.summary, py::tuple(options), entry.needs_target);
}

py::tuple catalogue_tuple() {
    py::list rows;
    for (const MetricEntry& entry : metric_catalogue()) rows.append(entry_tuple(entry));
    return py::tuple(rows);
}

}  // namespace

const FunctionSpec metric_options_spec{
    .name = "_metric_options",
    .params = {{.name = "self"}, {.name = "name", .kind = ArgKind::string, .annotation = "str"}},
    .return_annotation = "dict",
    .doc =
        "The keyword arguments the class of metric ``name`` is built with.\n"
        "\n"
        "        Called once before each metric runs. The evaluator passes its ``random_seed``\n"
        "        to ``tstr_normalized`` and nothing to the others; a subclass may pass any option\n"
        "        the metric's class takes (see ``METRIC_CATALOGUE``: ``random_seed``, ``target``,\n"
        "        ``holdout``).\n"
        "        ",
    .implementation = metric_options,
};

const FunctionSpec utility_target_spec{
    .name = "_utility_target",
    .params = {{.name = "self"},
               {.name = "real_data", .annotation = "pd.DataFrame"},
               {.name = "synthetic_data", .annotation = "pd.DataFrame"}},
    .doc =
        "The column ``prediction_agreement`` predicts, or None to skip it.\n"
        "\n"
        "        The first column of ``real_data`` with at least two distinct non-missing values.\n"
        "        ",
    .implementation = utility_target,
};

const FunctionSpec on_metric_failure_spec{
    .name = "_on_metric_failure",
    .params = {{.name = "self"}, {.name = "name", .kind = ArgKind::string, .annotation = "str"}, {.name = "error"}},
    .doc =
        "Called with the metric's name and the exception when an optional metric fails.\n"
        "\n"
        "        The evaluation goes on and the metric files nothing; the evaluator records\n"
        "        nothing. A subclass may record why.\n"
        "        ",
    .implementation = on_metric_failure,
};

const FunctionSpec metric_scope_spec{
    .name = "_metric_scope",
    .params = {{.name = "self"}},
    .doc =
        "A context manager the metrics of one evaluation run in, or None.\n"
        "\n"
        "        The frames do not change while it is open; the metric library then digests\n"
        "        each of their columns once. A subclass may return another (or None).\n"
        "        ",
    .implementation = metric_scope,
};

const FunctionSpec init_spec{
    .name = "__init__",
    .params = {{.name = "self"},
               {.name = "metrics", .kind = ArgKind::list, .annotation = "Optional[List[str]]", .default_text = "None"},
               {.name = "n_jobs", .kind = ArgKind::integer, .annotation = "int", .default_text = "1"},
               {.name = "random_seed", .kind = ArgKind::integer, .annotation = "Optional[int]", .default_text = "None"},
               {.name = "compute_privacy", .kind = ArgKind::boolean, .annotation = "bool", .default_text = "True"},
               {.name = "compute_alpha_beta", .kind = ArgKind::boolean, .annotation = "bool", .default_text = "True"},
               {.name = "compute_compliance", .kind = ArgKind::boolean, .annotation = "bool", .default_text = "True"}},
    .implementation = init,
};

void add_evaluation_members(ClassBuilder& cls) {
    // The default suite is every metric of the catalogue, in its order.
    py::list default_metrics;
    for (const MetricEntry& entry : metric_catalogue()) default_metrics.append(py::str(entry.name));
    cls.attr("DEFAULT_METRICS", default_metrics)
        .attr("PRIVACY_METRICS", name_list({"membership_inference_auc", "nn_adversarial_accuracy",
                                            "distance_to_closest_record", "nnd_ratio"}))
        .attr("METRIC_CATALOGUE_FIELDS",
              py::make_tuple("name", "module", "class_name", "call", "filing", "result_name", "stage", "guarded",
                             "category", "higher_is_better", "group", "value_range", "description", "summary",
                             "options", "needs_target"))
        .attr("METRIC_CATALOGUE", catalogue_tuple())
        .method(init_spec)
        .method(evaluate_spec)
        .method(run_privacy_metric_spec)
        .method(compare_spec)
        .method(metric_options_spec)
        .method(utility_target_spec)
        .method(on_metric_failure_spec)
        .method(metric_scope_spec);
}

}  // namespace velmora::evaluator
