// The pieces TabularEvaluator is assembled from, one registration function per topic,
// called in the order the class defines its members.
#pragma once

#include "velmora_python.hpp"

namespace velmora::evaluator {

// The class docstring (what help() shows).
extern const char* const tabular_evaluator_doc;

// DEFAULT_METRICS, PRIVACY_METRICS, __init__, evaluate, _run_privacy_metric, compare.
void add_evaluation_members(ClassBuilder& cls);

// to_html and the static _generate_plot_html.
void add_report_page_members(ClassBuilder& cls);

}  // namespace velmora::evaluator
