// NoiseforgeProcessor's settings, column typing, the processing driver and the one-call
// entry function apply_noiseforge.
#include "velmora_python.hpp"
#include "column_access.hpp"
#include "noiseforge_parts.hpp"

#include <cmath>

namespace velmora::noiseforge {

void log_info(const Call& call, const py::object& message) {
    call.global("logger").attr("info")(message);
}

void log_warning(const Call& call, const py::object& message) {
    call.global("logger").attr("warning")(message);
}

bool is_own_method(const py::object& self, const FunctionSpec& spec) {
    return binding::is_bound_method_of(self.attr(spec.name), self, spec);
}

py::object selected_columns(const py::object& df, const py::list& include) {
    // select_dtypes copies the selected data; only the labels are wanted, and a slice of
    // no rows has the same columns and dtypes.
    py::object no_rows = df.attr("iloc")[py::slice(0, 0, 1)];
    return no_rows.attr("select_dtypes")(py::arg("include") = include).attr("columns");
}

py::list categorical_dtypes() {
    // "string" selects pandas' string dtype, in which pandas 3 reads text (pandas 3 still
    // selects its str columns under "object", with a deprecation warning, unless "string"
    // is asked for too).
    py::list include;
    for (const char* name : {"object", "string", "category", "bool"}) include.append(name);
    return include;
}

py::object number_columns(const Call& call, const py::object& df) {
    py::list include;
    include.append(call.global("np").attr("number"));
    py::list exclude;
    exclude.append("timedelta");
    py::object no_rows = df.attr("iloc")[py::slice(0, 0, 1)];
    return no_rows.attr("select_dtypes")(py::arg("include") = include, py::arg("exclude") = exclude).attr("columns");
}

namespace {

constexpr const char* class_doc =
    "Minimal differential privacy processor for preprocessed DataFrames.\n"
    "\n"
    "    Applies differential privacy with minimal noise addition while preserving\n"
    "    data utility for synthetic data generation.\n"
    "    ";

py::object init(const Call& call) {
    const py::object& self = call.self();
    self.attr("epsilon") = call[1];
    self.attr("delta") = call[2];
    self.attr("noise_scale") = call[3];
    self.attr("categorical_noise_prob") = call[4];
    self.attr("numerical_noise_std") = call[5];
    self.attr("random_state") = call[6];
    if (!call[6].is_none()) call.global("np").attr("random").attr("seed")(call[6]);
    self.attr("original_stats") = py::dict();
    log_info(call, py::str("Initialized DP processor with epsilon=") + py::str(self.attr("epsilon")) +
                       py::str(", delta=") + py::str(self.attr("delta")));
    return py::none();
}

py::list column_labels(const py::object& df, const py::list& include) {
    return selected_columns(df, include).attr("tolist")();
}

py::object detect_column_types(const Call& call) {
    const py::object& df = call[1];
    py::list numerical_cols = number_columns(call, df).attr("tolist")();
    py::list categorical_cols = column_labels(df, categorical_dtypes());
    double threshold = std::min(10.0, 0.1 * static_cast<double>(py::len(df)));
    py::float_ threshold_value(threshold);
    bool labels_unique = df.attr("columns").attr("is_unique").cast<bool>();
    // Only whether a column has more distinct values than the threshold matters, so the
    // native count stops one past it.
    std::size_t cap = static_cast<std::size_t>(std::floor(threshold)) + 1;
    // Walk a copy: a moved column is removed from the list being examined.
    py::list examined = numerical_cols.attr("copy")();
    for (py::handle col : examined) {
        py::object column = df[col];
        std::optional<NumericColumn> numeric = labels_unique ? numeric_column(column) : std::nullopt;
        bool low;
        if (numeric) {
            std::size_t distinct =
                with_view(*numeric, [&](auto view) { return noise::count_distinct_capped(view, cap); });
            low = static_cast<double>(distinct) <= threshold;
        } else {
            low = compare(column.attr("nunique")(), threshold_value, Comparison::le);
        }
        if (low) {
            categorical_cols.append(col);
            numerical_cols.attr("remove")(col);
        }
    }
    return py::make_tuple(numerical_cols, categorical_cols);
}

py::list without(const py::object& labels, const py::list& preserved) {
    py::list kept;
    for (py::handle col : labels) {
        if (!contains(preserved, col)) kept.append(col);
    }
    return kept;
}

// Whether the categorical step can read from and write to one working frame: the
// frame's labels are unique and `cols` is a list of distinct hashable labels (a label
// listed twice would be read back after its own redraw).
bool fit_for_one_frame(const py::object& df, const py::object& cols) {
    if (!is_exact_list(cols) || !df.attr("columns").attr("is_unique").cast<bool>()) return false;
    py::set seen;
    for (py::handle col : cols) {
        if (!hashable(col)) return false;
        if (seen.contains(col)) return false;
        seen.add(col);
    }
    return true;
}

py::object apply_dp(const Call& call) {
    const py::object& self = call.self();
    const py::object& df = call[1];
    const py::object& method = call[2];
    const py::object& preserve = call[3];
    if (df.attr("empty").cast<bool>()) {
        log_warning(call, py::str("Input DataFrame is empty"));
        return df;
    }
    log_info(call, py::str("Applying ") + method + py::str(" differential privacy to DataFrame of shape ") +
                       py::str(df.attr("shape")));
    py::dict stats;
    stats["shape"] = df.attr("shape");
    stats["columns"] = df.attr("columns").attr("tolist")();
    stats["dtypes"] = df.attr("dtypes").attr("to_dict")();
    self.attr("original_stats") = stats;

    auto [numerical_cols, categorical_cols] = unpack_pair(self.attr("_detect_column_types")(df));
    bool preserving = !preserve.is_none() && py::len(preserve) > 0;
    if (preserving) {
        py::list preserved = py::reinterpret_borrow<py::list>(preserve);
        numerical_cols = without(numerical_cols, preserved);
        categorical_cols = without(categorical_cols, preserved);
    }
    // Compared as Python strings: a method name need not be encodable as UTF-8.
    py::object work;
    if (equals(method, py::str("minimal"))) {
        if (is_own_method(self, apply_minimal_noise_spec)) {
            WorkFrame frame(df);
            minimal_pass(call, df, frame);
            work = frame.finish();
        } else {
            work = self.attr("_apply_minimal_noise")(df.attr("copy")());
        }
        // The minimal pass perturbs every column it selects (its draws do not depend on
        // what is preserved); the preserved columns then get the input's values back.
        if (preserving) {
            for (py::handle col : preserve) {
                if (contains(df.attr("columns"), col)) velmora::set_item(work, col, df[col].attr("copy")());
            }
        }
    } else if (equals(method, py::str("laplace"))) {
        if (is_own_method(self, apply_numerical_dp_spec) && is_own_method(self, apply_categorical_dp_spec) &&
            is_exact_list(numerical_cols) && fit_for_one_frame(df, categorical_cols)) {
            // Both steps are this class's own: they share one working frame instead of
            // copying the whole frame three times. The numerical step reads the input,
            // the categorical step the numerical step's result, as the two calls would.
            WorkFrame frame(df);
            numerical_pass(call, df, frame, py::reinterpret_borrow<py::list>(numerical_cols));
            categorical_pass(call, frame.frame(), frame, py::reinterpret_borrow<py::list>(categorical_cols));
            work = frame.finish();
        } else {
            work = self.attr("_apply_numerical_dp")(df.attr("copy")(), numerical_cols);
            work = self.attr("_apply_categorical_dp")(work, categorical_cols);
        }
    } else if (equals(method, py::str("gaussian"))) {
        WorkFrame frame(df);
        gaussian_pass(call, frame, numerical_cols);
        if (is_own_method(self, apply_categorical_dp_spec) && fit_for_one_frame(df, categorical_cols)) {
            categorical_pass(call, frame.frame(), frame, py::reinterpret_borrow<py::list>(categorical_cols));
            work = frame.finish();
        } else {
            work = self.attr("_apply_categorical_dp")(frame.finish(), categorical_cols);
        }
    } else {
        raise_error(ErrorKind::value_error,
                    py::str("Unknown method: ") + method + py::str(". Use 'minimal', 'laplace', or 'gaussian'"));
    }
    log_info(call,
             py::str("Applied DP with method '") + method + py::str("'. Output shape: ") + py::str(work.attr("shape")));
    return work;
}

py::object get_privacy_info(const Call& call) {
    const py::object& self = call.self();
    py::dict info;
    for (const char* name :
         {"epsilon", "delta", "noise_scale", "categorical_noise_prob", "numerical_noise_std", "original_stats"}) {
        info[name] = self.attr(name);
    }
    return info;
}

py::object apply_noiseforge(const Call& call) {
    py::object processor =
        call.global("NoiseforgeProcessor")(py::arg("epsilon") = call[1], py::arg("random_state") = call[4]);
    return processor.attr("apply_dp")(call[0], py::arg("method") = call[2], py::arg("preserve_columns") = call[3]);
}

}  // namespace

const FunctionSpec init_spec{
    .name = "__init__",
    .params = {{.name = "self"},
               {.name = "epsilon", .kind = ArgKind::real, .annotation = "float", .default_text = "1.0"},
               {.name = "delta", .kind = ArgKind::real, .annotation = "float", .default_text = "1e-5"},
               {.name = "noise_scale", .kind = ArgKind::real, .annotation = "float", .default_text = "0.1"},
               {.name = "categorical_noise_prob", .kind = ArgKind::real, .annotation = "float", .default_text = "0.05"},
               {.name = "numerical_noise_std", .kind = ArgKind::real, .annotation = "float", .default_text = "0.01"},
               {.name = "random_state", .kind = ArgKind::integer, .annotation = "int", .default_text = "None"}},
    .doc =
        "Initialize the differential privacy processor.\n"
        "\n"
        "        Args:\n"
        "            epsilon: Privacy budget (lower = more private, default: 1.0)\n"
        "            delta: Privacy parameter (default: 1e-5)\n"
        "            noise_scale: Scale factor for noise addition (default: 0.1)\n"
        "            categorical_noise_prob: Probability of flipping categorical values "
        "(default: 0.05)\n"
        "            numerical_noise_std: Standard deviation for numerical noise (default: 0.01)\n"
        "            random_state: Random seed for reproducibility\n"
        "        ",
    .implementation = init,
};

const FunctionSpec detect_column_types_spec{
    .name = "_detect_column_types",
    .params = {{.name = "self"}, {.name = "df", .annotation = "pd.DataFrame"}},
    .return_annotation = "tuple",
    .doc = "Detect numerical and categorical columns.",
    .implementation = detect_column_types,
};

const FunctionSpec apply_dp_spec{
    .name = "apply_dp",
    .params = {{.name = "self"},
               {.name = "df", .annotation = "pd.DataFrame"},
               {.name = "method", .kind = ArgKind::string, .annotation = "str", .default_text = "'minimal'"},
               {.name = "preserve_columns", .kind = ArgKind::list, .annotation = "list", .default_text = "None"}},
    .return_annotation = "pd.DataFrame",
    .doc =
        "Apply differential privacy to the DataFrame.\n"
        "\n"
        "        Args:\n"
        "            df: Input DataFrame (should be preprocessed)\n"
        "            method: DP method (\"minimal\", \"laplace\", \"gaussian\")\n"
        "            preserve_columns: Columns to preserve without modification\n"
        "\n"
        "        Returns:\n"
        "            DataFrame with differential privacy applied\n"
        "        ",
    .implementation = apply_dp,
};

const FunctionSpec get_privacy_info_spec{
    .name = "get_privacy_info",
    .params = {{.name = "self"}},
    .return_annotation = "dict",
    .doc = "Get information about the applied privacy parameters.",
    .implementation = get_privacy_info,
};

const FunctionSpec apply_noiseforge_spec{
    .name = "apply_noiseforge",
    .params = {{.name = "df", .annotation = "pd.DataFrame"},
               {.name = "epsilon", .kind = ArgKind::real, .annotation = "float", .default_text = "1.0"},
               {.name = "method", .kind = ArgKind::string, .annotation = "str", .default_text = "'minimal'"},
               {.name = "preserve_columns", .kind = ArgKind::list, .annotation = "list", .default_text = "None"},
               {.name = "random_state", .kind = ArgKind::integer, .annotation = "int", .default_text = "None"}},
    .return_annotation = "pd.DataFrame",
    .doc =
        "Quick function to apply differential privacy to a DataFrame.\n"
        "\n"
        "    Args:\n"
        "        df: Input DataFrame (should be preprocessed)\n"
        "        epsilon: Privacy budget (default: 1.0)\n"
        "        method: DP method (\"minimal\", \"laplace\", \"gaussian\")\n"
        "        preserve_columns: Columns to preserve without modification\n"
        "        random_state: Random seed for reproducibility\n"
        "\n"
        "    Returns:\n"
        "        DataFrame with differential privacy applied\n"
        "    ",
    .implementation = apply_noiseforge,
};

void define_module_body(py::module_& module) {
    module.attr("pd") = py::module_::import("pandas");
    module.attr("np") = py::module_::import("numpy");
    py::module_ warnings = py::module_::import("warnings");
    py::module_ logging = py::module_::import("logging");
    module.attr("warnings") = warnings;
    module.attr("logging") = logging;
    warnings.attr("filterwarnings")("ignore");
    logging.attr("basicConfig")(py::arg("level") = logging.attr("INFO"));
    module.attr("logger") = logging.attr("getLogger")(module.attr("__name__"));

    ClassBuilder(module, "NoiseforgeProcessor", class_doc)
        .method(init_spec)
        .method(detect_column_types_spec)
        .method(add_laplace_noise_spec)
        .method(add_gaussian_noise_spec)
        .method(apply_numerical_dp_spec)
        .method(apply_categorical_dp_spec)
        .method(apply_minimal_noise_spec)
        .method(apply_dp_spec)
        .method(get_privacy_info_spec)
        .build();
    binding::add_function(module, apply_noiseforge_spec);
}

}  // namespace velmora::noiseforge
