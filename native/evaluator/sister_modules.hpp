// The sister modules of the package that TabularEvaluator calls: the report records,
// the metric library and the file writer of the report page. They are imported inside the methods, on every call (with
// import_from, the from-import statement), so the evaluator module loads (and can be
// configured) where they are missing.
#pragma once

#include "velmora_python.hpp"

namespace velmora::evaluator {

namespace sister {
inline constexpr const char* report = "velmora.tabular.evaluator.report";
inline constexpr const char* files = "velmora._files";
inline constexpr const char* ks_complement = "velmora.tabular.evaluator.metrics.statistical.ks_complement";
inline constexpr const char* alpha_precision = "velmora.tabular.evaluator.metrics.fidelity.alpha_precision";
inline constexpr const char* beta_recall = "velmora.tabular.evaluator.metrics.fidelity.beta_recall";
inline constexpr const char* tstr = "velmora.tabular.evaluator.metrics.utility.tstr";
inline constexpr const char* membership_inference = "velmora.tabular.evaluator.metrics.privacy.membership_inference";
inline constexpr const char* distance_to_closest_record =
    "velmora.tabular.evaluator.metrics.privacy.distance_to_closest_record";
inline constexpr const char* similarity = "velmora.evaluation.metrics.similarity";
inline constexpr const char* utility = "velmora.evaluation.metrics.utility";
}  // namespace sister

}  // namespace velmora::evaluator
