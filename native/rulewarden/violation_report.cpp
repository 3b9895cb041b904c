// ConstraintViolationReport: a real dataclass whose methods are native functions.
#include "velmora_python.hpp"
#include "rulewarden_parts.hpp"

#include <optional>
#include <string>

#include "rule_text.hpp"

namespace velmora::rulewarden {
namespace {

// "age >= 18": a column name, an operator (two-character ones first) and a bound.
constexpr const char* bound_pattern = R"((\w+)\s*(>=|<=|>|<)\s*(\S+))";
constexpr double clip_margin = 1e-06;

py::object summary(const Call& call) {
    py::list lines;
    for (py::handle item : call.self().attr("violations").attr("items")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        py::object rule = pair[0];
        py::object count = pair[1];
        lines.append(py::str("Rule '") + format(rule) + py::str("': ") + format(count) + py::str(" violations"));
    }
    return py::str("\n").attr("join")(lines);
}

// The clip argument a simple bound rule implies, as (keyword, value), or nothing.
struct ClipBound {
    const char* keyword;
    double value;
    Comparison holds;  // the leading comparison, against the bound as written
    double written;
};

bool clip_bound_of(const Call& call, const py::handle& rule, py::object& column, ClipBound& bound) {
    py::object match = call.global("re").attr("match")(bound_pattern, rule.attr("strip")());
    if (match.is_none()) return false;
    py::object bound_text = match.attr("group")(3);
    double value = 0.0;
    try {
        value = float_value(to_float(bound_text));
    } catch (py::error_already_set& error) {
        if (!matches(error, ErrorKind::value_error)) throw;
        return false;
    }
    std::string op = match.attr("group")(2).cast<std::string>();
    column = match.attr("group")(1);
    if (op == ">")
        bound = {"lower", value + clip_margin, Comparison::gt, value};
    else if (op == ">=")
        bound = {"lower", value, Comparison::ge, value};
    else if (op == "<")
        bound = {"upper", value - clip_margin, Comparison::lt, value};
    else
        bound = {"upper", value, Comparison::le, value};
    return true;
}

// Which rows of `frame` break `rule` (a numpy bool array, as validation counts them), or
// nothing when the rule cannot be evaluated on it or names no column.
std::optional<py::object> breaking_rows(const py::handle& rule, const py::object& frame) {
    std::optional<py::object> rows;
    binding::swallow_exception([&] {
        py::object text = rule.attr("strip")();
        if (is_exact_str(text) && rules::rule_size_problem(utf8_surrogatepass(text))) return;
        py::object result = frame.attr("eval")(text);
        if (!has_attribute(result, "__iter__")) return;
        rows = (~result.attr("astype")(builtin("bool"))).attr("to_numpy")(py::arg("dtype") = builtin("bool"));
    });
    return rows;
}

// A bound is taken from the rule's leading comparison (`age > 0`, also when `and` adds
// more) and applied only to rows that break both the comparison and the rule (where the
// rule cannot be evaluated, the comparison alone): a row that satisfies the rule keeps
// every value. A rule whose parts are joined by `or` holds when any part does, so its
// leading comparison bounds nothing.
py::object clip_to_bounds(const Call& call, const py::object& df) {
    py::object result = df.attr("copy")();
    py::object is_numeric_dtype = call.global("pd").attr("api").attr("types").attr("is_numeric_dtype");
    for (py::handle rule : call.self().attr("violations")) {
        py::object column;
        ClipBound bound{};
        if (!clip_bound_of(call, rule, column, bound)) continue;
        if (!result.attr("columns").contains(column)) continue;
        if (!is_numeric_dtype(result[column]).cast<bool>()) continue;
        if (is_exact_str(rule) && rules::joins_alternatives(utf8_surrogatepass(rule))) continue;
        py::object original = result[column];
        // Missing values fail every comparison; clipping leaves them missing.
        py::object outside = (~rich_compare(original, py::float_(bound.written), bound.holds))
                                 .attr("to_numpy")(py::arg("dtype") = builtin("bool"));
        if (std::optional<py::object> breaking = breaking_rows(rule, result)) outside = outside & *breaking;
        py::dict keywords;
        keywords[bound.keyword] = py::float_(bound.value);
        py::object clipped = original.attr("clip")(**keywords);
        set_item(result, column, clipped.attr("where")(outside, original));
    }
    return result;
}

// The report names rows by label. Where a violating row's label is repeated in the
// frame, the rows sharing it cannot be told apart (valid ones would be dropped or
// replaced too), so dropping and resampling refuse such a frame.
void refuse_ambiguous_labels(const py::object& df, const py::object& in_violation) {
    py::object labels = df.attr("index")[in_violation];
    py::object repeated = labels.attr("duplicated")();
    if (!truth(repeated.attr("any")())) return;
    py::object shown = labels[repeated].attr("unique")().attr("tolist")()[py::slice(0, 5, 1)];
    raise_error(
        ErrorKind::value_error,
        "Cannot repair by row label: the labels " + py::repr(shown).cast<std::string>() +
            " of violating rows occur more than once in the frame's index, so rows that broke no rule may share "
            "them. Give the frame unique labels (for example df.reset_index(drop=True)), validate it again and "
            "repair that frame.");
}

py::object fix(const Call& call) {
    const py::object& df = call[1];
    const py::object& strategy = call[2];
    py::object violating_rows = call.self().attr("violating_rows");
    if (py::len(violating_rows) == 0) return df.attr("copy")();

    py::object in_violation = df.attr("index").attr("isin")(violating_rows);
    py::object good_df = df[~in_violation];
    py::object bad_df = df.attr("loc")[in_violation];

    py::str name = py::reinterpret_borrow<py::str>(strategy);
    if (name.equal(py::str("drop"))) {
        refuse_ambiguous_labels(df, in_violation);
        return good_df.attr("reset_index")(py::arg("drop") = true);
    }
    if (name.equal(py::str("resample"))) {
        // Before the test for clean rows: with a violating label repeated, clean rows may
        // hide among the violating ones.
        refuse_ambiguous_labels(df, in_violation);
        if (py::len(good_df) == 0) return df.attr("copy")();
        // No random_state: pandas draws from numpy's global generator.
        py::object replacement = good_df.attr("sample")(py::arg("n") = py::len(bad_df), py::arg("replace") = true)
                                     .attr("reset_index")(py::arg("drop") = true);
        py::list parts;
        parts.append(good_df.attr("reset_index")(py::arg("drop") = true));
        parts.append(replacement);
        return call.global("pd").attr("concat")(parts, py::arg("ignore_index") = true);
    }
    if (name.equal(py::str("clip"))) return clip_to_bounds(call, df);
    raise_error(ErrorKind::value_error,
                py::str("Unknown fix strategy '") + name + py::str("'. Valid: 'resample', 'drop', 'clip'."));
}

py::object empty_index(const Call& call) {
    return call.global("pd").attr("Index")(py::list());
}

// The dataclass comparison of Python 3.9 to 3.12 on every version: the two reports'
// fields as tuples, where identical items count as equal without calling ==. From 3.13
// on, dataclasses compares field by field with ==, which for the Index field gives an
// array whose truth value is ambiguous.
py::object equals(const Call& call) {
    const py::object& self = call.self();
    const py::object& other = call[1];
    if (!other.attr("__class__").is(self.attr("__class__"))) return call.global("NotImplemented");
    auto fields = [](const py::object& report) {
        return py::make_tuple(report.attr("violations"), report.attr("total_violations"), report.attr("violation_rate"),
                              report.attr("violating_rows"));
    };
    return py::bool_(fields(self).equal(fields(other)));
}

const FunctionSpec summary_spec{
    .name = "summary",
    .params = {{.name = "self"}},
    .return_annotation = "str",
    .implementation = summary,
};

const FunctionSpec fix_spec{
    .name = "fix",
    .params = {{.name = "self"},
               {.name = "df", .annotation = "pd.DataFrame"},
               {.name = "strategy", .kind = ArgKind::string, .annotation = "str", .default_text = "'resample'"}},
    .return_annotation = "pd.DataFrame",
    .implementation = fix,
};

const FunctionSpec equals_spec{
    .name = "__eq__",
    .params = {{.name = "self"}, {.name = "other"}},
    .implementation = equals,
};

const FunctionSpec empty_index_spec{
    .name = "<lambda>",
    .implementation = empty_index,
};

}  // namespace

void register_violation_report(py::module_& module) {
    py::object field = module.attr("field");
    py::dict annotations;
    annotations["violations"] = "Dict[str, int]";
    annotations["total_violations"] = "int";
    annotations["violation_rate"] = "float";
    annotations["violating_rows"] = "pd.Index";
    ClassBuilder builder(module, "ConstraintViolationReport", "Report of constraint violations in a DataFrame.");
    py::object index_factory = builder.function(empty_index_spec);
    py::object cls = builder.attr("__annotations__", annotations)
                         .attr("violations", field(py::arg("default_factory") = builtin("dict")))
                         .attr("total_violations", py::int_(0))
                         .attr("violation_rate", py::float_(0.0))
                         .attr("violating_rows", field(py::arg("default_factory") = index_factory))
                         .method(summary_spec)
                         .method(fix_spec)
                         .method(equals_spec)
                         .build();
    module.attr("ConstraintViolationReport") = module.attr("dataclass")(cls);
}

}  // namespace velmora::rulewarden
