// The catalogue of the evaluation suite: one entry per metric the evaluator runs, with
// everything about it that the dispatch, the report records, the command line and the
// documentation need. It is the one place where a metric's class, results, direction,
// group and texts are written down; Python reads it as TabularEvaluator.METRIC_CATALOGUE.
#pragma once

#include <span>
#include <string_view>

namespace velmora::evaluator {

// How a metric's results are filed in the report.
enum class Filing {
    per_column,  // one result per shared column, named `result_name` + the column label
    per_key,     // one result per key of the mapping the call returns, named by the key
                 // (the metric library names them `result_name` + the column label)
    single,      // one result named `result_name`
    returned,    // the class hands back its MetricResult (named `result_name`), filed as is
    privacy,     // one result of _run_privacy_metric named `result_name`, scope "privacy"
};

// When the evaluation run handles a metric.
enum class Stage {
    loop,        // in the order of the metrics to run
    after_loop,  // after the loop (alpha-precision, beta-recall)
    privacy,     // in the privacy stage, in the order of PRIVACY_METRICS
    last,        // at the end of the run
};

struct MetricEntry {
    const char* name;    // the name in DEFAULT_METRICS and in `metrics=`
    const char* module;  // the sister module of its class
    const char* class_name;
    const char* call;  // the method that computes it
    Filing filing;
    const char* result_name;  // the result's name, or the prefix of per-column names
    Stage stage;
    bool guarded;          // an Exception while it runs is swallowed
    const char* category;  // the category of its results
    bool higher_is_better;
    // What it measures, for the quality score: "marginal" (one column at a time),
    // "pairwise" (dependence between two columns), "joint" (whole records), "utility"
    // (a prediction task) or "privacy".
    const char* group;
    const char* value_range;
    // The description of its results; for the membership attack a format template with
    // the field {auc}, for TSTR one with {measure}.
    const char* description;
    const char* summary;  // one line of meaning, for listings
    // The keyword options its class takes from the evaluator's _metric_options (space
    // separated): random_seed, target, holdout.
    const char* options;
    // Whether it predicts a target column (prediction agreement is given the column of
    // _utility_target, TSTR the `target` of its options).
    bool needs_target;
};

// Every metric, in the order of DEFAULT_METRICS.
std::span<const MetricEntry> metric_catalogue();

// The entry named `name`, or nullptr.
const MetricEntry* find_metric(std::string_view name);

}  // namespace velmora::evaluator
