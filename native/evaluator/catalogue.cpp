// TabularEvaluator's settings and the catalogue of metric names it knows.
#include "velmora_python.hpp"
#include "evaluation_members.hpp"
#include "evaluator_parts.hpp"

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

}  // namespace

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
    cls.attr("DEFAULT_METRICS", name_list({"ks_complement", "wasserstein", "total_variation", "hellinger",
                                           "pearson_correl_diff", "spearman_correl_diff", "correlation_matrix_distance",
                                           "mmd", "tstr_normalized", "prediction_agreement", "alpha_precision",
                                           "beta_recall", "membership_inference_auc", "distance_to_closest_record"}))
        .attr("PRIVACY_METRICS", name_list({"membership_inference_auc", "nn_adversarial_accuracy",
                                            "distance_to_closest_record", "nnd_ratio"}))
        .method(init_spec)
        .method(evaluate_spec)
        .method(run_privacy_metric_spec)
        .method(compare_spec);
}

}  // namespace velmora::evaluator
