// Rulewarden: stores text rules, classifies them, and validates a frame against them.
#include "velmora_python.hpp"
#include "native_rules.hpp"
#include "rulewarden_parts.hpp"
#include "violation_gatherer.hpp"

#include <optional>
#include <string>
#include <utility>

#include "conditional_rule.hpp"
#include "interrupts.hpp"
#include "rule_text.hpp"

namespace velmora::rulewarden {
namespace {

constexpr const char* class_doc =
    "Parse and validate rule-based constraints on DataFrames.\n"
    "\n"
    "    Usage::\n"
    "\n"
    "        engine = Rulewarden()\n"
    "        engine.add_rule(\"age > 0\").add_rule(\"income >= 0\")\n"
    "        report = engine.validate(df)\n"
    "        fixed = report.fix(df, strategy=\"resample\")\n"
    "    ";

py::object init(const Call& call) {
    call.self().attr("_rules") = py::list();
    call.self().attr("_parsed_rules") = py::list();
    return py::none();
}

// Raises ValueError for a rule text too large to hand to a parser (see rule_text.hpp).
void refuse_oversized(const py::handle& rule) {
    if (!is_exact_str(rule)) return;
    std::optional<std::string> problem = rules::rule_size_problem(utf8_surrogatepass(rule));
    if (!problem) return;
    raise_error(ErrorKind::value_error, "Rule refused: " + *problem +
                                            " (longer rules would exhaust the parser's stack and the memory of the "
                                            "evaluation).");
}

py::object add_rule(const Call& call) {
    const py::object& self = call.self();
    const py::object& rule = call[1];
    refuse_oversized(rule);
    py::object rules = self.attr("_rules");
    rules.attr("append")(rule);
    py::object parsed;
    try {
        parsed = self.attr("_parse_rule")(rule);
    } catch (...) {
        // Keep _rules and _parsed_rules the same length: a failed parse stores nothing.
        rules.attr("pop")();
        throw;
    }
    self.attr("_parsed_rules").attr("append")(parsed);
    return self;
}

// A rule is conditional when it matches r"if\s+(.+?)\s+then\s+(.+)" (any letter case)
// from its start; the match is found in linear time (see conditional_rule.hpp).
py::object parse_rule(const Call& call) {
    py::object rule = call[1].attr("strip")();
    std::optional<rules::ConditionalParts> parts = rules::match_conditional(code_points(rule));
    py::dict parsed;
    if (parts) {
        parsed["type"] = "conditional";
        parsed["condition"] = substring(rule, parts->condition_begin, parts->condition_end).attr("strip")();
        parsed["consequence"] = substring(rule, parts->consequence_begin, parts->consequence_end).attr("strip")();
        parsed["raw"] = rule;
    } else {
        parsed["type"] = "comparison";
        parsed["expr"] = rule;
        parsed["raw"] = rule;
    }
    return parsed;
}

// Runs a rule's evaluation; an Exception it raises is handed to the engine's
// _rule_not_evaluated hook (which by default does nothing) and reported by returning
// false, so that the rule counts no violation. Other exceptions propagate.
template <typename Body>
bool evaluated_or_reported(const py::object& self, const py::object& rule, Body&& body) {
    try {
        std::forward<Body>(body)();
        return true;
    } catch (py::error_already_set& error) {
        if (!matches(error, ErrorKind::exception)) throw;
        py::object value = error.value();
        self.attr("_rule_not_evaluated")(rule, value);
        return false;
    }
}

py::object rule_not_evaluated(const Call&) {
    return py::none();
}

py::object validate(const Call& call) {
    // `from velmora.exceptions import VelmoraInputError`, run on every call.
    import_from("velmora.exceptions", "VelmoraInputError");
    const py::object& self = call.self();
    const py::object& df = call[1];
    py::dict violations;
    ViolationGatherer gatherer(df);
    NativeRules native(call, df, gatherer.rows());

    py::iterator rule_texts = py::iter(self.attr("_rules"));
    py::iterator parsed_rules = py::iter(self.attr("_parsed_rules"));
    for (; rule_texts != py::iterator::sentinel(); ++rule_texts, ++parsed_rules) {
        if (parsed_rules == py::iterator::sentinel()) break;
        py::object rule = py::reinterpret_borrow<py::object>(*rule_texts);
        py::object parsed = py::reinterpret_borrow<py::object>(*parsed_rules);
        // Ctrl-C stops validation between rules (and the native evaluation between chunks).
        binding::check_signals();
        refuse_oversized(rule);
        bool evaluated;
        if (equals(parsed[py::str("type")], py::str("conditional"))) {
            py::object condition = parsed[py::str("condition")];
            py::object consequence = parsed[py::str("consequence")];
            evaluated = evaluated_or_reported(self, rule, [&] {
                if (auto holds = native.truth(condition, true)) {
                    if (auto follows = native.truth(consequence, true)) {
                        // The violating rows: the condition holds and the consequence does not.
                        for (std::size_t i = 0; i < holds->size(); ++i) (*holds)[i] &= (*follows)[i] ^ 1u;
                        violations[rule] = gatherer.add_rows(*holds, false);
                        return;
                    }
                }
                py::object condition_mask = df.attr("eval")(condition);
                py::object consequence_mask = df.attr("eval")(consequence);
                py::object mask = condition_mask & ~consequence_mask;
                violations[rule] = gatherer.add(mask, false);
            });
        } else {
            py::object expression = parsed[py::str("expr")];
            evaluated = evaluated_or_reported(self, rule, [&] {
                if (auto truth = native.truth(expression, false)) {
                    violations[rule] = gatherer.add_rows(*truth, true);
                    return;
                }
                py::object result = df.attr("eval")(expression);
                // A scalar result (an expression naming no column) breaks no row.
                violations[rule] = has_attribute(result, "__iter__") ? gatherer.add(result, true) : py::int_(0);
            });
        }
        if (!evaluated) violations[rule] = py::int_(0);
    }

    py::object total = builtin("sum")(violations.attr("values")());
    py::object violating_index = gatherer.violating_index(call);
    std::size_t rows = py::len(df);
    py::object rate =
        rows > 0 ? py::object(py::int_(py::len(violating_index)) / py::int_(rows)) : py::object(py::float_(0.0));
    return call.global("ConstraintViolationReport")(
        py::arg("violations") = violations, py::arg("total_violations") = total, py::arg("violation_rate") = rate,
        py::arg("violating_rows") = violating_index);
}

const FunctionSpec init_spec{
    .name = "__init__",
    .params = {{.name = "self"}},
    .return_annotation = "None",
    .implementation = init,
};

const FunctionSpec add_rule_spec{
    .name = "add_rule",
    .params = {{.name = "self"}, {.name = "rule", .kind = ArgKind::string, .annotation = "str"}},
    .return_annotation = "'Rulewarden'",
    .doc = "Parse and store a constraint rule. Returns self for chaining.",
    .implementation = add_rule,
};

const FunctionSpec parse_rule_spec{
    .name = "_parse_rule",
    .params = {{.name = "self"}, {.name = "rule", .kind = ArgKind::string, .annotation = "str"}},
    .return_annotation = "Dict[str, Any]",
    .doc = "Parse a rule string into a structured representation.",
    .implementation = parse_rule,
};

const FunctionSpec rule_not_evaluated_spec{
    .name = "_rule_not_evaluated",
    .params = {{.name = "self"}, {.name = "rule", .annotation = "str"}, {.name = "error", .annotation = "Exception"}},
    .return_annotation = "None",
    .doc =
        "Called by validate for a rule whose evaluation raised error (the rule then counts\n"
        "no violation). Does nothing; a subclass may record or raise.",
    .implementation = rule_not_evaluated,
};

const FunctionSpec validate_spec{
    .name = "validate",
    .params = {{.name = "self"}, {.name = "df", .annotation = "pd.DataFrame"}},
    .return_annotation = "ConstraintViolationReport",
    .doc = "Validate all rules against the DataFrame.",
    .implementation = validate,
};

}  // namespace

void register_rule_engine(py::module_& module) {
    ClassBuilder(module, "Rulewarden", class_doc)
        .method(init_spec)
        .method(add_rule_spec)
        .method(parse_rule_spec)
        .method(validate_spec)
        .method(rule_not_evaluated_spec)
        .build();
}

}  // namespace velmora::rulewarden
