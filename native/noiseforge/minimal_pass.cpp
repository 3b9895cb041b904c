// The minimal-noise mode (_apply_minimal_noise): small Gaussian jitter on every number
// column and a small share of categorical cells redrawn. See column_passes.hpp for the
// routes.
#include "velmora_python.hpp"
#include "column_access.hpp"
#include "column_passes.hpp"
#include "interrupts.hpp"
#include "noiseforge_parts.hpp"
#include "object_tally.hpp"

#include <cmath>
#include <vector>

namespace velmora::noiseforge {
namespace {

// The minimal route with the draws in the kernels: one normal per row, as
// np.random.normal(0, numerical_noise_std, rows) draws them, scaled and added natively.
// Returns false when it does not apply (nothing drawn then).
bool minimal_number_column_fused(const Call& call, const py::object& column, WorkFrame& work, const py::object& col,
                                 std::size_t rows) {
    std::optional<NumericColumn> numeric = work.labels_unique() ? numeric_column(column) : std::nullopt;
    if (!numeric) return false;
    py::object std_value =
        finite_scale(budget(call, "numerical_noise_std"), "numerical_noise_std", "pass a finite standard deviation");
    if (!is_exact_float(std_value)) return false;
    const double scale = float_value(std_value);
    // numpy refuses a negative scale with its own error: let it draw (and raise) then.
    if (!std::isfinite(scale) || std::signbit(scale)) return false;
    std::optional<std::vector<double>> noise = native_standard_normals(call, rows);
    if (!noise) return false;
    py::array_t<double> out(static_cast<py::ssize_t>(rows));
    double* out_data = out.mutable_data();
    with_view(*numeric, [&](auto view) {
        // Pure C++ on buffers held by this call.
        py::gil_scoped_release unlocked;
        noise::scale_normals(noise->data(), rows, scale, noise::threads_for(rows, core_count()));
        noise::add_noise(view, noise->data(), out_data);
    });
    work.replace_with_new(col, out);
    return true;
}

void minimal_number_column(const Call& call, const py::object& df, WorkFrame& work, const py::object& col) {
    py::object np = call.global("np");
    py::object column = df[col];
    if (minimal_number_column_fused(call, column, work, col, py::len(df))) return;
    py::object noise = np.attr("random").attr("normal")(
        0, finite_scale(budget(call, "numerical_noise_std"), "numerical_noise_std", "pass a finite standard deviation"),
        py::int_(py::len(df)));
    std::optional<NumericColumn> numeric = work.labels_unique() ? numeric_column(column) : std::nullopt;
    if (numeric) {
        if (std::optional<py::array_t<double>> values = noisy_buffer(noise, py::len(df))) {
            py::array_t<double> out(static_cast<py::ssize_t>(py::len(df)));
            with_view(*numeric, [&](auto view) { noise::add_noise(view, values->data(), out.mutable_data()); });
            work.replace_with_new(col, out);
            return;
        }
    }
    work.replace(col, column + noise);
}

void minimal_categorical_column(const Call& call, const py::object& df, WorkFrame& work, const py::object& col) {
    py::object random = call.global("np").attr("random");
    py::object probability = call.self().attr("categorical_noise_prob");
    std::size_t rows = py::len(df);
    py::object random_values = random.attr("random")(py::int_(rows));
    py::object column = df[col];
    std::optional<py::array> objects = work.labels_unique() ? object_column(column) : std::nullopt;
    std::optional<py::array_t<double>> uniform = noisy_buffer(random_values, rows);
    if (objects && uniform && is_exact_float(probability)) {
        // An object column: the selected rows are found natively and the column is
        // rebuilt with the new values at their positions.
        py::array_t<std::int64_t> positions(static_cast<py::ssize_t>(rows));
        std::size_t selected =
            noise::positions_below(uniform->data(), rows, probability.cast<double>(), positions.mutable_data());
        if (selected == 0) return;
        std::optional<StrTally> tally = tally_str_column(*objects);
        py::object unique_values = tally ? tally->unique_values(call) : column.attr("dropna")().attr("unique")();
        if (py::len(unique_values) < 2) return;
        py::object new_values = random.attr("choice")(unique_values, py::arg("size") = py::int_(selected));
        py::object rebuilt = objects->attr("copy")();
        py::slice first(0, static_cast<py::ssize_t>(selected), 1);
        velmora::set_item(rebuilt, positions[first], new_values);
        // Handed over as an object Series: a bare object array would make pandas infer a
        // datetime, timedelta or period dtype from date-like values, where writing only
        // the selected cells keeps the column's object dtype.
        py::object object_type = builtin("object");
        work.replace(col, call.global("pd").attr("Series")(rebuilt, py::arg("index") = work.frame().attr("index"),
                                                           py::arg("dtype") = object_type, py::arg("copy") = false));
        return;
    }
    py::object mask = rich_compare(random_values, probability, Comparison::lt);
    if (!truth(mask.attr("any")())) return;
    py::object unique_values = column.attr("dropna")().attr("unique")();
    if (py::len(unique_values) < 2) return;
    py::object new_values = random.attr("choice")(unique_values, py::arg("size") = mask.attr("sum")());
    work.own(col);
    velmora::set_item(work.frame().attr("loc"), py::make_tuple(mask, col), new_values);
}

py::object apply_minimal_noise(const Call& call) {
    WorkFrame work(call[1]);
    minimal_pass(call, call[1], work);
    return work.finish();
}

}  // namespace

void minimal_pass(const Call& call, const py::object& df, WorkFrame& work) {
    py::object columns = df.attr("columns");
    for (py::handle col : number_columns(call, df)) {
        binding::check_signals();  // Ctrl-C stops the pass between columns
        if (contains(columns, col)) minimal_number_column(call, df, work, py::reinterpret_borrow<py::object>(col));
    }
    py::object categorical_columns = selected_columns(df, categorical_dtypes());
    for (py::handle col : categorical_columns) {
        binding::check_signals();  // Ctrl-C stops the pass between columns
        if (contains(columns, col)) minimal_categorical_column(call, df, work, py::reinterpret_borrow<py::object>(col));
    }
}

const FunctionSpec apply_minimal_noise_spec{
    .name = "_apply_minimal_noise",
    .params = {{.name = "self"}, {.name = "df", .annotation = "pd.DataFrame"}},
    .return_annotation = "pd.DataFrame",
    .doc = "Apply minimal noise addition for very conservative privacy.",
    .implementation = apply_minimal_noise,
};

}  // namespace velmora::noiseforge
