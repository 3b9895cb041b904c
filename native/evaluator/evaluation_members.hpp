// The method tables of TabularEvaluator's evaluation members, each defined beside its
// implementation; add_evaluation_members puts them on the class.
#pragma once

#include "velmora_python.hpp"

namespace velmora::evaluator {

extern const FunctionSpec init_spec;                // catalogue.cpp
extern const FunctionSpec evaluate_spec;            // evaluation_run.cpp
extern const FunctionSpec run_privacy_metric_spec;  // privacy_metrics.cpp
extern const FunctionSpec compare_spec;             // comparison.cpp

}  // namespace velmora::evaluator
