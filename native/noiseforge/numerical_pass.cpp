// The numerical passes: Laplace noise on each numerical column, clipped to its widened
// observed range and rounded where the column holds whole numbers (_apply_numerical_dp),
// and Gaussian noise for the "gaussian" method. See column_passes.hpp for the routes.
#include "velmora_python.hpp"
#include "column_access.hpp"
#include "column_passes.hpp"
#include "interrupts.hpp"
#include "noiseforge_parts.hpp"
#include "parallel.hpp"

#include <cmath>
#include <type_traits>
#include <vector>

namespace velmora::noiseforge {
namespace {

// Whether writing `values` into a column of numpy dtype `dtype` would lose them: pandas
// 2 then turns the column into float64 (with a FutureWarning), pandas 3 refuses the write
// with a TypeError. The test is pandas 2's own (np_can_hold_element): the values cast to
// the dtype and back compare equal, NaN equal to NaN for a float dtype.
bool loses_values(const py::object& dtype, const py::object& values) {
    if (!py::isinstance<py::dtype>(dtype) || !py::isinstance<py::array>(values)) return false;
    const char kind = py::reinterpret_borrow<py::dtype>(dtype).kind();
    const char value_kind = py::reinterpret_borrow<py::array>(values).dtype().kind();
    if ((kind != 'i' && kind != 'u' && kind != 'f') || value_kind != 'f') return false;
    py::object cast = values.attr("astype")(dtype);
    return !truth(numpy().attr("array_equal")(cast, values, py::arg("equal_nan") = kind == 'f'));
}

// Writes `values` into the non-missing rows of `col`, by position: labels may repeat.
// Values the column's dtype cannot hold make it float64 first, as pandas 2 did, so that
// both pandas majors give the same column.
void write_back(const Call& call, WorkFrame& work, const py::object& col, const py::object& column,
                const py::object& values) {
    py::object np = call.global("np");
    py::object positions = np.attr("flatnonzero")(column.attr("notna")().attr("to_numpy")());
    work.own(col);
    if (loses_values(work.frame()[col].attr("dtype"), values)) {
        work.replace(col, work.frame()[col].attr("astype")(np.attr("float64")));
    }
    py::object where = work.frame().attr("columns").attr("get_loc")(col);
    velmora::set_item(work.frame().attr("iloc"), py::make_tuple(positions, where), values);
}

// The observed range (max - min) of numpy scalars, 1.0 when it is 0. Integers are
// subtracted as Python ints: in their own dtype the difference can overflow (an int8
// column from -100 to 100), giving a negative range and scale.
py::object observed_range(const py::object& low, const py::object& high) {
    py::object numpy_integer = numpy().attr("integer");
    auto is_integer = [&](const py::object& value) {
        return py::isinstance(value, numpy_integer) || is_exact_int(value);
    };
    const bool integers = is_integer(low) && is_integer(high);
    py::object range = integers ? py::object(py::int_(high) - py::int_(low)) : high - low;
    if (equals(range, py::int_(0))) return py::float_(1.0);
    return range;
}

// Clipping to the widened observed range, then rounding, through pandas.
void clip_and_round(const Call& call, WorkFrame& work, const py::object& col, const py::object& lower,
                    const py::object& upper, bool is_integer) {
    py::object np = call.global("np");
    work.replace(col, np.attr("clip")(work.frame()[col], lower, upper));
    if (is_integer) work.replace(col, work.frame()[col].attr("round")());
}

void numerical_column_plain(const Call& call, const py::object& source, WorkFrame& work, const py::object& col) {
    const py::object& self = call.self();
    py::object np = call.global("np");
    py::object column = source[col];
    py::object col_data = column.attr("dropna")();
    if (py::len(col_data) == 0) return;
    bool is_integer = false;
    binding::swallow_exception([&] {
        is_integer = truth(np.attr("all")(rich_compare(np.attr("mod")(col_data, 1), py::int_(0), Comparison::eq)));
    });
    py::object data_range = observed_range(col_data.attr("min")(), col_data.attr("max")());
    py::object sensitivity = data_range * budget(call, "noise_scale");
    py::object noisy = self.attr("_add_laplace_noise")(col_data.attr("values"), sensitivity);
    write_back(call, work, col, column, noisy);
    py::object margin = data_range * py::float_(0.1);
    clip_and_round(call, work, col, col_data.attr("min")() - margin, col_data.attr("max")() + margin, is_integer);
}

// A clip bound as a double, or nothing when it is missing (pandas then ignores it, a
// case left to the plain route).
std::optional<double> bound_value(const py::object& bound) {
    double value = as_double(bound);
    if (std::isnan(value)) return std::nullopt;
    return value;
}

// Writing noisy values into a column of type T keeps T when pandas can hold them all
// without loss; otherwise the column becomes float64. The native route builds the
// float64 column; the rare lossless case is left to pandas.
template <typename T>
bool becomes_float64(const double* noisy, std::size_t size) {
    if constexpr (std::is_same_v<T, double>) {
        (void)noisy;
        (void)size;
        return true;
    } else {
        return !noise::holds_losslessly<T>(noisy, size);
    }
}

// The column after noise: write-back into the non-missing rows, clipping to
// [lower, upper] when `clip`, rounding when `round`, all in one pass. Returns nothing
// when the plain route must finish the column instead.
template <typename T>
std::optional<py::array_t<double>> noisy_column(noise::ColumnView<T> view, const py::object& noisy, std::size_t present,
                                                bool clip, const py::object& lower, const py::object& upper,
                                                bool round) {
    std::optional<py::array_t<double>> values = noisy_buffer(noisy, present);
    if (!values || !becomes_float64<T>(values->data(), present)) return std::nullopt;
    double low = 0.0;
    double high = 0.0;
    if (clip) {
        std::optional<double> a = bound_value(lower);
        std::optional<double> b = bound_value(upper);
        if (!a || !b) return std::nullopt;
        // pandas' clip orders the two bounds first (min, then max).
        low = *b < *a ? *b : *a;
        high = *a < *b ? *b : *a;
    }
    py::array_t<double> out(static_cast<py::ssize_t>(view.size));
    const double* noisy_data = values->data();
    double* out_data = out.mutable_data();
    {
        // Pure C++ on buffers this call holds references to: no Python object is touched.
        py::gil_scoped_release unlocked;
        noise::scatter_noisy(view, noisy_data, clip, low, high, round, out_data);
    }
    return out;
}

// The numpy scalar of the column's type holding `value`, as pandas' min() and max() return.
template <typename T>
py::object numpy_scalar(const NumericColumn& column, T value) {
    return column.values.dtype().attr("type")(value);
}

// The Laplace scale the own mechanism would use (float(sensitivity) / epsilon, raising
// what it raises), when the kernel can draw with it as numpy would: a finite,
// non-negative float. numpy draws in every other case.
std::optional<double> native_laplace_scale(const Call& call, const py::object& sensitivity) {
    py::object scale =
        finite_scale(divide(py::float_(as_double(sensitivity)), budget(call, "epsilon")),
                     "the Laplace scale sensitivity / epsilon", "epsilon is too small or the sensitivity too large");
    if (!is_exact_float(scale)) return std::nullopt;
    double number = float_value(scale);
    if (!std::isfinite(number) || std::signbit(number)) return std::nullopt;
    return number;
}

// The laplace route with the draws inside the kernel: one pass draws, adds and writes
// the noisy column, a second clips and rounds it in place. Returns false when it does
// not apply (nothing drawn then).
template <typename T>
bool numerical_column_fused(const Call& call, WorkFrame& work, const py::object& col, noise::ColumnView<T> view,
                            const noise::ColumnSummary<T>& summary, const py::object& sensitivity,
                            const py::object& lower, const py::object& upper) {
    const py::object& self = call.self();
    if (!is_own_method(self, add_laplace_noise_spec)) return false;
    std::optional<NumpyGlobalGenerator> generator = global_generator(call, "laplace");
    if (!generator) return false;
    std::optional<double> low = bound_value(lower);
    std::optional<double> high = bound_value(upper);
    if (!low || !high) return false;
    std::optional<double> scale = native_laplace_scale(call, sensitivity);
    if (!scale) return false;
    py::array_t<double> out(static_cast<py::ssize_t>(view.size));
    double* out_data = out.mutable_data();
    bool keeps_type = false;
    if (noise::Mt19937State* state = generator->mt19937_state()) {
        // The uniforms drawn in order under the generator's lock while the other cores
        // transform them: pure C++ on buffers this call holds and numpy's generator state.
        NumpyGlobalGenerator::Lock held = generator->lock();
        py::gil_scoped_release unlocked;
        keeps_type = noise::add_laplace_noise_drawing(view, summary.present, *state, *scale, out_data,
                                                      noise::threads_for(summary.present, core_count()));
    } else {
        NumpyGlobalGenerator::Lock held = generator->lock();
        // Pure C++ on buffers held by this call and numpy's generator state, under the
        // generator's lock: no Python object is touched.
        py::gil_scoped_release unlocked;
        keeps_type = noise::add_laplace_noise(view, generator->source(), *scale, out_data);
    }
    if (keeps_type) {
        // pandas would keep the column's type for these whole values: its own route.
        py::object noisy = out[call.global("np").attr("isnan")(out).attr("__invert__")()];
        write_back(call, work, col, work.frame()[col], noisy);
        clip_and_round(call, work, col, lower, upper, summary.whole);
        return true;
    }
    double a = *low < *high ? *low : *high;
    double b = *low < *high ? *high : *low;
    {
        // Pure C++ on the buffer this call holds, a share of the rows per core.
        py::gil_scoped_release unlocked;
        const std::size_t threads = noise::threads_for(view.size, core_count());
        run_parallel(threads, [&](std::size_t t) {
            const auto [first, last] = share_of(view.size, t, threads);
            noise::clip_and_round(out_data + first, last - first, true, a, b, summary.whole);
        });
    }
    work.replace_with_new(col, out);
    return true;
}

template <typename T>
void numerical_column_native(const Call& call, const py::object& source, WorkFrame& work, const py::object& col,
                             const NumericColumn& column, noise::ColumnView<T> view) {
    const py::object& self = call.self();
    noise::ColumnSummary<T> summary = noise::summarize(view);
    if (summary.present == 0) return;
    if (!summary.finite) {
        numerical_column_plain(call, source, work, col);
        return;
    }
    py::object low = numpy_scalar(column, summary.min);
    py::object high = numpy_scalar(column, summary.max);
    py::object data_range = observed_range(low, high);
    py::object sensitivity = data_range * budget(call, "noise_scale");
    py::object margin = data_range * py::float_(0.1);
    py::object lower = low - margin;
    py::object upper = high + margin;
    if (numerical_column_fused(call, work, col, view, summary, sensitivity, lower, upper)) return;
    py::array_t<T> present(static_cast<py::ssize_t>(summary.present));
    noise::gather_present(view, present.mutable_data());
    py::object noisy = self.attr("_add_laplace_noise")(present, sensitivity);
    if (auto out = noisy_column(view, noisy, summary.present, true, lower, upper, summary.whole)) {
        work.replace_with_new(col, *out);
        return;
    }
    write_back(call, work, col, source[col], noisy);
    clip_and_round(call, work, col, lower, upper, summary.whole);
}

void numerical_column(const Call& call, const py::object& source, WorkFrame& work, const py::object& col) {
    if (work.labels_unique()) {
        if (std::optional<NumericColumn> column = numeric_column(source[col])) {
            with_view(*column, [&](auto view) { numerical_column_native(call, source, work, col, *column, view); });
            return;
        }
    }
    numerical_column_plain(call, source, work, col);
}

// The Gaussian route with the draws in the kernels (native_standard_normals), scaled
// and added on every core. Returns false when it does not apply (nothing drawn then).
template <typename T>
bool gaussian_column_fused(const Call& call, WorkFrame& work, const py::object& col, const py::object& column,
                           noise::ColumnView<T> view, std::size_t present, const py::object& sensitivity) {
    if (!is_own_method(call.self(), add_gaussian_noise_spec)) return false;
    py::object sigma_value = gaussian_sigma(call, py::float_(as_double(sensitivity)));
    if (!is_exact_float(sigma_value)) return false;
    const double sigma = float_value(sigma_value);
    // numpy refuses a negative scale with its own error: let it draw (and raise) then.
    if (!std::isfinite(sigma) || std::signbit(sigma)) return false;
    std::optional<std::vector<double>> normals = native_standard_normals(call, present);
    if (!normals) return false;
    py::array_t<double> out(static_cast<py::ssize_t>(view.size));
    double* out_data = out.mutable_data();
    bool keeps_type = false;
    {
        // Pure C++ on buffers held by this call.
        py::gil_scoped_release unlocked;
        keeps_type =
            noise::add_scaled_noise(view, normals->data(), sigma, out_data, noise::threads_for(present, core_count()));
    }
    if (keeps_type) {
        // pandas would keep the column's type for these values: its own route.
        write_back(call, work, col, column, out[call.global("np").attr("isnan")(out).attr("__invert__")()]);
    } else {
        work.replace_with_new(col, out);
    }
    return true;
}

void gaussian_column(const Call& call, WorkFrame& work, const py::object& col) {
    const py::object& self = call.self();
    py::object column = work.frame()[col];
    std::optional<NumericColumn> numeric = work.labels_unique() ? numeric_column(column) : std::nullopt;
    if (numeric) {
        bool done = with_view(*numeric, [&](auto view) {
            using T = typename decltype(view)::value_type;
            noise::ColumnSummary<T> summary = noise::summarize(view);
            if (summary.present == 0) return true;
            if (!summary.finite) return false;
            py::object data_range =
                observed_range(numpy_scalar(*numeric, summary.min), numpy_scalar(*numeric, summary.max));
            py::object sensitivity = data_range * budget(call, "noise_scale");
            if (gaussian_column_fused(call, work, col, column, view, summary.present, sensitivity)) return true;
            py::array_t<T> present(static_cast<py::ssize_t>(summary.present));
            noise::gather_present(view, present.mutable_data());
            py::object noisy = self.attr("_add_gaussian_noise")(present, sensitivity);
            if (auto out = noisy_column(view, noisy, summary.present, false, py::none(), py::none(), false)) {
                work.replace_with_new(col, *out);
            } else {
                write_back(call, work, col, column, noisy);
            }
            return true;
        });
        if (done) return;
    }
    py::object col_data = column.attr("dropna")();
    if (py::len(col_data) == 0) return;
    py::object sensitivity =
        observed_range(col_data.attr("min")(), col_data.attr("max")()) * budget(call, "noise_scale");
    py::object noisy = self.attr("_add_gaussian_noise")(col_data.attr("values"), sensitivity);
    write_back(call, work, col, column, noisy);
}

py::object apply_numerical_dp(const Call& call) {
    WorkFrame work(call[1]);
    numerical_pass(call, call[1], work, py::reinterpret_borrow<py::list>(call[2]));
    return work.finish();
}

}  // namespace

void numerical_pass(const Call& call, const py::object& source, WorkFrame& work, const py::list& cols) {
    py::object columns = source.attr("columns");
    for (py::handle col : cols) {
        binding::check_signals();  // Ctrl-C stops the pass between columns
        if (!contains(columns, col)) continue;
        numerical_column(call, source, work, py::reinterpret_borrow<py::object>(col));
    }
}

void gaussian_pass(const Call& call, WorkFrame& work, const py::object& cols) {
    for (py::handle handle : cols) {
        binding::check_signals();  // Ctrl-C stops the pass between columns
        py::object col = py::reinterpret_borrow<py::object>(handle);
        if (!contains(work.frame().attr("columns"), col)) continue;
        gaussian_column(call, work, col);
    }
}

const FunctionSpec apply_numerical_dp_spec{
    .name = "_apply_numerical_dp",
    .params = {{.name = "self"},
               {.name = "df", .annotation = "pd.DataFrame"},
               {.name = "numerical_cols", .kind = ArgKind::list, .annotation = "list"}},
    .return_annotation = "pd.DataFrame",
    .doc = "Apply differential privacy to numerical columns.",
    .implementation = apply_numerical_dp,
};

}  // namespace velmora::noiseforge
